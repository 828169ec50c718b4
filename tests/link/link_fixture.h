// The link aimed at a test service of its own, with a fresh log file and an empty pending table
// per test. Packet logging does not wait out its pauses. At the end every connection that the link
// opened has been closed and its loop has reported it, so nothing of one test reaches the next.
#pragma once

#include "tests/link/service.h"
#include "tests/proto/proto_fixture.h"

#include "core/clk.h"
#include "core/log.h"
#include "core/obj.h"
#include "link/link.h"
#include "link/msg_random_private.h"
#include "link/pendq.h"
#include "proto/pkt.h"
#include "transport/sock.h"

#include <gtest/gtest.h>

#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace link_test
{

using svc::settle_until;
using svc::wait_until;

// Empties the pending table through its own interface.
inline void clear_pending()
{
    for (uint32_t mid = 0; mid <= 0xFFFF; mid++) {
        while (pendq_entry *e = pendq_find(uint16_t(mid))) {
            pendq_remove(e);
            obj_release(e);
        }
    }
}

inline void aim(link_state *link, uint16_t port)
{
    link_set_address(link, "127.0.0.1", port, nullptr, 0);
    // The counters restart and a connection to an earlier service goes.
    (void)link_note_failure(1, 0);
}

inline sock_socket *held_connection(link_state *link)
{
    obj_guard g(link);
    return link->connection;
}

inline uint8_t short_failures(link_state *link)
{
    obj_guard g(link);
    return link->short_failures;
}

inline uint8_t long_failures(link_state *link)
{
    obj_guard g(link);
    return link->long_failures;
}

// Makes an entry's last send that many seconds old on the process clock. Exact under a
// held_clock: no second passes between here and the pump.
inline bool set_age(uint16_t mid, time_t seconds)
{
    pendq_entry *e = pendq_find(mid);
    if (!e)
        return false;
    obj_lock(e);
    e->last_send = clk_now() - seconds;
    obj_unlock(e);
    obj_release(e);
    return true;
}

// Message ids drawn from fn for the length of a scope.
struct random_source {
    msg_random_fn before;
    explicit random_source(msg_random_fn fn) : before(msg_set_random_source(fn)) {}
    ~random_source() { msg_set_random_source(before); }
    random_source(const random_source &) = delete;
    random_source &operator=(const random_source &) = delete;
};

// A packet of the system's own layout with a given CMD and MID.
inline pkt_packet *make_packet(int8_t cmd, uint16_t mid, const std::string &payload = "")
{
    pkt_packet *p = pkt_create();
    p->cmd = cmd;
    p->mid = mid;
    p->id[0] = 0x00;
    p->id[1] = 0xFF;
    if (!payload.empty()) {
        EXPECT_EQ(pkt_add_token(p, 9, 1, payload.data(), uint16_t(payload.size())), 1);
    }
    return p;
}

struct link_fixture : proto_test::LogFile {
    link_state *link = nullptr;
    std::unique_ptr<svc::service> service;
    int foreign_connections = 0; // connections to the service that the test made itself

    void SetUp() override
    {
        LogFile::SetUp();
        ASSERT_EQ(pendq_create(), 1);
        clear_pending();
        link = link_get();
        ASSERT_NE(link, nullptr);
        service = std::make_unique<svc::service>();
        ASSERT_NE(service->port(), 0);
        aim(link, service->port());
    }

    void TearDown() override
    {
        (void)link_note_failure(1, 0);
        int opened = service->accepted() - foreign_connections;
        service.reset();
        EXPECT_TRUE(settle_until([&] { return count("Close Socket") >= opened; }))
            << "connections opened: " << opened;
        clear_pending();
        obj_release(link);
        LogFile::TearDown();
    }

    std::vector<std::string> log() const { return lines(); }

    int count(const std::string &needle) const
    {
        int n = 0;
        for (const std::string &l : lines())
            n += l.find(needle) != std::string::npos;
        return n;
    }
};

} // namespace link_test

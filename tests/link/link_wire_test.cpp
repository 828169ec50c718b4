// The link against a service of its own over real TCP on 127.0.0.1: what goes out, what comes
// back, the poll exchange, and a service that misbehaves.
#include "tests/link/link_fixture.h"
#include "tests/proto/proto_fixture.h"

#include "core/thr.h"
#include "core/util.h"
#include "link/link_private.h"
#include "link/msg.h"
#include "station/station.h"
#include "transport/sock_loop_private.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <thread>
#include <utility>

namespace
{

// A loop thread start that fails on request: the next one.
std::atomic<bool> fail_thread_start{false};

thr_record *refusing_thread_start(thr_body_fn body, thr_exit_fn exit_fn, thr_signal_fn signal_fn,
                                  void *arg, uint32_t flags)
{
    if (fail_thread_start.exchange(false))
        return nullptr;
    return thr_start(body, exit_fn, signal_fn, arg, flags);
}

using link_test::held_connection;
using link_test::make_packet;
using link_test::wait_until;
using svc::bytes;
using svc::frame;
using svc::make_frame;
using svc::make_token;
using svc::reply_to;

// A device entry for an address given in printed order.
bt_device *make_device(std::array<uint8_t, 6> printed)
{
    auto *dev = static_cast<bt_device *>(obj_alloc(sizeof(bt_device), nullptr));
    for (size_t i = 0; i < 6; i++)
        dev->addr[i] = printed[5 - i];
    return dev;
}

// The next `repeats` two-byte draws give `repeated`; the generator gives the rest.
std::atomic<int> repeats{0};
std::atomic<uint16_t> repeated{0};

int repeating_source(void *out, int length)
{
    if (length != 2 || repeats.fetch_sub(1) <= 0)
        return util_random_bytes(out, length);
    uint16_t mid = repeated;
    memcpy(out, &mid, sizeof mid);
    return 1;
}

const bytes reply_tokens = svc::cat({make_token(1, 1, "first"), make_token(1, 1, "second")});

// Replies to the first frame only.
svc::service::script_fn reply_once(uint8_t cmd, bytes tokens = {})
{
    auto done = std::make_shared<bool>(false);
    return [=](svc::service &s, const frame &f) {
        if (!std::exchange(*done, true))
            s.send(reply_to(f, cmd, tokens), f.conn);
    };
}

struct Wire : link_test::link_fixture {
    bt_device *dev = nullptr;

    void SetUp() override
    {
        link_fixture::SetUp();
        dev = make_device({0x00, 0x11, 0x22, 0x33, 0xAB, 0xCD});
    }
    void TearDown() override
    {
        obj_release(dev);
        link_fixture::TearDown();
    }

    // Sends a device report and returns the frame the service got for it.
    frame report()
    {
        size_t before = service->frames().size();
        link_send_device_report(dev, 1, 1);
        // Fatal, though the test goes on: its later waits then give up at once.
        [&] { ASSERT_TRUE(service->wait_frames(before + 1)); }();
        std::vector<frame> f = service->frames();
        return f.size() > before ? f[before] : frame{-1, bytes(16), false};
    }

    // Everything the link sent after the first `from` frames, up to a sentinel: the service
    // answers a request of the test's own, whose callback sends the sentinel. One loop thread
    // handles the connection's packets in order, so whatever the link did about the earlier
    // ones was written before it.
    std::vector<frame> frames_after_marker(size_t from)
    {
        uint16_t mid = 0xBE00;
        while (pendq_contains(mid) || pendq_contains(uint16_t(mid + 1)))
            mid = uint16_t(mid + 2);
        pkt_packet *request = make_packet(9, mid);
        pendq_submit(request, send_sentinel, PENDQ_QUEUE_ONLY, nullptr);
        EXPECT_TRUE(service->send(make_frame(bytes(request->id, request->id + 8), 9, mid)));
        obj_release(request);
        std::vector<frame> f;
        [&] {
            ASSERT_TRUE(wait_until([&] {
                f = service->frames();
                return f.size() > from && f.back().cmd() == 9 && f.back().mid() == mid + 1;
            })) << "no sentinel";
        }();
        if (f.size() <= from)
            return {};
        return std::vector<frame>(f.begin() + long(from), f.end() - 1);
    }

    static int send_sentinel(sock_socket *, int8_t, int8_t, tbl_table *, uint16_t mid, void *)
    {
        pkt_packet *p = make_packet(9, uint16_t(mid + 1));
        pendq_submit(p, nullptr, PENDQ_SEND_ONCE, nullptr);
        obj_release(p);
        return 0;
    }

    bool reply_handled(uint16_t mid, int token_lines)
    {
        return wait_until([&] {
            return !pendq_contains(mid) && count("ID 1 OP 1 L: 5 PL: first") == token_lines &&
                   count("ID 1 OP 1 L: 6 PL: second") == token_lines;
        });
    }
};

TEST_F(Wire, DeviceReportGoesOutAsTheWorkedExampleAndItsReplyEndsIt)
{
    service->set_script(svc::reply_with(2, reply_tokens));
    frame f = report();
    EXPECT_TRUE(f.good);
    ASSERT_EQ(f.raw.size(), 79u);
    // The example's bytes with this report's own MID (and so its own CRC).
    const bytes &ex = proto_test::report_wire;
    bytes tokens(ex.begin() + 16, ex.end() - 2);
    EXPECT_EQ(f.raw, make_frame(proto_test::report_id, 0xFD, f.mid(), tokens));

    // The reply removes the request; its tokens are logged by the dispatcher and again by the
    // report's callback.
    EXPECT_TRUE(reply_handled(f.mid(), 2)) << "pending: " << pendq_contains(f.mid());

    // The next report goes out on the same connection.
    frame g = report();
    EXPECT_EQ(g.conn, f.conn);
    EXPECT_EQ(service->accepted(), 1);
    EXPECT_TRUE(reply_handled(g.mid(), 4));
}

TEST_F(Wire, PairedWithoutDataReportsOkAndError)
{
    link_send_device_report(dev, 1, 0);
    ASSERT_TRUE(service->wait_frames(1));
    std::vector<svc::token> t = service->frames()[0].tokens();
    ASSERT_EQ(t.size(), 4u);
    EXPECT_EQ(t[0].payload, proto_test::text("\x06,000800112233ABCD"));
    EXPECT_EQ(t[1].payload, proto_test::text("\x07,00:11:22:33:AB:CD"));
    EXPECT_EQ(t[2].payload, proto_test::text("(,OK"));
    EXPECT_EQ(t[3].payload, proto_test::text("),ERROR"));
}

// Requests drawn while a report is pending do not take its MID, whatever the draws give first,
// so that the report's reply ends the report alone.
TEST_F(Wire, ARequestNeverTakesAPendingMid)
{
    frame f = report();
    ASSERT_FALSE(HasFatalFailure());
    link_test::random_source source(repeating_source);
    repeated = f.mid();
    // More than any one message draws before its MID is settled.
    repeats = 3;
    frame g = report();
    repeats = 3;
    ASSERT_EQ(msg_send_poll(), 1);
    ASSERT_TRUE(service->wait_frames(3));
    EXPECT_LE(repeats, 0) << "every draw of the pending MID was made";
    frame h = service->frames()[2];
    EXPECT_EQ(h.cmd(), 1);
    ASSERT_EQ(std::set<uint16_t>({f.mid(), g.mid(), h.mid()}).size(), 3u);

    // What went out and what was logged is the MID that the table holds.
    EXPECT_EQ(pendq_count(), 3);
    for (const frame &x : {f, g, h}) {
        pendq_entry *e = pendq_find(x.mid());
        ASSERT_NE(e, nullptr) << x.mid();
        EXPECT_EQ(uint8_t(e->packet->cmd), x.cmd());
        obj_release(e);
        char line[32];
        snprintf(line, sizeof line, "MID: %04X ", unsigned(x.mid()));
        EXPECT_EQ(count(line), 1) << line;
    }

    ASSERT_TRUE(service->send(reply_to(f, 2, reply_tokens)));
    EXPECT_TRUE(reply_handled(f.mid(), 2));
    EXPECT_TRUE(pendq_contains(g.mid()));
    EXPECT_TRUE(pendq_contains(h.mid()));
    EXPECT_EQ(pendq_count(), 2);
}

// The service's answer to the system's poll, and what the link sends after it.
struct poll_case {
    uint8_t reply;
    bool tokens;
    bool acknowledged; // a CMD 4 with the poll's MID, then a new poll
};

class PollExchange : public Wire, public ::testing::WithParamInterface<poll_case>
{
};

TEST_P(PollExchange, ReplyToThePoll)
{
    const poll_case &c = GetParam();
    service->set_script(reply_once(c.reply, c.tokens ? reply_tokens : bytes{}));
    // Once reset to a fresh deadline, the reply must move it on.
    time_t before = clk_now();
    {
        obj_guard g(link);
        link->keepalive = 1;
        link->short_failures = 2;
    }
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(msg_send_poll(), 1);
    ASSERT_TRUE(service->wait_frames(1));
    frame poll = service->frames()[0];
    EXPECT_EQ(poll.cmd(), 1);
    EXPECT_EQ(poll.raw.size(), 18u) << "no tokens";

    std::vector<frame> after = frames_after_marker(1);
    std::string err = ::testing::internal::GetCapturedStderr();
    if (c.acknowledged) {
        ASSERT_EQ(after.size(), 2u);
        EXPECT_EQ(after[0].cmd(), 4);
        EXPECT_EQ(after[0].mid(), poll.mid());
        EXPECT_EQ(after[0].raw.size(), 18u);
        EXPECT_EQ(after[1].cmd(), 1);
        EXPECT_NE(after[1].mid(), poll.mid());
        EXPECT_TRUE(pendq_contains(after[1].mid())) << "the new poll waits for its reply";
    } else {
        EXPECT_TRUE(after.empty())
            << after.size() << " frames, the first CMD " << int(after[0].cmd());
    }
    {
        obj_guard g(link);
        EXPECT_GE(link->keepalive, before + 90);
        EXPECT_EQ(link->short_failures, c.reply == 2 || c.reply == 3 ? 0 : 2);
    }
    if (c.tokens) {
        EXPECT_EQ(err.rfind("Result 1 " + std::to_string(c.reply) + " " +
                                std::to_string(poll.mid()) + " 0x",
                            0),
                  0u)
            << err;
    } else {
        EXPECT_EQ(err, "");
    }
}

INSTANTIATE_TEST_SUITE_P(Replies, PollExchange,
                         ::testing::Values(poll_case{2, false, false}, poll_case{3, false, false},
                                           poll_case{4, false, false}, poll_case{5, true, true},
                                           poll_case{1, false, true}));

// The poll's callback given another sent command: -3 to 0 and 2 to 10 are acknowledged with the
// MID, without touching the keep-alive; any other gets no answer. The acknowledged ones come
// first: they open the connection.
TEST_F(Wire, PollCallbackForOtherSentCommands)
{
    const struct {
        int8_t sent;
        bool acknowledged;
    } cases[] = {{-3, true},  {0, true},   {2, true},   {10, true},
                 {-4, false}, {11, false}, {127, false}};
    for (const auto &c : cases) {
        SCOPED_TRACE(int(c.sent));
        {
            obj_guard g(link);
            link->keepalive = 1;
        }
        size_t before = service->frames().size();
        EXPECT_EQ(msg_poll_reply_cb(nullptr, c.sent, 5, nullptr, 0x4242, nullptr),
                  c.acknowledged ? 1 : 0);
        if (c.acknowledged) {
            // The acknowledgement, and the poll that follows every acknowledgement.
            ASSERT_TRUE(service->wait_frames(before + 2));
            std::vector<frame> f = service->frames();
            EXPECT_EQ(f[before].cmd(), 4);
            EXPECT_EQ(f[before].mid(), 0x4242);
            EXPECT_EQ(f[before + 1].cmd(), 1);
        } else {
            EXPECT_TRUE(frames_after_marker(before).empty());
        }
        obj_guard g(link);
        EXPECT_EQ(link->keepalive, 1);
    }
}

TEST_F(Wire, AnAcknowledgementIsFollowedByAPoll)
{
    pkt_packet *ack = make_packet(4, 0x4242);
    pendq_submit(ack, nullptr, PENDQ_SEND_ONCE, nullptr);
    obj_release(ack);
    ASSERT_TRUE(service->wait_frames(2));
    std::vector<frame> f = service->frames();
    EXPECT_EQ(f[0].cmd(), 4);
    EXPECT_EQ(f[1].cmd(), 1);
    pendq_entry *poll = pendq_find(f[1].mid());
    ASSERT_NE(poll, nullptr);
    EXPECT_EQ(poll->kind, PENDQ_SEND_ONCE);
    obj_release(poll);
}

// Packets from the service that answer nothing.
struct unsolicited_case {
    uint8_t cmd;
    bool tokens;
    bool polled; // the link answers with one poll of its own
};

class Unsolicited : public Wire, public ::testing::WithParamInterface<unsolicited_case>
{
};

TEST_P(Unsolicited, OnlyABarePollIsAnswered)
{
    const unsolicited_case &c = GetParam();
    frame started = report(); // opens the connection
    const bytes id = {0x00, 0xFF, 1, 2, 3, 4, 5, 6};
    ASSERT_TRUE(service->send(
        make_frame(id, c.cmd, uint16_t(started.mid() + 1), c.tokens ? reply_tokens : bytes{})));
    std::vector<frame> after = frames_after_marker(1);
    ASSERT_EQ(after.size(), c.polled ? 1u : 0u);
    if (c.polled) {
        EXPECT_EQ(after[0].cmd(), 1);
        EXPECT_EQ(after[0].raw.size(), 18u);
    }
    EXPECT_EQ(count("H: 7e ID: 00FF010203040506 CMD: " + std::to_string(int8_t(c.cmd))), 1)
        << "every packet is logged";
}

INSTANTIATE_TEST_SUITE_P(
    Packets, Unsolicited,
    ::testing::Values(unsolicited_case{1, false, true}, unsolicited_case{1, true, false},
                      unsolicited_case{5, false, false}, unsolicited_case{5, true, false},
                      unsolicited_case{8, true, false}, unsolicited_case{0xFD, true, false}));

TEST_F(Wire, AReplyInPiecesIsOnePacket)
{
    const std::vector<std::vector<size_t>> splits = {
        {40, 39}, {5, 74}, {13, 66}, {14, 65}, {15, 64}, std::vector<size_t>(79, 1)};
    int lines = 0;
    for (const std::vector<size_t> &pieces : splits) {
        frame f = report();
        ASSERT_FALSE(HasFatalFailure()); // no frame to slice
        // The reply sent with the tokens of the report itself comes to 79 bytes.
        bytes big = reply_to(f, 2, bytes(f.raw.begin() + 16, f.raw.end() - 2));
        ASSERT_EQ(big.size(), 79u);
        ASSERT_TRUE(service->send_pieces(big, pieces));
        ASSERT_TRUE(wait_until([&] { return !pendq_contains(f.mid()); }))
            << pieces.size() << " pieces";
        // The same connection still frames correctly afterwards.
        frame g = report();
        ASSERT_TRUE(service->send_pieces(reply_to(g, 2, reply_tokens), pieces));
        lines += 2;
        EXPECT_TRUE(reply_handled(g.mid(), lines)) << pieces.size() << " pieces";
    }
    EXPECT_EQ(service->accepted(), 1);
    EXPECT_EQ(count("Packet Error"), 0);
}

// A service that breaks off, sends nonsense or a Len beyond any packet: the link drops what it
// cannot frame, closes that connection and carries on with a new one.
struct fault_case {
    const char *what;
    std::function<void(svc::service &, const frame &)> act;
    const char *line; // what the link logs about it
    bool closes;
    bool ends_request = false; // it matched the request, which a reply ends even when bad
};

void PrintTo(const fault_case &c, std::ostream *os)
{
    *os << c.what;
}

class Faults : public Wire, public ::testing::WithParamInterface<fault_case>
{
};

TEST_P(Faults, TheLinkCarriesOn)
{
    const fault_case &c = GetParam();
    frame f = report();
    c.act(*service, f);
    ASSERT_TRUE(wait_until([&] { return count(c.line) == 1; })) << c.line;
    if (c.closes) {
        ASSERT_TRUE(wait_until([&] { return count("Close Socket") == 1; }));
        ASSERT_TRUE(wait_until([&] { return held_connection(link) == nullptr; }));
    } else {
        EXPECT_EQ(count("Close Socket"), 0);
    }
    EXPECT_NE(pendq_contains(f.mid()), c.ends_request);

    // A new report and its reply go through.
    service->set_script(svc::reply_with(2, reply_tokens));
    frame g = report();
    EXPECT_EQ(g.conn, c.closes ? f.conn + 1 : f.conn);
    EXPECT_TRUE(reply_handled(g.mid(), 2));
    EXPECT_FALSE(service->bad_frames());
}

const fault_case fault_cases[] = {
    {"closes mid-packet",
     [](svc::service &s, const frame &f) {
         bytes r = reply_to(f, 2, reply_tokens);
         s.send(bytes(r.begin(), r.begin() + 30));
         std::this_thread::sleep_for(std::chrono::milliseconds(30));
         s.close();
     },
     "Packet Error Short Packet", true},
    {"garbage",
     [](svc::service &s, const frame &) { s.send(proto_test::text("GARBAGE GARBAGE GARBAGE!")); },
     "Packet Error Length 1380073799", true},
    {"Len 0xFFFFFFFF",
     [](svc::service &s, const frame &) { s.send(svc::header_with_len(0xFFFFFFFF)); },
     "Packet Error Length 4294967295", true},
    {"Len that wraps the total",
     [](svc::service &s, const frame &) { s.send(svc::header_with_len(0xFFFFFFF2)); },
     "Packet Error Length 4294967282", true},
    {"Len one above the largest packet",
     [](svc::service &s, const frame &) { s.send(svc::header_with_len(65520)); },
     "Packet Error Length 65520", true},
    {"a frame too short to parse",
     [](svc::service &s, const frame &) {
         s.send(svc::cat({svc::header_with_len(0), {0x12, 0x34}}));
     },
     "Packet To short", false},
    {"a reply with a bad CRC",
     [](svc::service &s, const frame &f) {
         bytes r = reply_to(f, 2, reply_tokens);
         r.back() ^= 1;
         s.send(r);
     },
     "Packet Wrong Len/Verify", false, true},
};

INSTANTIATE_TEST_SUITE_P(Service, Faults, ::testing::ValuesIn(fault_cases));

TEST_F(Wire, TheLargestPacketIsRead)
{
    frame f = report();
    bytes tokens = make_token(50, 1, std::string(65517 - 4, 'z'));
    bytes big = make_frame(f.id(), 0xFD, uint16_t(f.mid() + 1), tokens);
    ASSERT_EQ(big.size(), 65535u);
    ASSERT_TRUE(service->send(big));
    ASSERT_TRUE(wait_until([&] { return count("ID 50 OP 1") == 1; }));
    EXPECT_EQ(count("Packet Error"), 0);
    EXPECT_EQ(count("Close Socket"), 0);
}

TEST_F(Wire, ARestThatStopsComingEndsTheConnection)
{
    struct restore_read_wait {
        int ms;
        ~restore_read_wait() { link_set_read_wait_ms(ms); }
    } previous{link_set_read_wait_ms(200)};
    frame f = report();
    bytes r = reply_to(f, 2, reply_tokens);
    ASSERT_TRUE(service->send(bytes(r.begin(), r.begin() + 20)));
    ASSERT_TRUE(wait_until([&] { return count("Packet Error Short Packet") == 1; }));
    ASSERT_TRUE(wait_until([&] { return count("Close Socket") == 1; }));
    EXPECT_TRUE(pendq_contains(f.mid()));
}

TEST_F(Wire, ServiceDown)
{
    raw_socket refusing(SOCK_STREAM, false);
    ASSERT_GT(refusing.port, 0);
    link_test::aim(link, uint16_t(refusing.port));

    pkt_packet *p = make_packet(-3, 0x5151);
    pendq_submit(p, link_device_report_reply_cb, PENDQ_SEND_RETRY, nullptr);
    obj_release(p);
    pendq_entry *e = pendq_find(0x5151);
    ASSERT_NE(e, nullptr);
    {
        obj_guard g(e);
        EXPECT_NE(e->last_send, 0) << "stamped by the failed send";
    }
    EXPECT_EQ(link_transmit_entry(link, e, link_conn_opened_cb, 0), -1);
    obj_release(e);
    EXPECT_EQ(held_connection(link), nullptr);
    EXPECT_EQ(count("Close Socket"), 0) << "no loop was started";
}

TEST_F(Wire, AFinishedConnectionIsNotUsed)
{
    // The link holds a connection already marked closed whose loop has not ended yet.
    std::string port = std::to_string(service->port());
    sock_socket *old = sock_open_tcp_client("127.0.0.1", port.c_str(), nullptr, 5);
    ASSERT_NE(old, nullptr);
    ASSERT_TRUE(wait_until([&] { return service->accepted() == 1; }));
    foreign_connections = 1;
    sock_request_close(old);
    {
        obj_guard g(link);
        link->connection = old;
    }
    frame f = report();
    EXPECT_EQ(f.conn, 1) << "went out on a new connection";
    // (The old record may be gone, and its memory be the new one's.)
    sock_socket *now = held_connection(link);
    ASSERT_NE(now, nullptr);
    {
        obj_guard g(now);
        EXPECT_FALSE(now->flags & SOCK_FLAG_CLOSED);
    }
    // The old one is the service's first: it ends with nothing on it.
    ASSERT_TRUE(wait_until([&] { return service->ended() == 1; }));
}

// A connection whose loop thread cannot start would never be read: the link lets it go, and the
// next packet goes out on a new one.
TEST_F(Wire, AConnectionNobodyReadsIsNotKept)
{
    sock_thread_start_fn before = sock_loop_set_thread_start(refusing_thread_start);
    fail_thread_start = true;
    frame first = report();
    EXPECT_FALSE(fail_thread_start) << "the loop's start was refused";
    sock_loop_set_thread_start(before);
    EXPECT_EQ(first.conn, 0);
    foreign_connections = 1; // it has no loop to report its close
    frame second = report();
    EXPECT_EQ(second.conn, 1) << "went out on a new connection";
    ASSERT_TRUE(wait_until([&] { return service->ended() == 1; }));
}

TEST_F(Wire, AShortWriteClosesTheConnection)
{
    // A service that takes little and then stops reading.
    service = std::make_unique<svc::service>(4096);
    link_test::aim(link, service->port());
    service->set_reading(false);
    std::string payload(60000, 'p');
    int sent = 0, result = 1;
    sock_socket *first = nullptr;
    for (uint16_t mid = 1; mid < 200 && result == 1; mid++) {
        pkt_packet *p = make_packet(-3, mid, payload);
        pendq_submit(p, nullptr, PENDQ_QUEUE_ONLY, nullptr);
        obj_release(p);
        pendq_entry *e = pendq_find(mid);
        result = link_transmit_entry(link, e, link_conn_opened_cb, 0);
        obj_release(e);
        if (!first) {
            obj_guard g(link);
            first = link->connection;
            obj_retain(first);
        }
        sent += result == 1;
    }
    ASSERT_EQ(result, -1) << "the connection never filled up";
    ASSERT_NE(first, nullptr);
    {
        obj_guard g(first);
        EXPECT_TRUE(first->flags & SOCK_FLAG_CLOSED);
    }
    obj_release(first);

    // Once the service reads again, what came before the cut is intact; the rest of the
    // stream goes on a new connection.
    service->set_reading(true);
    pkt_packet *p = make_packet(-3, 999, "after");
    pendq_submit(p, nullptr, PENDQ_QUEUE_ONLY, nullptr);
    obj_release(p);
    pendq_entry *e = pendq_find(999);
    EXPECT_EQ(link_transmit_entry(link, e, link_conn_opened_cb, 0), 1);
    obj_release(e);
    auto on = [&](int conn) {
        int n = 0;
        for (const frame &f : service->frames())
            n += f.conn == conn;
        return n;
    };
    // The first connection ends once the link has let go of it.
    ASSERT_TRUE(wait_until([&] { return service->ended() == 1 && on(1) == 1; },
                           std::chrono::milliseconds(20000)));
    EXPECT_EQ(on(0), sent) << "every packet reported as written arrived whole";
    EXPECT_LE(service->partial_ends(), 1);
    EXPECT_FALSE(service->bad_frames());
}

TEST_F(Wire, FourDroppedConnectionsStepTheLongCounter)
{
    service->set_script([](svc::service &s, const frame &f) { s.close(f.conn); });
    int long_before = link_test::long_failures(link);
    for (int i = 1; i <= 4; i++) {
        frame f = report();
        EXPECT_EQ(f.conn, i - 1);
        ASSERT_TRUE(wait_until([&] { return count("Close Socket") == i; }));
        ASSERT_TRUE(wait_until([&] { return held_connection(link) == nullptr; }));
        EXPECT_EQ(link_test::short_failures(link), i % 4);
    }
    EXPECT_EQ(link_test::long_failures(link), long_before + 1);
}

// Threads of the process.
int live_threads()
{
    return folder_entries("/proc/self/task");
}

// A service that sends bare polls without a pause keeps every connection's reader busy. Each
// connection that the link lets go must still end, its loop thread and its descriptor with it,
// however long the polls go on.
TEST_F(Wire, AFloodOfPollsKeepsNoReplacedConnection)
{
    std::atomic<bool> flooding{true};
    // A poll every 50 ms on every open connection: twice as fast as the link takes them.
    std::thread flood([&] {
        for (uint16_t mid = 0x6000; flooding; mid++) {
            for (int c = 0; c < service->accepted(); c++)
                (void)service->send(make_frame(bytes(8), 1, mid), c);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    struct stop {
        std::atomic<bool> &flooding;
        std::thread &flood;
        ~stop()
        {
            flooding = false;
            flood.join();
        }
    } stop_flood{flooding, flood};
    const int threads_before = live_threads();
    auto open = [&] { return service->accepted() - service->ended(); };
    auto polled_on = [&](int conn) {
        for (const frame &f : service->frames())
            if (f.conn == conn && f.cmd() == 1)
                return true;
        return false;
    };
    int most_open = 0, most_threads = 0;
    for (int i = 0; i < 6; i++) {
        link_send_device_report(dev, 1, 1);
        int newest = -1;
        // The link answers the flood on its newest connection: that one's reader is busy.
        ASSERT_TRUE(wait_until([&] {
            newest = service->accepted() - 1;
            return held_connection(link) && newest >= i && polled_on(newest);
        })) << i;
        most_open = std::max(most_open, open());
        most_threads = std::max(most_threads, live_threads());
        link_test::aim(link, service->port()); // the connection goes, as after a counted failure
    }
    bool bounded = wait_until([&] { return open() <= 1 && live_threads() <= threads_before + 1; },
                              std::chrono::milliseconds(5000));
    printf("threads %d before, at most %d, then %d; open connections at most %d, then %d of %d\n",
           threads_before, most_threads, live_threads(), most_open, open(), service->accepted());
    EXPECT_TRUE(bounded) << open() << " connections and " << live_threads() - threads_before
                         << " threads more still live";
}

TEST_F(Wire, AcknowledgementsWhileThePumpWalksTheTable)
{
    // Every acknowledgement enters a poll in the table while the pump walks it: the two must
    // never wait on each other.
    std::atomic<bool> done{false};
    std::thread pump([&] {
        while (!done)
            (void)pendq_pump(link);
    });
    std::thread acks([&] {
        for (int i = 0; i < 100; i++)
            msg_send_reply(4, uint16_t(0x7000 + i));
    });
    acks.join();
    done = true;
    pump.join();
    ASSERT_TRUE(service->wait_frames(200)) << service->frames().size();
    EXPECT_FALSE(service->bad_frames());
}

} // namespace

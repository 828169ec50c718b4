// The link's record and its failure accounting, with synthetic times.
#include "tests/link/link_fixture.h"

#include "link/link.h"
#include "netenv/dns.h"
#include "transport/sock.h"

#include <gtest/gtest.h>

#include <barrier>
#include <cstring>
#include <sys/socket.h>
#include <thread>
#include <vector>

namespace
{

using link_test::long_failures;
using link_test::short_failures;

struct LinkState : link_test::link_fixture {
    // Gives the link a connection of its own; the caller keeps a reference to watch it.
    sock_socket *hold_new_connection()
    {
        sock_socket *s = sock_create(AF_INET, SOCK_STREAM, 0, nullptr);
        EXPECT_NE(s, nullptr);
        obj_retain(s);
        obj_guard g(link);
        if (link->connection)
            obj_release(link->connection);
        link->connection = s;
        return s;
    }
};

// A clock far from any other test's, so the accounting starts afresh: more than a day after
// every earlier failure only restarts its clock.
time_t fresh_clock()
{
    static time_t next = 2000000000;
    next += 10000000;
    return next;
}

bool closed(sock_socket *s)
{
    obj_guard g(s);
    return s->flags & SOCK_FLAG_CLOSED;
}

// Exits 0 when every thread got the same record, fresh as it was made, and the same resolver.
[[noreturn]] void first_calls_at_once()
{
    constexpr int N = 8;
    std::vector<link_state *> got(N);
    std::vector<dns_resolver *> resolvers(N);
    std::barrier start(N);
    time_t before = clk_now();
    std::vector<std::thread> threads;
    for (int i = 0; i < N; i++)
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            got[size_t(i)] = link_get();
            resolvers[size_t(i)] = link_resolver_get();
        });
    for (std::thread &t : threads)
        t.join();
    time_t after = clk_now();
    for (int i = 0; i < N; i++)
        if (!got[size_t(i)] || got[size_t(i)] != got[0] || !resolvers[size_t(i)] ||
            resolvers[size_t(i)] != resolvers[0])
            die_because("the threads did not all get the same record and resolver");
    link_state *l = got[0];
    char buf[17];
    memset(buf, 'x', sizeof buf);
    if (link_get_address(l, buf, sizeof buf) != 0 ||
        std::string(buf, sizeof buf) != std::string(sizeof buf, '\0'))
        die_because("a fresh record has an address");
    if (l->port != 0 || l->short_failures != 0 || l->long_failures != 0 || l->connection ||
        l->keepalive < before + 60 || l->keepalive > after + 60)
        die_because("a fresh record has a port, failure counts, a connection or a keep-alive "
                    "time other than a minute from its making");
    if (obj_refcount(l) != N + 1) // the slot keeps one
        die_because("the record is not held once by each caller and once by the slot");
    _exit(0);
}

TEST(LinkRecord, FirstCallsFromManyThreadsMakeOneFreshRecord)
{
    // In a child process of its own, so that these really are the first calls.
    EXPECT_EXIT(first_calls_at_once(), ::testing::ExitedWithCode(0), "");
}

TEST_F(LinkState, AddressChangesOnlyWhenTextOrPortDiffers)
{
    struct step {
        const char *text;
        uint16_t port;
        const char *note;
        const char *line; // null: nothing logged
    };
    const step steps[] = {
        {"10.0.0.12", 32000, nullptr, "IP ADDRESS TO USE 10.0.0.12:32000"},
        {"10.0.0.12", 32000, nullptr, nullptr},
        {"10.0.0.12", 32001, nullptr, "IP ADDRESS TO USE 10.0.0.12:32001"},
        {"10.0.0.1", 32001, nullptr, "IP ADDRESS TO USE 10.0.0.1:32001"},
        {"10.0.0.12", 32001, "192.0.2.7", "IP ADDRESS TO USE 10.0.0.12:32001 (192.0.2.7)"},
    };
    link_set_label("x", nullptr, 0); // no address held
    for (const step &s : steps) {
        size_t before = lines().size();
        link_set_address(link, s.text, s.port, s.note, 1);
        std::vector<std::string> l = lines();
        if (s.line) {
            ASSERT_EQ(l.size(), before + 1) << s.text << ":" << s.port;
            EXPECT_EQ(l.back(), s.line);
        } else {
            EXPECT_EQ(l.size(), before) << s.text << ":" << s.port;
        }
        char buf[17];
        EXPECT_EQ(link_get_address(link, buf, sizeof buf), 1);
        EXPECT_STREQ(buf, s.text);
        EXPECT_EQ(link->port, s.port);
    }

    // Only a usable address is taken.
    link_set_address_if_valid(link, "10.9.9.9", 0, nullptr, 1);
    link_set_address_if_valid(link, "", 1, nullptr, 1);
    link_set_address_if_valid(link, nullptr, 1, nullptr, 1);
    char buf[17];
    ASSERT_EQ(link_get_address(link, buf, sizeof buf), 1);
    EXPECT_STREQ(buf, "10.0.0.12");

    // A longer text than the buffer comes back cut and terminated.
    link_set_address(link, "255.255.255.255:65535", 1, nullptr, 0);
    char small[8];
    EXPECT_EQ(link_get_address(link, small, sizeof small), 1);
    EXPECT_STREQ(small, "255.255");
}

TEST_F(LinkState, LabelClearsTheAddressAndKeepsThePort)
{
    link_set_address(link, "10.0.0.3", 4000, nullptr, 0);
    link_set_label("dev", nullptr, 0);
    EXPECT_EQ(link_get_address(link, nullptr, 0), 0);
    EXPECT_EQ(link->port, 4000);
    EXPECT_EQ(link_has_label("dev"), 1);
    EXPECT_EQ(link_has_label("de"), 0);
    EXPECT_EQ(link_has_label("devx"), 0);
}

TEST_F(LinkState, FailureAccountingOverTime)
{
    struct step {
        time_t at; // seconds after the clock's start
        uint8_t reset;
        int result;
        int short_after, long_after;
        bool closes;
    };
    // The long counter steps only when the short one stood at 2 or more and the last long step
    // lies more than 900 s back; at 4 both restart.
    const step steps[] = {
        {0, 0, 0, 0, 0, false},     // the first failure only starts the clock
        {59, 0, 0, 0, 0, false},    // too soon: nothing counts
        {60, 0, 0, 1, 0, true},     // counted
        {961, 0, 0, 2, 0, true},    // short was 1: no long step
        {1862, 0, 0, 3, 1, true},   // short was 2, long step
        {2762, 0, 0, 4, 1, true},   // only 900 s after the long step
        {2822, 0, 0, 5, 2, true},   // 960 s after it
        {3723, 0, 0, 6, 3, true},   // long step
        {4624, 0, 1, 0, 0, true},   // the fourth long step restarts both
        {4684, 0, 0, 1, 0, true},   //
        {91085, 0, 0, 1, 0, false}, // more than a day later: the clock restarts, no more
        {91100, 1, 1, 0, 0, true},  // a reset counts even too soon
        {91101, 0, 0, 0, 0, false}, // still too soon for a failure
        {91161, 1, 1, 0, 0, true},  // a reset in time restarts too
    };
    time_t t0 = fresh_clock();
    for (const step &s : steps) {
        sock_socket *conn = hold_new_connection();
        EXPECT_EQ(link_note_failure(s.reset, t0 + s.at), s.result) << "at " << s.at;
        EXPECT_EQ(short_failures(link), s.short_after) << "at " << s.at;
        EXPECT_EQ(long_failures(link), s.long_after) << "at " << s.at;
        EXPECT_EQ(closed(conn), s.closes) << "at " << s.at;
        EXPECT_EQ(link_test::held_connection(link) == nullptr, s.closes) << "at " << s.at;
        obj_release(conn);
    }
    EXPECT_EQ(link_get_long_failures(), 0);

    // Without a time, only a reset does anything.
    sock_socket *conn = hold_new_connection();
    EXPECT_EQ(link_note_failure(0, 0), 0);
    EXPECT_FALSE(closed(conn));
    EXPECT_EQ(link_note_failure(1, 0), 1);
    EXPECT_TRUE(closed(conn));
    obj_release(conn);
}

TEST_F(LinkState, AnOverdueKeepaliveCountsAsAFailure)
{
    time_t t0 = fresh_clock();
    (void)link_note_failure(0, t0); // starts the clock
    sock_socket *conn = hold_new_connection();
    const struct {
        time_t deadline, now;
        bool counted;
    } steps[] = {{t0 + 100, t0 + 100, false}, {0, t0 + 200, false}, {t0 + 100, t0 + 101, true}};
    for (const auto &s : steps) {
        {
            obj_guard g(link);
            link->keepalive = s.deadline;
        }
        EXPECT_EQ(link_check_keepalive(s.now), 0);
        EXPECT_EQ(closed(conn), s.counted) << "deadline " << s.deadline - t0;
        EXPECT_EQ(short_failures(link), s.counted ? 1 : 0);
    }
    obj_release(conn);
}

TEST_F(LinkState, FailuresReportedAtOnceCountOnce)
{
    time_t t0 = fresh_clock();
    EXPECT_EQ(link_note_failure(0, t0), 0);
    constexpr int N = 8;
    std::barrier start(N);
    std::vector<std::thread> threads;
    for (int i = 0; i < N; i++)
        threads.emplace_back([&] {
            start.arrive_and_wait();
            (void)link_note_failure(0, t0 + 60);
        });
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(short_failures(link), 1) << "each later call came less than 60 s after the first";
}

TEST_F(LinkState, DroppedConnections)
{
    sock_socket *held = hold_new_connection();
    sock_socket *other = sock_create(AF_INET, SOCK_STREAM, 0, nullptr);
    ASSERT_NE(other, nullptr);
    int long_before = long_failures(link);

    // The end of an older connection's loop leaves the newer one alone, but still counts.
    link_drop_connection(link, other);
    EXPECT_EQ(link_test::held_connection(link), held);
    EXPECT_EQ(short_failures(link), 1);

    link_drop_connection(link, held);
    EXPECT_EQ(link_test::held_connection(link), nullptr);
    EXPECT_EQ(obj_refcount(held), 1) << "the link let go of its reference";

    // The fourth drop carries the short counter over into the long one.
    link_drop_connection(link, nullptr);
    EXPECT_EQ(short_failures(link), 3);
    link_drop_connection(link, nullptr);
    EXPECT_EQ(short_failures(link), 0);
    EXPECT_EQ(long_failures(link), long_before + 1);
    obj_release(other);
    obj_release(held);
}

} // namespace

// The pending table and its pump, against a service that never answers. The process clock is
// held and send times are set back instead of waiting for minutes.
#include "tests/common/test_clock.h"
#include "tests/link/link_fixture.h"

#include "core/tbl.h"
#include "core/util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <latch>
#include <map>
#include <thread>
#include <vector>

namespace
{

using link_test::make_packet;
using link_test::set_age;

// Submitters that enter at once, and a source that draws among as many MIDs as they submit:
// toward the end most draws are taken, so the submitters meet on the few free ones left.
constexpr int SUBMITTERS = 8;
constexpr int EACH = 32;
constexpr uint16_t FEW_FROM = 0x2000;
constexpr uint16_t FEW = SUBMITTERS * EACH;

int few_values(void *out, int length)
{
    uint16_t r = 0;
    (void)util_random_bytes(&r, sizeof r);
    r = uint16_t(FEW_FROM + r % FEW);
    memcpy(out, &r, std::min(size_t(length), sizeof r));
    return 1;
}

struct Pump : link_test::link_fixture {
    held_clock clock;

    void submit(int8_t cmd, uint16_t mid, uint32_t kind, pendq_reply_fn reply = nullptr)
    {
        pkt_packet *p = make_packet(cmd, mid);
        pendq_submit(p, reply, kind, nullptr);
        obj_release(p);
    }

    // attempts and last send of a pending entry; attempts -1 when it is gone.
    std::pair<int, time_t> state(uint16_t mid)
    {
        pendq_entry *e = pendq_find(mid);
        if (!e)
            return {-1, 0};
        std::pair<int, time_t> s;
        {
            obj_guard g(e);
            s = {e->attempts, e->last_send};
        }
        obj_release(e);
        return s;
    }

    // Packets the link wrote for a MID: each one is logged as it goes out.
    int written(const std::string &mid_hex) { return count("MID: " + mid_hex + " "); }

    // Whole log lines equal to line.
    int lines_equal(const std::string &line) { return int(std::ranges::count(log(), line)); }

    // How many entries hold each MID; the table is emptied on the way, in one walk.
    std::map<uint16_t, int> take_all()
    {
        std::map<uint16_t, int> held;
        tbl_iter *it = tbl_iter_create(pendq_table());
        while (auto *e = static_cast<pendq_entry *>(tbl_iter_next(it))) {
            held[e->packet->mid]++;
            tbl_iter_remove(it);
            obj_release(e);
        }
        obj_release(it);
        return held;
    }
};

TEST_F(Pump, AnEmptyTableMakesAnEmptyPass)
{
    EXPECT_EQ(pendq_count(), 0);
    EXPECT_EQ(pendq_pump(link), 0);
    EXPECT_EQ(service->accepted(), 0);
}

TEST_F(Pump, AReportWithoutReplyIsResentThreeTimesThenGivenUp)
{
    submit(-3, 0x5A5A, PENDQ_SEND_RETRY, link_device_report_reply_cb);
    EXPECT_EQ(written("5A5A"), 1) << "sent at once";
    EXPECT_EQ(state(0x5A5A).first, 0);
    for (int i = 1; i <= 3; i++) {
        set_age(0x5A5A, 59);
        EXPECT_EQ(pendq_pump(link), 0);
        EXPECT_EQ(written("5A5A"), i) << "not before 60 s";
        set_age(0x5A5A, 60);
        EXPECT_EQ(pendq_pump(link), 0);
        EXPECT_EQ(written("5A5A"), i + 1);
        EXPECT_EQ(lines_equal("RESEND Q ID 5A5A CMD -3 60"), i);
        EXPECT_EQ(state(0x5A5A).first, i);
    }
    set_age(0x5A5A, 60);
    EXPECT_EQ(pendq_pump(link), 0);
    EXPECT_EQ(count("Packet failed"), 1);
    EXPECT_EQ(state(0x5A5A).first, -1) << "gone after the final step";
    EXPECT_EQ(written("5A5A"), 4) << "the final step writes nothing";
    ASSERT_TRUE(service->wait_frames(4));
    std::vector<svc::frame> f = service->frames();
    EXPECT_EQ(f.size(), 4u);
    for (const svc::frame &x : f)
        EXPECT_EQ(x.raw, f[0].raw) << "every resend is the same packet";
}

TEST_F(Pump, AOneTimeEntryIsNeverResent)
{
    submit(9, 0x0101, PENDQ_SEND_ONCE);
    EXPECT_EQ(state(0x0101).first, 1);
    set_age(0x0101, 59);
    EXPECT_EQ(pendq_pump(link), 0);
    EXPECT_EQ(state(0x0101).first, 1) << "kept until 60 s have passed";
    set_age(0x0101, 60);
    EXPECT_EQ(pendq_pump(link), 0);
    EXPECT_EQ(state(0x0101).first, -1);
    EXPECT_EQ(written("0101"), 1);
    EXPECT_EQ(count("RESEND"), 0);
}

TEST_F(Pump, AQueuedEntryGoesWithTheNextPass)
{
    submit(5, 0x0202, PENDQ_QUEUE_ONLY);
    EXPECT_EQ(written("0202"), 0);
    EXPECT_EQ(state(0x0202), std::make_pair(0, time_t(0)));
    EXPECT_EQ(pendq_pump(link), 0);
    EXPECT_EQ(written("0202"), 1);
    EXPECT_EQ(state(0x0202).first, 0) << "a first send is no resend";
    EXPECT_NE(state(0x0202).second, 0);
    EXPECT_EQ(count("RESEND"), 0);
}

TEST_F(Pump, SixSendsAPass)
{
    for (uint16_t mid = 0x0306; mid >= 0x0300; mid--)
        submit(5, mid, PENDQ_QUEUE_ONLY);
    EXPECT_EQ(pendq_pump(link), 0);
    for (uint16_t mid = 0x0300; mid <= 0x0305; mid++)
        EXPECT_NE(state(mid).second, 0) << std::hex << mid << " sent by the first pass";
    EXPECT_EQ(state(0x0306).second, 0) << "the seventh waits";
    EXPECT_EQ(pendq_pump(link), 0);
    EXPECT_NE(state(0x0306).second, 0);
    ASSERT_TRUE(service->wait_frames(7));
}

TEST_F(Pump, AnEntryHeldElsewhereIsLeftAloneUntilItsFinalStep)
{
    submit(-3, 0x0404, PENDQ_SEND_RETRY);
    pendq_entry *held = pendq_find(0x0404); // as a submitter still sending it would
    ASSERT_NE(held, nullptr);
    set_age(0x0404, 120);
    EXPECT_EQ(pendq_pump(link), 0);
    EXPECT_EQ(state(0x0404).first, 0);
    EXPECT_EQ(written("0404"), 1);

    {
        obj_guard g(held);
        held->attempts = 3;
    }
    EXPECT_EQ(pendq_pump(link), 0);
    EXPECT_EQ(state(0x0404).first, -1);
    EXPECT_EQ(count("Packet failed"), 1);
    EXPECT_EQ(written("0404"), 1);
    obj_release(held);
}

TEST_F(Pump, AnEntryWithoutAGoodPacketIsDropped)
{
    submit(5, 0x0505, PENDQ_QUEUE_ONLY);
    pendq_entry *e = pendq_find(0x0505);
    ASSERT_NE(e, nullptr);
    e->packet->marker = 0;
    obj_release(e);
    EXPECT_EQ(pendq_pump(link), 0);
    EXPECT_EQ(pendq_count(), 0);
    EXPECT_EQ(count("RESEND") + count("H: "), 0) << "silently";
    EXPECT_EQ(service->accepted(), 0);
}

TEST_F(Pump, LookingAnEntryUpLeavesItAsItWas)
{
    submit(5, 0x0606, PENDQ_QUEUE_ONLY);
    submit(5, 0x0607, PENDQ_QUEUE_ONLY);
    EXPECT_EQ(pendq_count(), 2);
    pendq_entry *e = pendq_find(0x0606);
    ASSERT_NE(e, nullptr);
    int refs = obj_refcount(e);
    EXPECT_EQ(pendq_contains(0x0606), 1);
    EXPECT_EQ(pendq_contains(0x0608), 0);
    EXPECT_EQ(obj_refcount(e), refs);
    obj_release(e);
}

// Device tests end and report on many threads at once: no two reports may take the same free
// MID. A race shows only now and then, so the submitters go several rounds.
TEST_F(Pump, RequestsEnteredAtOnceHoldDistinctMids)
{
    link_test::random_source source(few_values);
    for (int round = 0; round < 5; round++) {
        SCOPED_TRACE(round);
        std::latch start(SUBMITTERS);
        std::vector<std::thread> submitters;
        for (int i = 0; i < SUBMITTERS; i++)
            submitters.emplace_back([&] {
                start.arrive_and_wait();
                for (int n = 0; n < EACH; n++) {
                    pkt_packet *p = make_packet(5, 0);
                    pendq_submit_request(p, nullptr, PENDQ_QUEUE_ONLY, nullptr);
                    obj_release(p);
                }
            });
        for (std::thread &t : submitters)
            t.join();
        int shared = 0, entries = 0;
        for (auto [mid, n] : take_all()) {
            entries += n;
            shared += n > 1;
        }
        EXPECT_EQ(entries, SUBMITTERS * EACH);
        ASSERT_EQ(shared, 0) << "MIDs held by more than one entry";
    }
}

// The last free MID is found however the draws fall; with none left a request is dropped, and
// whatever it held is let go.
TEST_F(Pump, WithEveryMidPendingARequestIsDropped)
{
    for (uint32_t mid = 0; mid <= UINT16_MAX; mid++)
        submit(5, uint16_t(mid), PENDQ_QUEUE_ONLY);
    pendq_entry *e = pendq_find(0x4321);
    ASSERT_NE(e, nullptr);
    pendq_remove(e);
    obj_release(e);
    pkt_packet *last = make_packet(5, 0);
    pendq_submit_request(last, nullptr, PENDQ_QUEUE_ONLY, nullptr);
    EXPECT_EQ(last->mid, 0x4321);
    obj_release(last);
    ASSERT_EQ(pendq_count(), UINT16_MAX + 1);

    void *user = obj_alloc(8, nullptr);
    for (uint32_t kind : {PENDQ_SEND_ONCE, PENDQ_SEND_RETRY, PENDQ_QUEUE_ONLY}) {
        SCOPED_TRACE(kind);
        pkt_packet *p = make_packet(-3, 0x1234);
        pendq_submit_request(p, link_device_report_reply_cb, kind, user);
        EXPECT_EQ(obj_refcount(p), 1) << "no entry kept it";
        obj_release(p);
    }
    EXPECT_EQ(obj_refcount(user), 1);
    obj_release(user);
    EXPECT_EQ(service->accepted(), 0) << "nothing went out";
    EXPECT_EQ(count("H: "), 0);

    std::map<uint16_t, int> held = take_all();
    EXPECT_EQ(held.size(), size_t(UINT16_MAX) + 1);
    EXPECT_TRUE(std::ranges::all_of(held, [](auto &m) { return m.second == 1; }));
}

} // namespace

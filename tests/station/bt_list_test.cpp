#include "core/obj.h"
#include "station/bt_device.h"
#include "station/bt_service.h"
#include "station_fixture.h"

namespace
{

constexpr uint32_t M = BT_DEV_MAKER;

struct ListPass : station_fixture {
    void SetUp() override
    {
        station_fixture::SetUp();
        start("");
    }
    // Puts an entry at the end of the list, last seen `age` seconds ago.
    bt_device *add(const char *addr, bool maker, int64_t age, uint32_t flags = 0,
                   bool services = false)
    {
        bt_device *dev = make_device(addr, maker ? "btd" : "laptop", flags);
        dev->last_seen = radio->now() - age;
        // On channel 3 only, a test start shows as "No service found", without a thread.
        if (services)
            dev->services = make_service(3);
        bt_device **tail = &ctx->devices;
        while (*tail)
            tail = &(*tail)->next;
        *tail = dev;
        return dev;
    }
    std::vector<bt_device *> order()
    {
        std::vector<bt_device *> v;
        for (bt_device *d = ctx->devices; d; d = d->next)
            v.push_back(d);
        return v;
    }
};

struct age_case {
    const char *what;
    bool maker, services;
    uint32_t flags;
    int64_t age;
    bool kept;
    uint32_t flags_after;
    int count;
    bool test_started;
};

// Names the case in test listings.
void PrintTo(const age_case &c, std::ostream *os)
{
    *os << c.what;
}

class AgeRules : public ListPass, public ::testing::WithParamInterface<age_case>
{
};

TEST_P(AgeRules, OnePass)
{
    const age_case &c = GetParam();
    bt_device *dev = add("00:1A:7D:DA:71:13", c.maker, c.age, c.flags, c.services);
    auto hold = obj_ref<bt_device>::retain(dev);
    EXPECT_EQ(bt_devices_update(ctx, 0, 0), c.count) << c.what;
    EXPECT_EQ(ctx->devices == dev, c.kept) << c.what;
    EXPECT_EQ(bt_device_flags(dev), c.flags_after) << c.what;
    EXPECT_EQ(logged("Connect failed for 00:1A:7D:DA:71:13 [No service found]"), c.test_started)
        << c.what;
    bt_device_set_flags(dev, 0, BT_DEV_IN_FLIGHT); // no job stands behind this one
}

constexpr uint32_t P = BT_DEV_PAIRED, E = BT_DEV_ERROR, O = BT_DEV_OBR_OK, S = BT_DEV_STOP,
                   C = BT_DEV_CHANGED, T = BT_DEV_TESTING, F = BT_DEV_IN_FLIGHT, X = BT_DEV_EXPIRED;

INSTANTIATE_TEST_SUITE_P(
    Entries, AgeRules,
    ::testing::Values(
        age_case{"other, 60 s", false, false, 0, 60, true, 0, 0, false},
        age_case{"other, 61 s: removal counts, expiry does not", false, false, 0, 61, false, X, 1,
                 false},
        age_case{"fresh maker with services: tested", true, true, 0, 30, true, M | E, 1, true},
        age_case{"read failed, 31 s: stopped", true, true, P | E, 31, true, M | P | E | S, 1,
                 false},
        age_case{"read failed, 20 s: verdict settled", true, true, P | E, 20, true, M | E, 1,
                 false},
        age_case{"read OK, 180 s: verdict settled", true, true, P | O, 180, true, M | O, 1, false},
        age_case{"connected and silent, 181 s: stopped", true, true, P, 181, true, M | P | S, 1,
                 false},
        age_case{"connected and silent, 150 s: waits", true, true, P | C, 150, true, M | P, 1,
                 false},
        age_case{"read OK, 61 s: expired and removed", true, true, O, 61, false, M | O | X, 2,
                 false},
        age_case{"no services, changed", true, false, C, 50, true, M, 1, false},
        age_case{"no services, nothing to do", true, false, 0, 50, true, M, 0, false},
        age_case{"attempt without report: tried again", true, true, T | E, 45, true, M | T | E, 1,
                 true},
        age_case{"test in flight: no second test", true, true, T | F, 10, true, M | T | F, 0,
                 false},
        age_case{"expired, test in flight: kept and stopped", true, true, T | F, 61, true,
                 M | T | F | X | S, 1, false},
        age_case{"expired, no test in flight: removed", true, true, T | E, 61, false, M | T | E | X,
                 2, false}));

TEST_F(ListPass, NewerEntriesMoveUp)
{
    bt_device *a = add("00:00:00:00:00:01", false, 10);
    bt_device *b = add("00:00:00:00:00:02", false, 40);
    bt_device *c = add("00:00:00:00:00:03", false, 30);
    bt_device *d = add("00:00:00:00:00:04", false, 20);
    bt_device *e = add("00:00:00:00:00:05", false, 5);
    // An entry seen after the head goes to the front; any other passes an older predecessor
    // by one place per pass.
    EXPECT_EQ(bt_devices_update(ctx, 0, 0), 4);
    EXPECT_EQ(order(), (std::vector<bt_device *>{e, a, c, d, b}));
    EXPECT_EQ(bt_devices_update(ctx, 0, 0), 1);
    EXPECT_EQ(order(), (std::vector<bt_device *>{e, a, d, c, b}));
    EXPECT_EQ(bt_devices_update(ctx, 0, 0), 0);
}

TEST_F(ListPass, RemovalKeepsTheRestLinked)
{
    add("00:00:00:00:00:01", false, 61);
    bt_device *b = add("00:00:00:00:00:02", false, 10);
    add("00:00:00:00:00:03", false, 70);
    bt_device *d = add("00:00:00:00:00:04", false, 20);
    add("00:00:00:00:00:05", false, 99);
    EXPECT_EQ(bt_devices_update(ctx, 0, 0), 3);
    EXPECT_EQ(order(), (std::vector<bt_device *>{b, d}));
    EXPECT_EQ(bt_devices_update(ctx, 0, 0), 0);
    EXPECT_EQ(count("Releasing device laptop [00:00:00:00:00:05] CLASS: Miscellaneous [] "
                    "(0x000000)"),
              1);
}

TEST_F(ListPass, EmptyListCountsNothing)
{
    EXPECT_EQ(bt_devices_update(ctx, 3, 0), 0);
}

// One test in flight per device; the retry after an attempt without report stays.
TEST_F(ListPass, DeviceBlockedInItsConnectGetsNoSecondTest)
{
    radio.reset();
    start(R"(
device 00:1A:7D:DA:71:13 000100
name btdremol-7113
service 0x10005 Serial Port
proto L2CAP RFCOMM:1
rfcomm hang 30
)");
    open_window();
    pass();
    sim_device_stats &st = radio->stats(0);
    ASSERT_TRUE(wait_until([&] { return st.in_connect == 1; }));
    for (int i = 0; i < 3; i++) {
        radio->advance(5);
        pass();
    }
    EXPECT_EQ(st.connects, 1);
    EXPECT_EQ(st.max_in_connect, 1);

    radio->release_hangs();
    ASSERT_NO_FATAL_FAILURE(wait_idle());
    bt_device *dev = device("00:1A:7D:DA:71:13");
    EXPECT_EQ(bt_device_flags(dev), M | T | E) << "no report yet, 15 s after the sighting";
    EXPECT_FALSE(logged("Device report ID: 0008001a7dda7113 PAIRED: ERROR OBR: ERROR"));
    pass();
    ASSERT_NO_FATAL_FAILURE(wait_idle());
    EXPECT_EQ(st.connects, 2);
}

} // namespace

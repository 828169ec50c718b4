#include "core/obj.h"
#include "core/thr.h"
#include "link/pendq.h"
#include "station/bt_device.h"
#include "station/bttest.h"
#include "station_fixture.h"

#include <cerrno>

namespace
{

constexpr uint32_t M = BT_DEV_MAKER, P = BT_DEV_PAIRED, C = BT_DEV_CHANGED, T = BT_DEV_TESTING,
                   O = BT_DEV_OBR_OK, E = BT_DEV_ERROR, N = BT_DEV_NAME_UNKNOWN;
constexpr const char *addr = "00:1A:7D:DA:71:13";

std::string maker_device(const std::string &rfcomm)
{
    return "device 00:1A:7D:DA:71:13 000100\nname btdremol-7113\n"
           "service 0x10005 Serial Port\nproto L2CAP RFCOMM:1\nrfcomm " +
           rfcomm + "\n";
}

struct outcome_case {
    const char *rfcomm;
    std::vector<std::string> lines; // in this order, among others
    uint32_t flags_after;
};

// Names the case in test listings.
void PrintTo(const outcome_case &c, std::ostream *os)
{
    *os << c.rfcomm;
}

class DeviceTest : public station_fixture, public ::testing::WithParamInterface<outcome_case>
{
};

TEST_P(DeviceTest, Outcome)
{
    const outcome_case &c = GetParam();
    start(maker_device(c.rfcomm));
    open_window();
    pass();
    ASSERT_NO_FATAL_FAILURE(wait_idle());
    auto lines = log();
    auto at = lines.begin();
    for (const auto &want : c.lines) {
        at = std::find(at, lines.end(), want);
        ASSERT_NE(at, lines.end()) << "missing, or out of order: " << want;
    }
    EXPECT_EQ(bt_device_flags(device(addr)), c.flags_after);
}

INSTANTIATE_TEST_SUITE_P(
    Devices, DeviceTest,
    ::testing::Values(
        outcome_case{"send 0 ABCDEFGH",
                     {"Paired 00:1A:7D:DA:71:13 RFCOMM 1",
                      "Read from 00:1A:7D:DA:71:13 RFCOMM 1 0x4443424148474645",
                      "Disconected 00:1A:7D:DA:71:13 RFCOMM 1",
                      "Device report ID: 0008001a7dda7113 PAIRED: OK OBR: OK"},
                     M | P | C | O},
        outcome_case{"send 20 abc",
                     {"Read from 00:1A:7D:DA:71:13 RFCOMM 1 0x0063626100000000",
                      "Device report ID: 0008001a7dda7113 PAIRED: OK OBR: OK"},
                     M | P | C | O},
        outcome_case{"close",
                     {"Paired 00:1A:7D:DA:71:13 RFCOMM 1", "Read failed 00:1A:7D:DA:71:13 RFCOMM 1",
                      "Disconected 00:1A:7D:DA:71:13 RFCOMM 1",
                      "Device report ID: 0008001a7dda7113 PAIRED: OK OBR: ERROR"},
                     N},
        outcome_case{"refuse",
                     {"Connect failed for 00:1A:7D:DA:71:13 RFCOMM 1 [Connection refused]"},
                     M | T | E}));

// Out of descriptors: the station's own want. The cause is logged, no connect is tried, and the
// device keeps the flags it had: the attempt gives no verdict.
TEST_F(station_fixture, SocketThatCannotBeMadeFailsWithItsOwnCause)
{
    start(maker_device("send 0 ABCDEFGH"));
    radio->fail_sockets(EMFILE);
    open_window();
    pass();
    ASSERT_NO_FATAL_FAILURE(wait_idle());
    EXPECT_TRUE(logged("Connect failed for 00:1A:7D:DA:71:13 RFCOMM 1 [Too many open files]"))
        << testing::PrintToString(log());
    EXPECT_EQ(radio->stray_connects(), 0);
    EXPECT_EQ(bt_device_flags(device(addr)), M);
}

int reports_logged(const std::vector<std::string> &lines)
{
    int n = 0;
    for (const auto &l : lines)
        n += l.rfind("Device report ID:", 0) == 0;
    return n;
}

// A refused connect freezes the last sighting; a later attempt whose socket cannot be made,
// 30 s and more after it, blames the device for nothing: no report is logged or sent, the flags
// stay, and the next pass tries again, whose refused connect then reports.
TEST_F(station_fixture, SocketThatCannotBeMadeGivesNoReportHoweverOldTheSighting)
{
    ASSERT_EQ(pendq_create(), 1); // a report sent waits there for its reply
    const int pending = pendq_count();
    start(maker_device("refuse"));
    open_window();
    pass();
    ASSERT_NO_FATAL_FAILURE(wait_idle());
    ASSERT_EQ(bt_device_flags(device(addr)), M | T | E);

    radio->fail_sockets(EMFILE);
    int elapsed = 0, tries = 0;
    for (int age : {30, 45, 60}) {
        radio->advance(age - elapsed);
        elapsed = age;
        open_window();
        pass();
        ASSERT_NO_FATAL_FAILURE(wait_idle());
        EXPECT_EQ(count("Connect failed for 00:1A:7D:DA:71:13 RFCOMM 1 [Too many open files]"),
                  ++tries)
            << age << ": each pass tries";
        EXPECT_EQ(reports_logged(log()), 0) << age;
        EXPECT_EQ(pendq_count(), pending) << age << ": no report sent";
        EXPECT_EQ(bt_device_flags(device(addr)), M | T | E) << age;
    }
    EXPECT_EQ(radio->stats(0).connects, 1);

    radio->fail_sockets(0);
    pass();
    ASSERT_NO_FATAL_FAILURE(wait_idle());
    EXPECT_EQ(radio->stats(0).connects, 2) << "tried again";
    EXPECT_EQ(count("Device report ID: 0008001a7dda7113 PAIRED: ERROR OBR: ERROR"), 1);
    EXPECT_EQ(pendq_count(), pending + 1);
    EXPECT_EQ(bt_device_flags(device(addr)), N);
}

TEST_F(station_fixture, RefusedTestReportsOnceTheSightingIs30SecondsOld)
{
    start(maker_device("refuse"));
    open_window();
    int elapsed = 0;
    for (int age : {0, 10, 29}) {
        radio->advance(age - elapsed);
        elapsed = age;
        pass();
        ASSERT_NO_FATAL_FAILURE(wait_idle());
        EXPECT_FALSE(logged("Device report ID: 0008001a7dda7113 PAIRED: ERROR OBR: ERROR")) << age;
    }
    radio->advance(1);
    pass();
    ASSERT_NO_FATAL_FAILURE(wait_idle());
    EXPECT_EQ(count("Device report ID: 0008001a7dda7113 PAIRED: ERROR OBR: ERROR"), 1);
    EXPECT_EQ(radio->stats(0).connects, 4);
    EXPECT_EQ(bt_device_flags(device(addr)), N) << "starts afresh";
}

TEST_F(station_fixture, SilentDeviceIsStoppedAfter180Seconds)
{
    start(maker_device("silent"));
    open_window();
    pass();
    ASSERT_TRUE(wait_until([&] { return logged("Paired 00:1A:7D:DA:71:13 RFCOMM 1"); }));
    bt_device *dev = device(addr);
    for (int t = 60; t <= 180; t += 60) {
        radio->advance(60);
        open_window();
        pass();
        EXPECT_TRUE(bt_device_flags(dev) & BT_DEV_IN_FLIGHT) << "still waiting at " << t;
    }
    radio->advance(1);
    open_window();
    pass();
    ASSERT_NO_FATAL_FAILURE(wait_idle());
    EXPECT_TRUE(logged("Device report ID: 0008001a7dda7113 PAIRED: OK OBR: ERROR"));
    EXPECT_EQ(bt_device_flags(dev), N);
}

// A connection clears the error of an earlier attempt together with setting PAIRED.
TEST_F(station_fixture, ConnectionClearsAnEarlierError)
{
    start(maker_device("silent"));
    bt_device *dev = make_device(addr, "btdremol-7113", BT_DEV_ERROR);
    dev->services = make_service(1);
    bttest_start(dev);
    ASSERT_TRUE(wait_until([&] { return bt_device_flags(dev) & BT_DEV_PAIRED; }));
    EXPECT_EQ(bt_device_flags(dev) & (P | C | E), P | C);
    bt_device_set_flags(dev, BT_DEV_STOP, 0);
    ASSERT_TRUE(wait_until([&] { return !(bt_device_flags(dev) & BT_DEV_IN_FLIGHT); }));
    obj_release(dev);
}

// The exit step reports the test's own outcome, whatever the list pass did to the flags.
struct exit_case {
    const char *what;
    uint8_t paired, obr;
    uint32_t flags; // as the exit step finds them
    int64_t age;
    const char *report; // null: none
    uint32_t flags_after;
    uint8_t no_socket = 0;
};

// Names the case in test listings.
void PrintTo(const exit_case &c, std::ostream *os)
{
    *os << c.what;
}

class ExitStep : public station_fixture, public ::testing::WithParamInterface<exit_case>
{
};

TEST_P(ExitStep, Report)
{
    const exit_case &c = GetParam();
    start("");
    bt_device *dev = make_device(addr, "btdremol-7113", c.flags);
    dev->last_seen = radio->now() - c.age;
    auto *job = static_cast<bttest_job *>(obj_alloc(sizeof(bttest_job), bttest_job_destroy));
    job->device = dev;
    job->channel = 1;
    memcpy(job->addr, dev->addr, 6);
    job->paired = c.paired;
    job->obr = c.obr;
    job->no_socket = c.no_socket;
    obj_retain(dev);
    bt_device_set_flags(dev, BT_DEV_IN_FLIGHT, 0);

    bttest_finish_cb(job);
    EXPECT_EQ(obj_refcount(dev), 1) << "the job is gone";
    EXPECT_EQ(bt_device_flags(dev), c.flags_after) << c.what;
    EXPECT_EQ(reports_logged(log()), c.report ? 1 : 0) << c.what;
    if (c.report) {
        EXPECT_TRUE(logged(c.report)) << c.what;
    }
    obj_release(dev);
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, ExitStep,
    ::testing::Values(exit_case{"read OK, PAIRED already cleared by the pass", 1, 1, M | O | T, 5,
                                "Device report ID: 0008001a7dda7113 PAIRED: OK OBR: OK", M | O},
                      exit_case{"read failed, PAIRED already cleared by the pass", 1, 0, M | E | T,
                                5, "Device report ID: 0008001a7dda7113 PAIRED: OK OBR: ERROR", N},
                      exit_case{"connect failed 29 s after the sighting", 0, 0, M | E | T, 29,
                                nullptr, M | E | T},
                      exit_case{"connect failed 30 s after the sighting", 0, 0, M | E | T, 30,
                                "Device report ID: 0008001a7dda7113 PAIRED: ERROR OBR: ERROR", N},
                      exit_case{"stale PAIRED flag without a connection", 0, 0, M | P | E | T, 5,
                                nullptr, M | P | E | T},
                      exit_case{"no socket, 30 s after the sighting", 0, 0, M | E | T, 30, nullptr,
                                M | E | T, 1},
                      exit_case{"no socket, 90 s after the sighting", 0, 0, M, 90, nullptr, M, 1}));

TEST_F(station_fixture, TestOfNoDevice)
{
    bttest_start(nullptr);
    EXPECT_TRUE(logged("Connect failed for unknown device"));
}

// Without a thread the job and its hold on the device are released at once.
TEST(DeviceTestStartDeathTest, JobIsReleasedWhenNoThreadStarts)
{
    if (!getenv("GTEST_DEATH_TEST_STYLE")) // a cross run under emulation chose its own
        GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            thr_runtime_init();
            thr_runtime_stop(1); // no thread can start any more
            bt_device *dev = make_device(addr, "btdremol-7113");
            dev->services = make_service(1);
            bttest_start(dev);
            bool released = obj_refcount(dev) == 1 && !(bt_device_flags(dev) & BT_DEV_IN_FLIGHT);
            if (!released)
                die_because("the job or its hold on the device was not released");
            exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace

#include "core/obj.h"
#include "station/bt_device.h"
#include "station/bt_service.h"
#include "station_fixture.h"

#include <cstring>

namespace
{

constexpr const char *maker = "00:1A:7D:DA:71:13";

struct name_case {
    const char *addr;
    const char *name;
    bool is_maker;
};

// Names the case in test listings.
void PrintTo(const name_case &c, std::ostream *os)
{
    *os << '"' << c.name << '"';
}

class MakerRule : public ::testing::TestWithParam<name_case>
{
};

TEST_P(MakerRule, NameIsABeginningOfTheAddressPattern)
{
    const name_case &c = GetParam();
    bt_device *dev = make_device(c.addr, c.name);
    EXPECT_EQ(bool(bt_device_flags(dev) & BT_DEV_MAKER), c.is_maker) << '"' << c.name << '"';
    obj_release(dev);
}

INSTANTIATE_TEST_SUITE_P(Names, MakerRule,
                         ::testing::Values(name_case{maker, "btdremol-7113\n", true},
                                           name_case{maker, "btdremol-7113", true},
                                           name_case{maker, "btd", true},
                                           name_case{maker, "bt", true}, name_case{maker, "", true},
                                           name_case{maker, "btdremol-7114", false},
                                           name_case{maker, "btdremol-71131", false},
                                           name_case{maker, "btdremol-7113\n\n", false},
                                           name_case{maker, "BTDREMOL-7113", false},
                                           name_case{"00:1A:7D:DA:AB:CD", "btdremol-ABCD", true},
                                           name_case{"00:1A:7D:DA:AB:CD", "btdremol-abcd", false},
                                           name_case{"00:1A:7D:DA:00:0F", "btdremol-000F", true}));

TEST(DeviceName, DescriptionIsRebuiltAndTheMakerMarkStays)
{
    bt_device *dev = make_device(maker, "btdremol-7113");
    EXPECT_STREQ(dev->description,
                 "btdremol-7113 [00:1A:7D:DA:71:13] CLASS: Miscellaneous [] (0x000000)\n");
    bt_device_set_name(dev, "Something else");
    EXPECT_STREQ(dev->description,
                 "Something else [00:1A:7D:DA:71:13] CLASS: Miscellaneous [] (0x000000)\n");
    EXPECT_TRUE(bt_device_flags(dev) & BT_DEV_MAKER);
    obj_release(dev);
}

using Discovery = station_fixture;

const char *phone = R"(
device 00:1A:7D:DA:71:13 5a020c
name btdremol-7113\n
service 0x10005 Serial Port
proto L2CAP RFCOMM:1
)";

TEST_F(Discovery, NewDeviceIsNamedClassifiedSearchedAndPutAtTheHead)
{
    start(std::string(phone) + "device 11:22:33:44:55:66 000100\nname laptop\n");
    open_window();
    pass();
    bt_device *dev = device(maker);
    ASSERT_NE(dev, nullptr);
    EXPECT_STREQ(dev->class_text, "Phone [Smart phone] (0x5a020c)");
    EXPECT_STREQ(dev->description,
                 "btdremol-7113\n [00:1A:7D:DA:71:13] CLASS: Phone [Smart phone] (0x5a020c)\n");
    EXPECT_EQ(dev->last_seen, radio->now());
    ASSERT_NE(dev->services, nullptr);
    EXPECT_STREQ(dev->services->text, "\tSerial Port [0x10005] RFCOMM 1\n");
    // Responses in buffer order: each new entry goes to the head.
    EXPECT_EQ(ctx->devices, device("11:22:33:44:55:66"));
    EXPECT_EQ(ctx->devices->next, dev);
    auto lines = log();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Discovered device btdremol-7113"),
              lines.end());
    EXPECT_TRUE(logged("Discovered device laptop [11:22:33:44:55:66] CLASS: Computer "
                       "[Uncategorized] (0x000100)"));
}

TEST_F(Discovery, UnreadableNameIsUnknownUntilARetrySucceeds)
{
    start(std::string(phone) + "name-fail 1\n");
    open_window();
    pass();
    bt_device *dev = device(maker);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(bt_device_flags(dev) & (BT_DEV_NAME_UNKNOWN | BT_DEV_MAKER), BT_DEV_NAME_UNKNOWN);
    EXPECT_TRUE(logged("Discovered device Unknown [00:1A:7D:DA:71:13] CLASS: Phone [Smart phone] "
                       "(0x5a020c)"));
    radio->advance(5);
    pass();
    EXPECT_EQ(bt_device_flags(dev) & (BT_DEV_NAME_UNKNOWN | BT_DEV_MAKER), BT_DEV_MAKER);
    EXPECT_TRUE(logged("Updated device btdremol-7113"));
    EXPECT_EQ(radio->stats(0).name_reads, 2);
    radio->advance(5);
    pass();
    EXPECT_EQ(radio->stats(0).name_reads, 2) << "a known name is not read again";
}

// The remote name buffer is terminated whatever the adapter fills in.
TEST_F(Discovery, NameThatFillsTheAdapterBufferIsCutAndTerminated)
{
    start("device 11:22:33:44:55:66 000100\nname " + std::string(300, 'x') + "\n");
    open_window();
    pass();
    bt_device *dev = device("11:22:33:44:55:66");
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(std::string(dev->description),
              std::string(248, 'x') +
                  " [11:22:33:44:55:66] CLASS: Computer [Uncategorized] (0x000100)\n");
}

struct seen_case {
    const char *what;
    uint32_t flags;     // set on the known entry before the sighting
    bool drop_services; // the entry has no services yet
    int expected;       // what bt_device_seen returns
    bool last_seen_moves;
};

// Names the case in test listings.
void PrintTo(const seen_case &c, std::ostream *os)
{
    *os << c.what;
}

class KnownDevice : public station_fixture, public ::testing::WithParamInterface<seen_case>
{
};

TEST_P(KnownDevice, Sighting)
{
    const seen_case &c = GetParam();
    start(phone);
    open_window();
    pass();
    bt_device *dev = device(maker);
    ASSERT_NE(dev, nullptr);
    bt_device_set_flags(dev, c.flags, BT_DEV_MAKER);
    if (c.drop_services) {
        bt_service_release_chain(dev->services);
        dev->services = nullptr;
    }
    int64_t before = dev->last_seen;
    radio->advance(7);

    inquiry_info info = {};
    memcpy(info.bdaddr.b, dev->addr, 6);
    EXPECT_EQ(bt_device_seen(radio->open_dev(), ctx, &info), c.expected) << c.what;
    EXPECT_EQ(dev->last_seen, c.last_seen_moves ? before + 7 : before) << c.what;
    EXPECT_EQ(dev->services != nullptr, true) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Changes, KnownDevice,
    ::testing::Values(seen_case{"nothing new", 0, false, 0, true},
                      seen_case{"name read again", BT_DEV_NAME_UNKNOWN, false, 1, true},
                      seen_case{"services searched again", 0, true, 1, true},
                      seen_case{"name and services", BT_DEV_NAME_UNKNOWN, true, 2, true},
                      seen_case{"test running", BT_DEV_TESTING, false, 0, false}));

TEST_F(Discovery, DeviceWithoutServicesCostsASearchAndAChangeAtEverySighting)
{
    start(std::string(phone) + "sdp-fail always\n");
    open_window();
    for (int i = 0; i < 3; i++) {
        pass();
        radio->advance(5);
    }
    EXPECT_EQ(radio->stats(0).sdp_connects, 3);
    EXPECT_EQ(count("SDP Failed for 00:1A:7D:DA:71:13"), 3);
    EXPECT_EQ(device(maker)->services, nullptr);
}

} // namespace

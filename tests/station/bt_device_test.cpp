#include "core/obj.h"
#include "station/bt_device.h"
#include "station/bt_service.h"
#include "station_fixture.h"
#include "tests/ui/ui_fixture.h"
#include "ui/web_files.h"
#include "ui/web_private.h"
#include "ui/web_scan.h"

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

// What a device sends over the air reaches the log, the log page and the scan page only with
// its controls made visible: no text of its own starts a line there, drives the terminal or turns
// the direction of what follows. The maker's names, with their newline, and ordinary names show
// as they came.
struct air_case {
    const char *what;
    const char *scenario;
    const char *addr;
    const char *description;
    const char *service; // the shown name of its one service (0x10005, RFCOMM 1), or none
};

// Names the case in test listings.
void PrintTo(const air_case &c, std::ostream *os)
{
    *os << c.what;
}

class TextsFromTheAir : public station_fixture, public ::testing::WithParamInterface<air_case>
{
};

// The log page's spans for a text that the log holds from a line's start.
std::string log_spans(const std::string &logged)
{
    std::string spans;
    for (size_t at = 0, end; at < logged.size(); at = end + 1) {
        end = logged.find('\n', at);
        spans += logged.substr(at, end - at) + "\n</span>";
        if (end + 1 < logged.size())
            spans += "<span class=logline>";
    }
    return spans;
}

TEST_P(TextsFromTheAir, ShowVisiblyAndStartNoLine)
{
    const air_case &c = GetParam();
    start(c.scenario);
    open_window();
    pass();
    ASSERT_NO_FATAL_FAILURE(wait_idle());
    bt_device *dev = device(c.addr);
    ASSERT_NE(dev, nullptr);
    EXPECT_STREQ(dev->description, c.description);
    std::string service_text;
    if (c.service) {
        ASSERT_NE(dev->services, nullptr);
        service_text = std::string("\t") + c.service + " [0x10005] RFCOMM 1\n";
        EXPECT_EQ(std::string(dev->services->text), service_text);
    }

    std::string raw = read_file(log_path);
    std::string discovered = std::string("Discovered device ") + c.description;
    EXPECT_NE(raw.find(" " + discovered), std::string::npos) << raw;
    std::string service_line;
    if (c.service) {
        service_line = std::string("Discovered RFCOMM service ") + c.addr + " " + c.service +
                       " 0x00010005 channel 1\n";
        EXPECT_NE(raw.find(" " + service_line), std::string::npos) << raw;
    }
    auto control = std::find_if(raw.begin(), raw.end(),
                                [](unsigned char b) { return b < 0x20 ? b != '\n' : b == 0x7f; });
    EXPECT_EQ(size_t(control - raw.begin()), raw.size()) << "a control byte in the log";
    EXPECT_EQ(raw.find("\nThu Jan  1 00:00:00 1970"), std::string::npos) << "a forged line";

    web_set_log_page_path(log_path.c_str());
    web_page *page = web_page_create("log");
    std::string log_page = read_body(web_log_reader_cb, page, 4096);
    web_page_free_cb(page);
    EXPECT_NE(log_page.find(log_spans(discovered)), std::string::npos) << log_page;
    if (c.service) {
        EXPECT_NE(log_page.find(log_spans(service_line)), std::string::npos) << log_page;
    }
    EXPECT_EQ(log_page.find("<span class=logline>Thu Jan  1 00:00:00 1970"), std::string::npos)
        << "a forged line";

    // The device's piece of the scan page.
    web_chunk *piece;
    {
        obj_guard g(dev);
        piece = web_format_device(dev->description, dev->services, "devnew");
    }
    ASSERT_NE(piece, nullptr);
    EXPECT_EQ(std::string(piece->text, piece->length),
              "<span class=devnew>" + std::string(c.description) + service_text + "</span>");
    obj_release(piece);
}

INSTANTIATE_TEST_SUITE_P(
    Names, TextsFromTheAir,
    ::testing::Values(
        air_case{"a name that forges a report line",
                 "device 11:22:33:44:55:66 000100\n"
                 "name x\\nThu Jan  1 00:00:00 1970 Device report ID: 0008001a7dda7113 PAIRED: OK "
                 "OBR: OK\n",
                 "11:22:33:44:55:66",
                 "x\\x0AThu Jan  1 00:00:00 1970 Device report ID: 0008001a7dda7113 PAIRED: OK "
                 "OBR: OK [11:22:33:44:55:66] CLASS: Computer [Uncategorized] (0x000100)\n",
                 nullptr},
        air_case{
            "a service name that forges a device line",
            "device 5C:F3:70:01:02:03 5a020c\nname Zo\xc3\xab\xe2\x80\x99s phone\n"
            "service 0x10005 Serial Port\\x0Dbtdremol-7199 [00:1A:7D:DA:71:99] CLASS: Phone [Smart "
            "phone] (0x5a020c)\n"
            "proto L2CAP RFCOMM:1\n",
            "5C:F3:70:01:02:03",
            "Zo\xc3\xab\xe2\x80\x99s phone [5C:F3:70:01:02:03] CLASS: Phone [Smart phone] "
            "(0x5a020c)\n",
            "Serial Port\\x0Dbtdremol-7199 [00:1A:7D:DA:71:99] CLASS: Phone [Smart phone] "
            "(0x5a020c)"},
        air_case{
            "a name and a service name with C1 and direction controls",
            "device 31:17:AD:D7:A1:00 5a020c\n"
            "name J\xc3\xbcrgen\xc2\x9b"
            "2J\xe2\x80\xae"
            "00:1A:7D:DA:71:13\n"
            "service 0x10005 Serial\xc2\x85Port\xe2\x81\xa6\n"
            "proto L2CAP RFCOMM:1\n",
            "31:17:AD:D7:A1:00",
            "J\xc3\xbcrgen\\xC2\\x9B2J\\xE2\\x80\\xAE00:1A:7D:DA:71:13 [31:17:AD:D7:A1:00] CLASS: "
            "Phone [Smart phone] (0x5a020c)\n",
            "Serial\\xC2\\x85Port\\xE2\\x81\\xA6"},
        air_case{"a name and a service name with direction marks",
                 "device 31:17:AD:D7:A1:01 5a020c\n"
                 "name rlm\xe2\x80\x8f 1 2 3 4\xd8\x9c\n"
                 "service 0x10005 Serial\xe2\x80\x8ePort\n"
                 "proto L2CAP RFCOMM:1\n",
                 "31:17:AD:D7:A1:01",
                 "rlm\\xE2\\x80\\x8F 1 2 3 4\\xD8\\x9C [31:17:AD:D7:A1:01] CLASS: Phone [Smart "
                 "phone] (0x5a020c)\n",
                 "Serial\\xE2\\x80\\x8EPort"},
        air_case{"the maker's name with its newline",
                 "device 00:1A:7D:DA:71:13 5a020c\nname btdremol-7113\\n\n"
                 "service 0x10005 Serial Port\nproto L2CAP RFCOMM:1\n",
                 "00:1A:7D:DA:71:13",
                 "btdremol-7113\n [00:1A:7D:DA:71:13] CLASS: Phone [Smart phone] (0x5a020c)\n",
                 "Serial Port"}));

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
    // Not one of the maker's names: no device test may race the flags set below.
    start("device 00:1A:7D:DA:71:13 5a020c\nname phone\n"
          "service 0x10005 Serial Port\nproto L2CAP RFCOMM:1\n");
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

#include "sim_scenario.h"

#include <gtest/gtest.h>

#include <dirent.h>

namespace
{

TEST(Scenario, ReadsDevicesServicesAndBehaviour)
{
    sim_scenario s;
    std::string error;
    ASSERT_TRUE(sim_scenario_parse(R"(
# comment
clock virtual
page 0 5
device 00:1A:7D:DA:71:13 5a020c
  name btdremol-7113\n
  service 0x10005 Serial\sPort x
    proto L2CAP RFCOMM:1
  rfcomm send 50 AB\x00C
)",
                                   s, error))
        << error;
    EXPECT_TRUE(s.virtual_clock);
    ASSERT_EQ(s.devices.size(), 1u);
    const sim_device &d = s.devices[0];
    const uint8_t addr[6] = {0x13, 0x71, 0xda, 0x7d, 0x1a, 0x00};
    EXPECT_EQ(memcmp(d.addr, addr, 6), 0);
    EXPECT_EQ(d.cls[0], 0x0c);
    EXPECT_EQ(d.cls[2], 0x5a);
    EXPECT_EQ(d.name, "btdremol-7113\n");
    ASSERT_EQ(d.services.size(), 1u);
    EXPECT_EQ(d.services[0].name, "Serial Port x");
    EXPECT_EQ(d.services[0].handle, 0x10005u);
    ASSERT_EQ(d.services[0].protos.size(), 2u);
    EXPECT_EQ(d.services[0].protos[1].size(), 2u);
    EXPECT_EQ(d.rfcomm, sim_rfcomm::send);
    EXPECT_EQ(d.delay_ms, 50);
    EXPECT_EQ(d.bytes, std::string("AB\0C", 4));
}

struct bad_case {
    const char *text;
    const char *error;
};

// Names the case in test listings.
void PrintTo(const bad_case &c, std::ostream *os)
{
    *os << c.error;
}

class BadScenario : public ::testing::TestWithParam<bad_case>
{
};

TEST_P(BadScenario, NamesTheLineAndTheFault)
{
    sim_scenario s;
    std::string error;
    EXPECT_FALSE(sim_scenario_parse(GetParam().text, s, error));
    EXPECT_EQ(error, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, BadScenario,
    ::testing::Values(
        bad_case{"bogus 1", "1: unknown directive 'bogus'"},
        bad_case{"\nname x", "2: this line belongs to a device: put a device line before it"},
        bad_case{"device 00:11:22 000000", "1: bad device address '00:11:22'"},
        bad_case{"device 00:11:22:33:44:55 12345", "1: bad device class '12345' (six hex digits)"},
        bad_case{"device 00:11:22:33:44:55 000000\nrfcomm send 10",
                 "2: rfcomm send needs DELAY_MS and TEXT"},
        bad_case{"device 00:11:22:33:44:55 000000\nproto L2CAP",
                 "2: this line belongs to a service: put a service line before it"},
        bad_case{"device 00:11:22:33:44:55 000000\nservice 1\nproto L2CAP:300",
                 "3: bad protocol element '300'"},
        bad_case{"page -1", "1: page needs AT [EVERY]"},
        bad_case{"device 00:11:22:33:44:55 000000\nname a\\q", "2: unknown escape \\q"}));

TEST(Scenario, ExamplesAreValid)
{
    std::string dir = std::string(SCENARIO_DIR);
    DIR *d = opendir(dir.c_str());
    ASSERT_NE(d, nullptr);
    int n = 0;
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name.size() < 4 || name.substr(name.size() - 4) != ".scn")
            continue;
        sim_scenario s;
        std::string error;
        EXPECT_TRUE(sim_scenario_load((dir + "/" + name).c_str(), s, error)) << name << error;
        EXPECT_FALSE(s.devices.empty()) << name;
        n++;
    }
    closedir(d);
    EXPECT_GE(n, 2);
}

} // namespace

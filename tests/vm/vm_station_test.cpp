// vesk_bt on the kernel's own Bluetooth stack: one guest boot runs the scenario of
// vm_scenario.sh (an answering, a channel-3-only and a refusing device of the maker's, the
// adapter going down and back, the maker's service found through dnsmasq) and this test reads
// what the guest hands back: the station's log, the frames the service received, the queries
// dnsmasq answered.
#include "tests/common/test_util.h"
#include "tests/link/service.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

// What the guest handed back: its devices by role, its sections by name and the station's log
// lines, each without its time stamp, which is kept apart.
struct guest_run {
    std::map<std::string, std::string> device; // role -> address text
    std::map<std::string, std::vector<std::string>> section;
    std::vector<std::string> lines;
    std::vector<time_t> stamps;
    long down_ticks = -1; // the station's CPU time while its adapter was down
    long down_seconds = 0;
};

guest_run parse(const std::string &result)
{
    guest_run run;
    std::istringstream in(result);
    std::string part;
    for (std::string line; std::getline(in, line);) {
        // The guest's terminal ends its lines with CR LF.
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        if (line.rfind("VM-DEVICE ", 0) == 0) {
            std::istringstream words(line.substr(10));
            std::string role, addr;
            words >> role >> addr;
            run.device[role] = addr;
        } else if (line.rfind("VM-CPU-DOWN ", 0) == 0) {
            std::istringstream(line.substr(12)) >> run.down_ticks >> run.down_seconds;
        } else if (line.rfind("--- ", 0) == 0) {
            part = line.substr(4);
        } else if (part == "log") {
            // "%c" and a blank: "Thu Dec 10 14:26:48 2026 "
            tm t = {};
            const char *rest = strptime(line.c_str(), "%a %b %d %H:%M:%S %Y ", &t);
            run.stamps.push_back(rest ? mktime(&t) : 0);
            run.lines.push_back(rest ? rest : line);
        } else if (!part.empty()) {
            run.section[part].push_back(line);
        }
    }
    return run;
}

// The device reports that the service received from one device: the good frames with
// command 0xFD whose id is 0008 and the address.
std::vector<svc::frame> reports_from(const guest_run &run, const svc::bytes &id)
{
    std::vector<svc::frame> out;
    auto it = run.section.find("service");
    if (it == run.section.end())
        return out;
    for (const std::string &line : it->second) {
        std::istringstream words(line);
        std::string word, hex;
        svc::frame f{};
        int good = 0;
        if (!(words >> word >> f.conn >> good >> hex) || word != "frame")
            continue;
        for (size_t i = 0; i + 1 < hex.size(); i += 2)
            f.raw.push_back(uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
        f.good = good;
        if (f.good && f.raw.size() > 16 && f.cmd() == 0xFD && f.id() == id)
            out.push_back(f);
    }
    return out;
}

// The address without its colons, as the report's id token writes it.
std::string address_digits(const std::string &addr)
{
    std::string digits;
    for (char c : addr)
        if (c != ':')
            digits += c;
    return digits;
}

// The device id of a report's header: 00 08 and the six address bytes.
svc::bytes device_id(const std::string &addr)
{
    svc::bytes id = {0x00, 0x08};
    std::string digits = address_digits(addr);
    for (size_t i = 0; i < digits.size(); i += 2)
        id.push_back(uint8_t(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return id;
}

// The report packet of a device at addr with its two verdicts, as the service must see it.
svc::bytes report_frame(const std::string &addr, uint16_t mid, bool paired, bool obr)
{
    std::string digits = address_digits(addr);
    auto verdict = [](char code, bool ok) {
        return svc::make_token(56, 2, std::string(1, code) + (ok ? ",OK" : ",ERROR"));
    };
    return svc::make_frame(device_id(addr), 0xFD, mid,
                           svc::cat({svc::make_token(56, 2, "\x06,0008" + digits),
                                     svc::make_token(56, 2, "\x07," + addr), verdict('(', paired),
                                     verdict(')', obr)}));
}

bool has_line(const std::vector<std::string> &lines, const std::string &text)
{
    for (const std::string &l : lines)
        if (l.find(text) != std::string::npos)
            return true;
    return false;
}

// Index of the first line at or after `from` that matches, or -1.
int find_line(const guest_run &run, const std::string &pattern, int from = 0)
{
    std::regex re(pattern);
    for (int i = from; i < int(run.lines.size()); i++)
        if (std::regex_match(run.lines[i], re))
            return i;
    return -1;
}

// Every pattern matches a line, each after the one before; returns the index of each.
std::vector<int> expect_in_order(const guest_run &run, const std::vector<std::string> &patterns)
{
    std::vector<int> at;
    int from = 0;
    for (const std::string &p : patterns) {
        int i = find_line(run, p, from);
        EXPECT_GE(i, 0) << "no line matching \"" << p << "\" after line " << from;
        if (i < 0)
            break;
        at.push_back(i);
        from = i + 1;
    }
    return at;
}

std::string quote(std::string s)
{
    return std::regex_replace(s, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)");
}

// The device id of a report: 0008 and the address's twelve digits in lower case.
std::string report_id(const std::string &addr)
{
    std::string id = "0008" + address_digits(addr);
    for (char &c : id)
        c = char(tolower(static_cast<unsigned char>(c)));
    return id;
}

class Guest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_FALSE(tmp_.path().empty());
        work_ = tmp_.path();
    }
    void TearDown() override
    {
        if (HasFailure()) {
            printf("--- what the guest printed\n%s\n--- its console (tail)\n%s\n",
                   read_file(work_ + "/result.log").c_str(), tail(work_ + "/console.log").c_str());
        }
        if (!tmp_.remove())
            fprintf(stderr, "could not remove %s\n", work_.c_str());
    }

    // Boots the guest with the scenario, its settings (NAME=VALUE) and the programs; the
    // harness's exit status, its output in `said`.
    int boot(const std::string &scenario, const std::vector<std::string> &settings,
             const std::vector<std::string> &programs)
    {
        std::string cmd = "sh '" VM_DIR "/vm_boot.sh'";
        for (const std::string &e : settings)
            cmd += " -e '" + e + "'";
        cmd += " '" + work_ + "' '" + scenario + "'";
        for (const std::string &p : programs)
            cmd += " '" + p + "'";
        cmd += " 2>&1";
        FILE *f = popen(cmd.c_str(), "r");
        if (!f)
            return -1;
        char buf[512];
        while (fgets(buf, sizeof buf, f))
            said += buf;
        int st = pclose(f);
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }

    std::string result() const { return read_file(work_ + "/result.log"); }

    std::string said;

private:
    static std::string tail(const std::string &path)
    {
        std::string s = read_file(path);
        return s.size() > 3000 ? s.substr(s.size() - 3000) : s;
    }
    temp_dir tmp_{"vesk-vm"};
    std::string work_;
};

TEST_F(Guest, TestsTheMakersDevicesOverTheRealStack)
{
    int rc = boot(VM_DIR "/vm_scenario.sh", {"SERVICE_DOMAIN=" VESK_SERVICE_DOMAIN},
                  {VESK_BT, VM_RFCOMM_PEER, VM_SERVICE});
    if (rc == 77)
        GTEST_SKIP() << said;
    ASSERT_NE(rc, 124) << "the guest did not finish in time\n" << said;
    ASSERT_NE(rc, 1) << "the guest could not be set up\n" << said;
    EXPECT_EQ(rc, 0) << "not every device's outcome came in time\n" << said;

    guest_run run = parse(result());
    ASSERT_EQ(run.device.size(), 3u) << "the guest did not make its three devices";
    ASSERT_FALSE(run.lines.empty()) << "no station log came back";
    EXPECT_EQ(run.lines[0], "Starting Application");

    {
        SCOPED_TRACE("the device that answers");
        std::string a = run.device["answers"];
        std::string q = quote(a);
        expect_in_order(run,
                        {"Scaning Start",
                         "Discovered device btdremol-[0-9A-F]{4} \\[" + q +
                             "\\] CLASS: Phone \\[Smart phone\\] \\(0x5a020c\\)",
                         "Discovered RFCOMM service " + q + " Serial Port 0x[0-9A-F]{8} channel 1",
                         "Paired " + q + " RFCOMM 1",
                         // "ABCDEFGH", each half read as a little-endian number
                         "Read from " + q + " RFCOMM 1 0x4443424148474645",
                         "Disconected " + q + " RFCOMM 1",
                         "Device report ID: " + report_id(a) + " PAIRED: OK OBR: OK"});
        EXPECT_EQ(find_line(run, "Connect failed for " + q + ".*"), -1);
        EXPECT_EQ(find_line(run, "Device report ID: " + report_id(a) + " .*ERROR.*"), -1);
        // A device that sent its data is not tested again while its entry lives.
        int accepted = 0;
        for (const std::string &l : run.section["peer"])
            accepted += l.rfind("accepted ", 0) == 0;
        EXPECT_EQ(accepted, 1) << "connections that reached the device";

        std::vector<svc::frame> got = reports_from(run, device_id(a));
        ASSERT_EQ(got.size(), 1u) << "reports that reached the service";
        EXPECT_EQ(got[0].raw, report_frame(a, got[0].mid(), true, true));
    }
    {
        SCOPED_TRACE("the device with a serial port on channel 3 only");
        std::string q = quote(run.device["channel3"]);
        expect_in_order(run,
                        {"Discovered device btdremol-[0-9A-F]{4} \\[" + q + "\\] .*",
                         "Discovered RFCOMM service " + q + " Serial Port 0x[0-9A-F]{8} channel 3",
                         "Connect failed for " + q + " \\[No service found\\]"});
        EXPECT_EQ(find_line(run, "Paired " + q + ".*"), -1);
        EXPECT_EQ(find_line(run, "Device report ID: " + report_id(run.device["channel3"]) + ".*"),
                  -1);
        EXPECT_TRUE(reports_from(run, device_id(run.device["channel3"])).empty());
    }
    {
        SCOPED_TRACE("the adapter that goes down in an inquiry and comes back");
        // The refusing device comes on the air after it: its lines below show that scanning
        // went on. Clock ticks are hundredths of a second.
        ASSERT_GT(run.down_seconds, 0) << "the guest did not take its adapter down";
        EXPECT_LT(run.down_ticks, run.down_seconds * 100 / 10) << "the station spun while down";
    }
    {
        SCOPED_TRACE("the device that refuses");
        std::string r = run.device["refuses"];
        std::string q = quote(r);
        std::vector<int> at = expect_in_order(
            run, {"Discovered device btdremol-[0-9A-F]{4} \\[" + q + "\\] .*",
                  "Discovered RFCOMM service " + q + " Serial Port 0x[0-9A-F]{8} channel 1",
                  "Connect failed for " + q + " RFCOMM 1 \\[Connection refused\\]",
                  "Device report ID: " + report_id(r) + " PAIRED: ERROR OBR: ERROR"});
        // A failed connect reports only once the device was last seen 30 seconds before. The
        // sighting's clock is read before the name read and the line logged after it, so the
        // stamps can show one second less.
        if (at.size() == 4) {
            EXPECT_GE(run.stamps[at[3]] - run.stamps[at[0]], 29);
        }
        EXPECT_EQ(find_line(run, "Paired " + q + ".*"), -1);

        std::vector<svc::frame> got = reports_from(run, device_id(r));
        ASSERT_FALSE(got.empty()) << "no report reached the service";
        EXPECT_EQ(got[0].raw, report_frame(r, got[0].mid(), false, false));
    }
    {
        SCOPED_TRACE("the way to the service");
        EXPECT_TRUE(has_line(run.section["dns"],
                             "query[SRV] _qarv4._tcp.dev." VESK_SERVICE_DOMAIN " from 127.0.0.1"));
        EXPECT_GE(find_line(run, "IP ADDRESS TO USE 127\\.0\\.0\\.1:41000( .*)?"), 0);
        EXPECT_EQ(find_line(run, "RESEND.*"), -1) << "every report was answered";
    }
}

} // namespace

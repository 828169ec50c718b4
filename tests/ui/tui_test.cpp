// The terminal display of the simulator program (-n) in a tmux pane of a server of the test's
// own, read back with capture-pane: the notice on a screen without devices, then the maker's
// devices in their colours.
#include "ui_programs.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace
{

// The attributes in effect at a character of a captured line (tmux prints SGR sequences).
struct cell_attrs {
    bool bold = false;
    bool blink = false;
    int fg = -1; // 30 + colour, -1 for the default
};

// The text of a line of capture-pane -e output, and the attributes in effect at each of its
// characters.
void parse_line(const std::string &line, std::string &text, std::vector<cell_attrs> &attrs)
{
    cell_attrs cur;
    for (size_t i = 0; i < line.size(); i++) {
        if (line[i] == '\x1b' && i + 1 < line.size() && line[i + 1] == '[') {
            size_t end = line.find('m', i);
            if (end == std::string::npos)
                break;
            std::stringstream params(line.substr(i + 2, end - i - 2));
            for (std::string p; std::getline(params, p, ';');) {
                int v = p.empty() ? 0 : std::atoi(p.c_str());
                if (v == 0)
                    cur = {};
                else if (v == 1)
                    cur.bold = true;
                else if (v == 5)
                    cur.blink = true;
                else if (v >= 30 && v <= 37)
                    cur.fg = v;
            }
            i = end;
            continue;
        }
        text += line[i];
        attrs.push_back(cur);
    }
}

// Every look at the pane starts a tmux client, so the tests look less often than most waits do.
const std::chrono::milliseconds look_limit = std::chrono::seconds(20);
const std::chrono::milliseconds look_step(20);

struct Tui : ::testing::Test {
    std::optional<temp_dir> tmp;
    std::string dir;
    std::string sock;
    int sessions = 0;

    void SetUp() override
    {
        if (!have_program("tmux"))
            GTEST_SKIP() << "tmux is not installed (scripts/setup installs it)";
        tmp.emplace("vesk-tui-test");
        ASSERT_FALSE(tmp->path().empty());
        dir = tmp->path();
    }

    void TearDown() override
    {
        if (dir.empty())
            return;
        if (!sock.empty())
            run({"tmux", "-S", sock, "kill-server"});
        EXPECT_TRUE(tmp->remove());
    }

    // The simulator with the display on, alone in a pane of rows x cols, on a tmux server of
    // its own: kill-server returns before that server has gone, and a client that meets the
    // dying server on the same socket fails ("server exited unexpectedly").
    void start(const std::string &scenario, int rows, int cols)
    {
        std::string n = std::to_string(++sessions);
        sock = dir + "/tmux" + n;
        std::string cmd = "exec '" + std::string(sim_program) + "' '" + scenario + "' -n -p " +
                          std::to_string(free_port()) + " -l '" + dir + "/log" + n + "'";
        ASSERT_EQ(run({"tmux", "-S", sock, "-f", "/dev/null", "new-session", "-d", "-x",
                       std::to_string(cols), "-y", std::to_string(rows), "-s", "vesk", cmd}),
                  0);
    }

    std::vector<std::string> capture(bool attrs = false)
    {
        std::string out;
        std::vector<std::string> argv = {"tmux", "-S", sock, "capture-pane", "-p", "-t", "vesk"};
        if (attrs)
            argv.push_back("-e");
        run(argv, &out);
        std::vector<std::string> lines;
        std::stringstream s(out);
        for (std::string l; std::getline(s, l);)
            lines.push_back(l);
        return lines;
    }

    // The first captured line that holds needle, with the attributes of its first character.
    bool find(const std::string &needle, std::string &text, cell_attrs &at)
    {
        for (const auto &line : capture(true)) {
            std::vector<cell_attrs> attrs;
            text.clear();
            parse_line(line, text, attrs);
            size_t pos = text.find(needle);
            if (pos != std::string::npos) {
                at = attrs[pos];
                return true;
            }
        }
        return false;
    }
};

TEST_F(Tui, NoticeInTheMiddleOfAnEmptyScreen)
{
    // No page load: the scan window stays shut and the first picture stays.
    std::string scenario = dir + "/quiet.scn";
    std::ofstream(scenario) << "inquiry-time 1\n";
    const struct {
        int rows, cols, row, col;
    } sizes[] = {{24, 80, 12, 29}, {25, 81, 12, 29}};
    for (const auto &s : sizes) {
        start(scenario, s.rows, s.cols);
        std::vector<std::string> lines;
        ASSERT_TRUE(wait_until(
            [&] {
                lines = capture();
                return lines.size() > size_t(s.row) &&
                       lines[size_t(s.row)].find("No devices") != std::string::npos;
            },
            look_limit, look_step))
            << s.rows << "x" << s.cols;
        EXPECT_EQ(lines[size_t(s.row)], std::string(size_t(s.col), ' ') + "No devices detected !!")
            << s.rows << "x" << s.cols;
        for (size_t i = 0; i < lines.size(); i++) {
            if (i != size_t(s.row)) {
                EXPECT_EQ(lines[i].find_first_not_of(' '), std::string::npos) << "row " << i;
            }
        }
        std::string text;
        cell_attrs at;
        ASSERT_TRUE(find("No devices", text, at));
        EXPECT_TRUE(at.bold && at.blink) << "the notice blinks";
        run({"tmux", "-S", sock, "kill-server"});
    }
}

TEST_F(Tui, MakersDevicesInTheirColours)
{
    start(std::string(scenario_dir) + "/station_mix.scn", 24, 80);
    const struct {
        const char *device;
        int fg;
    } devices[] = {
        {"btdremol-7113", 32}, // read its data: green
        {"btdremol-7114", 33}, // connected, silent: yellow
        {"btdremol-7116", 31}, // no channel-1 service: red
    };
    for (const auto &d : devices) {
        std::string text;
        cell_attrs at;
        ASSERT_TRUE(wait_until([&] { return find(d.device, text, at) && at.fg == d.fg; },
                               look_limit, look_step))
            << d.device << " in colour " << d.fg << ": " << text;
        EXPECT_TRUE(at.bold) << d.device;
        EXPECT_FALSE(at.blink) << d.device << ": device lines never blink";
    }
    std::string text;
    cell_attrs at;
    ASSERT_TRUE(find("Serial Port [0x10005] RFCOMM 1", text, at));
    EXPECT_EQ(at.fg, 32) << "the service under its device, in its colour";
    EXPECT_FALSE(find("Headphones", text, at)) << "the maker's devices only";
    EXPECT_FALSE(find("No devices", text, at));
}

// A service name with a carriage return and a copy of a device's line: on the terminal it stays
// on its own line, the return shown as an escape, and no device appears that is not there. The
// maker's name keeps its line break: the name alone on a line, the rest of its line under it.
TEST_F(Tui, ServiceNameCannotDrawADevice)
{
    std::string scenario = dir + "/forged.scn";
    std::ofstream(scenario) << "page 0 5\ninquiry-time 1\n"
                               "device 00:1A:7D:DA:71:13 5a020c\nname btdremol-7113\\n\n"
                               "service 0x10005 Serial Port\\x0Dbtdremol-7199 [00:1A:7D:DA:71:99] "
                               "CLASS: Phone [Smart phone] (0x5a020c)\n"
                               "proto L2CAP RFCOMM:1\nrfcomm silent\n";
    start(scenario, 24, 200);
    std::vector<std::string> lines;
    auto drawn = [&] {
        lines = capture();
        for (const auto &l : lines)
            if (l.find("btdremol-7199") != std::string::npos)
                return true;
        return false;
    };
    ASSERT_TRUE(wait_until(drawn, look_limit, look_step));
    const std::string service = std::string(8, ' ') +
                                "Serial Port\\x0Dbtdremol-7199 [00:1A:7D:DA:71:99] CLASS: Phone "
                                "[Smart phone] (0x5a020c) [0x10005] RFCOMM 1";
    const std::string rest = " [00:1A:7D:DA:71:13] CLASS: Phone [Smart phone] (0x5a020c)";
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "btdremol-7113");
    EXPECT_EQ(lines[1], rest);
    EXPECT_EQ(lines[2], service);
    for (const auto &l : lines)
        EXPECT_NE(l.rfind("btdremol-7199", 0), 0u) << "a device that is not there: " << l;
}

} // namespace

// The terminal display of the simulator program (-n) in a tmux pane of a server of the test's
// own, read back with capture-pane: the notice on a screen without devices, then the maker's
// devices in their colours.
#include "ui_programs.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
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
// characters. tmux writes only the changes, so cur carries the attributes from line to line.
void parse_line(const std::string &line, std::string &text, std::vector<cell_attrs> &attrs,
                cell_attrs &cur)
{
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
        if (const char *why = no_loopback_resolver())
            GTEST_SKIP() << why;
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
        cell_attrs cur;
        for (const auto &line : capture(true)) {
            std::vector<cell_attrs> attrs;
            text.clear();
            parse_line(line, text, attrs, cur);
            size_t pos = text.find(needle);
            if (pos != std::string::npos) {
                at = attrs[pos];
                return true;
            }
        }
        return false;
    }

    // A row of the picture: its text without the blanks that end it, and the colour of its
    // first character that is not a blank (-1 on a blank row).
    struct row {
        std::string text;
        int fg = -1;
        bool operator==(const row &) const = default;
    };

    std::vector<row> picture()
    {
        std::vector<row> rows;
        cell_attrs cur;
        for (const auto &line : capture(true)) {
            std::string text;
            std::vector<cell_attrs> attrs;
            parse_line(line, text, attrs, cur);
            text.erase(text.find_last_not_of(' ') + 1);
            rows.push_back({text, text.empty() ? -1 : attrs[text.find_first_not_of(' ')].fg});
        }
        return rows;
    }

    // The scenario's devices drawn as the rows want, and the blank rows under them, on a
    // terminal of 24 rows and 80 columns.
    void expect_picture(const std::string &devices, std::vector<row> want)
    {
        std::string scenario = dir + "/rows.scn";
        std::ofstream(scenario) << "page 0 5\ninquiry-time 1\n" << devices;
        start(scenario, 24, 80);
        want.resize(24);
        std::vector<row> got;
        bool same = wait_until(
            [&] {
                got = picture();
                return got == want;
            },
            look_limit, look_step);
        std::string shown;
        for (const auto &r : got)
            shown += std::to_string(r.fg) + " |" + r.text + "|\n";
        EXPECT_TRUE(same) << "rows as drawn (colour |text|):\n" << shown;
    }
};

std::string padded(std::string text, size_t cells)
{
    text.resize(cells, ' ');
    return text;
}

// A scenario text with its blanks kept to the end of the line.
std::string blanks(const std::string &text)
{
    std::string out;
    for (char c : text)
        out += c == ' ' ? "\\s" : std::string(1, c);
    return out;
}

std::string maker(const std::string &name, const std::string &addr)
{
    return name + " [" + addr + "] CLASS: Phone [Smart phone] (0x5a020c)";
}

const std::string tab(8, ' ');

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

// Each text is cut at the row's end, so every text takes exactly one row and begins one. Cut
// where it wraps, the green device's last service would read as a copy of the red device that
// failed, its line and its service line, above the real one.
TEST_F(Tui, EachTextOnARowOfItsOwn)
{
    const std::string red = maker("btdremol-7199", "00:1A:7D:DA:71:99");
    const std::string name = "Serial Port";
    // The green device's service names: one that fills its row to the last column, one whose
    // last byte, shown as ~@, wants two cells where one is left, and the copy.
    const std::string services[] = {
        blanks(padded(name, 53)),
        blanks(padded(name, 71)) + "\\x80",
        blanks(padded(name, 72) + padded(red, 80) + tab + name),
    };
    std::string devices = "device 00:1A:7D:DA:71:99 5a020c\nname btdremol-7199\n"
                          "service 0x10005 Serial Port\nproto L2CAP RFCOMM:1\nrfcomm refuse\n"
                          "device 00:1A:7D:DA:71:13 5a020c\nname btdremol-7113\n"
                          "rfcomm send 50 ABCDEFGH\n";
    for (int i = 0; i < 3; i++)
        devices += "service 0x1000" + std::to_string(3 + i) + " " + services[i] +
                   "\nproto L2CAP RFCOMM:" + std::to_string(3 - i) + "\n";
    expect_picture(devices, {
                                {maker("btdremol-7113", "00:1A:7D:DA:71:13"), 32},
                                {tab + padded(name, 53) + " [0x10003] RFCOMM 3", 32},
                                {tab + name, 32},
                                {tab + name, 32},
                                {red, 31},
                                {tab + name + " [0x10005] RFCOMM 1", 31},
                            });
}

// More devices than rows: the list ends with the text on the last row, and nothing of the
// devices under it runs on in that row.
TEST_F(Tui, ListEndsAtTheLastRow)
{
    std::string devices;
    std::vector<row> want;
    for (int i = 0; i < 40; i++) {
        char addr[18], handle[8], name[16];
        snprintf(addr, sizeof addr, "00:1A:7D:DA:72:%02X", i);
        snprintf(handle, sizeof handle, "0x%x", 0x10000 + i);
        snprintf(name, sizeof name, "btdremol-72%02X", i);
        std::string svc = "Serial Port " + std::to_string(i);
        devices += "device " + std::string(addr) + " 5a020c\nname " + name + "\nservice " + handle +
                   " " + svc + "\nproto L2CAP RFCOMM:1\nrfcomm refuse\n";
        // Each new device goes to the head, and all are seen at once: the last one comes first.
        want.insert(want.begin(),
                    {{maker(name, addr), 31}, {tab + svc + " [" + handle + "] RFCOMM 1", 31}});
    }
    want.resize(24);
    expect_picture(devices, want);
}

} // namespace

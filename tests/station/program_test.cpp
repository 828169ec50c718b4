// The programs themselves, forked and run as a user runs them: the daemon mode with its lock
// file (a test build that keeps its lock file in the web root it is given), the product
// binary on this machine, and the simulator program.
#include "tests/common/held_connections.h"
#include "tests/common/test_util.h"
#include "tests/ui/ui_programs.h"
#include "ui/web.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using namespace std::chrono;

// CPU time (user and system, in clock ticks) that a process has used.
long cpu_ticks(pid_t pid)
{
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    std::istringstream in(stat.substr(stat.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && in >> field; i++) {
        if (i == 14)
            utime = std::stol(field);
        if (i == 15)
            stime = std::stol(field);
    }
    return utime + stime;
}

// The TCP port that process pid listens on, 0 while it listens on none. Found from the
// process's own sockets, so that no port has to be picked for it beforehand (which another
// test's socket may take first) and no probe connection counts against its client's bound.
int listening_port(pid_t pid)
{
    const std::string proc = "/proc/" + std::to_string(pid);
    std::set<std::string> inodes;
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(proc + "/fd", ec)) {
        std::string target = std::filesystem::read_symlink(e.path(), ec).string();
        if (target.rfind("socket:[", 0) == 0)
            inodes.insert(target.substr(8, target.size() - 9));
    }
    std::istringstream table(read_file(proc + "/net/tcp"));
    std::string line;
    std::getline(table, line); // the heading
    while (std::getline(table, line)) {
        // sl local_address rem_address st tx:rx tr:when retrnsmt uid timeout inode
        std::istringstream in(line);
        std::string field[10];
        for (auto &f : field)
            in >> f;
        if (field[3] == "0A" && inodes.count(field[9]))
            return std::stoi(field[1].substr(field[1].find(':') + 1), nullptr, 16);
    }
    return 0;
}

// The processes of this test (its children, and the daemons it became the parent of) that run
// the program named comm and have not ended.
std::vector<pid_t> running_children(const std::string &comm)
{
    std::vector<pid_t> found;
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string name = e.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        // pid (comm) state ppid
        std::string stat = read_file(e.path().string() + "/stat");
        size_t open = stat.find('('), close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos)
            continue;
        std::istringstream rest(stat.substr(close + 2));
        char state = 0;
        pid_t ppid = 0;
        rest >> state >> ppid;
        if (stat.substr(open + 1, close - open - 1) == comm && ppid == getpid() && state != 'Z')
            found.push_back(std::stoi(name));
    }
    return found;
}

// Other users race for path from now on: two create a file there exclusively (naming a running
// process), two make a folder there. Whether all four started.
bool race_for(other_user_loops &racers, const std::string &path)
{
    bool started = true;
    for (int i = 0; i < 2; i++) {
        started = racers.start([path] {
            int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd >= 0) {
                (void)!write(fd, "1\n", 2);
                close(fd);
            }
        }) && started;
        started = racers.start([path] { (void)mkdir(path.c_str(), 0777); }) && started;
    }
    return started;
}

struct Program : ::testing::Test {
    temp_dir tmp{"vesk-program-test"};
    std::string dir;
    std::vector<pid_t> started; // every process that a test may leave running
    bool reaper = false;
    // While open, a pipe that every program started waits on, up to the moment of its exec,
    // until the test closes both ends: programs released together start at the same moment.
    int gate[2] = {-1, -1};

    void SetUp() override
    {
        if (const char *why = no_loopback_resolver())
            GTEST_SKIP() << why;
        // The daemon's parent ends at once; its child is then ours to reap. User-mode emulation
        // does not offer this; only the daemon tests need it.
        reaper = prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
        if (emulator().empty()) {
            ASSERT_TRUE(reaper);
        }
        ASSERT_FALSE(tmp.path().empty());
        dir = tmp.path();
    }

    void TearDown() override
    {
        for (pid_t p : started) {
            kill(p, SIGKILL);
            // -1 at once for a pid already reaped.
            (void)settle_until([p] { return waitpid(p, nullptr, WNOHANG) != 0; }, seconds(5));
        }
        while (waitpid(-1, nullptr, WNOHANG) > 0) { // orphans this test became the parent of
        }
        EXPECT_TRUE(tmp.remove());
    }

    // Starts a program with standard output and error on a pipe, and as many descriptors as
    // nofile allows (0: as many as this process), with no resolver but one on loopback; returns
    // its pid.
    pid_t spawn(std::vector<std::string> args, int *out, mode_t mask = 022,
                const char *asan_options = nullptr, rlim_t nofile = 0)
    {
        int p[2];
        EXPECT_EQ(pipe2(p, O_CLOEXEC), 0);
        pid_t pid = fork();
        if (pid == 0) {
            umask(mask);
            dup2(p[1], 1);
            dup2(p[1], 2);
            int null = open("/dev/null", O_RDONLY);
            dup2(null, 0);
            if (asan_options)
                setenv("ASAN_OPTIONS", asan_options, 1);
            rlimit limit = {nofile, nofile};
            if (nofile && setrlimit(RLIMIT_NOFILE, &limit) != 0)
                _exit(126);
            if (!resolver_on_loopback())
                _exit(125);
            if (gate[0] >= 0) {
                close(gate[1]);
                char c;
                (void)!read(gate[0], &c, 1);
            }
            std::vector<char *> argv;
            std::vector<std::string> emu = emulator();
            args.insert(args.begin(), emu.begin(), emu.end());
            for (auto &a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        close(p[1]);
        *out = p[0];
        started.push_back(pid);
        return pid;
    }

    // What the pipe carries until every writer has closed it.
    static std::string read_all(int fd)
    {
        std::string text;
        auto until = steady_clock::now() + seconds(20);
        for (;;) {
            pollfd p = {fd, POLLIN, 0};
            int ready = 0;
            if (steady_clock::now() > until || (ready = poll(&p, 1, 100)) < 0)
                break;
            if (ready == 0) // a read now would wait for good on a program that stalls silently
                continue;
            char buf[256];
            ssize_t n = read(fd, buf, sizeof buf);
            if (n == 0)
                break;
            if (n > 0)
                text.append(buf, size_t(n));
        }
        close(fd);
        return text;
    }

    static int exit_status(pid_t pid)
    {
        int st = -1;
        if (!wait_until([&] { return waitpid(pid, &st, WNOHANG) == pid; }))
            return -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }

    std::string log() const { return read_file(dir + "/log"); }
};

// The daemon keeps its lock file in the web root, as the test build names it.
struct lock_case {
    const char *what;
    const char *content; // null: no lock file; "/": a directory in its place; "|": a fifo
    bool runs;
    const char *printed; // what the new copy prints
    // The lock path is a link that someone planted to a file of root's: content is then that
    // file's (null: the link dangles), which must stay as it was.
    bool link = false;
    bool shared = false; // the lock's folder is open to every user, as /run/lock is
    bool theirs = false; // what is at the lock path belongs to another user
    // The lock path is a second name of a file of root's (the target), whose content must stay.
    bool second_name = false;
};

// Names the case in test listings.
void PrintTo(const lock_case &c, std::ostream *os)
{
    *os << c.what;
}

class Daemon : public Program, public ::testing::WithParamInterface<lock_case>
{
};

TEST_P(Daemon, LockFile)
{
    if (!reaper)
        GTEST_SKIP() << "the daemon's exit can't be awaited: no child subreaper under emulation";
    const lock_case &c = GetParam();
    if (c.shared) {
        ASSERT_EQ(chmod(dir.c_str(), 01777), 0);
    }
    std::string lock = dir + "/vesk_bt.lock";
    std::string content = c.content ? c.content : "";
    if (content == "<own pid>\n")
        content = std::to_string(getpid()) + "\n";
    std::string target = dir + "/target";
    if (c.link) {
        ASSERT_EQ(symlink(target.c_str(), lock.c_str()), 0);
    }
    if (content == "/") {
        ASSERT_EQ(mkdir(lock.c_str(), 0755), 0);
        write_file(lock + "/inside", "kept\n");
    } else if (content == "|") {
        ASSERT_EQ(mkfifo(lock.c_str(), 0666), 0);
    } else if (c.second_name) {
        write_file(target, content);
        ASSERT_EQ(link(target.c_str(), lock.c_str()), 0);
    } else if (c.content) {
        write_file(c.link ? target : lock, content);
    }
    if (c.theirs) {
        ASSERT_EQ(lchown(lock.c_str(), 65534, 65534), 0);
    }

    // In a folder open to all, a start never removes the entry at the lock path by name, which
    // would leave the path empty for a moment that a racing start could fill.
    int watch = c.shared ? inotify_init1(IN_NONBLOCK | IN_CLOEXEC) : -1;
    if (c.shared) {
        ASSERT_GE(inotify_add_watch(watch, dir.c_str(), IN_DELETE), 0);
    }

    // A descriptor that the starter leaves open, which the daemon has no business keeping.
    const std::string inherited = dir + "/inherited";
    int left_open = open(inherited.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(left_open, 0);
    int out;
    pid_t parent =
        spawn({VESK_BT_LOCAL, "-d", "-n", "-p", "0", "-w", dir, "-l", dir + "/log"}, &out, 077);
    close(left_open);
    EXPECT_EQ(exit_status(parent), 0) << "the starting command always succeeds";
    std::string printed = read_all(out);
    EXPECT_EQ(printed, c.printed) << c.what;
    struct stat st;
    if (lstat(lock.c_str(), &st) == 0 && S_ISFIFO(st.st_mode)) {
        ADD_FAILURE() << "the start stalls on a fifo at the lock path";
        // A writer lets it go on, so that it can be stopped below.
        int writer = open(lock.c_str(), O_WRONLY | O_NONBLOCK);
        if (writer >= 0)
            close(writer);
        ASSERT_TRUE(wait_until([&] {
            return lstat(lock.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;
        }));
    }

    if (watch >= 0) {
        alignas(inotify_event) char events[4096];
        ssize_t n = read(watch, events, sizeof events);
        for (ssize_t at = 0; at < n;) {
            const auto *e = reinterpret_cast<const inotify_event *>(events + at);
            EXPECT_FALSE(e->len && !strcmp(e->name, "vesk_bt.lock"))
                << "the lock path was left empty";
            at += ssize_t(sizeof *e + e->len);
        }
        close(watch);
    }
    if (!c.runs) {
        EXPECT_EQ(exit_status(-1), 1) << c.what;
        EXPECT_EQ(read_file(lock), content) << "left as it was";
        return;
    }
    if (content == "/") { // moved aside whole, never entered
        int aside = 0;
        for (const auto &e : std::filesystem::directory_iterator(dir))
            if (std::regex_match(e.path().filename().string(),
                                 std::regex(R"(vesk_bt\.lock\.[A-Za-z0-9]{6})"))) {
                aside++;
                EXPECT_EQ(read_file(e.path().string() + "/inside"), "kept\n");
            }
        EXPECT_EQ(aside, 1) << "the folder at the lock path is gone";
    }
    std::string text = read_file(lock);
    ASSERT_FALSE(text.empty()) << c.what;
    ASSERT_EQ(text.back(), '\n');
    pid_t daemon = std::stoi(text);
    started.push_back(daemon);
    EXPECT_EQ(text, std::to_string(daemon) + "\n") << c.what;
    ASSERT_EQ(lstat(lock.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode)) << c.what;
    EXPECT_EQ(st.st_mode & 07777, 0664u) << "whatever the umask";
    if (c.link) {
        EXPECT_EQ(access(target.c_str(), F_OK) == 0, c.content != nullptr) << c.what;
    }
    if (c.link || c.second_name) {
        EXPECT_EQ(read_file(target), content) << c.what;
    }
    ASSERT_TRUE(
        wait_until([&] { return log().find("Starting Application") != std::string::npos; }));
    // Nothing the daemon opens later may take the standard descriptors.
    for (int fd = 0; fd <= 2; fd++) {
        char target[64] = {};
        std::string link = "/proc/" + std::to_string(daemon) + "/fd/" + std::to_string(fd);
        ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0) << link;
        EXPECT_STREQ(target, "/dev/null") << fd;
    }
    std::error_code ec;
    const std::string fds = "/proc/" + std::to_string(daemon) + "/fd";
    for (const auto &e : std::filesystem::directory_iterator(fds, ec))
        EXPECT_NE(std::filesystem::read_symlink(e.path(), ec), inherited)
            << "the starter's descriptor is still held as " << e.path().filename();
}

INSTANTIATE_TEST_SUITE_P(
    Locks, Daemon,
    ::testing::Values(
        lock_case{"no lock file", nullptr, true, ""}, lock_case{"empty lock file", "", true, ""},
        lock_case{"pid of no process", "9999999\n", true, ""},
        lock_case{"not a pid", "self\n", true, ""},
        lock_case{"more than 7 digits", "12345678", true, ""},
        lock_case{"a running process", "1\n", false, "Application already running vesk_bt.lock\n"},
        lock_case{"this test's process", "<own pid>\n", false,
                  "Application already running vesk_bt.lock\n"},
        lock_case{"a folder at the lock path", "/", true, ""},
        lock_case{"a fifo without a writer", "|", true, ""},
        lock_case{"a dangling link", nullptr, true, "", true},
        lock_case{"a link to a file naming a running process", "1\n", true, "", true},
        lock_case{"another user's file naming a running "
                  "process, in a folder open to all",
                  "1\n", true, "", false, true, true},
        lock_case{"another user's folder, in a folder open to "
                  "all",
                  "/", true, "", false, true, true},
        lock_case{"a lock of the daemon's user naming a running "
                  "process, in a folder open to all",
                  "1\n", false, "Application already running vesk_bt.lock\n", false, true},
        lock_case{"a stale lock of the daemon's user, in a folder open to all", "9999999\n", true,
                  "", false, true},
        lock_case{"a second name of a file of root's naming a running process, in a folder open "
                  "to all",
                  "1\n", true, "", false, true, false, true}));

// Other users race for the lock path in a folder open to all, from before the first start on.
// Whatever stands at the path gives way to the lock, which swaps places with it, so every start
// runs and holds the lock, a file of root's with its pid.
TEST_F(Program, RacingUsersNeverKeepTheDaemonFromItsLock)
{
    if (!reaper)
        GTEST_SKIP() << "the daemon's exit can't be awaited: no child subreaper under emulation";
    ASSERT_EQ(chmod(dir.c_str(), 01777), 0) << "a folder like /run/lock";
    const std::string lock = dir + "/vesk_bt.lock";
    other_user_loops racers;
    ASSERT_TRUE(race_for(racers, lock));
    ASSERT_TRUE(wait_until([&] { return access(lock.c_str(), F_OK) == 0; }));
    for (int round = 0; round < 10; round++) {
        SCOPED_TRACE("start " + std::to_string(round));
        int out;
        pid_t parent = spawn({VESK_BT_LOCAL, "-d", "-p", "0", "-w", dir, "-l", dir + "/log"}, &out);
        EXPECT_EQ(exit_status(parent), 0);
        ASSERT_EQ(read_all(out), "");
        struct stat st;
        ASSERT_EQ(lstat(lock.c_str(), &st), 0);
        ASSERT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_uid, 0u);
        EXPECT_EQ(st.st_mode & 07777, 0664u);
        const std::string text = read_file(lock);
        ASSERT_FALSE(text.empty());
        pid_t daemon = std::stoi(text);
        started.push_back(daemon);
        EXPECT_EQ(text, std::to_string(daemon) + "\n");
        ASSERT_TRUE(
            wait_until([&] { return log().find("Starting Application") != std::string::npos; }));
        EXPECT_EQ(waitpid(daemon, nullptr, WNOHANG), 0) << "the daemon runs";
        // Gone, with its lock left behind as stale for the next start.
        kill(daemon, SIGKILL);
        ASSERT_EQ(waitpid(daemon, nullptr, 0), daemon);
        ASSERT_EQ(unlink((dir + "/log").c_str()), 0);
    }
}

// Two starts of the daemon at the same moment, released together, round after round in a folder
// open to all or in one of root's own: whichever comes first, and whatever stands at the lock
// path, exactly one copy runs and holds the lock, and the other ends as a second copy does. Which
// of the two wins is a matter of timing; that one does is not.
struct twin_case {
    const char *what;
    const char *before; // what a lock of root's at the path holds as each round starts; null: none
    bool racers;        // other users race for the path with files and folders throughout
    mode_t folder = 01777; // the lock's folder: like /run/lock, or root's own
};

void PrintTo(const twin_case &c, std::ostream *os)
{
    *os << c.what;
}

class TwoStarts : public Program, public ::testing::WithParamInterface<twin_case>
{
};

TEST_P(TwoStarts, ExactlyOneRuns)
{
    if (!reaper)
        GTEST_SKIP() << "the daemon's exit can't be awaited: no child subreaper under emulation";
    const twin_case &c = GetParam();
    ASSERT_EQ(chmod(dir.c_str(), c.folder), 0);
    const std::string lock = dir + "/vesk_bt.lock";
    const std::string program = std::filesystem::path(VESK_BT_LOCAL).filename().string();
    other_user_loops racers;
    if (c.racers) {
        ASSERT_TRUE(race_for(racers, lock));
    }
    const std::string already = "Application already running vesk_bt.lock\n";
    constexpr int rounds = 30;
    int one_ran = 0;
    for (int round = 0; round < rounds; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        if (c.before)
            write_file(lock, c.before);
        else
            (void)unlink(lock.c_str()); // a folder of the racers' stays
        ASSERT_EQ(pipe2(gate, O_CLOEXEC), 0);
        int out[2];
        pid_t parent[2];
        for (int i = 0; i < 2; i++)
            parent[i] =
                spawn({VESK_BT_LOCAL, "-d", "-p", "0", "-w", dir, "-l", dir + "/log"}, &out[i]);
        close(gate[0]);
        close(gate[1]);
        gate[0] = gate[1] = -1;
        std::string printed[2];
        for (int i = 0; i < 2; i++) {
            EXPECT_EQ(exit_status(parent[i]), 0);
            printed[i] = read_all(out[i]);
        }
        // The one that printed has ended, or is about to.
        const int told = (printed[0] == already) + (printed[1] == already);
        for (int i = 0; i < told; i++) {
            int st = 0;
            EXPECT_TRUE(wait_until([&] { return waitpid(-1, &st, WNOHANG) > 0; }));
            EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 1) << st;
        }
        const std::vector<pid_t> running = running_children(program);
        started.insert(started.end(), running.begin(), running.end());
        const std::string text = read_file(lock);
        struct stat st;
        const bool held = lstat(lock.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == 0 &&
                          (st.st_mode & 07777) == 0664 && running.size() == 1 &&
                          text == std::to_string(running[0]) + "\n";
        if (told == 1 && printed[0] + printed[1] == already && held) {
            one_ran++;
            EXPECT_TRUE(wait_until(
                [&] { return log().find("Starting Application") != std::string::npos; }));
            EXPECT_EQ(waitpid(running[0], nullptr, WNOHANG), 0) << "the copy that won runs";
        } else {
            ADD_FAILURE() << running.size() << " copies run; they printed \"" << printed[0]
                          << "\" and \"" << printed[1] << "\"; the lock holds \"" << text << "\"";
        }
        if (!c.racers) { // nothing is left behind under a fresh name
            for (const auto &e : std::filesystem::directory_iterator(dir))
                EXPECT_EQ(e.path().filename().string().rfind("vesk_bt.lock.", 0), std::string::npos)
                    << e.path().filename();
        }
        for (pid_t p : running) {
            kill(p, SIGKILL);
            EXPECT_EQ(waitpid(p, nullptr, 0), p);
        }
        (void)unlink((dir + "/log").c_str());
    }
    printf("%s: exactly one copy ran in %d of %d rounds\n", c.what, one_ran, rounds);
}

INSTANTIATE_TEST_SUITE_P(
    Locks, TwoStarts,
    ::testing::Values(twin_case{"nothing at the path", nullptr, false},
                      twin_case{"a stale lock of root's", "9999999\n", false},
                      twin_case{"other users racing for the path", nullptr, true},
                      twin_case{"nothing at the path, in root's own folder", nullptr, false, 0755},
                      twin_case{"a stale lock, in root's own folder", "9999999\n", false, 0755}));

// A container restarted with its lock: a pid namespace of its own, where pids start over. The
// namespace's init sets the last pid handed out, so that the command it runs (the starter) gets
// pid 100 and its daemon 101, and reaps the starter only once the daemon has decided, as an init
// that is slow to reap would. A lock naming the new daemon or its starter names no running copy;
// one naming any other process that runs, the init here, still stops the start.
struct repeat_case {
    const char *what;
    const char *lock; // what the lock holds as the namespace starts
    bool runs;
};

void PrintTo(const repeat_case &c, std::ostream *os)
{
    *os << c.what;
}

class PidsRepeat : public Program, public ::testing::WithParamInterface<repeat_case>
{
protected:
    // The namespace's init: starts the daemon, reports the starter's pid and what the start
    // printed on report, and ends, and the namespace with it, when hold closes.
    [[noreturn]] void be_init(int report, int hold)
    {
        if (!resolver_on_loopback() ||
            mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
            _exit(125);
        int last = open("/proc/sys/kernel/ns_last_pid", O_WRONLY | O_CLOEXEC);
        if (last < 0 || write(last, "99", 2) != 2)
            _exit(125);
        close(last);
        int out;
        const pid_t starter =
            spawn({VESK_BT_LOCAL, "-d", "-n", "-p", "0", "-w", dir, "-l", dir + "/log"}, &out);
        // Every copy of the output closes once the daemon has ended or given up its descriptors.
        const std::string said = std::to_string(starter) + "\n" + read_all(out);
        waitpid(starter, nullptr, 0);
        (void)!write(report, said.data(), said.size());
        close(report);
        char c;
        (void)!read(hold, &c, 1);
        _exit(0);
    }
};

TEST_P(PidsRepeat, OnlyAnotherRunningProcessHoldsTheLock)
{
    if (!emulator().empty())
        GTEST_SKIP() << "the emulator's own threads take pids, so the daemon's is not known";
    const repeat_case &c = GetParam();
    const std::string lock = dir + "/vesk_bt.lock";
    write_file(lock, c.lock);
    int report[2], hold[2];
    ASSERT_EQ(pipe2(report, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(hold, O_CLOEXEC), 0);
    const pid_t outer = fork();
    if (outer == 0) {
        close(report[0]);
        close(hold[1]);
        if (unshare(CLONE_NEWPID) != 0)
            _exit(125);
        const pid_t init = fork();
        if (init == 0)
            be_init(report[1], hold[0]);
        close(report[1]);
        close(hold[0]);
        int st = 0;
        _exit(init > 0 && waitpid(init, &st, 0) == init && WIFEXITED(st) ? WEXITSTATUS(st) : 1);
    }
    ASSERT_GT(outer, 0);
    started.push_back(outer);
    close(report[1]);
    close(hold[0]);
    const std::string said = read_all(report[0]);
    EXPECT_EQ(said.substr(0, said.find('\n') + 1), "100\n") << "the starter's pid";
    const std::string printed = said.substr(said.find('\n') + 1);
    if (c.runs) {
        EXPECT_EQ(printed, "");
        EXPECT_EQ(read_file(lock), "101\n");
        EXPECT_TRUE(printed.empty() && wait_until([&] {
                        return log().find("Starting Application") != std::string::npos;
                    }))
            << "the daemon did not start";
    } else {
        EXPECT_EQ(printed, "Application already running vesk_bt.lock\n");
        EXPECT_EQ(read_file(lock), c.lock) << "left as it was";
    }
    close(hold[1]);
    EXPECT_EQ(exit_status(outer), 0) << "the namespace could not be set up";
}

INSTANTIATE_TEST_SUITE_P(
    Locks, PidsRepeat,
    ::testing::Values(repeat_case{"the new daemon's own pid", "101\n", true},
                      repeat_case{"its starter's pid, not yet reaped", "100\n", true},
                      repeat_case{"the namespace's init, which runs", "1\n", false}));

// Every program here is told port 0, so that its web server never competes for the real one.

// On a machine without an adapter the product starts and waits for one, at rest.
TEST_F(Program, ProductWaitsForAnAdapterWithoutBusyLoop)
{
    int out;
    pid_t pid = spawn({VESK_BT, "-p", "0", "-l", dir + "/log"}, &out);
    ASSERT_TRUE(
        wait_until([&] { return log().find("Starting Application") != std::string::npos; }));
    // The line comes before the rest of start-up, which is not part of the wait.
    std::this_thread::sleep_for(seconds(1));
    long before = cpu_ticks(pid);
    std::this_thread::sleep_for(seconds(2));
    long used = cpu_ticks(pid) - before;
    EXPECT_LE(used, sysconf(_SC_CLK_TCK) / 10) << "CPU ticks in 2 s of waiting";
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), 0) << "still waiting";
    close(out);
}

TEST_F(Program, StartUpFailureEndsWithAFailureStatus)
{
    write_file(dir + "/adapter.scn", "adapter open-fail\n");
    int out;
    // A failed start-up leaves the web server's hold on the context until the process ends.
    pid_t pid = spawn({VESK_BT_SIM, dir + "/adapter.scn", "-p", "0", "-l", dir + "/log"}, &out, 022,
                      "detect_leaks=0");
    std::string printed = read_all(out);
    EXPECT_EQ(exit_status(pid), 1);
    EXPECT_NE(printed.find("opening HCI socket: No such device"), std::string::npos) << printed;
    EXPECT_NE(log().find("HCI DEV / SCOCK Faile HCI:0 SOCK: -1\n"), std::string::npos);
}

TEST_F(Program, SimulatorRunsTheMakersDeviceTest)
{
    int out;
    std::string scenario = std::string(SCENARIO_DIR) + "/maker_abcdefgh.scn";
    spawn({VESK_BT_SIM, scenario, "-p", "0", "-l", dir + "/log"}, &out);
    ASSERT_TRUE(wait_until([&] {
        return log().find("Device report ID: 0008001a7dda7113 PAIRED: OK OBR: OK") !=
               std::string::npos;
    })) << log();
    EXPECT_NE(log().find("Read from 00:1A:7D:DA:71:13 RFCOMM 1 0x4443424148474645"),
              std::string::npos);
    close(out);
}

// Clients that hold many web connections open, a byte now and then keeping each from timing
// out, under a descriptor limit that such connections would exhaust without the server's
// bounds: from one address, and from several, each within its own bound.
struct held_case {
    const char *what;
    int addresses;
    unsigned per_address;
    unsigned kept;            // connections that the server keeps
    bool page_from_elsewhere; // a page load from another address answers
    bool at_start_up;         // held as soon as the server listens, before the radio is opened
};

void PrintTo(const held_case &c, std::ostream *os)
{
    *os << c.what;
}

class HeldConnections : public Program, public ::testing::WithParamInterface<held_case>
{
};

// The radio and the operator's page still get their descriptors: the adapter opens, and the
// maker's device, which comes into range only once the connections are held, is tested and
// reported good.
TEST_P(HeldConnections, LeaveTheDaemonItsDescriptors)
{
    const held_case &c = GetParam();
    const rlim_t nofile = 2 * web_connection_limit;
    ASSERT_GT(c.addresses * c.per_address, nofile) << "enough to exhaust the limit";
    std::string scenario = read_file(std::string(SCENARIO_DIR) + "/maker_abcdefgh.scn");
    write_file(dir + "/late.scn", scenario + "appear 5\n");
    int out;
    pid_t pid = spawn({VESK_BT_SIM, dir + "/late.scn", "-p", "0", "-l", dir + "/log"}, &out, 022,
                      nullptr, nofile);
    int port = 0;
    ASSERT_TRUE(wait_until([&] { return (port = listening_port(pid)) != 0; }));
    if (!c.at_start_up) {
        ASSERT_TRUE(wait_until([&] { return log().find("Scaning Start") != std::string::npos; }));
    }
    const std::string fd_dir = "/proc/" + std::to_string(pid) + "/fd";
    const int before = folder_entries(fd_dir.c_str());

    held_connections clients;
    for (int i = 0; i < c.addresses; i++)
        ASSERT_TRUE(clients.open("127.0.0." + std::to_string(i + 1), port, int(c.per_address)));
    ASSERT_EQ(log().find("RFCOMM"), std::string::npos) << "tested before the connections held";
    EXPECT_TRUE(wait_until([&] { return clients.held() == c.kept; }, seconds(5))) << clients.held();

    if (c.page_from_elsewhere) {
        std::string status;
        run({"curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "--max-time", "5",
             "--interface", "127.0.0.200", "-u", "admin:tulvex",
             "http://127.0.0.1:" + std::to_string(port) + "/scan"},
            &status);
        EXPECT_EQ(status, "200") << "a page load from another address";
    }

    const std::string good = "Device report ID: 0008001a7dda7113 PAIRED: OK OBR: OK";
    int most = before;
    bool reported = wait_until(
        [&] {
            clients.trickle();
            most = std::max(most, folder_entries(fd_dir.c_str()));
            return log().find(good) != std::string::npos;
        },
        seconds(20), milliseconds(20));
    printf("%s: %u opened, %zu held; the daemon's descriptors: %d before, at most %d while "
           "held, its limit %d\n",
           c.what, c.addresses * c.per_address, clients.held(), before, most, int(nofile));
    EXPECT_TRUE(reported) << log();
    // One descriptor for each connection the server keeps, and a few for the device test's
    // socket pair and the link's look-ups.
    EXPECT_LE(most, before + int(c.kept) + 8);
    close(out);
}

INSTANTIATE_TEST_SUITE_P(
    Web, HeldConnections,
    ::testing::Values(held_case{"one address", 1, 10 * web_address_connection_limit,
                                web_address_connection_limit, true, false},
                      held_case{"several addresses", 10, web_address_connection_limit,
                                web_connection_limit, false, false},
                      held_case{"one address from start-up", 1, 10 * web_address_connection_limit,
                                web_address_connection_limit, true, true}));

TEST_F(Program, SimulatorRefusesABadScenario)
{
    write_file(dir + "/bad.scn", "page 0 5\nname orphan\n");
    int out;
    pid_t pid = spawn({VESK_BT_SIM, dir + "/bad.scn"}, &out);
    std::string printed = read_all(out);
    EXPECT_EQ(exit_status(pid), 2);
    EXPECT_NE(printed.find("bad.scn: 2: this line belongs to a device"), std::string::npos)
        << printed;
}

} // namespace

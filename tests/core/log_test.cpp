#include "core/log.h"

#include "core/log_private.h"
#include "core/thr.h"
#include "tests/common/test_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

// "%c" in the POSIX locale: "Thu Jan  1 00:00:00 1970", then one blank.
const std::string stamp =
    R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 1-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4} )";

std::vector<std::string> lines(const std::string &path)
{
    std::vector<std::string> v;
    std::ifstream f(path);
    for (std::string l; std::getline(f, l);)
        v.push_back(l);
    return v;
}

// What a descriptor's holder reads: a file's whole content, or what a fifo holds.
std::string read_back(int fd)
{
    std::string text;
    char buf[512];
    lseek(fd, 0, SEEK_SET); // fails harmlessly on a fifo
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        text.append(buf, size_t(n));
    return text;
}

struct Log : ::testing::Test {
    temp_dir tmp{"vesk-log-test"};
    std::string dir, path;
    void SetUp() override
    {
        ASSERT_FALSE(tmp.path().empty());
        dir = tmp.path();
        path = dir + "/log";
    }
    void TearDown() override
    {
        unsetenv("TZ");
        tzset();
        log_close();
        ASSERT_TRUE(tmp.remove());
    }
};

// Its own file is emptied where it is, so that whoever follows it goes on seeing its lines.
TEST_F(Log, OpenTruncatesAndStartsWithTheStartLine)
{
    write_file(path, "old contents\n");
    int follower = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(follower, 0);
    log_message("before open\n"); // no log yet: nothing, no crash
    log_open(path.c_str());
    log_message("value %d and %s\n", 42, "text");
    auto v = lines(path);
    ASSERT_EQ(v.size(), 2u);
    EXPECT_TRUE(std::regex_match(v[0], std::regex(stamp + "Starting Application"))) << v[0];
    EXPECT_TRUE(std::regex_match(v[1], std::regex(stamp + "value 42 and text"))) << v[1];
    EXPECT_EQ(v[0].size(), 24u + 1 + strlen("Starting Application"));
    EXPECT_EQ(read_back(follower), read_file(path));
    close(follower);
}

// The stamp is the local time in the POSIX locale's "%c" form, which spells out as below.
TEST_F(Log, StampIsTheLocalTime)
{
    setenv("TZ", "XST-5:30", 1); // an offset that neither UTC nor a whole hour can match
    tzset();
    time_t before = time(nullptr);
    log_open(path.c_str());
    time_t after = time(nullptr);
    auto v = lines(path);
    ASSERT_EQ(v.size(), 1u);
    bool matched = false;
    for (time_t t = before; t <= after && !matched; t++) {
        struct tm tm;
        localtime_r(&t, &tm);
        char want[64];
        strftime(want, sizeof want, "%a %b %e %H:%M:%S %Y Starting Application", &tm);
        matched = v[0] == want;
    }
    EXPECT_TRUE(matched) << v[0];
}

TEST_F(Log, SecondOpenAndNullPathChangeNothing)
{
    log_open(nullptr);
    log_message("lost\n");
    log_open(path.c_str());
    std::string other = dir + "/other";
    log_open(other.c_str());
    log_message("still here\n");
    EXPECT_EQ(access(other.c_str(), F_OK), -1);
    EXPECT_EQ(lines(path).size(), 2u);
}

TEST_F(Log, ClearLeavesOneLine)
{
    EXPECT_EQ(log_clear(), 0);
    log_open(path.c_str());
    log_message("one\n");
    log_message("two\n");
    int follower = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(follower, 0);
    EXPECT_EQ(log_clear(), 1);
    EXPECT_EQ(read_back(follower), read_file(path)) << "emptied where it is";
    close(follower);
    auto v = lines(path);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_TRUE(std::regex_match(v[0], std::regex(stamp + "Logs Cleared"))) << v[0];
}

TEST_F(Log, FileThatCannotBeCreatedYetAppearsWithTheNextLine)
{
    std::string later = dir + "/sub/log";
    log_open(later.c_str());
    log_message("lost too\n");
    ASSERT_EQ(mkdir((dir + "/sub").c_str(), 0700), 0);
    log_message("first kept\n");
    auto v = lines(later);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_TRUE(std::regex_match(v[0], std::regex(stamp + "first kept")));
}

TEST_F(Log, CallerSuppliesTheLineEnd)
{
    log_open(path.c_str());
    log_message("no newline");
    log_message("a\nb\n");
    auto v = lines(path);
    ASSERT_EQ(v.size(), 3u);
    EXPECT_TRUE(std::regex_match(v[1], std::regex(stamp + "no newline" + stamp + "a"))) << v[1];
    EXPECT_EQ(v[2], "b");
}

TEST_F(Log, LinesOfTwoThreadsNeverMix)
{
    log_open(path.c_str());
    auto writer = [](char c) {
        std::string text(200, c);
        for (int i = 0; i < 1000; i++)
            log_message("%s %d\n", text.c_str(), i);
    };
    std::thread a(writer, 'a'), b(writer, 'b');
    a.join();
    b.join();
    auto v = lines(path);
    ASSERT_EQ(v.size(), 2001u);
    std::regex whole(stamp + "(a{200}|b{200}) [0-9]+");
    for (size_t i = 1; i < v.size(); i++)
        ASSERT_TRUE(std::regex_match(v[i], whole)) << i << ": " << v[i];
}

// Runs what the log does on a thread of its own, so that an open stalled on a fifo fails the case
// instead of holding up the run. A stalled open is let go by a reader that the caller closes
// once the log is closed. Whether it ran without stalling.
bool runs_without_stalling(const std::function<void()> &what, const std::string &path,
                           int *released_by)
{
    std::atomic<bool> done{false};
    std::thread t([&] {
        what();
        done = true;
    });
    bool ran = wait_until([&] { return done.load(); }, std::chrono::seconds(10));
    if (!ran)
        *released_by = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    if (!settle_until([&] { return done.load(); }, std::chrono::seconds(10))) {
        ADD_FAILURE() << "the log stays stalled on " << path;
        fflush(stdout);
        _exit(1);
    }
    t.join();
    return ran;
}

// The log's folder is open to every user, the daemon runs as root. Whatever someone puts at the
// log's path before the log is opened, cleared or opened again gives way to a file of the log's
// own, and neither the thing planted nor what it names gets a byte or loses one.
TEST_F(Log, AnythingButItsOwnFileAtThePathGivesWayToAFreshOne)
{
    const bool root = geteuid() == 0;
    const std::string target = dir + "/target"; // a file of the daemon's user
    const std::string forged = "Device report ID: 0008001a7dda7113 PAIRED: OK OBR: OK\n";
    ASSERT_EQ(chmod(dir.c_str(), 01777), 0) << "a folder like /tmp";

    const struct {
        const char *what;
        // Puts it at the path; kept: the descriptor that its planter keeps, if any.
        bool (*plant)(const std::string &path, const std::string &target, int *kept);
        bool forges; // the planter writes a line of its own through that descriptor
        bool needs_root;
        bool folder = false; // moved aside, with what it holds
    } plants[] = {
        {"a link to a file of the daemon's user",
         [](const std::string &p, const std::string &t, int *) {
             return symlink(t.c_str(), p.c_str()) == 0;
         },
         false, false},
        {"a second name of a file of the daemon's user",
         [](const std::string &p, const std::string &t, int *) {
             return link(t.c_str(), p.c_str()) == 0;
         },
         false, false},
        {"a fifo with a reader",
         [](const std::string &p, const std::string &, int *kept) {
             return mkfifo(p.c_str(), 0666) == 0 &&
                    (*kept = open(p.c_str(), O_RDONLY | O_NONBLOCK)) >= 0;
         },
         false, false},
        {"a fifo without a reader",
         [](const std::string &p, const std::string &, int *) {
             return mkfifo(p.c_str(), 0666) == 0;
         },
         false, false},
        {"a file of another user, held open by them",
         [](const std::string &p, const std::string &, int *kept) {
             *kept = open(p.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
             return *kept >= 0 && fchmod(*kept, 0666) == 0 && fchown(*kept, 65534, 65534) == 0;
         },
         true, true},
        {"a file of the daemon's user that others may write to, held open by one of them",
         [](const std::string &p, const std::string &, int *kept) {
             *kept = open(p.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
             return *kept >= 0 && fchmod(*kept, 0666) == 0;
         },
         true, false},
        {"a folder with a file in it",
         [](const std::string &p, const std::string &, int *) {
             if (mkdir(p.c_str(), 0777) != 0)
                 return false;
             write_file(p + "/inside", "kept\n");
             // Another user's, where the test may give it away.
             return geteuid() != 0 || chown(p.c_str(), 65534, 65534) == 0;
         },
         false, false, true},
    };
    enum class when { open, clear, open_again };
    const struct {
        const char *what;
        when moment;
        std::vector<std::string> lines; // the log's first lines, without their stamps
    } moments[] = {
        {"at the open", when::open, {"Starting Application"}},
        {"at a clear", when::clear, {"Logs Cleared"}},
        {"at the open again after a failed one", when::open_again, {"reopened"}},
    };

    bool left_out = false;
    for (const auto &p : plants) {
        if (p.needs_root && !root) {
            left_out = true;
            continue;
        }
        for (const auto &m : moments) {
            SCOPED_TRACE(std::string(p.what) + ", " + m.what);
            write_file(target, "secret\n");
            const std::string sub = dir + "/sub";
            const std::string at = (m.moment == when::open_again ? sub : dir) + "/log";
            std::function<void()> moment;
            switch (m.moment) {
            case when::open:
                moment = [&] { log_open(at.c_str()); };
                break;
            case when::clear:
                log_open(at.c_str());
                ASSERT_EQ(unlink(at.c_str()), 0);
                moment = [] { EXPECT_EQ(log_clear(), 1); };
                break;
            case when::open_again:
                log_open(at.c_str()); // its folder is not there yet: no file
                ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
                ASSERT_EQ(chmod(sub.c_str(), 01777), 0);
                moment = [] { log_message("reopened\n"); };
                break;
            }
            int kept = -1;
            ASSERT_TRUE(p.plant(at, target, &kept)) << "could not plant it";
            int released_by = -1;
            EXPECT_TRUE(runs_without_stalling(moment, at, &released_by)) << "stalled";
            if (p.forges) {
                ASSERT_EQ(write(kept, forged.data(), forged.size()), ssize_t(forged.size()));
            }
            log_message("after\n");

            EXPECT_EQ(read_file(target), "secret\n") << "written or emptied through it";
            if (kept >= 0) {
                EXPECT_EQ(read_back(kept), p.forges ? forged : "") << "its planter got lines";
            }
            struct stat st, planted{}, named;
            ASSERT_EQ(lstat(at.c_str(), &st), 0) << "no log";
            EXPECT_TRUE(S_ISREG(st.st_mode));
            EXPECT_EQ(st.st_uid, geteuid());
            EXPECT_EQ(st.st_nlink, 1u);
            ASSERT_EQ(stat(target.c_str(), &named), 0);
            EXPECT_NE(st.st_ino, named.st_ino);
            if (kept >= 0 && fstat(kept, &planted) == 0) {
                EXPECT_NE(st.st_ino, planted.st_ino) << "the planted file is still the log";
            }
            std::vector<std::string> want = m.lines;
            want.push_back("after");
            if (S_ISREG(st.st_mode)) { // reading a fifo would stall
                EXPECT_EQ(log_lines(at), want);
            }
            // Nothing is left beside the log but a folder moved aside, whole and unentered.
            const std::string folder = at.substr(0, at.rfind('/'));
            std::vector<std::string> aside;
            for (const auto &e : std::filesystem::directory_iterator(folder)) {
                std::string n = e.path().filename();
                if (n != "log" && n != "target" && n != "sub")
                    aside.push_back(n);
            }
            if (p.folder) {
                ASSERT_EQ(aside.size(), 1u) << "the folder at the path is gone";
                EXPECT_TRUE(std::regex_match(aside[0], std::regex(R"(log\.[A-Za-z0-9]{6})")))
                    << aside[0];
                EXPECT_EQ(read_file(folder + "/" + aside[0] + "/inside"), "kept\n");
            } else {
                EXPECT_TRUE(aside.empty()) << "left behind: " << aside[0];
            }

            log_close();
            for (int fd : {kept, released_by})
                if (fd >= 0)
                    close(fd);
            unlink(at.c_str());
            for (const auto &n : aside)
                std::filesystem::remove_all(folder + "/" + n);
            rmdir(sub.c_str());
        }
    }
    if (left_out)
        GTEST_SKIP() << "the file of another user needs root, to give it to uid 65534; the other "
                        "cases ran";
}

// Where only the daemon's user makes entries, whatever stands at the path was put there by the
// operator (-l /dev/null): it is never removed or written to, and the log goes without a file.
TEST_F(Log, InAFolderOfItsOwnNothingAtThePathIsRemoved)
{
    const bool root = geteuid() == 0;
    const std::string target = dir + "/target";
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
    const struct {
        const char *what;
        int (*plant)(const std::string &path, const std::string &target);
        bool needs_root;
    } plants[] = {
        {"a fifo without a reader",
         [](const std::string &p, const std::string &) { return mkfifo(p.c_str(), 0666); }, false},
        {"a second name of a file of the daemon's user",
         [](const std::string &p, const std::string &t) { return link(t.c_str(), p.c_str()); },
         false},
        {"a device like /dev/null",
         [](const std::string &p, const std::string &) {
             return mknod(p.c_str(), S_IFCHR | 0666, makedev(1, 3));
         },
         true},
        {"a file of another user",
         [](const std::string &p, const std::string &) {
             int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
             int r = fd >= 0 && fchown(fd, 65534, 65534) == 0 ? 0 : -1;
             close(fd);
             return r;
         },
         true},
        {"a file of the daemon's user that others may write to",
         [](const std::string &p, const std::string &) {
             write_file(p, "theirs too\n");
             return chmod(p.c_str(), 0666);
         },
         false},
        {"a folder",
         [](const std::string &p, const std::string &) { return mkdir(p.c_str(), 0755); }, false},
    };
    bool left_out = false;
    for (const auto &p : plants) {
        if (p.needs_root && !root) {
            left_out = true;
            continue;
        }
        SCOPED_TRACE(p.what);
        write_file(target, "secret\n");
        ASSERT_EQ(p.plant(path, target), 0) << "could not plant it";
        struct stat planted, st;
        ASSERT_EQ(lstat(path.c_str(), &planted), 0);
        int released_by = -1;
        EXPECT_TRUE(runs_without_stalling(
            [&] {
                log_open(path.c_str());
                log_message("lost\n");
                EXPECT_EQ(log_clear(), 0) << "no file was made afresh";
            },
            path, &released_by))
            << "stalled";
        log_close();
        if (released_by >= 0)
            close(released_by);
        ASSERT_EQ(lstat(path.c_str(), &st), 0) << "removed";
        EXPECT_EQ(st.st_ino, planted.st_ino) << "replaced";
        EXPECT_EQ(st.st_mode, planted.st_mode);
        EXPECT_EQ(read_file(target), "secret\n") << "written or emptied through it";
        EXPECT_EQ(st.st_size, planted.st_size) << "written to or emptied";
        ASSERT_EQ(remove(path.c_str()), 0);
    }
    if (left_out)
        GTEST_SKIP() << "a device node and a file of another user need root; the other cases ran";
}

// Other users who create the path exclusively, again and again, from before the open on: no
// moment between a removal and a creation is left for them to win, so every line stays.
TEST_F(Log, RacingCreatorsNeverTakeItsPath)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "the creators are another user: needs root";
    ASSERT_EQ(chmod(dir.c_str(), 01777), 0) << "a folder like /tmp";
    const std::string forged = "Device report ID: 0008001a7dda7113 PAIRED: OK OBR: OK\n";
    other_user_loops creators;
    for (int i = 0; i < 4; i++) {
        ASSERT_TRUE(creators.start([&] {
            int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd >= 0) {
                (void)!write(fd, forged.data(), forged.size());
                close(fd);
            }
        }));
    }
    ASSERT_TRUE(wait_until([&] { return access(path.c_str(), F_OK) == 0; }));
    log_open(path.c_str());
    log_message("first\n");
    EXPECT_EQ(log_lines(path), (std::vector<std::string>{"Starting Application", "first"}));
    for (int i = 0; i < 50; i++) {
        EXPECT_EQ(log_clear(), 1) << i;
        log_message("after clear %d\n", i);
        ASSERT_EQ(log_lines(path),
                  (std::vector<std::string>{"Logs Cleared", "after clear " + std::to_string(i)}));
    }
    struct stat st;
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, geteuid());
    EXPECT_EQ(st.st_mode & 07777, 0644u);
}

// Whatever the umask, neither group nor others may write the log, in a folder that others may
// write to and in one of the daemon's own; a clear keeps it so.
TEST_F(Log, NeverWritableByOthersWhateverTheUmask)
{
    for (mode_t folder : {01777, 0755}) {
        for (mode_t mask : {0000, 0022, 0077}) {
            SCOPED_TRACE("folder " + std::to_string(folder) + ", umask " + std::to_string(mask));
            ASSERT_EQ(chmod(dir.c_str(), folder), 0);
            mode_t old = umask(mask);
            log_open(path.c_str());
            struct stat opened, cleared;
            ASSERT_EQ(lstat(path.c_str(), &opened), 0);
            EXPECT_EQ(log_clear(), 1);
            ASSERT_EQ(lstat(path.c_str(), &cleared), 0);
            umask(old);
            EXPECT_EQ(opened.st_mode & 07777, 0644u & ~mask);
            EXPECT_EQ(cleared.st_mode & 07777, 0644u & ~mask);
            log_close();
            ASSERT_EQ(unlink(path.c_str()), 0);
        }
    }
}

// The log's folder reached through a link: one planted in a folder that others may write to, at
// any depth, is refused, and the file of root's that it leads to stays as it was; one in a folder
// of the operator's own is the operator's, and is followed.
TEST_F(Log, FolderBehindALinkOnlyWhereNoOtherUserCouldHavePutIt)
{
    const std::string roots = dir + "/roots"; // root's own folder, with a file of root's
    ASSERT_EQ(mkdir(roots.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((roots + "/deeper").c_str(), 0700), 0);
    const struct {
        const char *what;
        mode_t folder;     // of the link
        const char *below; // the path from the link on
        bool followed;
    } cases[] = {
        {"a link in a folder open to every user", 01777, "/log", false},
        {"a link further up, in a folder open to every user", 01777, "/deeper/log", false},
        {"a link in a folder of the operator's own", 0755, "/log", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string shared = dir + "/shared", link = shared + "/sub";
        const std::string behind = roots + c.below, at = link + c.below;
        write_file(behind, "secret\n");
        ASSERT_EQ(mkdir(shared.c_str(), 0755), 0);
        ASSERT_EQ(chmod(shared.c_str(), c.folder), 0);
        ASSERT_EQ(symlink(roots.c_str(), link.c_str()), 0);
        log_open(at.c_str());
        log_message("through the link\n");
        if (c.followed) {
            EXPECT_EQ(log_lines(behind),
                      (std::vector<std::string>{"Starting Application", "through the link"}));
        } else {
            EXPECT_EQ(read_file(behind), "secret\n") << "root's file written or emptied";
            struct stat st;
            EXPECT_EQ(lstat(link.c_str(), &st), 0);
            EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link itself was touched";
        }
        log_close();
        std::filesystem::remove_all(shared);
    }
}

// A log that cannot be opened at the start is said once on standard error, with its path and
// the cause; later attempts (each line, a clear) say nothing more.
TEST_F(Log, SaysOnceWhyItHasNoFile)
{
    const std::string target = dir + "/target";
    const struct {
        const char *what;
        std::string at;
        int (*plant)(const std::string &at, const std::string &target);
        const char *cause; // null: opens, and nothing is said
    } cases[] = {
        {"a folder at the path", path,
         [](const std::string &at, const std::string &) { return mkdir(at.c_str(), 0755); },
         "Is a directory"},
        {"a folder that is not there", dir + "/none/log",
         [](const std::string &, const std::string &) { return 0; }, "No such file or directory"},
        {"a file with a second link", path,
         [](const std::string &at, const std::string &t) { return link(t.c_str(), at.c_str()); },
         "Too many links"},
        {"a file it can open", path, [](const std::string &, const std::string &) { return 0; },
         nullptr},
    };
    const std::string said_to = dir + "/stderr";
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        write_file(target, "");
        ASSERT_EQ(c.plant(c.at, target), 0);
        fflush(stderr);
        int saved = dup(2);
        int err = open(said_to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ASSERT_GE(err, 0);
        dup2(err, 2);
        close(err);
        log_open(c.at.c_str());
        log_message("one\n");
        (void)log_clear();
        fflush(stderr);
        dup2(saved, 2);
        close(saved);
        log_close();
        std::string said = read_file(said_to);
        if (c.cause) {
            EXPECT_EQ(said, "Could not open log file " + c.at + ": " + c.cause + "\n");
        } else {
            EXPECT_EQ(said, "");
        }
        std::filesystem::remove_all(path);
    }
}

// Closing and reopening while other threads log must never touch a freed log object.
TEST_F(Log, CloseWhileOthersLogIsSafe)
{
    std::atomic<bool> stop{false};
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; t++)
        ts.emplace_back([&] {
            while (!stop) {
                log_message("busy\n");
                (void)log_clear();
            }
        });
    for (int i = 0; i < 300; i++) {
        log_open(path.c_str());
        log_close();
    }
    stop = true;
    for (auto &t : ts)
        t.join();
    SUCCEED();
}

// The thread parks inside its line, with the log locked, in a cancellation point.
std::atomic<bool> park_armed{false}, parked{false}, unpark{false}, later_line_done{false};
std::atomic<int> cancelled_exits{0};

void park_in_line()
{
    if (!park_armed.exchange(false))
        return;
    parked = true;
    while (!unpark)
        usleep(1000);
}

long logs_one_line(void *)
{
    log_message("cancelled line\n");
    for (;;)
        pause();
    return 0;
}

long clears_the_log(void *)
{
    (void)log_clear();
    for (;;)
        pause();
    return 0;
}

std::string opened_path;

long opens_the_log(void *)
{
    log_open(opened_path.c_str());
    for (;;)
        pause();
    return 0;
}

void count_cancelled_exit(void *)
{
    cancelled_exits++;
}

// A cancellable thread cancelled while it writes a line, clears the log or opens it finishes what
// it does under the log's lock (or its slot's) and lets go of the log.
TEST_F(Log, CancelledWriterLeavesTheLogUsable)
{
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer loses track of a thread cancelled in a blocking call";
#endif
    struct {
        const char *what;
        thr_body_fn body;
        std::vector<std::string> lines; // without their stamps
    } cases[] = {
        {"writing a line", logs_one_line, {"Starting Application", "cancelled line", "later line"}},
        {"clearing the log", clears_the_log, {"Logs Cleared", "later line"}},
        {"opening the log", opens_the_log, {"Starting Application", "later line"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        opened_path = path;
        unlink(path.c_str()); // a log that failed to open leaves none
        if (c.body != opens_the_log)
            log_open(path.c_str());
        parked = unpark = later_line_done = false;
        cancelled_exits = 0;
        park_armed = true;
        log_set_locked_hook(park_in_line);
        thr_record *rec = thr_start(c.body, count_cancelled_exit, nullptr, nullptr,
                                    THR_CANCELLABLE | THR_RETURN_RECORD);
        ASSERT_NE(rec, nullptr);
        ASSERT_TRUE(wait_until([] { return parked.load(); }));
        thr_stop(rec);
        unpark = true;
        ASSERT_TRUE(wait_until([] { return cancelled_exits.load() == 1; }));
        obj_release(rec);
        log_set_locked_hook(nullptr);
        // A log left locked would hang this line: write it where a hang fails the case.
        std::thread([] {
            log_message("later line\n");
            later_line_done = true;
        }).detach();
        if (!wait_until([] { return later_line_done.load(); }, std::chrono::seconds(10))) {
            ADD_FAILURE() << "a later line waits for good: the log stayed locked";
            // Closing the log would wait on that lock as well: end here.
            fflush(stdout);
            _exit(1);
        }
        auto v = lines(path);
        ASSERT_EQ(v.size(), c.lines.size());
        for (size_t i = 0; i < v.size(); i++)
            EXPECT_TRUE(std::regex_match(v[i], std::regex(stamp + c.lines[i]))) << v[i];
        log_close();
    }
}

} // namespace

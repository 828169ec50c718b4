#include "core/util.h"

#include "tests/common/test_util.h"

#include <gtest/gtest.h>

#include <cstring>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

TEST(Util, ByteOrder64)
{
    EXPECT_EQ(util_hton64(0x0807060504030201ull), 0x0102030405060708ull);
    EXPECT_EQ(util_ntoh64(util_hton64(0x0807060504030201ull)), 0x0807060504030201ull);
    uint64_t v = util_hton64(0x0008001a7dda7113ull);
    unsigned char b[8];
    memcpy(b, &v, 8);
    const unsigned char want[8] = {0x00, 0x08, 0x00, 0x1a, 0x7d, 0xda, 0x71, 0x13};
    EXPECT_EQ(memcmp(b, want, 8), 0);
}

TEST(Util, Trimming)
{
    struct {
        const char *in;
        const char *trim, *ltrim, *rtrim;
    } const cases[] = {
        {"  ab  ", "ab", "ab  ", "  ab"},
        {"   ", "", "", " "},
        {" ", "", "", " "},
        {"x", "x", "x", "x"},
        {"\t\n a b\r\v\f", "a b", "a b\r\v\f", "\t\n a b"},
        {"", "", "", ""},
    };
    for (const auto &c : cases) {
        std::string a = c.in, b = c.in, d = c.in;
        EXPECT_STREQ(util_str_trim(a.data()), c.trim) << '"' << c.in << '"';
        EXPECT_STREQ(util_str_ltrim(b.data()), c.ltrim) << '"' << c.in << '"';
        EXPECT_STREQ(util_str_rtrim(d.data()), c.rtrim) << '"' << c.in << '"';
    }
    char empty[] = "";
    EXPECT_EQ(util_str_trim(empty), empty);
    EXPECT_EQ(util_str_trim(nullptr), nullptr);
    EXPECT_EQ(util_str_ltrim(nullptr), nullptr);
    EXPECT_EQ(util_str_rtrim(nullptr), nullptr);
}

TEST(Util, TextTests)
{
    EXPECT_EQ(util_str_is_empty(nullptr), 1);
    EXPECT_EQ(util_str_is_empty(""), 1);
    EXPECT_EQ(util_str_is_empty(" "), 0);
    EXPECT_EQ(util_str_is_ascii(""), 1);
    EXPECT_EQ(util_str_is_ascii("plain\x7f"), 1);
    EXPECT_EQ(util_str_is_ascii("caf\xc3\xa9"), 0);
    EXPECT_EQ(util_str_is_ascii("\x80"), 0);
}

TEST(Util, PrintTextAddsNoNewline)
{
    testing::internal::CaptureStdout();
    int n = util_print_text("abc");
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "abc");
    EXPECT_EQ(n, 3);
}

TEST(Util, RandomBytes)
{
    util_seed_random();
    unsigned char a[32] = {}, b[32] = {};
    EXPECT_EQ(util_random_bytes(a, sizeof a), 1);
    EXPECT_EQ(util_random_bytes(b, sizeof b), 1);
    EXPECT_NE(memcmp(a, b, sizeof a), 0);
}

TEST(Util, NtpTimestamp)
{
    timeval t{0, 0};
    EXPECT_EQ(util_tv_to_ntp(&t), 2208988800ull << 32);
    t.tv_usec = 500000;
    EXPECT_EQ(util_tv_to_ntp(&t) & 0xffffffffu, 0x80000000u);
    EXPECT_EQ(util_tv_to_ntp(&t) >> 32, 2208988800ull);
    // A present-day time keeps the fraction to 2^11 of its units.
    t = {1700000000, 1};
    uint64_t ntp = util_tv_to_ntp(&t);
    EXPECT_EQ(ntp >> 32, (1700000000ull + 2208988800ull) & 0xffffffffu);
    EXPECT_EQ(ntp % 2048, 0u);
}

TEST(Util, TimevalSubtraction)
{
    struct {
        timeval x, y, want;
        int ret;
    } const cases[] = {
        {{5, 100}, {3, 200}, {1, 999900}, 0},   {{5, 100}, {5, 200}, {-1, 999900}, 0},
        {{3, 0}, {5, 0}, {-2, 0}, 1},           {{5, 1000000}, {3, 0}, {2, 1000000}, 0},
        {{5, 3500000}, {3, 0}, {5, 500000}, 0},
    };
    for (const auto &c : cases) {
        timeval out{};
        timeval y = c.y;
        EXPECT_EQ(util_tv_sub(&out, &c.x, &y), c.ret);
        EXPECT_EQ(out.tv_sec, c.want.tv_sec) << c.x.tv_sec << "." << c.x.tv_usec;
        EXPECT_EQ(out.tv_usec, c.want.tv_usec) << c.x.tv_sec << "." << c.x.tv_usec;
        EXPECT_EQ(y.tv_sec, c.y.tv_sec); // y is not changed
        // In place: the result is written over x or over y, the usual way to call it.
        for (bool over_x : {true, false}) {
            timeval x = c.x;
            y = c.y;
            timeval *o = over_x ? &x : &y;
            const char *how = over_x ? "out=x " : "out=y ";
            EXPECT_EQ(util_tv_sub(o, &x, &y), c.ret) << how << c.x.tv_sec << "." << c.x.tv_usec;
            EXPECT_EQ(o->tv_sec, c.want.tv_sec) << how << c.x.tv_sec << "." << c.x.tv_usec;
            EXPECT_EQ(o->tv_usec, c.want.tv_usec) << how << c.x.tv_sec << "." << c.x.tv_usec;
        }
    }
}

TEST(Util, FileCreateOwned)
{
    temp_dir tmp("vesk-util");
    ASSERT_FALSE(tmp.path().empty());
    std::string path = tmp.path() + "/f";
    write_file(path, "old");
    std::string fresh = tmp.path() + "/g";
    mode_t old = umask(0);
    EXPECT_EQ(util_file_create_owned(path.c_str(), getuid(), getgid()), 0);
    EXPECT_EQ(util_file_create_owned(fresh.c_str(), getuid(), getgid()), 0);
    umask(old);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0); // an existing file is truncated
    ASSERT_EQ(stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(util_file_create_owned((tmp.path() + "/no/such").c_str(), getuid(), getgid()), -1);
}

// Held as a lock is: by the pid of a process that runs.
bool pid_runs(int fd)
{
    char text[16] = {};
    if (read(fd, text, sizeof text - 1) <= 0)
        return false;
    pid_t pid = atoi(text);
    return pid > 0 && kill(pid, 0) == 0;
}

struct outcome {
    char result; // 'W' took the path, 'L' found it held, 'F' failed
    pid_t pid;
};

// One copy in a child: waits at go, puts its pid at lock, says how it fared on report, and runs
// on until done closes.
[[noreturn]] void start_copy(const std::string &lock, int go, int done, int report)
{
    char c;
    (void)!read(go, &c, 1);
    const char *name;
    const int dir = util_dir_open(lock.c_str(), &name);
    const std::string text = std::to_string(getpid()) + "\n";
    const int fd = dir < 0 ? -1 : util_replace_with_fresh(dir, name, 0664, text.c_str(), pid_runs);
    const outcome o = {fd >= 0 ? 'W' : errno == EALREADY ? 'L' : 'F', getpid()};
    (void)!write(report, &o, sizeof o);
    (void)!read(done, &c, 1);
    _exit(0);
}

// Copies that start at the same moment, each with its pid in a file for one path in a folder
// open to all: however many there are, exactly one takes the path and keeps it, whatever stood
// there, while each of the others finds it held and leaves nothing behind. Each copy runs on until
// all have been looked at, as a daemon does.
TEST(Util, FreshFileTakesAnEntryThatNoCopyHolds)
{
    temp_dir tmp("vesk-util");
    ASSERT_FALSE(tmp.path().empty());
    ASSERT_EQ(chmod(tmp.path().c_str(), 01777), 0);
    const std::string lock = tmp.path() + "/lock";
    constexpr int copies = 8;
    for (const char *before : {static_cast<const char *>(nullptr), "9999999\n"}) {
        for (int round = 0; round < 20; round++) {
            SCOPED_TRACE(std::string(before ? "a stale lock" : "nothing") + " at the path, round " +
                         std::to_string(round));
            (void)unlink(lock.c_str());
            if (before)
                write_file(lock, before);
            int go[2], done[2], report[2];
            ASSERT_EQ(pipe(go), 0);
            ASSERT_EQ(pipe(done), 0);
            ASSERT_EQ(pipe(report), 0);
            std::vector<pid_t> pids;
            for (int i = 0; i < copies; i++) {
                pid_t pid = fork();
                if (pid == 0) {
                    close(go[1]);
                    close(done[1]);
                    start_copy(lock, go[0], done[0], report[1]);
                }
                ASSERT_GT(pid, 0);
                pids.push_back(pid);
            }
            close(go[0]);
            close(done[0]);
            close(report[1]);
            close(go[1]); // all at once
            std::vector<outcome> seen;
            outcome o;
            while (seen.size() < copies) {
                pollfd p = {report[0], POLLIN, 0};
                if (poll(&p, 1, 10000) != 1 || read(report[0], &o, sizeof o) != sizeof o)
                    break;
                seen.push_back(o);
            }
            int took = 0, held = 0;
            pid_t winner = 0;
            for (const outcome &s : seen) {
                took += s.result == 'W';
                held += s.result == 'L';
                if (s.result == 'W')
                    winner = s.pid;
            }
            EXPECT_EQ(took, 1);
            EXPECT_EQ(held, copies - 1);
            EXPECT_EQ(read_file(lock), std::to_string(winner) + "\n");
            EXPECT_EQ(folder_names(tmp.path()), std::vector<std::string>{"lock"});
            close(done[1]);
            close(report[0]);
            for (pid_t pid : pids)
                EXPECT_EQ(waitpid(pid, nullptr, 0), pid);
            if (HasFailure())
                return;
        }
    }
}

} // namespace

#include "core/log.h"

#include "core/log_private.h"
#include "core/thr.h"
#include "tests/common/test_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <regex>
#include <string>
#include <sys/stat.h>
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

TEST_F(Log, OpenTruncatesAndStartsWithTheStartLine)
{
    write_file(path, "old contents\n");
    log_message("before open\n"); // no log yet: nothing, no crash
    log_open(path.c_str());
    log_message("value %d and %s\n", 42, "text");
    auto v = lines(path);
    ASSERT_EQ(v.size(), 2u);
    EXPECT_TRUE(std::regex_match(v[0], std::regex(stamp + "Starting Application"))) << v[0];
    EXPECT_TRUE(std::regex_match(v[1], std::regex(stamp + "value 42 and text"))) << v[1];
    EXPECT_EQ(v[0].size(), 24u + 1 + strlen("Starting Application"));
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
    EXPECT_EQ(log_clear(), 1);
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

// The log's folder is open to every user, who may plant a link to a file of root's (the target
// here) or a fifo at the log's path before the daemon opens, clears or reopens it.
TEST_F(Log, NeverWritesThroughAPlantedLinkOrIntoAFifo)
{
    const std::string target = dir + "/target";
    write_file(target, "secret\n");
    auto plant_link = [&] {
        unlink(path.c_str());
        ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
    };

    plant_link();
    log_open(path.c_str());
    log_message("retried at each line\n");
    EXPECT_EQ(read_file(target), "secret\n") << "opened through the link";
    log_close();

    unlink(path.c_str());
    log_open(path.c_str());
    plant_link();
    EXPECT_EQ(log_clear(), 1) << "a log exists, even when it could not be reopened";
    log_message("lost\n");
    EXPECT_EQ(read_file(target), "secret\n") << "cleared through the link";
    log_close();

    unlink(path.c_str());
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK); // a peer, so the open cannot stall
    ASSERT_GE(reader, 0);
    log_open(path.c_str());
    log_message("lost too\n");
    char c;
    EXPECT_LE(read(reader, &c, 1), 0) << "wrote into the fifo";
    close(reader);
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

void count_cancelled_exit(void *)
{
    cancelled_exits++;
}

// A cancellable thread cancelled while it writes a line or clears the log finishes what it does
// under the log's lock and lets go of the log.
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
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
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

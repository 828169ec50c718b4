#include "core/obj.h"
#include "station/app.h"
#include "station/bt_device.h"
#include "station/daemon_private.h"
#include "station_fixture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

struct options_case {
    std::vector<const char *> args;
    app_options want; // texts compared as strings
};

// Names the case in test listings.
void PrintTo(const options_case &c, std::ostream *os)
{
    std::string s;
    for (const char *a : c.args)
        s += std::string(a) + " ";
    *os << s;
}

class Options : public ::testing::TestWithParam<options_case>
{
};

TEST_P(Options, Parse)
{
    const options_case &c = GetParam();
    std::vector<char *> argv = {const_cast<char *>("vesk_bt")};
    for (const char *a : c.args)
        argv.push_back(const_cast<char *>(a));
    argv.push_back(nullptr);
    app_options o;
    app_parse_options(int(argv.size()) - 1, argv.data(), &o);
    EXPECT_EQ(o.daemon, c.want.daemon);
    EXPECT_EQ(o.display, c.want.display);
    EXPECT_EQ(o.port, c.want.port);
    EXPECT_STREQ(o.log_path, c.want.log_path);
    EXPECT_STREQ(o.web_root, c.want.web_root);
    free(o.log_path);
    free(o.web_root);
}

char log_default[] = "/tmp/vesk_bt-log";
char root_default[] = VESK_WEB_ROOT;
char other_log[] = "/var/log/b";
char other_root[] = "/srv/w";

INSTANTIATE_TEST_SUITE_P(
    CommandLines, Options,
    ::testing::Values(options_case{{}, {0, 0, 9000, log_default, root_default}},
                      options_case{{"-p", "abc"}, {0, 0, 0, log_default, root_default}},
                      options_case{{"-p", "8080x"}, {0, 0, 8080, log_default, root_default}},
                      options_case{{"-d", "-n"}, {1, 0, 9000, log_default, root_default}},
                      options_case{{"-n", "-l", "/var/log/a", "-l", "/var/log/b", "-w", "/srv/w"},
                                   {0, 1, 9000, other_log, other_root}},
                      options_case{{"-x", "-n", "-p"}, {0, 1, 9000, log_default, root_default}}));

using ScanLoop = station_fixture;

TEST_F(ScanLoop, WindowOpensAtAPageLoadAndClosesAfter179Seconds)
{
    start("device 11:22:33:44:55:66 000100\n");
    for (int i = 0; i < 3; i++)
        pass();
    EXPECT_EQ(radio->inquiries(), 0) << "nothing before the first page load";
    EXPECT_EQ(log(), std::vector<std::string>{"Starting Application"});

    int64_t loaded = radio->now();
    open_window();
    pass();
    EXPECT_EQ(radio->inquiries(), 1);
    radio->advance(double(loaded + 179 - radio->now()));
    pass();
    EXPECT_EQ(radio->inquiries(), 2) << "still open at T + 179";
    radio->advance(1);
    pass();
    pass();
    EXPECT_EQ(radio->inquiries(), 2);
    open_window();
    pass();
    EXPECT_EQ(radio->inquiries(), 3);
    EXPECT_EQ(count("Scaning Start"), 2);
    EXPECT_EQ(count("Scaning Timeout"), 1);
}

TEST_F(ScanLoop, FailedInquirySkipsTheListPassAndAnEmptyOneDoesNot)
{
    start("inquiry-fail 100\ndevice 11:22:33:44:55:66 000100\nleave 50\n");
    open_window();
    pass();
    ASSERT_NE(device("11:22:33:44:55:66"), nullptr);
    radio->advance(100);
    open_window();
    int64_t before = radio->now();
    pass();
    EXPECT_NE(device("11:22:33:44:55:66"), nullptr) << "no pass after a failed inquiry";
    // An adapter that is down fails each inquiry at once: the loop must not spin on it.
    EXPECT_GE(radio->now() - before, 1) << "no pause after a failed inquiry";
    pass();
    EXPECT_EQ(device("11:22:33:44:55:66"), nullptr) << "an inquiry without responses ages";
    EXPECT_EQ(radio->inquiries(), 3);
}

TEST(PidFile, WrittenWithMode0664WhateverTheUmask)
{
    temp_dir tmp("vesk-pidfile");
    ASSERT_FALSE(tmp.path().empty());
    std::string path = tmp.path() + "/lock";
    mode_t old = umask(077);
    EXPECT_EQ(app_write_pid_file(path.c_str()), 1);
    umask(old);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0664u);
    EXPECT_EQ(read_file(path), std::to_string(getpid()) + "\n");
    unlink(path.c_str());

    testing::internal::CaptureStdout();
    EXPECT_EQ(app_write_pid_file((path + "/below/a/file").c_str()), 0);
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Could not create pid file " + path + "/below/a/file\n");
}

// A link at the lock path, planted to have root make or write the file it names: the lock takes
// the link's place, and its target is neither made nor written, in a folder of the operator's
// own as in one open to all.
TEST(PidFile, NeverMadeOrWrittenThroughALink)
{
    for (mode_t mode : {0700, 01777}) {
        SCOPED_TRACE("a folder of mode " + std::to_string(mode));
        temp_dir tmp("vesk-pidfile");
        ASSERT_FALSE(tmp.path().empty());
        ASSERT_EQ(chmod(tmp.path().c_str(), mode), 0);
        std::string path = tmp.path() + "/lock";
        std::string target = tmp.path() + "/target";
        const std::string pid = std::to_string(getpid()) + "\n";
        for (const char *was : {static_cast<const char *>(nullptr), "secret\n"}) {
            SCOPED_TRACE(was ? "a link to a file" : "a dangling link");
            if (was)
                write_file(target, was);
            ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
            EXPECT_EQ(app_write_pid_file(path.c_str()), 1);
            EXPECT_EQ(access(target.c_str(), F_OK) == 0, was != nullptr) << "made through the link";
            if (was) {
                EXPECT_EQ(read_file(target), was);
            }
            struct stat st;
            ASSERT_EQ(lstat(path.c_str(), &st), 0);
            EXPECT_TRUE(S_ISREG(st.st_mode));
            EXPECT_EQ(read_file(path), pid);
            ASSERT_EQ(unlink(path.c_str()), 0);
        }
    }
}

// The held test of the lock: only a process that runs, other than this one and the one that
// started it, holds a lock. Neither of those two can be a running copy while it has the pid, and
// pids repeat where a container restarts with a fresh pid namespace and its old lock.
TEST(PidFile, HeldOnlyByAnotherRunningProcess)
{
    int wait_here[2];
    ASSERT_EQ(pipe2(wait_here, O_CLOEXEC), 0);
    const pid_t starter = fork(); // runs until the pipe closes
    if (starter == 0) {
        char c;
        close(wait_here[1]);
        _exit(int(read(wait_here[0], &c, 1)));
    }
    ASSERT_GT(starter, 0);
    close(wait_here[0]);
    const pid_t ended = fork(); // left unreaped
    if (ended == 0)
        _exit(0);
    ASSERT_GT(ended, 0);
    ASSERT_EQ(waitid(P_PID, id_t(ended), nullptr, WEXITED | WNOWAIT), 0);
    const pid_t before = app_set_starter(starter);

    const struct {
        const char *what;
        std::string text;
        bool held;
    } rows[] = {
        {"this very process", std::to_string(getpid()) + "\n", false},
        {"its starter", std::to_string(starter) + "\n", false},
        {"its starter, without a newline", std::to_string(starter), false},
        {"another process that runs", std::to_string(getppid()) + "\n", true},
        {"one that ended and is not reaped", std::to_string(ended) + "\n", true},
        {"a pid of no process", "9999999\n", false},
    };
    temp_dir tmp("vesk-pidfile");
    ASSERT_FALSE(tmp.path().empty());
    const std::string path = tmp.path() + "/lock";
    for (const auto &row : rows) {
        write_file(path, row.text);
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(names_running_process(fd), row.held) << row.what;
        close(fd);
    }

    app_set_starter(before);
    close(wait_here[1]);
    EXPECT_EQ(waitpid(starter, nullptr, 0), starter);
    EXPECT_EQ(waitpid(ended, nullptr, 0), ended);
}

// In a folder open to all, a lock of a running copy that the pid file finds at the path at the
// moment of its swap goes back there, whole; a stale one goes, as does one that names this very
// process. Nothing stays under a fresh name.
TEST(PidFile, InAFolderOpenToAllALiveLockStays)
{
    temp_dir tmp("vesk-pidfile");
    ASSERT_FALSE(tmp.path().empty());
    ASSERT_EQ(chmod(tmp.path().c_str(), 01777), 0);
    const std::string path = tmp.path() + "/lock";
    const std::string live = std::to_string(getppid()) + "\n"; // a process that runs
    write_file(path, live);
    struct stat before, after;
    ASSERT_EQ(stat(path.c_str(), &before), 0);
    testing::internal::CaptureStdout();
    const int written = app_write_pid_file(path.c_str());
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Application already running " + path + "\n");
    EXPECT_EQ(written, 0);
    ASSERT_EQ(stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "the running copy's lock is not the one at the path";
    EXPECT_EQ(read_file(path), live);
    EXPECT_EQ(folder_names(tmp.path()), std::vector<std::string>{"lock"});

    for (const std::string &stale : {std::string("9999999\n"), std::to_string(getpid()) + "\n"}) {
        write_file(path, stale);
        testing::internal::CaptureStdout();
        EXPECT_EQ(app_write_pid_file(path.c_str()), 1) << stale;
        fflush(stdout);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(read_file(path), std::to_string(getpid()) + "\n");
        EXPECT_EQ(folder_names(tmp.path()), std::vector<std::string>{"lock"});
    }
}

} // namespace

// Helpers that every test tree needs alike: the emulator of a cross build's programs and the
// resolver they find, waiting for what another thread or process does, whole files as strings,
// the daemon's log lines, a scratch folder that is gone again when its test ends, another user's
// racing processes, raw loopback sockets, and a reason for a death test's child to die with.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <netinet/in.h>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

// A cross build's tests run under user-mode emulation, and so must the programs they start:
// the words that go before such a program's own, none on the build's own machine.
inline std::vector<std::string> emulator()
{
    std::vector<std::string> words;
    const char *e = getenv("VESK_EMULATOR");
    std::istringstream in(e ? e : "");
    for (std::string w; in >> w;)
        words.push_back(w);
    return words;
}

// Nothing that a program started by a test looks up may leave this machine: the daemon's link
// asks for the maker's service, a browser for its vendor's hosts. In the child, between fork and
// exec: a mount namespace of its own in which /etc/resolv.conf names 127.0.0.1 alone. False when
// that can't be had; the child must then not run the program.
inline bool resolver_on_loopback()
{
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return false;
    static const char conf[] = "nameserver 127.0.0.1\n";
    char path[] = "/tmp/vesk-resolv-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0)
        return false;
    bool ok = write(fd, conf, sizeof conf - 1) == ssize_t(sizeof conf - 1);
    close(fd);
    // Without a resolv.conf the resolvers ask 127.0.0.1 anyway.
    ok = ok && (mount(path, "/etc/resolv.conf", nullptr, MS_BIND, nullptr) == 0 || errno == ENOENT);
    unlink(path); // the mount keeps it
    return ok;
}

// Why this process cannot start programs as resolver_on_loopback needs, or null.
inline const char *no_loopback_resolver()
{
    return geteuid() == 0 ? nullptr
                          : "a program that a test starts needs root: it gets a mount namespace "
                            "whose resolv.conf names 127.0.0.1 alone";
}

// Polls done until it holds or the limit has passed; whether it held. For cleanup that what
// follows depends on (a thread letting go of what the test is about to free, a killed child
// reaped), as it waits even in a test that has failed already.
inline bool settle_until(const std::function<bool()> &done,
                         std::chrono::milliseconds limit = std::chrono::seconds(20),
                         std::chrono::milliseconds step = std::chrono::milliseconds(2))
{
    auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(step);
    }
    return true;
}

// As settle_until, for what a test checks. Once the running test has failed fatally, done is
// asked once and not waited for: whatever a failed test still waits for on its way out (through
// helpers that cannot stop it) then costs nothing, so it ends within one limit.
inline bool wait_until(const std::function<bool()> &done,
                       std::chrono::milliseconds limit = std::chrono::seconds(20),
                       std::chrono::milliseconds step = std::chrono::milliseconds(2))
{
    if (::testing::Test::HasFatalFailure())
        return done();
    return settle_until(done, limit, step);
}

// For the child of a death test: the reason goes to standard error, where the parent's failure
// shows it, and the child exits with 1.
[[noreturn]] inline void die_because(const char *why)
{
    fprintf(stderr, "%s\n", why);
    fflush(stderr);
    _exit(1);
}

inline void check_or_die(bool held, const char *why)
{
    if (!held)
        die_because(why);
}

// How many entries a folder has, -1 when it cannot be read: the process's threads in
// /proc/self/task, its descriptors in /proc/self/fd (the one that reads them included).
inline int folder_entries(const char *path)
{
    std::error_code ec;
    std::filesystem::directory_iterator it(path, ec);
    return ec ? -1 : int(std::distance(it, std::filesystem::directory_iterator()));
}

// The names in a folder, in order; none when it cannot be read.
inline std::vector<std::string> folder_names(const std::string &path)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(path, ec))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// The file byte for byte; empty when there is none.
inline std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// A new file is made with mode 0644 less the umask, as the daemon makes its own: a runner's
// umask of 002 would otherwise leave it open to the group, and no longer a file the log writes
// to or its page shows.
inline void write_file(const std::string &path, const std::string &text)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    for (size_t at = 0; fd >= 0 && at < text.size();) {
        ssize_t n = write(fd, text.data() + at, text.size() - at);
        if (n <= 0)
            break;
        at += size_t(n);
    }
    if (fd >= 0)
        close(fd);
}

// The daemon's log file as lines without their time stamps: "%c" in the POSIX locale is 24
// characters, then one blank.
inline std::vector<std::string> log_lines(const std::string &path)
{
    std::vector<std::string> v;
    std::istringstream in(read_file(path));
    for (std::string l; std::getline(in, l);)
        v.push_back(l.size() >= 25 ? l.substr(25) : l);
    return v;
}

// A fresh folder /tmp/PREFIX-XXXXXX, removed with everything in it when this goes; path() is
// empty when it could not be made.
class temp_dir
{
public:
    explicit temp_dir(const std::string &prefix)
    {
        std::string tmpl = "/tmp/" + prefix + "-XXXXXX";
        if (mkdtemp(tmpl.data()))
            path_ = tmpl;
    }
    ~temp_dir() { remove(); }
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;

    const std::string &path() const { return path_; }

    // For an owner that must see it gone at a moment of its own (after closing a log in it, for
    // instance); whether it is gone.
    bool remove()
    {
        if (path_.empty())
            return true;
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
        if (ec)
            return false;
        path_.clear();
        return true;
    }

private:
    std::string path_;
};

// Processes of another user (uid and gid 65534) that each run their step over and over, from
// their start until this goes or this process dies: a local user racing for a path. Needs root.
class other_user_loops
{
public:
    other_user_loops() = default;
    ~other_user_loops()
    {
        for (pid_t pid : pids_) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    other_user_loops(const other_user_loops &) = delete;
    other_user_loops &operator=(const other_user_loops &) = delete;

    // Whether it started.
    bool start(const std::function<void()> &step)
    {
        pid_t pid = fork();
        if (pid == 0) {
            if (setgid(65534) != 0 || setuid(65534) != 0 || prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 ||
                getppid() == 1)
                _exit(1);
            for (;;)
                step();
        }
        if (pid > 0)
            pids_.push_back(pid);
        return pid > 0;
    }

private:
    std::vector<pid_t> pids_;
};

inline sockaddr_in loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

inline int port_of(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof(a);
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    return ntohs(a.sin_port);
}

// A raw socket bound to 127.0.0.1 on an ephemeral port; a TCP one listens unless told not to,
// and one that does not listen refuses every connection for as long as it is kept.
struct raw_socket {
    int fd = -1;
    int port = 0;
    explicit raw_socket(int type = SOCK_STREAM, bool listening = true)
    {
        fd = socket(AF_INET, type, 0);
        sockaddr_in a = loopback(0);
        if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0 && type == SOCK_STREAM &&
            listening)
            listen(fd, 16);
        port = port_of(fd);
    }
    ~raw_socket()
    {
        if (fd >= 0)
            close(fd);
    }
    raw_socket(const raw_socket &) = delete;
    raw_socket &operator=(const raw_socket &) = delete;
    std::string service() const { return std::to_string(port); }
    int accept_one() const { return accept(fd, nullptr, nullptr); }
};

inline int raw_connect(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

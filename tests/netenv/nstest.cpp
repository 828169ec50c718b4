#include "tests/netenv/nstest.h"

#include "core/util.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace nstest
{
namespace
{

constexpr const char *PREFIX = "vnetenv-";
constexpr uid_t NOBODY = 65534;

std::string find_program(const std::string &name)
{
    std::string dirs = getenv("PATH") ? getenv("PATH") : "";
    dirs += ":/usr/sbin:/sbin:/usr/bin:/bin";
    std::stringstream ss(dirs);
    for (std::string d; std::getline(ss, d, ':');) {
        std::string p = d + "/" + name;
        if (!d.empty() && access(p.c_str(), X_OK) == 0)
            return p;
    }
    return name;
}

std::vector<char *> c_argv(const std::vector<std::string> &argv)
{
    std::vector<char *> v;
    for (const std::string &a : argv)
        v.push_back(const_cast<char *>(a.c_str()));
    v.push_back(nullptr);
    return v;
}

void quiet()
{
    int null = open("/dev/null", O_RDWR);
    dup2(null, 1);
    dup2(null, 2);
    close(null);
}

[[noreturn]] void exec_program(const std::vector<std::string> &argv)
{
    std::vector<char *> v = c_argv(argv);
    std::string path = find_program(argv[0]);
    execv(path.c_str(), v.data());
    _exit(127);
}

// A child ends without running the test program's exit handlers; its leaks are checked first.
[[noreturn]] void child_exit(int code, bool leak_check)
{
#if defined(__SANITIZE_ADDRESS__)
    if (leak_check)
        __lsan_do_leak_check();
#else
    (void)leak_check;
#endif
    _exit(code);
}

bool enter_netns(const std::string &name)
{
    int fd = open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = setns(fd, CLONE_NEWNET) == 0;
    close(fd);
    return ok;
}

int wait_status(pid_t pid)
{
    int st = 0;
    while (waitpid(pid, &st, 0) < 0)
        if (errno != EINTR)
            return -1;
    if (WIFEXITED(st))
        return WEXITSTATUS(st);
    return WIFSIGNALED(st) ? 128 + WTERMSIG(st) : -1;
}

void write_all(int fd, const std::string &s)
{
    size_t done = 0;
    while (done < s.size()) {
        ssize_t n = write(fd, s.data() + done, s.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += size_t(n);
    }
}

// Namespaces whose maker is gone were left by a killed run.
void sweep_stale()
{
    static bool swept = false;
    if (swept)
        return;
    swept = true;
    DIR *d = opendir("/run/netns");
    if (!d)
        return;
    std::vector<std::string> stale;
    while (dirent *e = readdir(d)) {
        std::string n = e->d_name;
        if (n.rfind(PREFIX, 0) != 0)
            continue;
        long pid = strtol(n.c_str() + strlen(PREFIX), nullptr, 10);
        if (pid > 0 && kill(pid_t(pid), 0) != 0 && errno == ESRCH)
            stale.push_back(n);
    }
    closedir(d);
    for (const std::string &n : stale)
        run({"ip", "netns", "del", n});
}

uint16_t checksum(const uint8_t *p, size_t len)
{
    return uint16_t(util_inet_checksum_buf(p, int(len)));
}

// The responder's loop: one answer per echo request, by the script.
void respond(int notify, int count_fd, const std::vector<int> &script, int tcp_port)
{
    int raw = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
    timeval tick{0, 200000};
    setsockopt(raw, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
    if (tcp_port) {
        int l = socket(AF_INET, SOCK_STREAM, 0);
        int on = 1;
        setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(uint16_t(tcp_port));
        if (bind(l, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(l, 16) != 0)
            return;
    }
    if (raw < 0)
        return;
    write_all(notify, "r");
    size_t next = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < end) {
        uint8_t in[1500];
        sockaddr_in from{};
        socklen_t flen = sizeof from;
        ssize_t n = recvfrom(raw, in, sizeof in, 0, reinterpret_cast<sockaddr *>(&from), &flen);
        if (n < 20)
            continue;
        size_t ihl = size_t(in[0] & 0x0f) * 4;
        if (size_t(n) < ihl + 8 || in[ihl] != 8)
            continue;
        write_all(count_fd, "e");
        int type = next < script.size() ? script[next] : -1;
        next++;
        if (type < 0)
            continue;
        uint8_t out[1500] = {};
        size_t len;
        if (type == 0) { // echo reply: the request's identifier, sequence and data
            len = size_t(n) - ihl;
            memcpy(out, in + ihl, len);
        } else { // an error message quotes the request's header and first 8 bytes
            len = 8 + ihl + 8;
            memcpy(out + 8, in, ihl + 8);
        }
        out[0] = uint8_t(type);
        out[1] = 0;
        out[2] = out[3] = 0;
        uint16_t sum = checksum(out, len);
        memcpy(out + 2, &sum, 2);
        sendto(raw, out, len, 0, reinterpret_cast<sockaddr *>(&from), sizeof from);
    }
}

} // namespace

std::string missing_privileges()
{
    if (geteuid() != 0)
        return "needs root for network namespaces and raw sockets";
    return "";
}

int run(const std::vector<std::string> &argv)
{
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        quiet();
        exec_program(argv);
    }
    return wait_status(pid);
}

std::string TempDir::file(const std::string &name, const std::string &content) const
{
    std::string p = path() + "/" + name;
    write_file(p, content);
    return p;
}

Netns::Netns()
{
    sweep_stale();
    static int seq = 0;
    name_ = PREFIX + std::to_string(getpid()) + "-" + std::to_string(seq++);
    ok_ = run({"ip", "netns", "add", name_}) == 0;
    ok_ = ok_ && ip({"link", "set", "lo", "up"});
}

Netns::~Netns()
{
    for (pid_t p : pids_) {
        kill(p, SIGKILL);
        wait_status(p);
    }
    if (ok_ || access(("/run/netns/" + name_).c_str(), F_OK) == 0)
        run({"ip", "netns", "del", name_});
}

bool Netns::ip(const std::vector<std::string> &args) const
{
    std::vector<std::string> argv = {"ip", "-n", name_};
    argv.insert(argv.end(), args.begin(), args.end());
    return run(argv) == 0;
}

pid_t Netns::spawn(const std::vector<std::string> &argv)
{
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        quiet();
        if (!enter_netns(name_))
            _exit(126);
        exec_program(argv);
    }
    if (pid > 0)
        pids_.push_back(pid);
    return pid;
}

pid_t Netns::fork_in(const std::function<void(int notify_fd)> &body)
{
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        close(ready[0]);
        if (enter_netns(name_))
            body(ready[1]);
        child_exit(0, false);
    }
    close(ready[1]);
    pollfd p{ready[0], POLLIN, 0};
    char c = 0;
    bool up = pid > 0 && poll(&p, 1, 20000) == 1 && read(ready[0], &c, 1) == 1;
    close(ready[0]);
    if (pid > 0 && !up) {
        kill(pid, SIGKILL);
        wait_status(pid);
    }
    return up ? pid : -1;
}

Outcome run_in(const ChildSetup &setup, const std::function<std::string()> &body)
{
    Outcome o;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return o;
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return o;
    }
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        close(out[0]);
        close(err[0]);
        dup2(err[1], 2);
        auto fail = [](const char *what) {
            fprintf(stderr, "child setup: %s: %s\n", what, strerror(errno));
            _exit(90);
        };
        if (setup.net && !enter_netns(setup.net->name()))
            fail("entering the network namespace");
        int flags =
            (setup.resolv_conf.empty() ? 0 : CLONE_NEWNS) | (setup.own_uts ? CLONE_NEWUTS : 0);
        if (flags && unshare(flags) != 0)
            fail("unshare");
        if (!setup.resolv_conf.empty() &&
            (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
             mount(setup.resolv_conf.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0))
            fail("binding resolv.conf");
        if (setup.own_uts &&
            (sethostname(setup.host_name.data(), setup.host_name.size()) != 0 ||
             setdomainname(setup.domain_name.data(), setup.domain_name.size()) != 0))
            fail("naming the host");
        if (setup.unprivileged &&
            (setgroups(0, nullptr) != 0 || setgid(NOBODY) != 0 || setuid(NOBODY) != 0))
            fail("dropping to nobody");
        std::string result = body();
        write_all(out[1], result);
        child_exit(0, !setup.unprivileged);
    }
    close(out[1]);
    close(err[1]);
    if (pid < 0) {
        close(out[0]);
        close(err[0]);
        return o;
    }
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(setup.deadline_s);
    pollfd p[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string *dest[2] = {&o.out, &o.err};
    int open_fds = 2;
    while (open_fds > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        if (poll(p, 2, int(left.count())) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; i++) {
            if (p[i].fd < 0 || !(p[i].revents & (POLLIN | POLLHUP)))
                continue;
            char buf[4096];
            ssize_t n = read(p[i].fd, buf, sizeof buf);
            if (n > 0) {
                dest[i]->append(buf, size_t(n));
            } else {
                close(p[i].fd);
                p[i].fd = -1;
                open_fds--;
            }
        }
    }
    o.finished = open_fds == 0;
    if (!o.finished)
        kill(pid, SIGKILL);
    for (pollfd &q : p)
        if (q.fd >= 0)
            close(q.fd);
    o.status = wait_status(pid);
    return o;
}

bool Dnsmasq::start(Netns &ns, const TempDir &dir, const std::vector<std::string> &records,
                    const std::string &hosts)
{
    log_ = dir.path() + "/dnsmasq.log";
    std::string hosts_file = dir.file("hosts", hosts);
    std::vector<std::string> argv = {"dnsmasq",
                                     "--keep-in-foreground",
                                     "--conf-file=/dev/null",
                                     "--no-resolv",
                                     "--no-hosts",
                                     "--addn-hosts=" + hosts_file,
                                     "--local=/test/",
                                     "--listen-address=127.0.0.1",
                                     "--bind-interfaces",
                                     "--user=root",
                                     "--pid-file=",
                                     "--log-queries",
                                     "--log-facility=" + log_};
    argv.insert(argv.end(), records.begin(), records.end());
    pid_t pid = ns.spawn(argv);
    if (pid < 0)
        return false;
    // Ready once it has read its hosts file: its sockets are bound before that.
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < end) {
        if (count("read " + hosts_file) > 0)
            return true;
        int st;
        if (waitpid(pid, &st, WNOHANG) == pid)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

std::string Dnsmasq::log() const
{
    return read_file(log_);
}

int Dnsmasq::count(const std::string &needle) const
{
    std::stringstream ss(log());
    int n = 0;
    for (std::string line; std::getline(ss, line);)
        if (line.find(needle) != std::string::npos)
            n++;
    return n;
}

VethPair::VethPair()
{
    ok = client.ok() && peer.ok() &&
         client.ip(
             {"link", "add", "vc", "type", "veth", "peer", "name", "vp", "netns", peer.name()}) &&
         client.ip({"addr", "add", "198.18.0.1/24", "dev", "vc"}) &&
         peer.ip({"addr", "add", "198.18.0.2/24", "dev", "vp"}) &&
         client.ip({"link", "set", "vc", "up"}) && peer.ip({"link", "set", "vp", "up"}) &&
         run({"ip", "netns", "exec", peer.name(), "sh", "-c",
              "echo 1 > /proc/sys/net/ipv4/icmp_echo_ignore_all"}) == 0;
}

Responder::Responder(VethPair &pair, std::vector<int> script, int tcp_port)
{
    int counts[2];
    if (!pair.ok || pipe2(counts, O_CLOEXEC) != 0)
        return;
    pid_t pid = pair.peer.fork_in([&](int notify) {
        close(counts[0]);
        respond(notify, counts[1], script, tcp_port);
    });
    close(counts[1]);
    count_fd_ = counts[0];
    fcntl(count_fd_, F_SETFL, O_NONBLOCK);
    pid_ = pid;
    ok_ = pid > 0;
}

Responder::~Responder()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        wait_status(pid_);
    }
    if (count_fd_ >= 0)
        close(count_fd_);
}

int Responder::requests()
{
    char buf[64];
    ssize_t n;
    while ((n = read(count_fd_, buf, sizeof buf)) > 0)
        seen_ += int(n);
    return seen_;
}

} // namespace nstest

// Test support: network namespaces of the test's own, code run inside them in a child process,
// dnsmasq as the name server, and a scripted ICMP responder.
//
// Everything a test makes here is torn down by destructors, also when the test fails; a
// namespace left behind by a killed test run is swept by the next one (its name carries the
// pid of the process that made it).
#pragma once

#include "tests/common/test_util.h"

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace nstest
{

// Empty when the tests can have namespaces; else why not, for GTEST_SKIP.
std::string missing_privileges();

// Runs a program quietly; its exit status, or -1.
int run(const std::vector<std::string> &argv);

class TempDir : public temp_dir
{
public:
    TempDir() : temp_dir("vnetenv") {}
    std::string file(const std::string &name, const std::string &content) const;
};

using ::read_file;

class Netns
{
public:
    Netns(); // a fresh namespace with its loopback up; see ok()
    ~Netns();
    Netns(const Netns &) = delete;
    Netns &operator=(const Netns &) = delete;
    bool ok() const { return ok_; }
    const std::string &name() const { return name_; }
    // `ip -n NAME args...`; true on success.
    bool ip(const std::vector<std::string> &args) const;
    // A program started inside the namespace, killed when the namespace goes.
    pid_t spawn(const std::vector<std::string> &argv);
    // A process of ours forked inside the namespace and owned by the caller. The call returns
    // once body has written a byte to notify_fd (-1 when it never does).
    pid_t fork_in(const std::function<void(int notify_fd)> &body);

private:
    std::string name_;
    bool ok_ = false;
    std::vector<pid_t> pids_;
};

// What a child run in a namespace gave back.
struct Outcome {
    bool finished = false; // ended on its own before the deadline
    int status = -1;       // exit status, or 128 + signal
    std::string out;       // the body's result
    std::string err;       // what it wrote to standard error
};

struct ChildSetup {
    const Netns *net = nullptr; // network namespace to enter, or stay
    std::string resolv_conf;    // file bound over /etc/resolv.conf in a private mount ns
    bool own_uts = false;       // a private host and domain name, set to these:
    std::string host_name = "box";
    std::string domain_name;
    bool unprivileged = false; // setuid to nobody before the body
    int deadline_s = 30;
};

// Forks; the child enters what setup asks for and runs body, whose string comes back as out.
Outcome run_in(const ChildSetup &setup, const std::function<std::string()> &body);

// dnsmasq answering on 127.0.0.1:53 of a namespace, logging every query.
class Dnsmasq
{
public:
    // records: extra dnsmasq options (--srv-host=..., --host-record=...); hosts: a hosts file.
    bool start(Netns &ns, const TempDir &dir, const std::vector<std::string> &records,
               const std::string &hosts);
    std::string log() const;
    int count(const std::string &needle) const; // log lines holding needle

private:
    std::string log_;
};

// Two namespaces joined by a veth pair: the client's end "vc" 198.18.0.1/24, the peer's "vp"
// 198.18.0.2/24. The peer's kernel answers no echo requests.
struct VethPair {
    Netns client, peer;
    bool ok = false;
    VethPair();
};

// Answers echo requests reaching the peer of a VethPair with the scripted ICMP types in turn
// (-1: no answer); past the script it stays silent. Optionally also listens on a TCP port.
class Responder
{
public:
    Responder(VethPair &pair, std::vector<int> script, int tcp_port = 0);
    ~Responder();
    Responder(const Responder &) = delete;
    Responder &operator=(const Responder &) = delete;
    bool ok() const { return ok_; }
    int requests(); // echo requests seen so far

private:
    pid_t pid_ = -1;
    int count_fd_ = -1;
    int seen_ = 0;
    bool ok_ = false;
};

} // namespace nstest

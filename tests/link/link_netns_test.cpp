// The link finding its service through a real dnsmasq in a network namespace of the test's own,
// the device id of the system's messages, and the whole program reporting a device test to a
// service of ours. The link is one per process: each case runs it in a child of its own, which
// also has a private resolv.conf naming that dnsmasq.
#include "tests/link/service.h"
#include "tests/netenv/nstest.h"
#include "tests/proto/proto_fixture.h"

#include "core/log.h"
#include "core/obj.h"
#include "link/link.h"
#include "link/msg.h"
#include "link/pendq.h"
#include "netenv/dns.h"
#include "proto/pkt.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace
{

using nstest::ChildSetup;
using nstest::Outcome;

int count(const std::vector<std::string> &lines, const std::string &needle)
{
    int n = 0;
    for (const std::string &l : lines)
        n += l.find(needle) != std::string::npos;
    return n;
}

// Runs body in a child inside ns, with the resolv.conf given and a log of its own at log_path.
Outcome run_child(const nstest::Netns &ns, const std::string &resolv, const std::string &log_path,
                  const std::function<std::string()> &body, bool unprivileged = false)
{
    ChildSetup s;
    s.net = &ns;
    s.resolv_conf = resolv;
    s.unprivileged = unprivileged;
    if (unprivileged) { // the child must still write its log
        chmod(log_path.substr(0, log_path.rfind('/')).c_str(), 0777);
        close(open(log_path.c_str(), O_CREAT | O_WRONLY, 0666));
        chmod(log_path.c_str(), 0666);
    }
    Outcome o = nstest::run_in(s, [&] {
        log_open(log_path.c_str());
        pkt_log_set_pause([](unsigned) {});
        return body();
    });
    EXPECT_TRUE(o.finished) << "the child did not end: " << o.err;
    EXPECT_EQ(o.status, 0) << o.err;
    return o;
}

// dnsmasq in the namespace where a case's children run, answering with the case's records.
struct Served : ::testing::Test {
    nstest::TempDir dir;
    nstest::Dnsmasq dns;
    std::string resolv, log_path;

    // Skips the case when the machine cannot give it what it needs.
    void serve(nstest::Netns &ns, bool ns_ok, const std::vector<std::string> &records,
               const std::string &hosts)
    {
        std::string why = nstest::missing_privileges();
        if (!why.empty())
            GTEST_SKIP() << why;
        if (!ns_ok)
            GTEST_SKIP() << "network namespaces or veth pairs are not available";
        if (nstest::run({"dnsmasq", "--version"}) != 0)
            GTEST_SKIP() << "dnsmasq is not installed";
        ASSERT_TRUE(dns.start(ns, dir, records, hosts)) << dns.log();
        resolv = dir.file("resolv.conf", "nameserver 127.0.0.1\n");
        log_path = dir.path() + "/log";
    }
};

struct Zone : Served {
    nstest::Netns ns;

    void SetUp() override
    {
        serve(ns, ns.ok(),
              {"--srv-host=_qarv4._tcp.dev.three.test,t1.three.test,41001",
               "--srv-host=_qarv4._tcp.dev.three.test,t2.three.test,41002",
               "--srv-host=_qarv4._tcp.dev.three.test,t3.three.test,41003",
               "--srv-host=_qarv4._tcp.dev." + std::string(LINK_SERVICE_DOMAIN) +
                   ",service.link.test," + std::to_string(service_port())},
              "127.0.1.1 t1.three.test\n127.0.2.1 t2.three.test\n127.0.3.1 t3.three.test\n"
              "127.0.0.1 service.link.test\n");
    }

    virtual uint16_t service_port() { return 32000; }

    Outcome in_child(const std::function<std::string()> &body, bool unprivileged = false)
    {
        return run_child(ns, resolv, log_path, body, unprivileged);
    }

    std::vector<std::string> log() const { return log_lines(log_path); }
};

// "result address" of one address choice on the child's link.
std::string choose(const char *domain)
{
    dns_resolver *r = dns_resolver_create("dev", domain, 32000);
    link_state *link = link_get();
    int res = link_choose_address(r, link, nullptr, nullptr, 5, 10, 1);
    char buf[17];
    link_get_address(link, buf, sizeof buf);
    obj_release(link);
    obj_release(r);
    return std::to_string(res) + " " + buf;
}

const std::vector<std::string> targets = {"127.0.1.1:41001", "127.0.2.1:41002", "127.0.3.1:41003"};

// The address lines of a log, without their common start.
std::vector<std::string> adopted(const std::vector<std::string> &lines)
{
    std::vector<std::string> v;
    const std::string head = "IP ADDRESS TO USE ";
    for (const std::string &l : lines)
        if (l.rfind(head, 0) == 0)
            v.push_back(l.substr(head.size()));
    return v;
}

bool is_target(const std::string &addr_port)
{
    return std::find(targets.begin(), targets.end(), addr_port) != targets.end();
}

// The resolver hands out its targets in no particular order, which may change from one lookup
// to the next: the cases allow for any order.

// Three targets on the far side of a veth pair, where only the third takes connections and
// answers echo requests: on the loopback a probe would meet its own requests too.
struct Veth : Served {
    nstest::VethPair pair;

    void SetUp() override
    {
        serve(pair.client, pair.ok,
              {"--srv-host=_qarv4._tcp.dev.veth.test,t1.veth.test,41001",
               "--srv-host=_qarv4._tcp.dev.veth.test,t2.veth.test,41002",
               "--srv-host=_qarv4._tcp.dev.veth.test,t3.veth.test,41003"},
              "198.18.0.2 t1.veth.test\n198.18.0.2 t2.veth.test\n198.18.0.2 t3.veth.test\n");
    }
};

TEST_F(Veth, AsRootTheTargetThatAnswersIsUsed)
{
    constexpr int SEARCHES = 10;
    nstest::Responder answers(pair, std::vector<int>(SEARCHES, 0), 41003);
    ASSERT_TRUE(answers.ok());
    Outcome o = run_child(pair.client, resolv, log_path, [] {
        std::string out;
        // Until a search meets another target first, whose address stands in until then.
        for (int i = 0; i < SEARCHES; i++) {
            link_set_label("dev", nullptr, 0);
            log_message("search\n");
            out += choose("veth.test") + "\n";
        }
        return out;
    });
    std::istringstream in(o.out);
    for (std::string l; std::getline(in, l);)
        EXPECT_EQ(l, "1 198.18.0.2");
    EXPECT_EQ(answers.requests(), SEARCHES) << "one probe of the answering target per search";
    // Per search: one line when the answering target came first, else two.
    std::vector<std::vector<std::string>> searches;
    for (const std::string &l : log_lines(log_path)) {
        if (l == "search")
            searches.emplace_back();
        else if (!searches.empty() && l.rfind("IP ADDRESS TO USE ", 0) == 0)
            searches.back().push_back(l.substr(18));
    }
    ASSERT_EQ(searches.size(), size_t(SEARCHES));
    bool replaced = false;
    for (const std::vector<std::string> &a : searches) {
        ASSERT_GE(a.size(), 1u);
        ASSERT_LE(a.size(), 2u);
        EXPECT_EQ(a.back(), "198.18.0.2:41003");
        if (a.size() == 2) {
            EXPECT_TRUE(a[0] == "198.18.0.2:41001" || a[0] == "198.18.0.2:41002") << a[0];
            replaced = true;
        }
    }
    EXPECT_TRUE(replaced) << "no search met another target first";
}

TEST_F(Zone, AsRootWithNoTargetAnsweringTheFirstStays)
{
    Outcome o = in_child([] { return choose("three.test"); });
    std::vector<std::string> a = adopted(log());
    ASSERT_EQ(a.size(), 1u);
    EXPECT_TRUE(is_target(a[0])) << a[0];
    EXPECT_EQ(o.out, "0 " + a[0].substr(0, a[0].find(':')));
}

TEST_F(Zone, WithoutRootTheFirstTargetIsUsedUnprobed)
{
    Outcome o = in_child(
        [] {
            std::string out = choose("three.test");
            // A held address stays without a probe and without a line.
            link_state *link = link_get();
            int again = link_choose_address(nullptr, link, nullptr, nullptr, 5, 10, 1);
            obj_release(link);
            return out + " " + std::to_string(again);
        },
        true);
    std::vector<std::string> a = adopted(log());
    ASSERT_EQ(a.size(), 1u);
    EXPECT_TRUE(is_target(a[0])) << a[0];
    EXPECT_EQ(o.out, "1 " + a[0].substr(0, a[0].find(':')) + " 1");
}

TEST_F(Zone, NoRecordsNoAddress)
{
    Outcome o = in_child([] { return choose("nothing.test"); });
    EXPECT_EQ(o.out, "-1 ");
    EXPECT_TRUE(adopted(log()).empty());
}

TEST_F(Zone, SearchesAtOnceGoOneAfterTheOther)
{
    Outcome o = in_child([] {
        dns_resolver *r = dns_resolver_create("dev", "three.test", 32000);
        link_state *link = link_get();
        int res[2];
        std::thread a([&] { res[0] = link_choose_address(r, link, nullptr, nullptr, 5, 6, 1); });
        std::thread b([&] { res[1] = link_choose_address(r, link, nullptr, nullptr, 5, 6, 1); });
        a.join();
        b.join();
        obj_release(link);
        obj_release(r);
        return std::to_string(res[0]) + " " + std::to_string(res[1]);
    });
    EXPECT_EQ(o.out, "0 0") << "no target answers; each search tried them all";
    for (const std::string &a : adopted(log()))
        EXPECT_TRUE(is_target(a)) << a;
    EXPECT_EQ(dns.count("query[SRV] _qarv4._tcp.dev.three.test"), 2) << "a fresh lookup each";
}

// While no address can be chosen, the resends after the first follow at the pump's pace, and
// the report goes without the line that a refused attempt would log.
TEST_F(Zone, ResendsWithoutAnAddress)
{
    Outcome o = in_child([] {
        link_configure_server("dev", "nothing.test", 32000);
        if (!pendq_create())
            return std::string("no table");
        link_state *link = link_get();
        pkt_packet *p = pkt_create();
        p->cmd = -3;
        p->mid = 0x6161;
        pendq_submit(p, link_device_report_reply_cb, PENDQ_SEND_RETRY, nullptr);
        obj_release(p);
        pendq_entry *e = pendq_find(0x6161);
        obj_lock(e);
        e->last_send -= 60;
        obj_unlock(e);
        obj_release(e);
        std::string out;
        for (int pass = 1; pass <= 5; pass++) {
            (void)pendq_pump(link);
            out += std::to_string(pendq_contains(0x6161));
        }
        obj_release(link);
        return out;
    });
    EXPECT_EQ(o.out, "11100") << "three resends, then the final step, in four passes";
    std::vector<std::string> l = log();
    EXPECT_EQ(count(l, "RESEND Q ID 6161 CMD -3 6"), 3);
    EXPECT_EQ(count(l, "Packet failed"), 0);
    EXPECT_EQ(count(l, "IP ADDRESS TO USE"), 0);
    EXPECT_EQ(dns.count("query[SRV] _qarv4._tcp.dev.nothing.test"), 5)
        << "the first send and each pass chose again";
}

// The device id of the system's own messages, by the route toward 192.88.99.0.
struct id_case {
    const char *what;
    std::vector<std::vector<std::string>> setup; // ip commands in the namespace
    std::string id;
};

void PrintTo(const id_case &c, std::ostream *os)
{
    *os << c.what;
}

class DeviceId : public Zone, public ::testing::WithParamInterface<id_case>
{
};

TEST_P(DeviceId, OfAPoll)
{
    for (const std::vector<std::string> &cmd : GetParam().setup)
        ASSERT_TRUE(ns.ip(cmd));
    Outcome o = in_child([] {
        pkt_packet *p = msg_create(1);
        char text[17];
        for (int i = 0; i < 8; i++)
            snprintf(text + 2 * i, 3, "%02X", p->id[i]);
        uint16_t mid = p->mid;
        pkt_packet *q = msg_create(1);
        std::string out = std::string(text) + (mid == q->mid ? " same" : " new");
        obj_release(p);
        obj_release(q);
        return out;
    });
    // Two MIDs in a row are independent; equal ones come once in 65536 runs.
    EXPECT_EQ(o.out, GetParam().id + " new");
}

INSTANTIATE_TEST_SUITE_P(
    Routes, DeviceId,
    ::testing::Values(id_case{"no route", {}, "0000000000000000"},
                      id_case{"a route over the loopback",
                              {{"route", "add", "192.88.99.0/24", "dev", "lo"}},
                              "00FF000000000000"},
                      id_case{"an Ethernet interface",
                              {{"link", "add", "d0", "type", "veth", "peer", "name", "d1"},
                               {"link", "set", "d0", "address", "02:00:00:aa:bb:cc", "up"},
                               {"link", "set", "d1", "up"},
                               {"addr", "add", "10.9.0.1/24", "dev", "d0"},
                               {"route", "add", "default", "via", "10.9.0.2"}},
                              "00FF020000AABBCC"}));

// The whole program: the simulator's maker device sends ABCDEFGH, and its report reaches a
// service of ours, found through the service records of the compiled-in domain.
struct Program : Zone {
    std::unique_ptr<svc::service> service;

    void SetUp() override
    {
        // The records name the service's port: it listens before dnsmasq starts.
        if (nstest::missing_privileges().empty() && ns.ok()) {
            int fd = svc::listen_in_netns(ns.name());
            ASSERT_GE(fd, 0);
            service.reset(svc::service::adopt(fd));
        }
        Zone::SetUp();
    }
    uint16_t service_port() override { return service ? service->port() : 0; }
};

TEST_F(Program, ADeviceTestReachesTheServiceOnce)
{
    const svc::bytes reply_tokens =
        svc::cat({svc::make_token(1, 1, "first"), svc::make_token(1, 1, "second")});
    service->set_script([&](svc::service &s, const svc::frame &f) {
        if (f.cmd() == 0xFD)
            s.send(svc::reply_to(f, 2, reply_tokens), f.conn);
    });
    std::string sh = "mount --bind \"$0\" /etc/resolv.conf && exec \"$@\"";
    pid_t pid =
        ns.spawn({"unshare", "--mount", "--propagation", "private", "sh", "-c", sh, resolv,
                  VESK_BT_SIM, std::string(SCENARIO_DIR) + "/maker_abcdefgh.scn", "-l", log_path});
    ASSERT_GT(pid, 0);

    auto reported = [&] {
        int n = 0;
        for (const svc::frame &f : service->frames())
            n += f.cmd() == 0xFD;
        return n;
    };
    ASSERT_TRUE(svc::wait_until([&] { return reported() == 1; }, std::chrono::milliseconds(30000)))
        << nstest::read_file(log_path);
    // Its reply's tokens are logged by the dispatcher and again by the report's callback.
    ASSERT_TRUE(svc::wait_until(
        [&] {
            std::vector<std::string> l = log();
            return count(l, "ID 1 OP 1 L: 5 PL: first") == 2 &&
                   count(l, "ID 1 OP 1 L: 6 PL: second") == 2;
        },
        std::chrono::milliseconds(10000)))
        << nstest::read_file(log_path);
    // The device is not tested again, and the answered report is not resent.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_EQ(reported(), 1);

    svc::frame f;
    for (const svc::frame &x : service->frames())
        if (x.cmd() == 0xFD)
            f = x;
    EXPECT_TRUE(f.good);
    const svc::bytes id = {0x00, 0x08, 0x00, 0x1A, 0x7D, 0xDA, 0x71, 0x13};
    svc::bytes tokens = svc::cat({svc::make_token(56, 2, "\x06,0008001A7DDA7113"),
                                  svc::make_token(56, 2, "\x07,00:1A:7D:DA:71:13"),
                                  svc::make_token(56, 2, "(,OK"), svc::make_token(56, 2, "),OK")});
    EXPECT_EQ(f.raw, svc::make_frame(id, 0xFD, f.mid(), tokens));
    EXPECT_EQ(f.raw.size(), 79u);

    std::vector<std::string> l = log();
    EXPECT_EQ(count(l, "Starting network thread"), 1);
    EXPECT_EQ(count(l, "IP ADDRESS TO USE 127.0.0.1:" + std::to_string(service->port())), 1);
    EXPECT_EQ(count(l, "Device report ID: 0008001a7dda7113 PAIRED: OK OBR: OK"), 1);
    EXPECT_EQ(count(l, "RESEND"), 0);
}

} // namespace

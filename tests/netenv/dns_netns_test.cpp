// Lookups against a real dnsmasq in a network namespace of the test's own. The resolver reads
// /etc/resolv.conf, so each lookup runs in a child that also has a private mount namespace
// with a resolv.conf naming that dnsmasq. dnsmasq logs every query it gets, which counts them.
#include "netenv/dns.h"
#include "tests/netenv/nstest.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <set>
#include <sstream>
#include <sys/resource.h>
#include <sys/select.h>
#include <unistd.h>

namespace
{

using nstest::ChildSetup;
using nstest::Outcome;

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> v;
    std::stringstream ss(text);
    for (std::string l; std::getline(ss, l);)
        v.push_back(l);
    return v;
}

std::string join(const std::set<std::string> &s)
{
    std::string out;
    for (const std::string &x : s)
        out += x + " ";
    return out;
}

// One pass over the targets as "host:port" lines, each with its first address.
std::string describe_pass(dns_resolver *r)
{
    std::set<std::string> seen;
    for (dns_target *t = dns_first_target(r); t; t = dns_next_target(r)) {
        seen.insert(std::string(t->host) + ":" + std::to_string(t->port) + " " +
                    std::to_string(t->priority) + "/" + std::to_string(t->weight) + " " +
                    (t->addrs ? t->addrs->text : "-"));
        obj_release(t);
    }
    return join(seen);
}

const std::string LONG_DOMAIN = std::string(50, 'a') + "." + std::string(50, 'b') + ".long.test";

struct DnsZone : ::testing::Test {
    nstest::Netns ns;
    nstest::TempDir dir;
    nstest::Dnsmasq dns;
    std::string resolv;

    void SetUp() override
    {
        std::string why = nstest::missing_privileges();
        if (!why.empty())
            GTEST_SKIP() << why;
        if (!ns.ok())
            GTEST_SKIP() << "network namespaces are not available (ip netns add failed)";
        if (nstest::run({"dnsmasq", "--version"}) != 0)
            GTEST_SKIP() << "dnsmasq is not installed";
        std::string hosts = "127.0.1.1 t1.netenv.test\n127.0.1.2 t1.netenv.test\n"
                            "127.0.2.1 t2.netenv.test\n127.0.2.2 t2.netenv.test\n"
                            "127.0.3.1 dev.fallback.test\n";
        std::vector<std::string> records = {
            "--srv-host=_qarv4._tcp.dev.netenv.test,t1.netenv.test,32001,3,4",
            "--srv-host=_qarv4._tcp.dev.netenv.test,t2.netenv.test,32002,5,6",
            "--srv-host=_qarv4._tcp.dev.half.test,gone.half.test,32003", "--local=/tes/"};
        // Enough records that the answer no longer fits a UDP datagram.
        for (int i = 0; i < 30; i++) {
            std::string host = "target-number-" + std::to_string(i) + ".big.test";
            records.push_back("--srv-host=_qarv4._tcp.dev.big.test," + host + "," +
                              std::to_string(40000 + i));
            hosts += "127.0.4." + std::to_string(i + 1) + " " + host + "\n";
        }
        ASSERT_TRUE(dns.start(ns, dir, records, hosts)) << dns.log();
        resolv = dir.file("resolv.conf", "nameserver 127.0.0.1\n");
    }

    Outcome lookup_in_ns(const std::function<std::string()> &body)
    {
        ChildSetup s;
        s.net = &ns;
        s.resolv_conf = resolv;
        Outcome o = nstest::run_in(s, body);
        EXPECT_TRUE(o.finished) << "the lookup did not end: " << o.err;
        EXPECT_EQ(o.status, 0) << o.err;
        return o;
    }
};

TEST_F(DnsZone, TwoTargetsWithTwoAddressesEach)
{
    Outcome o = lookup_in_ns([] {
        std::string out;
        dns_resolver *r = dns_resolver_create("dev", "netenv.test", 32000);
        dns_lookup_service(r, "_qarv4", "_tcp");
        out += describe_pass(r) + "\n";

        dns_target *t = dns_first_target(r);
        for (int i = 0; i < 4; i++) {
            char buf[17];
            memset(buf, 'x', sizeof buf);
            uint16_t port = 1;
            int res = dns_target_next_address(t, nullptr, nullptr, 5, 6, buf, 17, &port);
            bool zeroed = std::string(buf, 17) == std::string(17, '\0');
            out += std::to_string(res) + " " + (res < 0 ? (zeroed ? "zeroed" : "dirty") : buf) +
                   " " + std::to_string(port) + "\n";
        }
        // The pass ends with one NULL; the call after it starts over.
        dns_target *second = dns_next_target(r);
        dns_target *end = dns_next_target(r);
        dns_target *again = dns_next_target(r);
        out += std::string(second ? "second " : "none ") + (end ? "more " : "end ") +
               (again ? "again" : "none") + "\n";
        obj_release(second);
        obj_release(again);

        // A new lookup replaces the targets; the one held here stays readable.
        dns_resolver_update(r, "dev", "fallback.test", 32000);
        dns_lookup_service(r, "_qarv4", "_tcp");
        out += std::string(t->host) + " | " + describe_pass(r) + "\n";
        obj_release(t);
        obj_release(r);
        return out;
    });
    std::vector<std::string> l = lines(o.out);
    ASSERT_EQ(l.size(), 7u) << o.out;
    EXPECT_NE(l[0].find("t1.netenv.test:32001 3/4"), std::string::npos);
    EXPECT_NE(l[0].find("t2.netenv.test:32002 5/6"), std::string::npos);

    // First, second, -1 with a zeroed buffer and port 0, then the first again.
    std::istringstream a1(l[1]), a2(l[2]), a4(l[4]);
    std::string r1, t1, p1, r2, t2, p2, r4, t4, p4;
    a1 >> r1 >> t1 >> p1;
    a2 >> r2 >> t2 >> p2;
    a4 >> r4 >> t4 >> p4;
    EXPECT_EQ(r1, "0"); // a refused TCP connect: handed out, not answered
    EXPECT_EQ(r2, "0");
    EXPECT_NE(t1, t2);
    EXPECT_EQ(t1.substr(0, 8), t2.substr(0, 8)); // both of one target: 127.0.1.x or 127.0.2.x
    EXPECT_EQ(p1, p2);
    EXPECT_TRUE(p1 == "32001" || p1 == "32002") << p1;
    EXPECT_EQ(l[3], "-1 zeroed 0");
    EXPECT_EQ(r4 + " " + t4 + " " + p4, r1 + " " + t1 + " " + p1);
    EXPECT_EQ(l[5], "second end again");
    std::string held = l[6].substr(0, l[6].find(" | "));
    EXPECT_TRUE(held == "t1.netenv.test" || held == "t2.netenv.test") << held;
    EXPECT_EQ(l[6].substr(l[6].find(" | ") + 3), "dev.fallback.test:32000 0/0 127.0.3.1 ");

    EXPECT_EQ(dns.count("query[SRV] _qarv4._tcp.dev.netenv.test from"), 1);
    EXPECT_EQ(dns.count("query[A] t1.netenv.test from"), 1);
    EXPECT_EQ(dns.count("query[A] t2.netenv.test from"), 1);
    EXPECT_EQ(dns.count("query[A] dev.netenv.test"), 0); // no fallback when targets exist
}

TEST_F(DnsZone, WithoutServiceRecordsOneFallbackQuery)
{
    struct row {
        const char *domain;
        std::string out;
    } rows[] = {
        {"fallback.test", "dev.fallback.test:32000 0/0 127.0.3.1  next 0"},
        {"empty.test", ""},                                   // no address either: no target
        {"half.test", "gone.half.test:32003 0/0 -  next -1"}, // its address query failed
    };
    for (const row &rw : rows) {
        SCOPED_TRACE(rw.domain);
        Outcome o = lookup_in_ns([&] {
            dns_resolver *r = dns_resolver_create("dev", rw.domain, 32000);
            dns_lookup_service(r, "_qarv4", "_tcp");
            std::string out = describe_pass(r);
            dns_target *t = dns_first_target(r);
            char buf[17];
            uint16_t port = 1;
            if (t)
                out += " next " + std::to_string(dns_target_next_address(t, nullptr, nullptr, 5, 6,
                                                                         buf, 17, &port));
            obj_release(t);
            obj_release(r);
            return out;
        });
        std::string host = std::string("dev.") + rw.domain;
        EXPECT_EQ(o.out, rw.out);
        EXPECT_EQ(dns.count("query[SRV] _qarv4._tcp." + host + " from"), 1);
        bool srv_found = std::string(rw.domain) == "half.test";
        EXPECT_EQ(dns.count("query[A] " + host + " from"), srv_found ? 0 : 1);
    }
}

TEST_F(DnsZone, LongNamesGoOutCut)
{
    lookup_in_ns([] {
        dns_resolver *r = dns_resolver_create("dev", LONG_DOMAIN.c_str(), 32000);
        dns_lookup_service(r, "_qarv4", "_tcp");
        obj_release(r);
        return std::string();
    });
    std::string full = "_qarv4._tcp.dev." + LONG_DOMAIN;
    ASSERT_GT(full.size(), 126u);
    EXPECT_EQ(dns.count("query[SRV] " + full.substr(0, 126) + " from"), 1) << dns.log();
    EXPECT_EQ(dns.count("query[A] dev." + LONG_DOMAIN + " from"), 1);
}

// c-ares' sockets land above FD_SETSIZE when the process already has that many files open.
TEST_F(DnsZone, SocketsPastFdSetSizeAreServed)
{
    Outcome o = lookup_in_ns([] {
        rlimit lim{};
        getrlimit(RLIMIT_NOFILE, &lim);
        lim.rlim_cur = std::min<rlim_t>(lim.rlim_max, FD_SETSIZE + 64);
        if (setrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur < FD_SETSIZE + 16)
            return std::string("no room for the descriptors");
        int fd = open("/dev/null", O_RDONLY);
        while (fd >= 0 && fd < FD_SETSIZE + 4)
            fd = dup(fd);
        if (fd < FD_SETSIZE)
            return std::string("could not fill the descriptors");
        dns_resolver *r = dns_resolver_create("dev", "netenv.test", 32000);
        dns_lookup_service(r, "_qarv4", "_tcp");
        std::string out = describe_pass(r);
        obj_release(r);
        return out;
    });
    EXPECT_NE(o.out.find("t1.netenv.test:32001"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("t2.netenv.test:32002"), std::string::npos) << o.out;
}

TEST_F(DnsZone, AnswerTooLongForUdpComesOverTcp)
{
    Outcome o = lookup_in_ns([] {
        dns_resolver *r = dns_resolver_create("dev", "big.test", 32000);
        dns_lookup_service(r, "_qarv4", "_tcp");
        int n = 0, with_address = 0;
        for (dns_target *t = dns_first_target(r); t; t = dns_next_target(r)) {
            n++;
            with_address += t->addrs != nullptr;
            obj_release(t);
        }
        obj_release(r);
        return std::to_string(n) + " " + std::to_string(with_address);
    });
    EXPECT_EQ(o.out, "30 30");
}

} // namespace

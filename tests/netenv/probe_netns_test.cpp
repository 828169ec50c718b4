// Echo probes and local lookups over a veth pair between two namespaces of the test's own. The
// peer's kernel answers no echo; a responder there answers with scripted ICMP types and
// counts the requests it sees, so every count is exact.
#include "netenv/dns.h"
#include "netenv/probe.h"
#include "tests/netenv/nstest.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstring>
#include <sys/socket.h>
#include <sys/time.h>

namespace
{

using nstest::ChildSetup;
using nstest::Outcome;
using nstest::Responder;

constexpr const char *CLIENT = "198.18.0.1";
constexpr const char *PEER = "198.18.0.2";

struct ProbeVeth : ::testing::Test {
    nstest::VethPair pair;

    void SetUp() override
    {
        std::string why = nstest::missing_privileges();
        if (!why.empty())
            GTEST_SKIP() << why;
        if (!pair.ok)
            GTEST_SKIP() << "network namespaces with a veth pair are not available";
    }

    Outcome in_client(const std::function<std::string()> &body, bool unprivileged = false)
    {
        ChildSetup s;
        s.net = &pair.client;
        s.unprivileged = unprivileged;
        Outcome o = nstest::run_in(s, body);
        EXPECT_TRUE(o.finished) << o.err;
        EXPECT_EQ(o.status, 0) << o.err;
        return o;
    }
};

TEST_F(ProbeVeth, RepliesAreCountedByType)
{
    struct row {
        const char *what;
        std::vector<int> script;
        uint8_t first, limit;
        bool bound;
        int result, requests;
        const char *err;
    } rows[] = {
        {"echo reply at once", {0}, 5, 6, true, 1, 1, ""},
        {"two routers, then the host", {11, 11, 0}, 5, 10, true, 3, 3, ""},
        {"unreachable ends the count", {3}, 5, 10, true, 0, 1, ""},
        {"redirect ends the count", {11, 5}, 5, 10, true, 1, 2, ""},
        {"unexpected type is counted and told", {4, 0}, 5, 10, true, 2, 2, "ICMP TYPE 4"},
        {"no TTL below the limit: nothing sent", {0}, 6, 6, true, 0, 0, ""},
        {"no interface: unbound", {0}, 5, 6, false, 1, 1, ""},
        {"silence: the wait runs out", {-1}, 5, 6, true, 0, 1, ""},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        Responder responder(pair, r.script);
        ASSERT_TRUE(responder.ok());
        Outcome o = in_client([&] {
            return std::to_string(
                icmp_probe(r.bound ? "vc" : nullptr, CLIENT, PEER, r.first, r.limit));
        });
        EXPECT_EQ(o.out, std::to_string(r.result));
        EXPECT_EQ(o.err, r.err);
        EXPECT_EQ(responder.requests(), r.requests);
    }
}

TEST_F(ProbeVeth, InterruptedWaitFails)
{
    Responder responder(pair, {-1});
    ASSERT_TRUE(responder.ok());
    Outcome o = in_client([] {
        struct sigaction sa {
        };
        sa.sa_handler = [](int) {};
        sigaction(SIGALRM, &sa, nullptr); // no SA_RESTART: the wait sees EINTR
        itimerval t{};
        t.it_value.tv_usec = 100000;
        setitimer(ITIMER_REAL, &t, nullptr);
        return std::to_string(icmp_probe("vc", CLIENT, PEER, 5, 10));
    });
    EXPECT_EQ(o.out, "-1");
    // The responder in the other namespace may not have counted it yet.
    ASSERT_TRUE(wait_until([&] { return responder.requests() == 1; }));
}

TEST_F(ProbeVeth, ProbeFromTheRoutedAddress)
{
    Responder responder(pair, {0, 0}, 32000);
    ASSERT_TRUE(responder.ok());
    Outcome o = in_client([] {
        return std::to_string(icmp_probe_host(PEER, SOCK_DGRAM, 53, 5, 6)) + " " +
               std::to_string(icmp_probe_host(PEER, SOCK_STREAM, 32000, 5, 6));
    });
    EXPECT_EQ(o.out, "1 1");
    EXPECT_EQ(responder.requests(), 2);
}

TEST_F(ProbeVeth, RefusedConnectSendsNoProbe)
{
    Responder responder(pair, {0}); // would answer, were it asked
    ASSERT_TRUE(responder.ok());
    Outcome o =
        in_client([] { return std::to_string(icmp_probe_host(PEER, SOCK_STREAM, 32000, 5, 6)); });
    EXPECT_EQ(o.out, "-1");
    EXPECT_EQ(responder.requests(), 0);
}

TEST_F(ProbeVeth, WithoutRootTheProbeFailsAtOnce)
{
    Responder responder(pair, {0});
    ASSERT_TRUE(responder.ok());
    Outcome o = in_client(
        [] {
            return std::to_string(icmp_probe("vc", CLIENT, PEER, 5, 6)) + " " +
                   std::to_string(icmp_probe_host(PEER, SOCK_DGRAM, 53, 5, 6)) + " " +
                   std::to_string(getuid());
        },
        true);
    EXPECT_EQ(o.out, "-1 -1 65534");
    EXPECT_EQ(responder.requests(), 0);
}

TEST_F(ProbeVeth, LocalAddressInterfaceAndHardwareAddress)
{
    ASSERT_TRUE(pair.client.ip({"link", "set", "vc", "address", "02:00:5e:00:53:01"}));
    ASSERT_TRUE(pair.client.ip({"route", "add", "default", "via", PEER}));
    Outcome o = in_client([] {
        std::string out;
        sockaddr_in local{};
        int found = net_local_addr_for(&local, SOCK_DGRAM, "192.88.99.0", 65535);
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &local.sin_addr, text, sizeof text);
        out += std::to_string(found) + " " + text;

        char name[17] = {};
        out += " " + std::to_string(net_if_name_for_addr(&local, name, sizeof name)) + " " + name;

        uint8_t mac[6] = {};
        char mac_text[18];
        int got = net_if_get_hwaddr(name, mac);
        snprintf(mac_text, sizeof mac_text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2],
                 mac[3], mac[4], mac[5]);
        out += " " + std::to_string(got) + " " + mac_text;

        // Loopback has no Ethernet address: found, out untouched.
        uint8_t lo[6] = {9, 9, 9, 9, 9, 9};
        out += " lo " + std::to_string(net_if_get_hwaddr("lo", lo)) + " " + std::to_string(lo[0]);
        out += " none " + std::to_string(net_if_get_hwaddr("nosuch0", nullptr));

        // An address that no interface holds: found nothing, name untouched.
        sockaddr_in other{};
        other.sin_family = AF_INET;
        inet_pton(AF_INET, "198.18.9.9", &other.sin_addr);
        char untouched[17] = "keep";
        out += " other " + std::to_string(net_if_name_for_addr(&other, untouched, 17));
        out += std::string(" ") + untouched;
        return out;
    });
    EXPECT_EQ(o.out, "1 198.18.0.1 1 vc 1 02:00:5e:00:53:01 lo 1 9 none 0 other 1 keep");
}

TEST_F(ProbeVeth, NoRouteNoLocalAddress)
{
    Outcome o = in_client([] {
        sockaddr_in out{};
        memset(&out, 0x5a, sizeof out);
        int found = net_local_addr_for(&out, SOCK_DGRAM, "192.88.99.0", 65535);
        auto *b = reinterpret_cast<const uint8_t *>(&out);
        bool untouched = true;
        for (size_t i = 0; i < sizeof out; i++)
            untouched = untouched && b[i] == 0x5a;
        return std::to_string(found) + (untouched ? " untouched" : " written");
    });
    EXPECT_EQ(o.out, "0 untouched");
}

// The name servers are read from the configuration: one answers, one has no route, one is IPv6.
TEST_F(ProbeVeth, ReachableNameServersAreCounted)
{
    nstest::TempDir dir;
    ChildSetup s;
    s.net = &pair.client;
    s.resolv_conf = dir.file("resolv.conf", std::string("nameserver ") + PEER +
                                                "\nnameserver 198.18.7.7\nnameserver fd00::53\n");
    Responder responder(pair, {0});
    ASSERT_TRUE(responder.ok());
    Outcome o = nstest::run_in(s, [] {
        dns_resolver *r = dns_resolver_create("dev", "netenv.test", 32000);
        int n = dns_count_reachable_servers(r, nullptr, nullptr, 5, 6);
        obj_release(r);
        return std::to_string(n);
    });
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "1");
    EXPECT_EQ(responder.requests(), 1);
}

// An address handed out by the resolver that accepts the TCP connect and answers the echo.
TEST_F(ProbeVeth, ResolvedAddressThatAnswers)
{
    if (nstest::run({"dnsmasq", "--version"}) != 0)
        GTEST_SKIP() << "dnsmasq is not installed";
    nstest::TempDir dir;
    nstest::Dnsmasq dns;
    ASSERT_TRUE(dns.start(pair.client, dir, {}, std::string(PEER) + " dev.up.test\n")) << dns.log();
    Responder responder(pair, {0}, 32000);
    ASSERT_TRUE(responder.ok());
    ChildSetup s;
    s.net = &pair.client;
    s.resolv_conf = dir.file("resolv.conf", "nameserver 127.0.0.1\n");
    Outcome o = nstest::run_in(s, [] {
        dns_resolver *r = dns_resolver_create("dev", "up.test", 32000);
        dns_lookup_service(r, "_qarv4", "_tcp");
        dns_target *t = dns_first_target(r);
        char buf[17] = {};
        uint16_t port = 0;
        int res = t ? dns_target_next_address(t, nullptr, nullptr, 5, 6, buf, 17, &port) : -2;
        obj_release(t);
        obj_release(r);
        return std::to_string(res) + " " + buf + " " + std::to_string(port);
    });
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, std::string("1 ") + PEER + " 32000");
    EXPECT_EQ(responder.requests(), 1);
}

} // namespace

// The resolver without a name server: names, passes over targets, the address cursor, and the
// reply callbacks fed with answers built here, hostile ones among them. Every answer lies in a
// heap block of exactly its length, so a read past it trips the address sanitizer.
#include "netenv/dns.h"

#include "tests/common/test_util.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using bytes = std::vector<uint8_t>;

void put16(bytes &b, unsigned v)
{
    b.push_back(uint8_t(v >> 8));
    b.push_back(uint8_t(v));
}

void put_name(bytes &b, const std::string &name)
{
    size_t at = 0;
    while (at < name.size()) {
        size_t dot = name.find('.', at);
        if (dot == std::string::npos)
            dot = name.size();
        b.push_back(uint8_t(dot - at));
        b.insert(b.end(), name.begin() + long(at), name.begin() + long(dot));
        at = dot + 1;
    }
    b.push_back(0);
}

// A response to one question (name at offset 12) whose answers point back at that name.
struct Answer {
    bytes b;
    Answer(const std::string &qname, unsigned qtype, unsigned ancount)
    {
        put16(b, 0x1234);
        put16(b, 0x8180);
        put16(b, 1);
        put16(b, ancount);
        put16(b, 0);
        put16(b, 0);
        put_name(b, qname);
        put16(b, qtype);
        put16(b, 1);
    }
    void rr(unsigned type, const bytes &rdata, unsigned rdlength)
    {
        b.push_back(0xC0);
        b.push_back(12);
        put16(b, type);
        put16(b, 1);
        put16(b, 0);
        put16(b, 60);
        put16(b, rdlength);
        b.insert(b.end(), rdata.begin(), rdata.end());
    }
    void rr(unsigned type, const bytes &rdata) { rr(type, rdata, unsigned(rdata.size())); }
};

bytes srv_rdata(unsigned port, const std::string &target)
{
    bytes d;
    put16(d, 1);
    put16(d, 2);
    put16(d, port);
    put_name(d, target);
    return d;
}

bytes a_rdata(const char *text)
{
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    auto *p = reinterpret_cast<const uint8_t *>(&a);
    return bytes(p, p + 4);
}

const char *SRV_NAME = "_qarv4._tcp.dev.netenv.test";

bytes valid_srv()
{
    Answer a(SRV_NAME, 33, 2);
    a.rr(33, srv_rdata(32001, "t1.netenv.test"));
    a.rr(33, srv_rdata(32002, "t2.netenv.test"));
    return a.b;
}

bytes valid_a(const std::string &name)
{
    Answer a(name, 1, 2);
    a.rr(1, a_rdata("127.0.0.1"));
    a.rr(1, a_rdata("127.0.0.2"));
    return a.b;
}

// Answers that no name server should send; each must add nothing.
std::vector<std::pair<std::string, bytes>> hostile_srv()
{
    std::vector<std::pair<std::string, bytes>> v;
    {
        Answer a(SRV_NAME, 33, 1);
        a.rr(33, srv_rdata(1, "t.test"), 0xFFFF);
        v.emplace_back("rdata length past the end", a.b);
    }
    {
        Answer a(SRV_NAME, 33, 1);
        a.rr(33, bytes{0, 1, 0, 2}); // no port, no target
        v.emplace_back("rdata shorter than its fixed fields", a.b);
    }
    {
        Answer a(SRV_NAME, 33, 1);
        bytes d = srv_rdata(1, "");
        d.back() = 0xC0; // a pointer whose second byte is missing
        a.rr(33, d);
        v.emplace_back("target name cut inside a pointer", a.b);
    }
    {
        Answer a(SRV_NAME, 33, 1);
        bytes d = srv_rdata(1, "");
        d.back() = 0xC0;
        d.push_back(0xFF); // points past the end
        a.rr(33, d);
        v.emplace_back("pointer past the end", a.b);
    }
    {
        Answer a(SRV_NAME, 33, 1);
        bytes d = srv_rdata(1, "");
        size_t self = a.b.size() + 12 + 6; // where the target name will start
        d.back() = uint8_t(0xC0 | (self >> 8));
        d.push_back(uint8_t(self));
        a.rr(33, d);
        v.emplace_back("pointer loop", a.b);
    }
    {
        Answer a(SRV_NAME, 33, 5);
        a.rr(33, srv_rdata(1, "t.test"));
        v.emplace_back("more answers counted than present", a.b);
    }
    {
        Answer a(SRV_NAME, 33, 0);
        v.emplace_back("no answer", a.b);
    }
    return v;
}

// Calls a c-ares callback with a copy of the answer in a block of exactly its size.
void feed(ares_callback cb, void *arg, const bytes &answer)
{
    std::unique_ptr<unsigned char[]> copy(new unsigned char[answer.size() ? answer.size() : 1]);
    if (!answer.empty())
        memcpy(copy.get(), answer.data(), answer.size());
    cb(arg, ARES_SUCCESS, 0, copy.get(), int(answer.size()));
}

// Every strict prefix of a valid answer, as a server cut short would send it.
std::vector<bytes> prefixes(const bytes &full)
{
    std::vector<bytes> v;
    for (size_t n = 0; n < full.size(); n++)
        v.emplace_back(full.begin(), full.begin() + long(n));
    return v;
}

struct DnsResolver : ::testing::Test {
    dns_resolver *r = nullptr;
    void SetUp() override
    {
        r = dns_resolver_create("dev", "netenv.test", 32000);
        ASSERT_NE(r, nullptr);
    }
    void TearDown() override { obj_release(r); }

    std::multiset<std::string> pass()
    {
        std::multiset<std::string> seen;
        for (dns_target *t = dns_first_target(r); t; t = dns_next_target(r)) {
            seen.insert(std::string(t->host) + ":" + std::to_string(t->port));
            obj_release(t);
        }
        return seen;
    }
};

dns_target *new_target(uint16_t port)
{
    auto *t = static_cast<dns_target *>(obj_alloc(sizeof(dns_target), dns_target_destroy));
    t->port = port;
    return t;
}

TEST_F(DnsResolver, NamesAreOwnedCopies)
{
    EXPECT_STREQ(r->label, "dev");
    EXPECT_STREQ(r->domain, "netenv.test");
    EXPECT_EQ(r->default_port, 32000);

    // Updating with the resolver's own texts must not read them after they were freed.
    dns_resolver_update(r, r->label, r->domain, 1);
    EXPECT_STREQ(r->label, "dev");
    EXPECT_STREQ(r->domain, "netenv.test");

    char label[] = "edge";
    dns_resolver_update(r, label, nullptr, 2);
    label[0] = 'X';
    EXPECT_STREQ(r->label, "edge");
    EXPECT_EQ(r->domain, nullptr);
    EXPECT_EQ(r->default_port, 2);
    dns_resolver_update(nullptr, "a", "b", 3); // nothing to update, no crash
}

TEST_F(DnsResolver, ServiceReplyMakesOneTargetPerRecord)
{
    feed(dns_srv_reply_cb, r, valid_srv());
    EXPECT_EQ(pass(), (std::multiset<std::string>{"t1.netenv.test:32001", "t2.netenv.test:32002"}));
    dns_target *t = dns_first_target(r);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->priority, 1);
    EXPECT_EQ(t->weight, 2);
    EXPECT_EQ(t->addrs, nullptr);
    obj_release(t);
}

TEST_F(DnsResolver, HostileServiceAnswersAddNothing)
{
    for (const auto &[what, answer] : hostile_srv()) {
        SCOPED_TRACE(what);
        feed(dns_srv_reply_cb, r, answer);
        EXPECT_EQ(tbl_count(r->targets), 0);
    }
    for (const bytes &cut : prefixes(valid_srv())) {
        SCOPED_TRACE("cut to " + std::to_string(cut.size()) + " bytes");
        feed(dns_srv_reply_cb, r, cut);
        ASSERT_EQ(tbl_count(r->targets), 0);
    }
    dns_srv_reply_cb(r, ARES_ETIMEOUT, 3, nullptr, 0);
    dns_srv_reply_cb(r, ARES_SUCCESS, 0, nullptr, -1);
    EXPECT_EQ(tbl_count(r->targets), 0);
}

TEST_F(DnsResolver, AddressRepliesBuildTheChainInReplyOrder)
{
    dns_target *t = new_target(1);
    obj_retain(t); // the reference a query would hold
    feed(dns_target_a_reply_cb, t, valid_a("t1.netenv.test"));
    ASSERT_NE(t->addrs, nullptr);
    EXPECT_STREQ(t->addrs->text, "127.0.0.1");
    ASSERT_NE(t->addrs->next, nullptr);
    EXPECT_STREQ(t->addrs->next->text, "127.0.0.2");
    EXPECT_EQ(t->addrs->next->next, nullptr);
    EXPECT_EQ(obj_refcount(t), 1);
    obj_release(t);

    feed(dns_host_a_reply_cb, r, valid_a("dev.netenv.test"));
    EXPECT_EQ(pass(), (std::multiset<std::string>{"dev.netenv.test:32000"}));
}

TEST_F(DnsResolver, HostileAddressAnswersAddNothing)
{
    std::vector<std::pair<std::string, bytes>> cases;
    for (const bytes &cut : prefixes(valid_a("t.test")))
        cases.emplace_back("cut to " + std::to_string(cut.size()) + " bytes", cut);
    Answer wide("t.test", 1, 1);
    wide.rr(1, bytes(16, 0x7f)); // an A record of IPv6 size
    cases.emplace_back("sixteen-byte address", wide.b);
    Answer past("t.test", 1, 1);
    past.rr(1, a_rdata("127.0.0.1"), 200);
    cases.emplace_back("rdata length past the end", past.b);

    for (const auto &[what, answer] : cases) {
        SCOPED_TRACE(what);
        dns_target *t = new_target(1);
        obj_retain(t);
        feed(dns_target_a_reply_cb, t, answer);
        EXPECT_EQ(t->addrs, nullptr);
        obj_release(t);
        feed(dns_host_a_reply_cb, r, answer);
        ASSERT_EQ(tbl_count(r->targets), 0); // a fallback without addresses is not kept
    }
}

TEST_F(DnsResolver, PassesHandOutEveryTargetOnceThenStartOver)
{
    EXPECT_EQ(dns_first_target(r), nullptr);
    EXPECT_EQ(dns_next_target(r), nullptr);
    EXPECT_EQ(dns_first_target(nullptr), nullptr);
    EXPECT_EQ(dns_next_target(nullptr), nullptr);

    feed(dns_srv_reply_cb, r, valid_srv());
    std::vector<dns_target *> got;
    for (dns_target *t = dns_first_target(r); t; t = dns_next_target(r))
        got.push_back(t);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_NE(got[0], got[1]);
    // The call after the NULL starts a new pass.
    dns_target *again = dns_next_target(r);
    EXPECT_TRUE(again == got[0] || again == got[1]);
    obj_release(again);

    // A target that a caller holds outlives its resolver.
    obj_release(got[1]);
    obj_release(r);
    r = nullptr;
    EXPECT_TRUE(strstr(got[0]->host, ".netenv.test"));
    obj_release(got[0]);
}

// Passes share the resolver's one iterator; threads walking it while another renames the
// resolver must each get whole targets.
TEST_F(DnsResolver, PassesAndUpdatesFromSeveralThreads)
{
    feed(dns_srv_reply_cb, r, valid_srv());
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; i++)
        threads.emplace_back([&] {
            for (int n = 0; n < 2000; n++) {
                dns_target *t = dns_next_target(r);
                if (t && !strstr(t->host, ".netenv.test"))
                    bad++;
                obj_release(t);
            }
        });
    threads.emplace_back([&] {
        for (int n = 0; n < 2000; n++)
            dns_resolver_update(r, n % 2 ? "dev" : "edge", "netenv.test", uint16_t(n));
    });
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(tbl_count(r->targets), 2);
}

TEST_F(DnsResolver, NoNamesMeansNoQueryAndTheTargetsStay)
{
    feed(dns_srv_reply_cb, r, valid_srv());
    dns_resolver_update(r, nullptr, "netenv.test", 32000);
    dns_lookup_service(r, "_qarv4", "_tcp");
    EXPECT_EQ(r->channel, nullptr); // no channel was even made
    EXPECT_EQ(tbl_count(r->targets), 2);

    dns_resolver_update(r, "dev", nullptr, 32000);
    dns_lookup_service(r, "_qarv4", "_tcp");
    EXPECT_EQ(r->channel, nullptr);
    EXPECT_EQ(tbl_count(r->targets), 2);
    dns_lookup_service(nullptr, "_qarv4", "_tcp");
}

TEST(DnsTargetAddress, CursorWalksTheChainThenStartsOver)
{
    raw_socket closed(SOCK_STREAM, false); // refuses every connection
    ASSERT_NE(closed.port, 0);
    dns_target *t = new_target(uint16_t(closed.port));
    obj_retain(t);
    feed(dns_target_a_reply_cb, t, valid_a("t.test"));

    // Each address is probed through a TCP connect that is refused: handed out, not answered.
    struct step {
        int result;
        const char *text;
        uint16_t port;
    } steps[] = {{0, "127.0.0.1", uint16_t(closed.port)},
                 {0, "127.0.0.2", uint16_t(closed.port)},
                 {-1, "", 0},
                 {0, "127.0.0.1", uint16_t(closed.port)}};
    for (const step &s : steps) {
        char buf[17];
        memset(buf, 'x', sizeof buf);
        uint16_t port = 7;
        EXPECT_EQ(dns_target_next_address(t, nullptr, nullptr, 5, 6, buf, sizeof buf, &port),
                  s.result);
        EXPECT_STREQ(buf, s.text);
        EXPECT_EQ(port, s.port);
        if (s.result < 0) {
            EXPECT_EQ(std::string(buf, sizeof buf), std::string(sizeof buf, '\0'));
        }
    }
    obj_release(t);
}

TEST(DnsTargetAddress, TextIsCutToTheBuffer)
{
    raw_socket closed(SOCK_STREAM, false); // refuses every connection
    struct row {
        int len;
        std::string text; // what the buffer holds, up to its first NUL
    } rows[] = {{17, "127.0.0.1"}, {5, "127"}, {2, ""}, {0, ""}};
    for (const row &r : rows) {
        SCOPED_TRACE(r.len);
        dns_target *t = new_target(uint16_t(closed.port));
        obj_retain(t);
        feed(dns_target_a_reply_cb, t, valid_a("t.test"));
        char buf[20];
        memset(buf, 'x', sizeof buf);
        buf[0] = '\0';
        dns_target_next_address(t, nullptr, nullptr, 5, 6, r.len ? buf : nullptr, r.len, nullptr);
        EXPECT_EQ(std::string(buf), r.text);
        if (r.len > 0) {
            EXPECT_EQ(buf[r.len - 1], 'x'); // the last byte stays the caller's
        }
        obj_release(t);
    }
}

TEST(DnsTargetAddress, NoAddressGivesMinusOneAndAZeroedBuffer)
{
    char buf[17];
    uint16_t port = 9;
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(dns_target_next_address(nullptr, nullptr, nullptr, 5, 6, buf, 17, &port), -1);
    EXPECT_EQ(std::string(buf, 17), std::string(17, '\0'));
    EXPECT_EQ(port, 0);

    dns_target *empty = new_target(5);
    port = 9;
    EXPECT_EQ(dns_target_next_address(empty, nullptr, nullptr, 5, 6, buf, 17, &port), -1);
    EXPECT_EQ(port, 0);
    obj_release(empty);
}

TEST(DnsEdges, DeadOrMissingResolverDoesNothing)
{
    EXPECT_EQ(dns_count_reachable_servers(nullptr, nullptr, nullptr, 5, 6), 0);
    EXPECT_EQ(dns_write_resolv_conf(nullptr, "192.0.2.1", "192.0.2.2"), 0);
    dns_run_channel(nullptr);
}

} // namespace

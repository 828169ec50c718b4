// The resolver-configuration writer, run only in a child with its own mount and UTS namespaces:
// a temporary file is bound over /etc/resolv.conf, and the host and domain names are the
// child's own. The machine's configuration is never touched.
#include "netenv/dns.h"
#include "tests/netenv/nstest.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace
{

using nstest::ChildSetup;

const std::string OURS = "nameserver 192.0.2.1\nnameserver 192.0.2.2\n";
const std::string PUBLIC = "nameserver 8.8.8.8\n";

TEST(ResolvConf, WrittenFromTheCurrentConfiguration)
{
    std::string why = nstest::missing_privileges();
    if (!why.empty())
        GTEST_SKIP() << why;
    struct row {
        const char *what;
        std::string before;  // the configuration file as found
        std::string machine; // the machine's domain name
        const char *ns1, *ns2;
        bool unprivileged;
        std::string after; // the file as written
        std::string machine_after;
    } rows[] = {
        {"no name server configured", "# empty\n", "", "192.0.2.1", "192.0.2.2", false,
         OURS + PUBLIC, ""},
        {"the caller's two servers equal", "", "", "192.0.2.1", "192.0.2.1", false,
         "nameserver 192.0.2.1\nnameserver 192.0.2.1\n" + PUBLIC, ""},
        {"loopback passed over, a known server not repeated; the longer old file is gone",
         "# " + std::string(300, '-') + "\nnameserver 127.0.0.1\nnameserver 192.0.2.1\n", "",
         "192.0.2.1", "192.0.2.2", false, OURS + PUBLIC, ""},
        {"IPv6 servers are not written, the public one not twice",
         "nameserver fd00::1\nnameserver 8.8.8.8\nnameserver 192.0.2.9\n", "", "192.0.2.1",
         "192.0.2.2", false, PUBLIC + "nameserver 192.0.2.9\n" + OURS, ""},
        {"two search domains come out reversed", "search a.test b.test\nnameserver 192.0.2.9\n", "",
         "192.0.2.1", "192.0.2.2", false,
         "search b.test a.test\nnameserver 192.0.2.9\n" + OURS + PUBLIC, ""},
        {"one domain equal to the machine's", "domain a.test\n", "a.test", "192.0.2.1", "192.0.2.2",
         false, "domain a.test\n" + OURS + PUBLIC, "a.test"},
        {"one domain while the machine has none", "domain a.test\n", "", "192.0.2.1", "192.0.2.2",
         false, "domain a.test\n" + OURS + PUBLIC, ""},
        {"one domain while the machine has another: the machine's changes", "domain a.test\n",
         "other.test", "192.0.2.1", "192.0.2.2", false, "domain a.test\n" + OURS + PUBLIC,
         "a.test"},
        {"the domain name cannot be changed: no domain line", "domain a.test\n", "other.test",
         "192.0.2.1", "192.0.2.2", true, OURS + PUBLIC, "other.test"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        nstest::TempDir dir;
        ChildSetup s;
        s.resolv_conf = dir.file("resolv.conf", r.before);
        chmod(s.resolv_conf.c_str(), 0666); // writable by nobody too
        s.own_uts = true;
        s.domain_name = r.machine;
        s.unprivileged = r.unprivileged;
        nstest::Outcome o = nstest::run_in(s, [&] {
            std::string out;
            dns_resolver *res = dns_resolver_create("dev", "netenv.test", 32000);
            out += std::to_string(dns_write_resolv_conf(res, r.ns1, r.ns2));
            obj_release(res);
            char now[128] = {};
            getdomainname(now, sizeof now - 1);
            return out + " " + now;
        });
        ASSERT_EQ(o.status, 0) << o.err;
        EXPECT_EQ(o.out, "0 " + r.machine_after);
        EXPECT_EQ(nstest::read_file(s.resolv_conf), r.after);
    }
}

} // namespace

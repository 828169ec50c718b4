// Interface ioctls and the default gateway, on veth interfaces in a namespace of the test's
// own, where addresses, flags and routes can be set freely.
#include "netenv/netif.h"
#include "netenv/probe.h"
#include "tests/netenv/nstest.h"

#include <gtest/gtest.h>

#include <cstring>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

using nstest::ChildSetup;
using nstest::Outcome;

constexpr const char *NAME15 = "abcdefghijklmno";

bool is_up(const char *name)
{
    ifreq req{};
    strncpy(req.ifr_name, name, IFNAMSIZ - 1);
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    bool up = ioctl(s, SIOCGIFFLAGS, &req) == 0 && (req.ifr_flags & IFF_UP);
    close(s);
    return up;
}

struct NetifNs : ::testing::Test {
    nstest::Netns ns;

    void SetUp() override
    {
        std::string why = nstest::missing_privileges();
        if (!why.empty())
            GTEST_SKIP() << why;
        if (!ns.ok() || !ns.ip({"link", "add", "va", "type", "veth", "peer", "name", "vb"}) ||
            !ns.ip({"link", "add", NAME15, "type", "veth", "peer", "name", "p15"}))
            GTEST_SKIP() << "network namespaces with veth interfaces are not available";
    }

    std::string in_ns(const std::function<std::string()> &body)
    {
        ChildSetup s;
        s.net = &ns;
        Outcome o = nstest::run_in(s, body);
        EXPECT_EQ(o.status, 0) << o.err;
        return o.out;
    }
};

TEST_F(NetifNs, AddressTexts)
{
    struct row {
        std::vector<std::string> add; // `ip addr add` arguments; empty: no address
        std::string expect;           // address, broadcast, network with its prefix
    } rows[] = {
        {{}, "0 - 0 - -1 -"},
        {{"198.18.1.1/24"}, "1 198.18.1.1 1 0.0.0.0 24 198.18.1.0"},
        {{"198.18.1.1/24", "brd", "+"}, "1 198.18.1.1 1 198.18.1.255 24 198.18.1.0"},
        {{"198.18.1.6/30"}, "1 198.18.1.6 1 0.0.0.0 30 198.18.1.4"},
        {{"198.18.1.1/32"}, "1 198.18.1.1 1 0.0.0.0 32 198.18.1.1"},
        {{"198.18.1.1/0"}, "1 198.18.1.1 1 0.0.0.0 0 0.0.0.0"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.expect);
        ASSERT_TRUE(ns.ip({"addr", "flush", "dev", "va"}));
        if (!r.add.empty()) {
            std::vector<std::string> args = {"addr", "add"};
            args.insert(args.end(), r.add.begin(), r.add.end());
            args.insert(args.end(), {"dev", "va"});
            ASSERT_TRUE(ns.ip(args));
        }
        std::string out = in_ns([] {
            char a[32] = "-", b[32] = "-", n[32] = "-";
            int ra = net_if_get_addr_text("va", a, sizeof a);
            int rb = net_if_get_broadcast_text("va", b, sizeof b);
            int rn = net_if_get_network_text("va", n, sizeof n);
            return std::to_string(ra) + " " + a + " " + std::to_string(rb) + " " + b + " " +
                   std::to_string(rn) + " " + n;
        });
        EXPECT_EQ(out, r.expect);
    }
    // A small buffer takes what fits, terminated.
    std::string cut = in_ns([] {
        char a[8];
        return std::to_string(net_if_get_addr_text("va", a, sizeof a)) + " " + a;
    });
    EXPECT_EQ(cut, "1 198.18.");
}

TEST_F(NetifNs, FlagsLinkAndIndex)
{
    std::string out = in_ns([] {
        std::string o;
        // Down already, and asked to go down: done, still down.
        o += std::to_string(net_if_set_up("va", 0));
        o += is_up("va") ? " up" : " down";
        // A name one character too long is cut to the interface's.
        o += " " + std::to_string(net_if_set_up((std::string(NAME15) + "X").c_str(), 1));
        o += is_up(NAME15) ? " up" : " down";
        o += " " + std::to_string(net_if_get_index(NAME15) == int(if_nametoindex(NAME15)));
        o += " " + std::to_string(net_if_get_index("nosuch0"));

        net_if_set_up("va", 1);
        o += " link " + std::to_string(net_if_get_link("va")); // peer still down
        net_if_set_up("vb", 1);
        o += " " + std::to_string(net_if_get_link("va"));
        o += " " + std::to_string(net_if_get_link("nosuch0"));
        o += " eeprom " + std::to_string(net_if_get_eeprom_len("nosuch0"));
        return o;
    });
    EXPECT_EQ(out, "1 down 1 up 1 -1 link 0 1 255 eeprom 0");
}

TEST_F(NetifNs, HardwareAddressChange)
{
    std::string out = in_ns([] {
        const uint8_t mac[6] = {0x02, 0x00, 0x5e, 0x00, 0x53, 0x99};
        uint8_t back[6] = {};
        std::string o = std::to_string(net_if_set_hwaddr("lo", mac));
        o += " " + std::to_string(net_if_set_hwaddr("nosuch0", mac));
        o += " " + std::to_string(net_if_set_hwaddr("va", mac));
        net_if_get_hwaddr("va", back);
        return o + (memcmp(mac, back, 6) == 0 ? " read back" : " differs");
    });
    EXPECT_EQ(out, "0 0 1 read back");
}

TEST_F(NetifNs, DefaultGateway)
{
    ASSERT_TRUE(ns.ip({"addr", "add", "198.18.1.1/24", "dev", "va"}));
    ASSERT_TRUE(ns.ip({"link", "set", "va", "up"}));
    struct row {
        int len;
        std::string expect; // the buffer's first 20 bytes: NUL shown as 0, untouched as #
    } with_route[] = {
        {32, "198.18.1.2540#######"},
        {5, "198.1###############"}, // cut, without a terminator
        {256 + 13, "198.18.1.2540#######"},
        {0, "####################"},
        {0x80, "####################"}, // low byte reads negative: nothing copied
        {-1, "####################"},
    };
    auto read = [&](int len) {
        return in_ns([len] {
            char buf[64];
            memset(buf, '#', sizeof buf);
            int r = net_get_default_gateway(buf, len);
            std::string shown;
            for (int i = 0; i < 20; i++)
                shown += buf[i] == '\0' ? '0' : buf[i];
            return std::to_string(r) + " " + shown;
        });
    };
    // Without a default route the buffer is zeroed, as far as the length reaches.
    EXPECT_EQ(read(16), "-1 0000000000000000####");
    EXPECT_EQ(read(0x80), "-1 ####################");

    ASSERT_TRUE(ns.ip({"route", "add", "default", "via", "198.18.1.254"}));
    for (const row &r : with_route) {
        SCOPED_TRACE(r.len);
        EXPECT_EQ(read(r.len), "-1 " + r.expect);
    }
}

} // namespace

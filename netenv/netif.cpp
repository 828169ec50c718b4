// Interface ioctls, ethtool requests, the default gateway and the word checksum.
#include "netenv/netif.h"

#include "core/util.h"

#include "netenv/sockfd.h"

#include <algorithm>
#include <arpa/inet.h>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace
{

// A request for a name cut to what the kernel's field holds.
ifreq request_for(const char *interface)
{
    ifreq req{};
    if (interface)
        strncpy(req.ifr_name, interface, IFNAMSIZ - 1);
    return req;
}

// The readers refuse a name that would not fit, rather than ask about a cut one.
bool name_fits(const char *interface)
{
    return interface && strnlen(interface, IFNAMSIZ) < IFNAMSIZ;
}

sock_fd ioctl_socket()
{
    return sock_fd(socket(AF_INET, SOCK_DGRAM, 0));
}

in_addr sockaddr_in_of(const sockaddr &sa)
{
    sockaddr_in in{};
    memcpy(&in, &sa, sizeof in);
    return in.sin_addr;
}

void write_text(in_addr a, char *buf, int size)
{
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a, text, sizeof text);
    snprintf(buf, size_t(size > 0 ? size : 0), "%s", text);
}

// One address-reading ioctl on a name that fits; false on any failure.
bool read_addr(const char *interface, unsigned long request, in_addr *out)
{
    if (!name_fits(interface))
        return false;
    sock_fd s = ioctl_socket();
    ifreq req = request_for(interface);
    if (!s.ok() || ioctl(s.get(), request, &req) != 0)
        return false;
    *out = sockaddr_in_of(req.ifr_addr);
    return true;
}

} // namespace

int net_if_ethtool(const char *interface, void *record)
{
    sock_fd s = ioctl_socket();
    if (!s.ok())
        return 0;
    ifreq req = request_for(interface);
    req.ifr_data = static_cast<char *>(record);
    return ioctl(s.get(), SIOCETHTOOL, &req) == 0 ? 1 : 0;
}

uint32_t net_if_get_eeprom_len(const char *interface)
{
    ethtool_drvinfo info{};
    info.cmd = ETHTOOL_GDRVINFO;
    return net_if_ethtool(interface, &info) ? info.eedump_len : 0;
}

uint8_t net_if_get_link(const char *interface)
{
    ethtool_value v{};
    v.cmd = ETHTOOL_GLINK;
    return net_if_ethtool(interface, &v) ? uint8_t(v.data) : 255;
}

void net_if_write_eeprom(const char *interface, uint32_t magic, const uint8_t *hwaddr,
                         const uint8_t *data, int len)
{
    constexpr size_t hw_at = 1, hw_len = 6;
    auto n = size_t(uint8_t(len));
    // The address goes into data bytes 1 to 6: a shorter block has no room for it.
    if (n < hw_at + hw_len || !hwaddr || !data)
        return;
    auto *e = static_cast<ethtool_eeprom *>(calloc(1, sizeof(ethtool_eeprom) + n));
    if (!e)
        return;
    e->cmd = ETHTOOL_SEEPROM;
    e->magic = magic;
    e->offset = 0;
    e->len = uint32_t(n);
    auto *bytes = reinterpret_cast<uint8_t *>(e + 1);
    memcpy(bytes, data, n);
    memcpy(bytes + hw_at, hwaddr, hw_len);
    (void)net_if_ethtool(interface, e);
    free(e);
}

int net_if_set_hwaddr(const char *interface, const uint8_t *hwaddr)
{
    sock_fd s = ioctl_socket();
    if (!s.ok() || !hwaddr)
        return 0;
    ifreq req = request_for(interface);
    if (ioctl(s.get(), SIOCGIFHWADDR, &req) != 0 || req.ifr_hwaddr.sa_family != ARPHRD_ETHER)
        return 0;
    memcpy(req.ifr_hwaddr.sa_data, hwaddr, 6);
    return ioctl(s.get(), SIOCSIFHWADDR, &req) == 0 ? 1 : 0;
}

int net_if_set_up(const char *interface, uint8_t up)
{
    sock_fd s = ioctl_socket();
    if (!s.ok())
        return 0;
    ifreq req = request_for(interface);
    if (ioctl(s.get(), SIOCGIFFLAGS, &req) != 0)
        return 0;
    if (up)
        req.ifr_flags = short(req.ifr_flags | IFF_UP);
    else
        req.ifr_flags = short(req.ifr_flags & ~IFF_UP);
    return ioctl(s.get(), SIOCSIFFLAGS, &req) == 0 ? 1 : 0;
}

int net_if_get_addr_text(const char *interface, char *buf, int size)
{
    in_addr a{};
    if (!read_addr(interface, SIOCGIFADDR, &a) || a.s_addr == 0)
        return 0;
    write_text(a, buf, size);
    return 1;
}

int net_if_get_broadcast_text(const char *interface, char *buf, int size)
{
    in_addr a{};
    if (!read_addr(interface, SIOCGIFBRDADDR, &a))
        return 0;
    write_text(a, buf, size);
    return 1;
}

int net_if_get_network_text(const char *interface, char *buf, int size)
{
    in_addr addr{}, mask{};
    if (!read_addr(interface, SIOCGIFADDR, &addr) || !read_addr(interface, SIOCGIFNETMASK, &mask))
        return -1;
    in_addr net{};
    net.s_addr = addr.s_addr & mask.s_addr;
    write_text(net, buf, size);
    // Shifting out the mask's bits counts 32 minus its trailing zeros: the prefix length of
    // any contiguous mask.
    uint32_t m = ntohl(mask.s_addr);
    int prefix = 0;
    while (m != 0 && prefix < 32) {
        m <<= 1;
        prefix++;
    }
    return prefix;
}

int net_if_get_index(const char *interface)
{
    if (!name_fits(interface))
        return -1;
    sock_fd s = ioctl_socket();
    ifreq req = request_for(interface);
    if (!s.ok() || ioctl(s.get(), SIOCGIFINDEX, &req) != 0)
        return -1;
    return req.ifr_ifindex;
}

int net_get_default_gateway(char *buf, int len)
{
    // A length whose low byte reads negative has no room to speak of: nothing is written.
    auto n = int(int8_t(len));
    if (!buf || n <= 0)
        return -1;
    FILE *f = fopen("/proc/net/route", "r");
    if (!f)
        return -1;
    unsigned long gateway = 0;
    char line[256];
    while (fgets(line, sizeof line, f)) {
        char ifname[32], dest[32], gw[32];
        if (sscanf(line, "%31s\t%31s\t%31s", ifname, dest, gw) != 3)
            continue;
        if (strtoul(dest, nullptr, 16) == 0) {
            gateway = strtoul(gw, nullptr, 16);
            break;
        }
    }
    fclose(f);
    if (gateway == 0) {
        memset(buf, 0, size_t(n));
        return -1;
    }
    // The kernel prints the address as the 32-bit value in memory order.
    in_addr a{};
    a.s_addr = uint32_t(gateway);
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a, text, sizeof text);
    memcpy(buf, text, std::min(size_t(n), strlen(text) + 1));
    return -1;
}

uint16_t net_inet_checksum(const uint16_t *words, int count)
{
    if (count <= 0 || !words || count > INT_MAX / 2)
        return 0xFFFF;
    return uint16_t(util_inet_checksum_buf(words, count * 2));
}

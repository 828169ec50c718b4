// Echo probes and local route lookups. The probe writes its own IP header (IP_HDRINCL), so its
// TTL and source are ours; the kernel still fills in the total length and header checksum on
// the way out, which is why the total length may stand in host order.
#include "netenv/probe.h"

#include "core/util.h"
#include "netenv/sockfd.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>

namespace
{

constexpr int ECHO_LEN = 44;
constexpr int IP_HDR_LEN = 20;
constexpr int ICMP_LEN = ECHO_LEN - IP_HDR_LEN;

enum icmp_type : uint8_t {
    ICMP_ECHO_REPLY = 0,
    ICMP_UNREACHABLE = 3,
    ICMP_REDIRECT = 5,
    ICMP_ECHO_REQUEST = 8,
    ICMP_TIME_EXCEEDED = 11,
};

void store_checksum(uint8_t *at, const uint8_t *from, int len)
{
    memset(at, 0, 2);
    auto sum = uint16_t(util_inet_checksum_buf(from, len));
    memcpy(at, &sum, 2);
}

void build_echo(uint8_t *p, const in_addr &src, const in_addr &dst)
{
    memset(p, 0, ECHO_LEN);
    p[0] = 0x45;
    p[2] = ECHO_LEN; // low byte first; the kernel writes the real value
    p[4] = 0x10;     // identification 10000, low byte first
    p[5] = 0x27;
    p[9] = IPPROTO_ICMP;
    memcpy(p + 12, &src, 4);
    memcpy(p + 16, &dst, 4);
    p[IP_HDR_LEN] = ICMP_ECHO_REQUEST;
}

void stamp_echo(uint8_t *p, uint8_t ttl)
{
    p[8] = ttl;
    store_checksum(p + 10, p, IP_HDR_LEN);
    timeval now{};
    gettimeofday(&now, nullptr);
    int64_t sec = now.tv_sec, usec = now.tv_usec;
    memcpy(p + 28, &sec, 8);
    memcpy(p + 36, &usec, 8);
    auto seq = uint16_t(ttl + 1);
    p[26] = uint8_t(seq);
    p[27] = uint8_t(seq >> 8);
    store_checksum(p + 22, p + IP_HDR_LEN, ICMP_LEN);
}

// Errors after which waiting again cannot help; anything else (the time-out among them) only
// loses this TTL's answer.
bool wait_failed(int err)
{
    switch (err) {
    case EINTR:
    case EBADF:
    case ENOMEM:
    case EFAULT:
    case EINVAL:
    case ENOTSOCK:
    case ENOTCONN:
    case ECONNREFUSED:
        return true;
    default:
        return false;
    }
}

} // namespace

int icmp_probe(const char *interface, const char *source, const char *destination,
               uint8_t first_ttl, uint8_t ttl_limit)
{
    if (!source || !destination)
        return -1;
    sock_fd s(socket(AF_INET, SOCK_RAW, IPPROTO_ICMP));
    if (s.get() < 0)
        return -1;
    int on = 1;
    timeval wait{2, 500000};
    if (setsockopt(s.get(), IPPROTO_IP, IP_HDRINCL, &on, sizeof on) != 0 ||
        setsockopt(s.get(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) != 0)
        return -1;
    // Unbound is still a probe: the route decides the way out.
    if (interface)
        (void)setsockopt(s.get(), SOL_SOCKET, SO_BINDTODEVICE, interface,
                         socklen_t(strlen(interface)));

    sockaddr_in to{};
    to.sin_family = AF_INET;
    in_addr src{};
    inet_pton(AF_INET, source, &src);
    inet_pton(AF_INET, destination, &to.sin_addr);
    uint8_t packet[ECHO_LEN];
    build_echo(packet, src, to.sin_addr);
    uint8_t reply[64] = {};

    int count = 0;
    for (uint8_t ttl = first_ttl; ttl < ttl_limit; ttl++) {
        stamp_echo(packet, ttl);
        (void)sendto(s.get(), packet, ECHO_LEN, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
        sockaddr_in from{};
        socklen_t from_len = sizeof from;
        ssize_t n =
            recvfrom(s.get(), reply, ECHO_LEN, 0, reinterpret_cast<sockaddr *>(&from), &from_len);
        if (n < 0) {
            if (wait_failed(errno))
                return -1;
            continue;
        }
        uint8_t type = reply[IP_HDR_LEN];
        switch (type) {
        case ICMP_ECHO_REPLY:
            return count + 1;
        case ICMP_UNREACHABLE:
        case ICMP_REDIRECT:
            return count;
        case ICMP_TIME_EXCEEDED:
            count++;
            break;
        default:
            count++;
            fprintf(stderr, "ICMP TYPE %i", int(type));
            break;
        }
    }
    return count;
}

int icmp_probe_host(const char *destination, int socket_type, uint16_t port, uint8_t first_ttl,
                    uint8_t ttl_limit)
{
    sockaddr_in local{};
    if (!net_local_addr_for(&local, socket_type, destination, port))
        return -1;
    char name[17] = {};
    if (!net_if_name_for_addr(&local, name, sizeof name))
        return -1;
    char source[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &local.sin_addr, source, sizeof source);
    return icmp_probe(name, source, destination, first_ttl, ttl_limit);
}

int net_local_addr_for(sockaddr_in *out, int socket_type, const char *destination, uint16_t port)
{
    if (!out || !destination)
        return 0;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = inet_addr(destination);
    sock_fd s(socket(AF_INET, socket_type, 0));
    if (s.get() < 0)
        return 0;
    if (connect(s.get(), reinterpret_cast<sockaddr *>(&to), sizeof to) != 0)
        return 0;
    socklen_t len = sizeof *out;
    (void)getsockname(s.get(), reinterpret_cast<sockaddr *>(out), &len);
    return 1;
}

int net_if_name_for_addr(const sockaddr_in *addr, char *name, int len)
{
    ifaddrs *list = nullptr;
    if (!addr || getifaddrs(&list) != 0)
        return 0;
    for (ifaddrs *i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != addr->sin_family ||
            i->ifa_addr->sa_family != AF_INET)
            continue;
        auto *in = reinterpret_cast<const sockaddr_in *>(i->ifa_addr);
        if (in->sin_addr.s_addr != addr->sin_addr.s_addr)
            continue;
        if (name && len > 0)
            strncpy(name, i->ifa_name, size_t(len));
        break;
    }
    freeifaddrs(list);
    return 1;
}

int net_if_get_hwaddr(const char *interface, uint8_t *out)
{
    if (!interface)
        return 0;
    ifreq req{};
    strncpy(req.ifr_name, interface, IFNAMSIZ - 1);
    sock_fd s(socket(AF_INET, SOCK_DGRAM, 0));
    if (s.get() < 0 || ioctl(s.get(), SIOCGIFHWADDR, &req) != 0)
        return 0;
    if (out && req.ifr_hwaddr.sa_family == ARPHRD_ETHER)
        memcpy(out, req.ifr_hwaddr.sa_data, 6);
    return 1;
}

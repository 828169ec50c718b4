// Reachability of an IPv4 address and the local side of a route: ICMP echo probes with a
// rising time to live, the local address toward a destination, the interface that holds an
// address and an interface's Ethernet address.
//
// No shared state: every call opens and closes its own socket. A raw ICMP socket sees every
// ICMP message that reaches the machine, so probes running at once count each other's replies.
// The probe needs root for its raw socket; without it the result is -1.
#pragma once

#include <cstdint>
#include <netinet/in.h>

// Echo requests from source to destination with TTL first_ttl up to ttl_limit - 1. Counts
// echo replies (and stops), time-exceeded messages and unexpected types; a destination
// unreachable or redirect stops the count. -1 when no probe could be made or a wait failed.
int icmp_probe(const char *interface, const char *source, const char *destination,
               uint8_t first_ttl, uint8_t ttl_limit);
// icmp_probe from the address and interface that the routing table picks toward the
// destination. With SOCK_STREAM that lookup is a full TCP connect to the port: a port that
// refuses gives -1 before any ICMP is sent.
int icmp_probe_host(const char *destination, int socket_type, uint16_t port, uint8_t first_ttl,
                    uint8_t ttl_limit);

// The local address of a socket of that type connected to destination:port; 1 or 0.
int net_local_addr_for(sockaddr_in *out, int socket_type, const char *destination, uint16_t port);
// The name of the interface holding addr, if any (name is written only then). 0 only when the
// interface list cannot be read.
int net_if_name_for_addr(const sockaddr_in *addr, char *name, int len);
// 1 when the interface exists; out gets its address only for an Ethernet interface.
int net_if_get_hwaddr(const char *interface, uint8_t *out);

// Resolver for the service's addresses: SRV records under the host label and service domain,
// the A records of every target they name, and the host label's own A records as a fallback.
//
// A resolver owns one c-ares channel, remade for every lookup, server count and configuration
// write so that the system's resolver configuration is read anew each time. Every query runs
// on the calling thread, driven by dns_run_channel until none is left.
// Locking: the resolver's own lock guards all of its fields; a lookup holds it across the whole
// DNS exchange, so the reply callbacks work on the target table without taking it again.
// Resolver before a table bucket. A target's cursor takes no lock: one caller at a time.
#pragma once

#include "core/tbl.h"

#include <ares.h>
#include <cstdint>

struct dns_addr {
    char *text; // dotted IPv4 text
    dns_addr *next;
};

struct dns_target {
    char *host;       // SRV target name, or the canonical name of the fallback reply
    dns_addr *addrs;  // the chain holds one reference to each element
    dns_addr *cursor; // last address handed out, with a reference of its own
    uint16_t port;
    uint16_t priority; // copied from the SRV record; nothing reads them
    uint16_t weight;
};

struct dns_resolver {
    ares_channel channel;
    tbl_table *targets; // one bucket, default key: the order carries no meaning
    tbl_iter *target_iter;
    uint16_t default_port; // the fallback target's port
    char *domain;
    char *label;
};

[[nodiscard]] dns_resolver *dns_resolver_create(const char *label, const char *domain,
                                                uint16_t port);
void dns_resolver_destroy(void *resolver);
// Replaces the names without locking; dns_resolver_update is the locked form.
void dns_resolver_set_names(dns_resolver *r, const char *label, const char *domain, uint16_t port);
void dns_resolver_update(dns_resolver *r, const char *label, const char *domain, uint16_t port);

// Replaces the targets with those found for service.proto.label.domain (or the fallback host
// label.domain with the default port). Reports nothing: the caller walks the targets.
void dns_lookup_service(dns_resolver *r, const char *service, const char *proto);
void dns_run_channel(ares_channel channel);

// Query callbacks. Each reads the answer only within the len bytes that c-ares hands over.
// dns_target_a_reply_cb also drops the reference to the target that its query held.
void dns_srv_reply_cb(void *resolver, int status, int timeouts, unsigned char *answer, int len);
void dns_target_a_reply_cb(void *target, int status, int timeouts, unsigned char *answer, int len);
void dns_host_a_reply_cb(void *resolver, int status, int timeouts, unsigned char *answer, int len);

// A pass over the targets: each of the last lookup's targets once, in no particular order.
// Each target comes retained for the caller. After the NULL that ends a pass, the next call
// starts a new one.
[[nodiscard]] dns_target *dns_first_target(dns_resolver *r);
[[nodiscard]] dns_target *dns_next_target(dns_resolver *r);

// Writes the target's next address into buf (at most len - 2 characters) and its port into
// *port, then probes it: 1 it answered, 0 it did not, -1 no further address (buf zeroed,
// *port 0; the call after that starts again at the first address). Without interface and
// source the probe goes through icmp_probe_host with a TCP connect to the port first.
int dns_target_next_address(dns_target *t, const char *interface, const char *source,
                            uint8_t first_ttl, uint8_t ttl_limit, char *buf, int len,
                            uint16_t *port);

// The number of configured IPv4 name servers that answer an echo probe.
int dns_count_reachable_servers(dns_resolver *r, const char *interface, const char *source,
                                uint8_t first_ttl, uint8_t ttl_limit);

void dns_target_destroy(void *target);
void dns_addr_destroy(void *addr);

// Rewrites /etc/resolv.conf from the configuration that c-ares reads now, adding the two
// given name servers and a fixed public one when missing. Always 0.
int dns_write_resolv_conf(dns_resolver *r, const char *ns1, const char *ns2);

// The service's name and address: the link's label, its resolver, the name-server check and the
// choice of a target.
//
// The resolver slot is filled once under a mutex of its own and never cleared. Searches run one
// at a time under the search lock (never the link's): each starts with a fresh lookup and holds
// its own target.
#include "link/link.h"
#include "link/link_impl.h"

#include "core/log.h"
#include "core/obj.h"
#include "netenv/dns.h"
#include "netenv/probe.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

constexpr const char *SERVICE = "_qarv4";
constexpr const char *PROTO = "_tcp";
constexpr uint8_t FIRST_TTL = 5;
constexpr uint8_t TTL_LIMIT = 10;
constexpr int ADDRESS_BUF = 17;

std::atomic<dns_resolver *> resolver_slot{nullptr};
std::mutex resolver_mutex;

std::mutex search_mutex;

// Whether the held address still answers its probe.
bool held_address_answers(link_state *link, const char *address, const char *interface,
                          const char *source, uint8_t first_ttl, uint8_t ttl_limit)
{
    if (interface && source)
        return icmp_probe(interface, source, address, first_ttl, ttl_limit) == 1;
    uint16_t port;
    {
        obj_guard g(link);
        port = link->port;
    }
    return icmp_probe_host(address, SOCK_STREAM, port, first_ttl, ttl_limit) == 1;
}

} // namespace

dns_resolver *link_resolver_peek()
{
    return resolver_slot.load(std::memory_order_acquire);
}

dns_resolver *link_resolver_get_or_create(const char *label, const char *domain, uint16_t port)
{
    dns_resolver *r = link_resolver_peek();
    if (!r) {
        std::lock_guard<std::mutex> g(resolver_mutex);
        r = resolver_slot.load(std::memory_order_relaxed);
        if (!r) {
            r = dns_resolver_create(label, domain, port);
            if (!r)
                return nullptr;
            resolver_slot.store(r, std::memory_order_release);
        }
    }
    return obj_retain(r) > 0 ? r : nullptr;
}

dns_resolver *link_resolver_get()
{
    return link_resolver_get_or_create(nullptr, nullptr, 0);
}

void link_set_label(const char *label, const char *domain, uint16_t port)
{
    {
        obj_ref<link_state> link = obj_ref<link_state>::adopt(link_get());
        if (!link)
            return;
        obj_guard g(link.get());
        free(link->address);
        link->address = nullptr;
        char *copy = label ? strdup(label) : nullptr;
        free(link->label);
        link->label = copy;
    }
    if (domain && port != 0)
        link_configure_server(label, domain, port);
}

int link_has_label(const char *label)
{
    obj_ref<link_state> link = obj_ref<link_state>::adopt(link_get());
    if (!link || !label)
        return 0;
    obj_guard g(link.get());
    return link->label && strcmp(link->label, label) == 0 ? 1 : 0;
}

void link_configure_server(const char *label, const char *domain, uint16_t port)
{
    std::lock_guard<std::mutex> g(resolver_mutex);
    if (dns_resolver *r = resolver_slot.load(std::memory_order_relaxed)) {
        dns_resolver_update(r, label, domain, port);
        return;
    }
    if (dns_resolver *r = dns_resolver_create(label, domain, port))
        resolver_slot.store(r, std::memory_order_release);
}

void link_apply_dns_config(int mode, const char *ns1, const char *ns2)
{
    obj_ref<dns_resolver> r = obj_ref<dns_resolver>::adopt(link_resolver_get());
    if (r && mode == 2)
        (void)dns_write_resolv_conf(r.get(), ns1, ns2);
}

int link_resolve_server(dns_resolver *resolver, link_state *link)
{
    if (resolver && getuid() == 0 &&
        dns_count_reachable_servers(resolver, nullptr, nullptr, FIRST_TTL, TTL_LIMIT) == 0)
        log_message("DNS Server fail\n");
    return link_choose_address(resolver, link, nullptr, nullptr, FIRST_TTL, TTL_LIMIT, 1);
}

int link_choose_address(dns_resolver *resolver, link_state *link, const char *interface,
                        const char *source, uint8_t first_ttl, uint8_t ttl_limit, int log)
{
    const bool root = getuid() == 0;
    char address[ADDRESS_BUF];
    if (link_get_address(link, address, ADDRESS_BUF)) {
        if (!root)
            return 1;
        if (held_address_answers(link, address, interface, source, first_ttl, ttl_limit))
            return 1;
    }

    std::lock_guard<std::mutex> g(search_mutex);
    if (!resolver)
        return -1;
    dns_lookup_service(resolver, SERVICE, PROTO);
    obj_ref<dns_target> target = obj_ref<dns_target>::adopt(dns_first_target(resolver));
    if (!target)
        return -1;

    char text[ADDRESS_BUF] = {};
    uint16_t port = 0;
    bool seen = false;
    for (;;) {
        int r = dns_target_next_address(target.get(), interface, source, first_ttl, ttl_limit, text,
                                        ADDRESS_BUF, &port);
        const bool usable = port != 0 && text[0] != '\0';
        if (r >= 0 && !seen) {
            // The first target with an address stands in until one answers.
            seen = true;
            if (usable)
                link_set_address(link, text, port, source, log);
        } else if (r == 1) {
            if (!usable)
                return 1;
            link_set_address(link, text, port, source, log);
        }
        if (!root || r == 1)
            return 1;
        target.reset();
        target = obj_ref<dns_target>::adopt(dns_next_target(resolver));
        if (!target)
            return r == 0 ? 0 : 1;
    }
}

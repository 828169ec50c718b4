// Resolver: the lookup, its reply callbacks, the channel loop and the passes over the targets.
//
// The callbacks run inside dns_run_channel while the lookup holds the resolver's lock. They read
// the answer only through c-ares' parsers, bounded by the length c-ares hands over, and take
// addresses from a hostent only when they are IPv4-sized.
#include "netenv/dns.h"

#include "netenv/dns_channel.h"
#include "netenv/probe.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

namespace
{

constexpr int NAME_BUF = 128;
constexpr size_t NAME_LIMIT = NAME_BUF - 1; // at most 126 characters go out
constexpr int CLASS_IN = 1;
constexpr int TYPE_A = 1;
constexpr int TYPE_SRV = 33;

char *copy_text(const char *s)
{
    return s ? strdup(s) : nullptr;
}

// Copies before freeing, so a field may be replaced by its own text.
void replace_text(char **field, const char *s)
{
    char *c = copy_text(s);
    free(*field);
    *field = c;
}

void destroy_channel(dns_resolver *r)
{
    if (r->channel) {
        ares_destroy(r->channel);
        r->channel = nullptr;
    }
}

void drop_iter(dns_resolver *r)
{
    if (r->target_iter) {
        obj_release(r->target_iter);
        r->target_iter = nullptr;
    }
}

dns_target *new_target(const char *host, uint16_t port)
{
    auto *t = static_cast<dns_target *>(obj_alloc(sizeof(dns_target), dns_target_destroy));
    if (t) {
        t->host = copy_text(host);
        t->port = port;
    }
    return t;
}

hostent *parse_a(const unsigned char *answer, int len)
{
    if (!answer || len <= 0)
        return nullptr;
    hostent *h = nullptr;
    if (ares_parse_a_reply(answer, len, &h, nullptr, nullptr) != ARES_SUCCESS) {
        if (h)
            ares_free_hostent(h);
        return nullptr;
    }
    return h;
}

// Appends the hostent's addresses to the target's chain in reply order.
void append_addresses(dns_target *t, const hostent *h)
{
    if (h->h_addrtype != AF_INET || h->h_length != int(sizeof(in_addr)) || !h->h_addr_list)
        return;
    dns_addr **tail = &t->addrs;
    while (*tail)
        tail = &(*tail)->next;
    for (char **p = h->h_addr_list; *p; p++) {
        auto *a = static_cast<dns_addr *>(obj_alloc(sizeof(dns_addr), dns_addr_destroy));
        if (!a)
            continue;
        in_addr in{};
        memcpy(&in, *p, sizeof in);
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &in, text, sizeof text);
        a->text = copy_text(text);
        *tail = a;
        tail = &a->next;
    }
}

// Resolver locked.
dns_target *first_target_locked(dns_resolver *r)
{
    if (!r->targets)
        return nullptr;
    drop_iter(r);
    r->target_iter = tbl_iter_create(r->targets);
    if (!r->target_iter)
        return nullptr;
    auto *t = static_cast<dns_target *>(tbl_iter_next(r->target_iter));
    if (!t)
        drop_iter(r);
    return t;
}

// Moves the cursor on and returns it; null at the end of the chain, and the cursor is then
// none, so the next call starts at the first address again.
dns_addr *advance_cursor(dns_target *t)
{
    dns_addr *next = t->cursor ? t->cursor->next : t->addrs;
    if (t->cursor) {
        obj_release(t->cursor);
        t->cursor = nullptr;
    }
    if (!next || obj_retain(next) == 0)
        return nullptr;
    t->cursor = next;
    return next;
}

int probe(const char *interface, const char *source, const char *address, int socket_type,
          uint16_t port, uint8_t first_ttl, uint8_t ttl_limit)
{
    if (interface && source)
        return icmp_probe(interface, source, address, first_ttl, ttl_limit);
    return icmp_probe_host(address, socket_type, port, first_ttl, ttl_limit);
}

} // namespace

bool dns_renew_channel(dns_resolver *r)
{
    destroy_channel(r);
    ares_channel ch = nullptr;
    if (ares_init(&ch) != ARES_SUCCESS)
        return false;
    r->channel = ch;
    return true;
}

dns_resolver *dns_resolver_create(const char *label, const char *domain, uint16_t port)
{
    auto *r = static_cast<dns_resolver *>(obj_alloc(sizeof(dns_resolver), dns_resolver_destroy));
    if (!r)
        return nullptr;
    ares_library_init(ARES_LIB_INIT_ALL);
    r->targets = tbl_create(0, nullptr);
    dns_resolver_set_names(r, label, domain, port);
    return r;
}

void dns_resolver_destroy(void *p)
{
    auto *r = static_cast<dns_resolver *>(p);
    obj_release(r->targets);
    r->targets = nullptr;
    drop_iter(r);
    destroy_channel(r);
    free(r->label);
    r->label = nullptr;
    free(r->domain);
    r->domain = nullptr;
}

void dns_resolver_set_names(dns_resolver *r, const char *label, const char *domain, uint16_t port)
{
    if (!r)
        return;
    replace_text(&r->label, label);
    replace_text(&r->domain, domain);
    r->default_port = port;
}

void dns_resolver_update(dns_resolver *r, const char *label, const char *domain, uint16_t port)
{
    auto hold = obj_ref<dns_resolver>::retain(r);
    if (!hold)
        return;
    obj_guard g(r);
    dns_resolver_set_names(r, label, domain, port);
}

void dns_lookup_service(dns_resolver *r, const char *service, const char *proto)
{
    auto hold = obj_ref<dns_resolver>::retain(r);
    if (!hold || !service || !proto)
        return;
    obj_guard g(r);
    if (!r->label || !r->domain)
        return;
    char service_name[NAME_BUF], host_name[NAME_BUF];
    snprintf(service_name, NAME_LIMIT, "%s.%s.%s.%s", service, proto, r->label, r->domain);
    snprintf(host_name, NAME_LIMIT, "%s.%s", r->label, r->domain);

    if (!dns_renew_channel(r))
        return;
    drop_iter(r);
    obj_release(r->targets);
    r->targets = tbl_create(0, nullptr);

    ares_query(r->channel, service_name, CLASS_IN, TYPE_SRV, dns_srv_reply_cb, r);
    dns_run_channel(r->channel);
    if (tbl_count(r->targets) == 0) {
        ares_query(r->channel, host_name, CLASS_IN, TYPE_A, dns_host_a_reply_cb, r);
        dns_run_channel(r->channel);
    }
}

// poll rather than select: c-ares' sockets may sit at any descriptor number, also past
// FD_SETSIZE in a process with many open files. ares_getsock reports up to 16 sockets, more
// than the name servers of any sane configuration open at once.
void dns_run_channel(ares_channel channel)
{
    if (!channel)
        return;
    for (;;) {
        ares_socket_t socks[ARES_GETSOCK_MAXNUM];
        int bits = ares_getsock(channel, socks, ARES_GETSOCK_MAXNUM);
        pollfd fds[ARES_GETSOCK_MAXNUM];
        nfds_t n = 0;
        for (int i = 0; i < ARES_GETSOCK_MAXNUM; i++) {
            short events = 0;
            if (ARES_GETSOCK_READABLE(bits, i))
                events |= POLLIN;
            if (ARES_GETSOCK_WRITABLE(bits, i))
                events |= POLLOUT;
            if (events)
                fds[n++] = pollfd{socks[i], events, 0};
        }
        timeval tv{};
        timeval *wait = ares_timeout(channel, nullptr, &tv);
        // No socket, or sockets kept open with no query left: nothing more will come.
        if (n == 0 || !wait)
            return;
        int ms = int(wait->tv_sec * 1000 + (wait->tv_usec + 999) / 1000);
        int ready = poll(fds, n, ms);
        if (ready < 0)
            continue;
        if (ready == 0) {
            ares_process_fd(channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD); // resends, expiry
            continue;
        }
        for (nfds_t i = 0; i < n; i++) {
            short ev = fds[i].revents;
            if (!ev)
                continue;
            ares_socket_t rd = ev & (POLLIN | POLLERR | POLLHUP) ? fds[i].fd : ARES_SOCKET_BAD;
            ares_socket_t wr = ev & POLLOUT ? fds[i].fd : ARES_SOCKET_BAD;
            ares_process_fd(channel, rd, wr);
        }
    }
}

void dns_srv_reply_cb(void *arg, int, int, unsigned char *answer, int len)
{
    auto *r = static_cast<dns_resolver *>(arg);
    ares_srv_reply *list = nullptr;
    if (!r || !answer || len <= 0 || ares_parse_srv_reply(answer, len, &list) != ARES_SUCCESS)
        return;
    for (ares_srv_reply *s = list; s; s = s->next) {
        dns_target *t = new_target(s->host, s->port);
        if (!t)
            continue;
        t->priority = s->priority;
        t->weight = s->weight;
        if (!tbl_add(r->targets, t) || !r->channel || !t->host) {
            obj_release(t);
            continue;
        }
        // The query keeps the creation reference until its reply has come, so a target
        // stays valid for the callback even once the table has let it go.
        ares_query(r->channel, t->host, CLASS_IN, TYPE_A, dns_target_a_reply_cb, t);
    }
    ares_free_data(list);
}

void dns_target_a_reply_cb(void *arg, int, int, unsigned char *answer, int len)
{
    auto *t = static_cast<dns_target *>(arg);
    if (hostent *h = parse_a(answer, len)) {
        append_addresses(t, h);
        ares_free_hostent(h);
    }
    obj_release(t);
}

void dns_host_a_reply_cb(void *arg, int, int, unsigned char *answer, int len)
{
    auto *r = static_cast<dns_resolver *>(arg);
    hostent *h = parse_a(answer, len);
    if (!h)
        return;
    if (dns_target *t = r ? new_target(h->h_name, r->default_port) : nullptr) {
        append_addresses(t, h);
        // A fallback without addresses would only be a name: it is not kept.
        if (t->addrs)
            (void)tbl_add(r->targets, t);
        obj_release(t);
    }
    ares_free_hostent(h);
}

dns_target *dns_first_target(dns_resolver *r)
{
    auto hold = obj_ref<dns_resolver>::retain(r);
    if (!hold)
        return nullptr;
    obj_guard g(r);
    return first_target_locked(r);
}

dns_target *dns_next_target(dns_resolver *r)
{
    auto hold = obj_ref<dns_resolver>::retain(r);
    if (!hold)
        return nullptr;
    obj_guard g(r);
    if (!r->targets)
        return nullptr;
    if (!r->target_iter)
        return first_target_locked(r);
    auto *t = static_cast<dns_target *>(tbl_iter_next(r->target_iter));
    if (!t)
        drop_iter(r);
    return t;
}

int dns_target_next_address(dns_target *t, const char *interface, const char *source,
                            uint8_t first_ttl, uint8_t ttl_limit, char *buf, int len,
                            uint16_t *port)
{
    dns_addr *a = t ? advance_cursor(t) : nullptr;
    if (!a || !a->text) {
        if (buf && len > 0)
            memset(buf, 0, size_t(len));
        if (port)
            *port = 0;
        return -1;
    }
    // len - 1 as the limit keeps the last byte for the caller; below 2 no text fits.
    if (buf && len >= 2)
        snprintf(buf, size_t(len - 1), "%s", a->text);
    if (port)
        *port = t->port;
    int r = probe(interface, source, a->text, SOCK_STREAM, t->port, first_ttl, ttl_limit);
    return r > 0 ? 1 : 0;
}

int dns_count_reachable_servers(dns_resolver *r, const char *interface, const char *source,
                                uint8_t first_ttl, uint8_t ttl_limit)
{
    auto hold = obj_ref<dns_resolver>::retain(r);
    if (!hold)
        return 0;
    ares_addr_node *servers = nullptr;
    {
        obj_guard g(r);
        if (!dns_renew_channel(r))
            return 0;
        if (ares_get_servers(r->channel, &servers) != ARES_SUCCESS) {
            if (servers)
                ares_free_data(servers);
            return 0;
        }
    }
    hold.reset(); // the probes take seconds: they run on the list alone
    int count = 0;
    for (ares_addr_node *s = servers; s; s = s->next) {
        if (s->family != AF_INET)
            continue;
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &s->addr.addr4, text, sizeof text);
        if (probe(interface, source, text, SOCK_DGRAM, 53, first_ttl, ttl_limit) > 0)
            count++;
    }
    ares_free_data(servers);
    return count;
}

void dns_target_destroy(void *p)
{
    auto *t = static_cast<dns_target *>(p);
    free(t->host);
    t->host = nullptr;
    if (t->cursor) {
        obj_release(t->cursor);
        t->cursor = nullptr;
    }
    // Iteratively, so a long chain cannot deepen the stack.
    dns_addr *a = t->addrs;
    t->addrs = nullptr;
    while (a) {
        dns_addr *next = a->next;
        a->next = nullptr;
        obj_release(a);
        a = next;
    }
}

void dns_addr_destroy(void *p)
{
    auto *a = static_cast<dns_addr *>(p);
    a->next = nullptr;
    free(a->text);
    a->text = nullptr;
}

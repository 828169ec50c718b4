// Resolver-configuration writer: /etc/resolv.conf from what c-ares reads of the current
// configuration, with the caller's two name servers and a public one added when missing.
// The resolver's lock covers only the channel's renewal; the file is written without it.
#include "netenv/dns.h"

#include "netenv/dns_channel.h"

#include <arpa/inet.h>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace
{

// Google Public DNS: reachable from nearly anywhere, so a machine whose own servers fail
// still resolves.
constexpr const char *PUBLIC_RESOLVER = "8.8.8.8";
constexpr const char *LOOPBACK = "127.0.0.1";

// A file that could not be opened takes no lines; the rest of the work still runs.
void put(FILE *f, const char *fmt, ...)
{
    if (!f)
        return;
    va_list ap;
    va_start(ap, fmt);
    vfprintf(f, fmt, ap);
    va_end(ap);
}

void write_domain(FILE *f, const ares_options &o)
{
    char current[128] = {};
    if (getdomainname(current, sizeof current - 1) != 0)
        return;
    if (o.ndomains == 1) {
        const char *d = o.domains[0];
        if (current[0] == '\0' || strcmp(current, d) == 0 || setdomainname(d, strlen(d)) == 0)
            put(f, "domain %s\n", d);
    } else if (o.ndomains > 1) {
        put(f, "search");
        for (int i = o.ndomains - 1; i >= 0; i--)
            put(f, " %s", o.domains[i]);
        put(f, "\n");
    }
}

void write_servers(FILE *f, const ares_options &o, const char *ns1, const char *ns2)
{
    const char *wanted[] = {ns1, ns2, PUBLIC_RESOLVER};
    bool written[3] = {};
    for (int i = 0; i < o.nservers; i++) {
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &o.servers[i], text, sizeof text);
        if (strcmp(text, LOOPBACK) == 0)
            continue;
        put(f, "nameserver %s\n", text);
        for (int k = 0; k < 3; k++)
            written[k] = written[k] || strcmp(text, wanted[k]) == 0;
    }
    for (int k = 0; k < 3; k++)
        if (!written[k])
            put(f, "nameserver %s\n", wanted[k]);
}

} // namespace

int dns_write_resolv_conf(dns_resolver *r, const char *ns1, const char *ns2)
{
    auto hold = obj_ref<dns_resolver>::retain(r);
    if (!hold || !ns1 || !ns2)
        return 0;
    ares_options opts{};
    int mask = 0;
    {
        obj_guard g(r);
        if (!dns_renew_channel(r) || ares_save_options(r->channel, &opts, &mask) != ARES_SUCCESS)
            return 0;
    }
    hold.reset();

    int fd = open("/etc/resolv.conf", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    FILE *f = fd >= 0 ? fdopen(fd, "w") : nullptr;
    if (fd >= 0 && !f)
        close(fd);
    write_domain(f, opts);
    write_servers(f, opts, ns1, ns2);
    if (f)
        fclose(f);
    ares_destroy_options(&opts);
    return 0;
}

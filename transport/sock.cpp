// Socket records and opening.
//
// A record holds descriptor -1 until socket() or accept() has really given it one: a zeroed
// record would otherwise close descriptor 0, which belongs to somebody else, when an attempt
// fails. A TLS context handed to sock_open passes only to the record that is returned.
#include "transport/sock.h"

#include "core/obj.h"
#include "core/tbl.h"
#include "transport/tls.h"

#include <arpa/inet.h>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

namespace
{

sock_socket *sock_alloc()
{
    auto *s = static_cast<sock_socket *>(obj_alloc(sizeof(sock_socket), sock_destroy));
    if (s)
        s->descriptor = -1;
    return s;
}

void set_int_option(int fd, int level, int name, int value)
{
    (void)setsockopt(fd, level, name, &value, sizeof(value));
}

void set_timeout_option(int fd, int name, int seconds)
{
    timeval tv{seconds, 0};
    if (setsockopt(fd, SOL_SOCKET, name, &tv, sizeof(tv)) < 0)
        perror("setsockopt failed\n");
}

// Binds and listens (server) or connects (client) one attempt; true when the socket is ready.
bool bind_or_connect(sock_socket *s, const addrinfo *ai, int protocol, int server, int backlog,
                     int timeout)
{
    int fd = s->descriptor;
    if (server) {
        if (bind(fd, ai->ai_addr, ai->ai_addrlen) != 0)
            return false;
        s->flags |= SOCK_FLAG_BOUND;
        memcpy(&s->address, ai->ai_addr,
               ai->ai_addrlen < sizeof(s->address) ? ai->ai_addrlen : sizeof(s->address));
        if (s->type == SOCK_STREAM || s->type == SOCK_SEQPACKET)
            (void)listen(fd, backlog);
        return true;
    }
    if (connect(fd, ai->ai_addr, ai->ai_addrlen) != 0)
        return false;
    socklen_t len = sizeof(s->address);
    (void)getsockname(fd, reinterpret_cast<sockaddr *>(&s->address), &len);
    if (protocol == IPPROTO_TCP && timeout != 0) {
        long long ms = timeout * 1000LL;
        int value = ms > INT_MAX ? INT_MAX : ms < INT_MIN ? INT_MIN : int(ms);
        if (setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &value, sizeof(value)) < 0)
            perror("setsockopt failed\n");
    }
    return true;
}

} // namespace

sock_socket *sock_create(int family, int type, int protocol, tls_ctx *tls)
{
    sock_socket *s = sock_alloc();
    if (!s)
        return nullptr;
    s->descriptor = socket(family, type, protocol);
    if (s->descriptor < 0) {
        s->descriptor = -1;
        obj_release(s);
        return nullptr;
    }
    s->tls = tls;
    s->protocol = protocol;
    s->type = type;
    return s;
}

sock_socket *sock_open(int family, int type, int protocol, const char *host, const char *service,
                       tls_ctx *tls, int server, int backlog, int timeout, int broadcast)
{
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = type;
    hints.ai_protocol = protocol;
    addrinfo *list = nullptr;
    if (getaddrinfo(host, service, &hints, &list) != 0) {
        if (list)
            freeaddrinfo(list);
        return nullptr;
    }
    sock_socket *s = nullptr;
    for (const addrinfo *ai = list; ai; ai = ai->ai_next) {
        s = sock_create(ai->ai_family, ai->ai_socktype, ai->ai_protocol, tls);
        if (!s)
            continue;
        int fd = s->descriptor;
        if (server) {
            set_int_option(fd, SOL_SOCKET, SO_REUSEADDR, 1);
            set_int_option(fd, SOL_SOCKET, SO_REUSEPORT, 1);
        }
        if (broadcast)
            set_int_option(fd, SOL_SOCKET, SO_BROADCAST, 1);
        if (timeout != 0) {
            set_timeout_option(fd, SO_RCVTIMEO, timeout);
            set_timeout_option(fd, SO_SNDTIMEO, timeout);
        }
        if (bind_or_connect(s, ai, protocol, server, backlog, timeout))
            break;
        s->tls = nullptr; // stays with the caller, or with the record that is returned
        obj_release(s);
        s = nullptr;
    }
    freeaddrinfo(list);
    if (s) {
        int fl = fcntl(s->descriptor, F_GETFL);
        (void)fcntl(s->descriptor, F_SETFL, fl | O_NONBLOCK);
    }
    return s;
}

sock_socket *sock_open_client(int family, int type, int protocol, const char *host,
                              const char *service, tls_ctx *tls, int timeout)
{
    return sock_open(family, type, protocol, host, service, tls, 0, 0, timeout, 0);
}

sock_socket *sock_open_udp_client(const char *host, const char *service, tls_ctx *tls, int timeout,
                                  int broadcast)
{
    return sock_open(AF_UNSPEC, SOCK_DGRAM, IPPROTO_UDP, host, service, tls, 0, 0, timeout,
                     broadcast);
}

sock_socket *sock_open_tcp_client(const char *host, const char *service, tls_ctx *tls, int timeout)
{
    return sock_open(AF_UNSPEC, SOCK_STREAM, IPPROTO_TCP, host, service, tls, 0, 0, timeout, 0);
}

sock_socket *sock_open_server(int family, int type, int protocol, const char *host,
                              const char *service, tls_ctx *tls, int backlog, int timeout)
{
    return sock_open(family, type, protocol, host, service, tls, 1, backlog, timeout, 0);
}

sock_socket *sock_open_udp_server(const char *host, const char *service, tls_ctx *tls, int timeout)
{
    return sock_open(AF_UNSPEC, SOCK_DGRAM, IPPROTO_UDP, host, service, tls, 1, 0, timeout, 0);
}

sock_socket *sock_open_tcp_server(const char *host, const char *service, tls_ctx *tls, int backlog,
                                  int timeout)
{
    return sock_open(AF_UNSPEC, SOCK_STREAM, IPPROTO_TCP, host, service, tls, 1, backlog, timeout,
                     0);
}

sock_socket *sock_accept(sock_socket *listener)
{
    if (!listener)
        return nullptr;
    sock_socket *s = sock_alloc();
    if (!s)
        return nullptr;
    obj_guard g(listener);
    socklen_t len = sizeof(s->address);
    int fd = accept(listener->descriptor, reinterpret_cast<sockaddr *>(&s->address), &len);
    if (fd < 0) {
        obj_release(s);
        return nullptr;
    }
    s->descriptor = fd;
    s->protocol = listener->protocol;
    s->type = listener->type;
    if (listener->tls)
        tls_attach_accepted(s, listener->tls);
    return s;
}

void sock_request_close(sock_socket *s)
{
    if (!s)
        return;
    obj_guard g(s);
    s->flags |= SOCK_FLAG_CLOSED;
}

void sock_destroy(void *p)
{
    auto *s = static_cast<sock_socket *>(p);
    if (s->tls)
        obj_release(s->tls);
    s->tls = nullptr;
    if (sock_socket *parent = s->parent) {
        tbl_table *siblings = nullptr;
        obj_lock(parent);
        if (parent->children && obj_retain(parent->children) > 0)
            siblings = parent->children;
        obj_unlock(parent);
        if (siblings) {
            tbl_remove(siblings, s);
            obj_release(siblings);
        }
        s->parent = nullptr;
        obj_release(parent);
    }
    if (s->children)
        obj_release(s->children);
    s->children = nullptr;
    if (s->descriptor >= 0)
        close(s->descriptor);
    s->descriptor = -1;
    if (s->thread)
        obj_release(s->thread);
    s->thread = nullptr;
}

uint32_t sock_key_cb(const void *p, int)
{
    // A record's first field is its descriptor, and a lookup key is a descriptor.
    return uint32_t(*static_cast<const int *>(p));
}

char *sock_addr_to_text(const struct sockaddr *address, char *buf, int size)
{
    if (!buf)
        return nullptr;
    if (!address || size < 0)
        return buf;
    if (address->sa_family == AF_INET)
        (void)inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(address)->sin_addr, buf,
                        socklen_t(size));
    else if (address->sa_family == AF_INET6)
        (void)inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(address)->sin6_addr, buf,
                        socklen_t(size));
    return buf;
}

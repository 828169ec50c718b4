#include "transport/sock.h"

#include "net_util.h"
#include "transport/tls.h"

#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <sys/un.h>

namespace
{

using net::raw_socket;

int int_option(int fd, int level, int name)
{
    int v = -1;
    socklen_t len = sizeof(v);
    getsockopt(fd, level, name, &v, &len);
    return v;
}

long timeout_option(int fd, int name)
{
    timeval tv{-1, -1};
    socklen_t len = sizeof(tv);
    getsockopt(fd, SOL_SOCKET, name, &tv, &len);
    return tv.tv_sec * 1000000L + tv.tv_usec;
}

bool non_blocking(int fd)
{
    return fcntl(fd, F_GETFL) & O_NONBLOCK;
}

tls_ctx *empty_tls_ctx()
{
    return static_cast<tls_ctx *>(obj_alloc(sizeof(tls_ctx), tls_ctx_destroy));
}

TEST(SockOpen, ClientTimeoutsFollowTheArgument)
{
    struct row {
        const char *what;
        int protocol;
        int timeout;
        long rcv_sndtimeo_us;
        int user_timeout_ms;
    };
    const row rows[] = {
        {"tcp client, 15 s", IPPROTO_TCP, 15, 15000000, 15000},
        {"tcp client, none", IPPROTO_TCP, 0, 0, 0},
        // The user time-out goes by the protocol argument, not by what getaddrinfo chose.
        {"stream client, protocol 0", 0, 15, 15000000, 0},
    };
    raw_socket server;
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        sock_socket *s = sock_open_client(AF_UNSPEC, SOCK_STREAM, r.protocol, "127.0.0.1",
                                          server.service().c_str(), nullptr, r.timeout);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(timeout_option(s->descriptor, SO_RCVTIMEO), r.rcv_sndtimeo_us);
        EXPECT_EQ(timeout_option(s->descriptor, SO_SNDTIMEO), r.rcv_sndtimeo_us);
        EXPECT_EQ(int_option(s->descriptor, IPPROTO_TCP, TCP_USER_TIMEOUT), r.user_timeout_ms);
        EXPECT_TRUE(non_blocking(s->descriptor));
        obj_release(s);
    }
}

TEST(SockOpen, ConnectedClientRecordsItsOwnAddress)
{
    raw_socket server;
    sock_socket *s = sock_open_tcp_client("127.0.0.1", server.service().c_str(), nullptr, 0);
    ASSERT_NE(s, nullptr);
    int peer = server.accept_one();
    sockaddr_in local{}, remote{};
    socklen_t len = sizeof(local);
    getsockname(s->descriptor, reinterpret_cast<sockaddr *>(&local), &len);
    getsockname(peer, reinterpret_cast<sockaddr *>(&remote), &len);
    const auto *stored = reinterpret_cast<const sockaddr_in *>(&s->address);
    EXPECT_EQ(stored->sin_family, AF_INET);
    EXPECT_EQ(stored->sin_port, local.sin_port);
    EXPECT_NE(stored->sin_port, remote.sin_port);
    EXPECT_EQ(s->type, SOCK_STREAM);
    EXPECT_EQ(s->protocol, IPPROTO_TCP);
    EXPECT_EQ(s->flags, 0u);
    EXPECT_EQ(int_option(s->descriptor, SOL_SOCKET, SO_BROADCAST), 0);
    obj_release(s);
    close(peer);
}

TEST(SockOpen, ServersBindLoopbackAndOnlyStreamsListen)
{
    struct row {
        const char *what;
        int type;
        int listening;
    };
    for (const row &r : {row{"tcp", SOCK_STREAM, 1}, row{"udp", SOCK_DGRAM, 0}}) {
        SCOPED_TRACE(r.what);
        // No AI_PASSIVE: a null host is the loopback address, not the wildcard.
        sock_socket *s = r.type == SOCK_STREAM ? sock_open_tcp_server(nullptr, "0", nullptr, 4, 0)
                                               : sock_open_udp_server(nullptr, "0", nullptr, 0);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->flags, SOCK_FLAG_BOUND);
        EXPECT_EQ(int_option(s->descriptor, SOL_SOCKET, SO_ACCEPTCONN), r.listening);
        EXPECT_EQ(int_option(s->descriptor, SOL_SOCKET, SO_REUSEADDR), 1);
        EXPECT_EQ(int_option(s->descriptor, SOL_SOCKET, SO_REUSEPORT), 1);
        EXPECT_EQ(int_option(s->descriptor, IPPROTO_TCP, TCP_USER_TIMEOUT),
                  r.type == SOCK_STREAM ? 0 : -1);
        EXPECT_TRUE(non_blocking(s->descriptor));
        sockaddr_storage bound{};
        socklen_t len = sizeof(bound);
        getsockname(s->descriptor, reinterpret_cast<sockaddr *>(&bound), &len);
        char text[64] = "";
        EXPECT_STREQ(sock_addr_to_text(reinterpret_cast<sockaddr *>(&bound), text, sizeof(text)),
                     bound.ss_family == AF_INET6 ? "::1" : "127.0.0.1");
        EXPECT_EQ(s->address.ss_family, bound.ss_family);
        obj_release(s);
    }
}

TEST(SockOpen, UdpClientIsConnectedAndMayBroadcast)
{
    raw_socket peer(SOCK_DGRAM);
    sock_socket *s = sock_open_udp_client("127.0.0.1", peer.service().c_str(), nullptr, 0, 1);
    ASSERT_NE(s, nullptr);
    sockaddr_in remote{};
    socklen_t len = sizeof(remote);
    ASSERT_EQ(getpeername(s->descriptor, reinterpret_cast<sockaddr *>(&remote), &len), 0);
    EXPECT_EQ(ntohs(remote.sin_port), peer.port);
    EXPECT_EQ(int_option(s->descriptor, SOL_SOCKET, SO_BROADCAST), 1);
    EXPECT_EQ(s->flags, 0u);
    obj_release(s);
}

TEST(SockOpen, NothingToConnectToGivesNull)
{
    raw_socket refusing(SOCK_STREAM, false);
    EXPECT_EQ(sock_open_tcp_client("127.0.0.1", refusing.service().c_str(), nullptr, 0), nullptr);
    EXPECT_EQ(sock_open_tcp_client("127.0.0.1", "no-such-service-name", nullptr, 0), nullptr);
    EXPECT_EQ(sock_open_tcp_client(nullptr, nullptr, nullptr, 0), nullptr);
}

// A TLS context passes to the socket that is returned and to nothing else: a refused attempt
// must neither free it nor keep it.
TEST(SockOpen, TlsContextStaysWithTheCallerWhenNothingOpens)
{
    tls_ctx *ctx = empty_tls_ctx();
    ASSERT_NE(ctx, nullptr);
    raw_socket refusing(SOCK_STREAM, false);
    EXPECT_EQ(sock_open_tcp_client("127.0.0.1", refusing.service().c_str(), ctx, 0), nullptr);
    EXPECT_EQ(obj_refcount(ctx), 1);

    raw_socket server;
    sock_socket *s = sock_open_tcp_client("127.0.0.1", server.service().c_str(), ctx, 0);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->tls, ctx);
    EXPECT_EQ(obj_refcount(ctx), 1);
    obj_retain(ctx);
    obj_release(s);
    EXPECT_EQ(obj_refcount(ctx), 1); // the socket gave up its reference, once
    obj_release(ctx);
}

// Descriptor 0 may be a live file of the process; a failed attempt must leave it alone.
TEST(SockOpen, FailuresNeverCloseADescriptorTheyDoNotOwn)
{
    int saved0 = dup(0);
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    ASSERT_EQ(dup2(pipe_fds[0], 0), 0);

    sock_socket *listener = sock_open_tcp_server("127.0.0.1", "0", nullptr, 4, 0);
    ASSERT_NE(listener, nullptr);
    raw_socket refusing(SOCK_STREAM, false);
    struct row {
        const char *what;
        std::function<sock_socket *()> attempt;
    };
    const row rows[] = {
        {"accept with nothing pending", [&] { return sock_accept(listener); }},
        {"socket() refused", [] { return sock_create(-1, SOCK_STREAM, 0, nullptr); }},
        {"connect refused",
         [&] { return sock_open_tcp_client("127.0.0.1", refusing.service().c_str(), nullptr, 0); }},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(r.attempt(), nullptr);
        EXPECT_EQ(write(pipe_fds[1], "x", 1), 1);
        char c = 0;
        EXPECT_EQ(read(0, &c, 1), 1) << "descriptor 0 was closed";
    }
    obj_release(listener);
    dup2(saved0, 0);
    close(saved0);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
}

TEST(SockAccept, AcceptedSocketIsBlockingAndKnowsItsPeer)
{
    sock_socket *listener = sock_open_tcp_server("127.0.0.1", "0", nullptr, 4, 0);
    ASSERT_NE(listener, nullptr);
    int client = net::raw_connect(net::port_of(listener->descriptor));
    ASSERT_GE(client, 0);
    sock_socket *s = nullptr;
    ASSERT_TRUE(net::wait_until([&] { return (s = sock_accept(listener)) != nullptr; }));
    EXPECT_FALSE(non_blocking(s->descriptor));
    EXPECT_EQ(reinterpret_cast<sockaddr_in *>(&s->address)->sin_port,
              htons(uint16_t(net::port_of(client))));
    EXPECT_EQ(s->type, SOCK_STREAM);
    EXPECT_EQ(s->protocol, IPPROTO_TCP);
    EXPECT_EQ(s->flags, 0u);
    EXPECT_EQ(s->parent, nullptr);
    EXPECT_EQ(s->tls, nullptr);
    EXPECT_EQ(sock_accept(nullptr), nullptr);
    obj_release(s);
    obj_release(listener);
    close(client);
}

TEST(SockRequestClose, OnlyMarksTheSocketUntilTheLastRelease)
{
    sock_request_close(nullptr);
    sock_socket *s = sock_create(AF_INET, SOCK_DGRAM, 0, nullptr);
    ASSERT_NE(s, nullptr);
    int fd = s->descriptor;
    obj_retain(s);
    sock_request_close(s);
    EXPECT_EQ(net::flags_of(s), SOCK_FLAG_CLOSED);
    obj_release(s);
    EXPECT_NE(fcntl(fd, F_GETFD), -1);
    obj_release(s);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
}

TEST(SockAddrToText, KnownFamiliesOnly)
{
    sockaddr_in v4 = net::loopback(1);
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_addr = in6addr_loopback;
    sockaddr_un un{};
    un.sun_family = AF_UNIX;
    char buf[64];
    struct row {
        const sockaddr *address;
        const char *text;
    };
    for (const row &r : {row{reinterpret_cast<sockaddr *>(&v4), "127.0.0.1"},
                         row{reinterpret_cast<sockaddr *>(&v6), "::1"},
                         row{reinterpret_cast<sockaddr *>(&un), "untouched"}}) {
        strcpy(buf, "untouched");
        EXPECT_EQ(sock_addr_to_text(r.address, buf, sizeof(buf)), buf);
        EXPECT_STREQ(buf, r.text);
    }
    EXPECT_EQ(sock_addr_to_text(reinterpret_cast<sockaddr *>(&v4), nullptr, 0), nullptr);
}

} // namespace

#include "transport/sock.h"

#include "net_util.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/un.h>
#include <vector>

namespace
{

using net::raw_socket;

// A non-blocking client socket of ours connected to a raw peer.
struct tcp_pair {
    raw_socket server;
    sock_socket *s = nullptr;
    int peer = -1;
    tcp_pair()
    {
        s = sock_open_tcp_client("127.0.0.1", server.service().c_str(), nullptr, 0);
        peer = server.accept_one();
    }
    ~tcp_pair()
    {
        if (s)
            obj_release(s);
        if (peer >= 0)
            close(peer);
    }
};

int pending_bytes(int fd)
{
    int n = -1;
    ioctl(fd, FIONREAD, &n);
    return n;
}

TEST(SockRead, NothingToReadLeavesTheSocketOpen)
{
    tcp_pair p;
    ASSERT_NE(p.s, nullptr);
    char buf[16];
    errno = 0;
    EXPECT_EQ(sock_read(p.s, buf, sizeof(buf)), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(net::flags_of(p.s), 0u);

    ASSERT_EQ(write(p.peer, "hello", 5), 5);
    ASSERT_TRUE(net::wait_until([&] { return pending_bytes(p.s->descriptor) == 5; }));
    EXPECT_EQ(sock_read(p.s, buf, sizeof(buf)), 5);
    EXPECT_EQ(memcmp(buf, "hello", 5), 0);
    EXPECT_EQ(net::flags_of(p.s), 0u);
}

TEST(SockRead, EndOfStreamMarksTheSocketClosed)
{
    tcp_pair p;
    ASSERT_NE(p.s, nullptr);
    close(p.peer);
    p.peer = -1;
    char buf[16];
    ASSERT_TRUE(net::wait_until([&] { return sock_read(p.s, buf, sizeof(buf)) == 0; }));
    EXPECT_EQ(net::flags_of(p.s), SOCK_FLAG_CLOSED);
    EXPECT_EQ(sock_read(p.s, buf, sizeof(buf)), 0); // a closed socket is still read
}

TEST(SockRead, ZeroSizeReadCountsAsEndOfStream)
{
    tcp_pair p;
    ASSERT_NE(p.s, nullptr);
    char buf[1];
    EXPECT_EQ(sock_read(p.s, buf, 0), 0);
    EXPECT_EQ(net::flags_of(p.s), SOCK_FLAG_CLOSED);
}

TEST(SockRecvfrom, SourceIsFilledForDatagramsOnly)
{
    sock_socket *server = sock_open_udp_server("127.0.0.1", "0", nullptr, 0);
    ASSERT_NE(server, nullptr);
    raw_socket sender(SOCK_DGRAM);
    sockaddr_in to = net::loopback(net::port_of(server->descriptor));
    ASSERT_EQ(sendto(sender.fd, "dg", 2, 0, reinterpret_cast<sockaddr *>(&to), sizeof(to)), 2);
    sockaddr_storage source;
    memset(&source, 0xa5, sizeof(source));
    char buf[8];
    ASSERT_TRUE(net::wait_until([&] { return sock_recvfrom(server, buf, 8, &source) == 2; }));
    EXPECT_EQ(reinterpret_cast<sockaddr_in *>(&source)->sin_port, htons(uint16_t(sender.port)));
    obj_release(server);

    tcp_pair p;
    ASSERT_NE(p.s, nullptr);
    ASSERT_EQ(write(p.peer, "st", 2), 2);
    memset(&source, 0xa5, sizeof(source));
    ASSERT_TRUE(net::wait_until([&] { return sock_recvfrom(p.s, buf, 8, &source) == 2; }));
    sockaddr_storage pattern;
    memset(&pattern, 0xa5, sizeof(pattern));
    EXPECT_EQ(memcmp(&source, &pattern, sizeof(source)), 0);
}

TEST(SockWrite, PeerGoneEndsInEpipeWithoutSignalButResetIsNotFatal)
{
    net::sigpipe_counter sigpipes;
    for (bool reset : {false, true}) {
        SCOPED_TRACE(reset ? "peer resets" : "peer closes");
        tcp_pair p;
        ASSERT_NE(p.s, nullptr);
        if (reset) {
            linger l{1, 0};
            setsockopt(p.peer, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
        }
        close(p.peer);
        p.peer = -1;
        int n = 0;
        wait_until([&] { return (n = sock_write(p.s, "x", 1)) != 1; });
        ASSERT_EQ(n, -1);
        if (reset) {
            EXPECT_EQ(errno, ECONNRESET);
            EXPECT_EQ(net::flags_of(p.s), 0u);
        } else {
            EXPECT_EQ(errno, EPIPE);
            EXPECT_EQ(net::flags_of(p.s), SOCK_FLAG_CLOSED);
        }
    }
    EXPECT_EQ(sigpipes.count(), 0);
}

TEST(SockWrite, FullSendBufferGivesShortCountThenClosesOnEagain)
{
    tcp_pair p;
    ASSERT_NE(p.s, nullptr);
    int small = 4096;
    setsockopt(p.s->descriptor, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
    setsockopt(p.peer, SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    std::vector<char> block(4 << 20, 'b');
    int n = sock_write(p.s, block.data(), int(block.size()));
    EXPECT_GT(n, 0);
    EXPECT_LT(n, int(block.size()));
    EXPECT_EQ(net::flags_of(p.s), 0u);
    // The kernel may still move a little into the peer's window; then there is no room.
    int more = 0;
    for (int i = 0; i < 100 && (more = sock_write(p.s, block.data(), int(block.size()))) > 0; i++)
        EXPECT_EQ(net::flags_of(p.s), 0u);
    EXPECT_EQ(more, -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(net::flags_of(p.s), SOCK_FLAG_CLOSED);
}

// Which address a datagram goes to, by the record's flags and the destination given.
TEST(SockSendto, DatagramDestinationFollowsTheFlags)
{
    raw_socket stored(SOCK_DGRAM), given(SOCK_DGRAM);
    struct row {
        const char *what;
        uint32_t flags;
        bool with_destination;
        int reaches; // 1 the stored address, 2 the given one, 0 none
        int err;
    };
    const row rows[] = {
        {"given", 0, true, 2, 0},
        {"stored wins over given", SOCK_FLAG_SEND_STORED, true, 1, 0},
        {"stored without destination", SOCK_FLAG_SEND_STORED, false, 1, 0},
        {"no address at all", 0, false, 0, EDESTADDRREQ},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        sock_socket *s = sock_create(AF_INET, SOCK_DGRAM, 0, nullptr);
        ASSERT_NE(s, nullptr);
        sockaddr_in own = net::loopback(stored.port);
        memcpy(&s->address, &own, sizeof(own));
        s->flags = r.flags;
        sockaddr_storage dest{};
        sockaddr_in to = net::loopback(given.port);
        memcpy(&dest, &to, sizeof(to));
        int n = sock_sendto(s, "dg", 2, r.with_destination ? &dest : nullptr);
        EXPECT_EQ(n, r.reaches ? 2 : -1);
        if (!r.reaches) {
            EXPECT_EQ(errno, r.err);
        }
        EXPECT_EQ(net::flags_of(s), r.flags); // none of these closes the socket
        char buf[4];
        EXPECT_EQ(recv(stored.fd, buf, 4, MSG_DONTWAIT), r.reaches == 1 ? 2 : -1);
        EXPECT_EQ(recv(given.fd, buf, 4, MSG_DONTWAIT), r.reaches == 2 ? 2 : -1);
        obj_release(s);
    }
}

TEST(SockSendto, UnixDatagramsNeedTheirAddressLength)
{
    temp_dir dir("vesk-sockio");
    ASSERT_FALSE(dir.path().empty());
    sockaddr_un where{};
    where.sun_family = AF_UNIX;
    snprintf(where.sun_path, sizeof(where.sun_path), "%s/rx", dir.path().c_str());
    int rx = socket(AF_UNIX, SOCK_DGRAM, 0);
    ASSERT_EQ(bind(rx, reinterpret_cast<sockaddr *>(&where), sizeof(where)), 0);
    sockaddr_storage dest{};
    memcpy(&dest, &where, sizeof(where));

    sock_socket *s = sock_create(AF_UNIX, SOCK_DGRAM, 0, nullptr);
    ASSERT_NE(s, nullptr);
    // The kernel refuses an AF_UNIX address longer than a sockaddr_un.
    EXPECT_EQ(sock_sendto(s, "u1", 2, &dest), -1);
    EXPECT_EQ(errno, EINVAL);
    s->flags = SOCK_FLAG_UNIX_DGRAM;
    EXPECT_EQ(sock_sendto(s, "u2", 2, &dest), 2);
    char buf[4] = {};
    EXPECT_EQ(recv(rx, buf, sizeof(buf), MSG_DONTWAIT), 2);
    EXPECT_STREQ(buf, "u2");
    EXPECT_EQ(net::flags_of(s), SOCK_FLAG_UNIX_DGRAM);
    obj_release(s);
    close(rx);
}

TEST(SockSendto, StoredAddressOfAnAcceptedStreamIsItsPeer)
{
    sock_socket *listener = sock_open_tcp_server("127.0.0.1", "0", nullptr, 4, 0);
    ASSERT_NE(listener, nullptr);
    int client = net::raw_connect(net::port_of(listener->descriptor));
    sock_socket *s = nullptr;
    ASSERT_TRUE(net::wait_until([&] { return (s = sock_accept(listener)) != nullptr; }));
    s->flags = SOCK_FLAG_SEND_STORED;
    raw_socket elsewhere(SOCK_DGRAM);
    sockaddr_storage ignored{};
    sockaddr_in to = net::loopback(elsewhere.port);
    memcpy(&ignored, &to, sizeof(to));
    EXPECT_EQ(sock_sendto(s, "back", 4, &ignored), 4);
    char buf[8] = {};
    EXPECT_EQ(recv(client, buf, sizeof(buf), 0), 4);
    EXPECT_STREQ(buf, "back");
    obj_release(s);
    obj_release(listener);
    close(client);
}

// A refusal makes no system call and says why in errno, so that nobody waits out an EAGAIN.
TEST(SockIo, RefusalsTouchNothing)
{
    tcp_pair p;
    ASSERT_NE(p.s, nullptr);
    ASSERT_EQ(write(p.peer, "abc", 3), 3);
    ASSERT_TRUE(net::wait_until([&] { return pending_bytes(p.s->descriptor) == 3; }));
    char buf[8];
    struct row {
        const char *what;
        sock_socket *s;
        int size;
        uint32_t flags;
        int err;
    };
    const row rows[] = {
        {"null socket", nullptr, 8, 0, EINVAL},
        {"negative size", p.s, -1, 0, EINVAL},
        {"TLS required without context", p.s, 8, SOCK_FLAG_TLS_REQUIRED, EPROTO},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        if (r.s)
            r.s->flags = r.flags;
        errno = 0;
        EXPECT_EQ(sock_read(r.s, buf, r.size), -1);
        EXPECT_EQ(errno, r.err);
        errno = 0;
        EXPECT_EQ(sock_write(r.s, "out", r.size < 0 ? r.size : 3), -1);
        EXPECT_EQ(errno, r.err);
        if (r.s) {
            EXPECT_EQ(net::flags_of(r.s), r.flags);
        }
    }
    EXPECT_EQ(pending_bytes(p.s->descriptor), 3);
    EXPECT_EQ(recv(p.peer, buf, sizeof(buf), MSG_DONTWAIT), -1);
}

} // namespace

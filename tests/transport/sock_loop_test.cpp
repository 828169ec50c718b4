#include "transport/sock_loop.h"

#include "core/tbl.h"
#include "net_util.h"
#include "transport/tls.h"

#include <atomic>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mutex>
#include <sys/resource.h>
#include <vector>

namespace
{

using namespace std::chrono;
using net::raw_socket;
using net::wait_until;

// What the callbacks saw; the user object handed to the loop points here.
struct events {
    std::atomic<int> readable{0}, closed{0}, accepted{0}, extra_readable{0}, extra_ended{0};
    std::atomic<int> user_destroyed{0};
    std::atomic<int> extra{-1};
    std::atomic<bool> drain{true};
    std::mutex m;
    std::string order, data;
    std::vector<sock_socket *> children;

    void note(char c)
    {
        std::lock_guard<std::mutex> g(m);
        order += c;
    }
    std::string get(const std::string &field)
    {
        std::lock_guard<std::mutex> g(m);
        return field;
    }
    ~events()
    {
        for (sock_socket *c : children)
            net::release_and_wait(c);
    }
};

struct user_obj {
    events *ev;
};

events *ev_of(void *user)
{
    return static_cast<user_obj *>(user)->ev;
}

void *make_user(events *ev)
{
    auto *u = static_cast<user_obj *>(obj_alloc(
        sizeof(user_obj), [](void *p) { static_cast<user_obj *>(p)->ev->user_destroyed++; }));
    u->ev = ev;
    return u;
}

void on_readable(sock_socket *s, void *user)
{
    events *ev = ev_of(user);
    ev->readable++;
    ev->note('r');
    if (!ev->drain)
        return;
    char buf[512];
    int n = sock_read(s, buf, sizeof(buf));
    if (n > 0) {
        std::lock_guard<std::mutex> g(ev->m);
        ev->data.append(buf, size_t(n));
    }
}

void on_close(void *user)
{
    ev_of(user)->closed++;
    ev_of(user)->note('c');
}

void on_accept(sock_socket *child, void *user)
{
    events *ev = ev_of(user);
    obj_retain(child);
    std::lock_guard<std::mutex> g(ev->m);
    ev->children.push_back(child);
    ev->accepted++;
}

int extra_fd(void *user, int start)
{
    events *ev = ev_of(user);
    if (start)
        return ev->extra;
    ev->extra_ended++;
    ev->note('x');
    return 0;
}

void on_extra_readable(sock_socket *, void *user)
{
    events *ev = ev_of(user);
    ev->extra_readable++;
    ev->note('e');
    char buf[64];
    (void)!read(ev->extra, buf, sizeof(buf));
}

// A client socket of ours connected to a raw peer, and a user object for its loop.
struct served_client {
    raw_socket server;
    sock_socket *s = nullptr;
    int peer = -1;
    events ev;
    void *user = nullptr;
    served_client()
    {
        s = sock_open_tcp_client("127.0.0.1", server.service().c_str(), nullptr, 0);
        peer = server.accept_one();
        user = make_user(&ev);
    }
    // Ends the loop if it still runs and waits until the socket and the user are gone.
    void finish()
    {
        if (!s)
            return;
        sock_request_close(s);
        EXPECT_TRUE(net::settle_until([&] { return ev.closed > 0 || !s->thread; }));
        EXPECT_TRUE(net::release_and_wait(s));
        s = nullptr;
        obj_release(user);
        EXPECT_EQ(ev.user_destroyed, 1);
    }
    ~served_client()
    {
        finish();
        if (peer >= 0)
            close(peer);
    }
};

thr_record *thread_of(sock_socket *s)
{
    obj_guard g(s);
    return s->thread;
}

TEST(SockLoop, RequestCloseEndsAnIdleLoopOnceAfterItsEndSteps)
{
    served_client c;
    ASSERT_NE(c.s, nullptr);
    sock_loop_start_tls_ext(c.s, c.user, on_readable, on_close, extra_fd, on_extra_readable);
    thr_record *rec = thread_of(c.s);
    ASSERT_NE(rec, nullptr);
    sock_loop_start(c.s, on_readable, nullptr, on_close, nullptr, nullptr, c.user);
    EXPECT_EQ(thread_of(c.s), rec); // one loop per socket

    usleep(30000);
    sock_request_close(c.s);
    ASSERT_TRUE(wait_until([&] { return c.ev.closed == 1; }));
    EXPECT_EQ(c.ev.get(c.ev.order), "xc"); // extra_fd (user, 0) before on_close
    EXPECT_EQ(c.ev.readable, 0);
    usleep(50000);
    EXPECT_EQ(c.ev.closed, 1);
    c.finish();
    char buf[4];
    EXPECT_EQ(recv(c.peer, buf, sizeof(buf), 0), 0); // the descriptor is closed
}

TEST(SockLoop, PeerCloseEndsTheLoopByItself)
{
    served_client c;
    ASSERT_NE(c.s, nullptr);
    ASSERT_EQ(write(c.peer, "last words", 10), 10);
    close(c.peer);
    c.peer = -1;
    sock_loop_start_tls(c.s, c.user, on_readable, on_close);
    ASSERT_TRUE(wait_until([&] { return c.ev.closed == 1; }));
    EXPECT_EQ(c.ev.get(c.ev.data), "last words");
    EXPECT_EQ(net::flags_of(c.s), SOCK_FLAG_CLOSED);
}

TEST(SockLoop, ClosedSocketGetsNoReadableCall)
{
    served_client c;
    ASSERT_NE(c.s, nullptr);
    ASSERT_EQ(write(c.peer, "unread", 6), 6);
    sock_request_close(c.s);
    sock_loop_start_tls(c.s, c.user, on_readable, on_close);
    ASSERT_TRUE(wait_until([&] { return c.ev.closed == 1; }));
    EXPECT_EQ(c.ev.readable, 0);
}

TEST(SockLoop, UnreadDataIsOfferedAgain)
{
    served_client c;
    ASSERT_NE(c.s, nullptr);
    c.ev.drain = false;
    ASSERT_EQ(write(c.peer, "x", 1), 1);
    sock_loop_start_tls(c.s, c.user, on_readable, on_close);
    ASSERT_TRUE(wait_until([&] { return c.ev.readable >= 3; }));
}

TEST(SockLoop, ExtraDescriptorIsServedFirst)
{
    served_client c;
    ASSERT_NE(c.s, nullptr);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    c.ev.extra = p[0];
    ASSERT_EQ(write(p[1], "e", 1), 1);
    ASSERT_EQ(write(c.peer, "r", 1), 1);
    sock_loop_start_tls_ext(c.s, c.user, on_readable, on_close, extra_fd, on_extra_readable);
    ASSERT_TRUE(wait_until([&] { return c.ev.readable == 1 && c.ev.extra_readable == 1; }));
    c.finish();
    EXPECT_EQ(c.ev.get(c.ev.order), "erxc");
    close(p[0]);
    close(p[1]);
}

TEST(SockLoop, RegistryStopEndsTheLoop)
{
    served_client c;
    ASSERT_NE(c.s, nullptr);
    sock_loop_start_tls(c.s, c.user, on_readable, on_close);
    ASSERT_NE(thread_of(c.s), nullptr);
    // Stop it once its body runs: a stop that comes before that is the registry's business.
    ASSERT_EQ(write(c.peer, "x", 1), 1);
    ASSERT_TRUE(wait_until([&] { return c.ev.readable == 1; }));
    thr_stop(thread_of(c.s));
    ASSERT_TRUE(wait_until([&] { return c.ev.closed == 1; }));
    EXPECT_EQ(net::flags_of(c.s), 0u);
}

sock_socket *child_parent(sock_socket *child)
{
    obj_guard g(child);
    return child->parent;
}

TEST(SockLoop, ListenerGivesEachConnectionItsOwnLoop)
{
    events ev;
    void *user = make_user(&ev);
    sock_socket *listener = sock_open_tcp_server("127.0.0.1", "0", nullptr, 8, 0);
    ASSERT_NE(listener, nullptr);
    sock_loop_start_listener(listener, on_readable, on_accept, on_close, user);
    ASSERT_NE(listener->children, nullptr);
    int port = net::port_of(listener->descriptor);
    int c1 = net::raw_connect(port), c2 = net::raw_connect(port);
    ASSERT_TRUE(wait_until([&] { return ev.accepted == 2; }));
    std::vector<sock_socket *> kids = [&] {
        std::lock_guard<std::mutex> g(ev.m);
        return ev.children;
    }();
    for (sock_socket *child : kids) {
        EXPECT_EQ(child_parent(child), listener);
        EXPECT_NE(thread_of(child), nullptr);
        auto *found = static_cast<sock_socket *>(tbl_find(listener->children, &child->descriptor));
        EXPECT_EQ(found, child);
        obj_release(found);
    }
    EXPECT_EQ(tbl_count(listener->children), 2);

    ASSERT_EQ(write(c1, "one", 3), 3);
    ASSERT_EQ(write(c2, "two", 3), 3);
    ASSERT_TRUE(wait_until([&] { return ev.get(ev.data).size() == 6; }));

    // A finished child keeps its place and its descriptor until the listener ends.
    close(c1);
    ASSERT_TRUE(wait_until([&] {
        int closed = 0;
        for (sock_socket *child : kids)
            closed += (net::flags_of(child) & SOCK_FLAG_CLOSED) != 0;
        return closed == 1;
    }));
    usleep(50000);
    EXPECT_EQ(ev.closed, 0); // children have no close callback
    EXPECT_EQ(tbl_count(listener->children), 2);

    sock_request_close(listener);
    ASSERT_TRUE(wait_until([&] { return ev.closed == 1; }));
    EXPECT_EQ(tbl_count(listener->children), 0);
    for (sock_socket *child : kids) {
        EXPECT_TRUE(net::flags_of(child) & SOCK_FLAG_CLOSED);
        EXPECT_EQ(child_parent(child), nullptr);
    }
    {
        std::lock_guard<std::mutex> g(ev.m);
        ev.children.clear();
    }
    for (sock_socket *child : kids)
        EXPECT_TRUE(net::release_and_wait(child));
    char buf[4];
    EXPECT_EQ(recv(c2, buf, sizeof(buf), 0), 0);
    EXPECT_TRUE(net::release_and_wait(listener));
    obj_release(user);
    EXPECT_EQ(ev.user_destroyed, 1);
    close(c2);
}

TEST(SockLoop, PlainStartOnAListenerKeepsNoChildren)
{
    events ev;
    void *user = make_user(&ev);
    sock_socket *listener = sock_open_tcp_server("127.0.0.1", "0", nullptr, 8, 0);
    ASSERT_NE(listener, nullptr);
    sock_loop_start(listener, on_readable, on_accept, on_close, nullptr, nullptr, user);
    int c1 = net::raw_connect(net::port_of(listener->descriptor));
    ASSERT_TRUE(wait_until([&] { return ev.accepted == 1; }));
    sock_socket *child = [&] {
        std::lock_guard<std::mutex> g(ev.m);
        sock_socket *c = ev.children.front();
        ev.children.clear();
        return c;
    }();
    EXPECT_EQ(listener->children, nullptr);
    EXPECT_EQ(child_parent(child), listener);

    sock_request_close(listener);
    ASSERT_TRUE(wait_until([&] { return ev.closed == 1; }));
    EXPECT_EQ(net::flags_of(child), 0u);
    ASSERT_EQ(write(c1, "late", 4), 4); // the child is still served
    ASSERT_TRUE(wait_until([&] { return ev.get(ev.data) == "late"; }));

    close(c1);
    ASSERT_TRUE(wait_until([&] { return net::flags_of(child) & SOCK_FLAG_CLOSED; }));
    EXPECT_TRUE(net::release_and_wait(child));
    EXPECT_TRUE(net::release_and_wait(listener));
    obj_release(user);
    EXPECT_EQ(ev.user_destroyed, 1);
}

TEST(SockLoop, BoundDatagramSocketIsReadNotAccepted)
{
    events ev;
    void *user = make_user(&ev);
    sock_socket *s = sock_open_udp_server("127.0.0.1", "0", nullptr, 0);
    ASSERT_NE(s, nullptr);
    sock_loop_start_listener(s, on_readable, on_accept, on_close, user);
    EXPECT_EQ(s->children, nullptr);
    raw_socket sender(SOCK_DGRAM);
    sockaddr_in to = net::loopback(net::port_of(s->descriptor));
    ASSERT_EQ(sendto(sender.fd, "dg", 2, 0, reinterpret_cast<sockaddr *>(&to), sizeof(to)), 2);
    ASSERT_TRUE(wait_until([&] { return ev.get(ev.data) == "dg"; }));
    EXPECT_EQ(ev.accepted, 0);
    sock_request_close(s);
    ASSERT_TRUE(wait_until([&] { return ev.closed == 1; }));
    EXPECT_TRUE(net::release_and_wait(s));
    obj_release(user);
}

// Occupies every descriptor below FD_SETSIZE so that the next ones lie above it.
struct low_descriptors_taken {
    std::vector<int> fds;
    bool ok = false;
    low_descriptors_taken()
    {
        rlimit rl{};
        getrlimit(RLIMIT_NOFILE, &rl);
        if (rl.rlim_cur < FD_SETSIZE + 64) {
            rl.rlim_cur = FD_SETSIZE + 256;
            if (rl.rlim_max < rl.rlim_cur)
                rl.rlim_max = rl.rlim_cur;
            if (setrlimit(RLIMIT_NOFILE, &rl) != 0)
                return;
        }
        for (;;) {
            int fd = open("/dev/null", O_RDONLY);
            if (fd < 0)
                return;
            if (fd >= FD_SETSIZE) {
                close(fd);
                break;
            }
            fds.push_back(fd);
        }
        ok = true;
    }
    void release()
    {
        for (int fd : fds)
            close(fd);
        fds.clear();
    }
    ~low_descriptors_taken() { release(); }
};

TEST(SockLoop, ServesDescriptorsAboveFdSetsize)
{
    raw_socket server;
    low_descriptors_taken taken;
    if (!taken.ok)
        GTEST_SKIP() << "cannot raise the descriptor limit above FD_SETSIZE";
    events ev;
    sock_socket *s = sock_open_tcp_client("127.0.0.1", server.service().c_str(), nullptr, 0);
    ASSERT_NE(s, nullptr);
    int peer = server.accept_one();
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    taken.release();
    ASSERT_GE(s->descriptor, FD_SETSIZE);
    ASSERT_GE(p[0], FD_SETSIZE);
    ev.extra = p[0];
    void *user = make_user(&ev);
    sock_loop_start_tls_ext(s, user, on_readable, on_close, extra_fd, on_extra_readable);
    ASSERT_EQ(write(peer, "high", 4), 4);
    ASSERT_EQ(write(p[1], "e", 1), 1);
    EXPECT_TRUE(wait_until([&] { return ev.get(ev.data) == "high" && ev.extra_readable == 1; }));
    sock_request_close(s);
    ASSERT_TRUE(wait_until([&] { return ev.closed == 1; }));
    EXPECT_TRUE(net::release_and_wait(s));
    obj_release(user);
    close(peer);
    close(p[0]);
    close(p[1]);
}

// CPU time that a loop thread uses over a stretch of wall-clock time.
double cpu_share(sock_socket *s, int ms)
{
    clockid_t cid;
    if (pthread_getcpuclockid(thread_of(s)->thread, &cid) != 0)
        return -1;
    auto cpu = [&] {
        timespec ts{};
        clock_gettime(cid, &ts);
        return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
    };
    double c0 = cpu();
    auto t0 = steady_clock::now();
    usleep(useconds_t(ms) * 1000);
    double wall = duration<double>(steady_clock::now() - t0).count();
    return (cpu() - c0) / wall;
}

// A descriptor that stays ready with nobody to read it must not make the loop spin.
TEST(SockLoop, NeverTurnsWithoutPause)
{
    struct row {
        const char *what;
        std::function<sock_socket *(events &, void *user)> start;
        std::function<void(events &)> after = [](events &) {};
    };
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(write(p[1], "unread", 6), 6);
    raw_socket server;
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    const row rows[] = {
        {"datagram listener with a TLS context",
         [](events &, void *user) {
             auto *ctx = static_cast<tls_ctx *>(obj_alloc(sizeof(tls_ctx), tls_ctx_destroy));
             sock_socket *s = sock_open_udp_server("127.0.0.1", "0", ctx, 0);
             raw_socket sender(SOCK_DGRAM);
             sockaddr_in to = net::loopback(net::port_of(s->descriptor));
             sendto(sender.fd, "dg", 2, 0, reinterpret_cast<sockaddr *>(&to), sizeof(to));
             sock_loop_start_listener(s, on_readable, on_accept, on_close, user);
             return s;
         }},
        {"extra descriptor without its callback",
         [&](events &ev, void *user) {
             ev.extra = p[0];
             sock_socket *s =
                 sock_open_tcp_client("127.0.0.1", server.service().c_str(), nullptr, 0);
             sock_loop_start(s, on_readable, nullptr, on_close, extra_fd, nullptr, user);
             return s;
         }},
        {"accept failing for want of descriptors",
         [&](events &, void *user) {
             sock_socket *s = sock_open_tcp_server("127.0.0.1", "0", nullptr, 8, 0);
             int client = net::raw_connect(net::port_of(s->descriptor));
             (void)client; // closed with the process's descriptors below
             int lowest = fcntl(0, F_DUPFD, 0);
             close(lowest);
             rlimit rl = saved;
             rl.rlim_cur = rlim_t(lowest);
             setrlimit(RLIMIT_NOFILE, &rl);
             sock_loop_start_listener(s, on_readable, on_accept, on_close, user);
             return s;
         },
         [&](events &ev) {
             setrlimit(RLIMIT_NOFILE, &saved);
             EXPECT_TRUE(wait_until([&] { return ev.accepted == 1; })); // and it kept trying
         }},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        events ev;
        void *user = make_user(&ev);
        sock_socket *s = r.start(ev, user);
        ASSERT_NE(s, nullptr);
        ASSERT_NE(thread_of(s), nullptr);
        double share = cpu_share(s, 300);
        r.after(ev);
        EXPECT_GE(share, 0);
        EXPECT_LT(share, 0.25) << "the loop spins";
        EXPECT_EQ(ev.readable, 0);
        sock_request_close(s);
        ASSERT_TRUE(wait_until([&] { return ev.closed == 1; }));
        EXPECT_TRUE(net::release_and_wait(s));
        obj_release(user);
    }
    close(p[0]);
    close(p[1]);
}

} // namespace

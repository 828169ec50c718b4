#include "transport/tls.h"

#include "net_util.h"
#include "transport/sock_loop.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <mutex>
#include <openssl/ec.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <poll.h>

namespace
{

using namespace std::chrono;
using net::raw_socket;
using net::wait_until;

// Keys and self-signed certificates made for this run: "server" is what the server shows,
// "other" a trust anchor that has nothing to do with it.
struct pki {
    temp_dir tmp{"vesk-tls"};
    std::string dir, server_crt, server_key, other_crt, garbage;

    static bool write_self_signed(const std::string &crt, const std::string &key_path,
                                  const char *cn, long serial)
    {
        EVP_PKEY *key = nullptr;
        EVP_PKEY_CTX *kc = EVP_PKEY_CTX_new_id(EVP_PKEY_EC, nullptr);
        bool ok = kc && EVP_PKEY_keygen_init(kc) == 1 &&
                  EVP_PKEY_CTX_set_ec_paramgen_curve_nid(kc, NID_X9_62_prime256v1) == 1 &&
                  EVP_PKEY_keygen(kc, &key) == 1;
        EVP_PKEY_CTX_free(kc);
        X509 *x = ok ? X509_new() : nullptr;
        if (x) {
            X509_set_version(x, 2);
            ASN1_INTEGER_set(X509_get_serialNumber(x), serial);
            X509_gmtime_adj(X509_getm_notBefore(x), -3600);
            X509_gmtime_adj(X509_getm_notAfter(x), 86400);
            X509_set_pubkey(x, key);
            X509_NAME *name = X509_get_subject_name(x);
            X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                       reinterpret_cast<const unsigned char *>(cn), -1, -1, 0);
            X509_set_issuer_name(x, name);
            ok = X509_sign(x, key, EVP_sha256()) > 0;
        }
        FILE *f = ok ? fopen(crt.c_str(), "w") : nullptr;
        ok = f && PEM_write_X509(f, x) == 1;
        if (f)
            fclose(f);
        f = ok && !key_path.empty() ? fopen(key_path.c_str(), "w") : nullptr;
        if (f) {
            ok = PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
            fclose(f);
        }
        X509_free(x);
        EVP_PKEY_free(key);
        return ok;
    }

    bool make()
    {
        if (tmp.path().empty())
            return false;
        dir = tmp.path();
        server_crt = dir + "/server.crt";
        server_key = dir + "/server.key";
        other_crt = dir + "/other.crt";
        garbage = dir + "/garbage.pem";
        std::ofstream(garbage) << "not a certificate\n";
        return write_self_signed(server_crt, server_key, "server.vesk.test", 1) &&
               write_self_signed(other_crt, "", "other.vesk.test", 2);
    }
};

std::string drain(int fd)
{
    std::string got;
    char buf[4096];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT)) > 0)
        got.append(buf, size_t(n));
    return got;
}

// Closes the socket at a descriptor while its record keeps a harmless one in its place.
void replace_with_null(int fd)
{
    int nul = open("/dev/null", O_RDONLY);
    dup2(nul, fd);
    close(nul);
}

struct Tls : ::testing::Test {
    pki keys;
    void SetUp() override
    {
        ASSERT_EQ(tls_library_init(), 1);
        ASSERT_TRUE(keys.make());
    }
    tls_ctx *server_ctx()
    {
        return tls_ctx_create_tag4(keys.server_crt.c_str(), keys.server_crt.c_str(),
                                   keys.server_key.c_str(), SSL_VERIFY_NONE);
    }
    tls_ctx *client_ctx(const std::string &ca, int mode = SSL_VERIFY_PEER)
    {
        return tls_ctx_create_tag2(ca.c_str(), nullptr, nullptr, mode);
    }
};

bool handshake_done(sock_socket *s)
{
    tls_ctx *t = tls_get(s);
    if (!t)
        return false;
    obj_lock(t);
    bool done = t->ssl && SSL_is_init_finished(t->ssl);
    obj_unlock(t);
    obj_release(t);
    return done;
}

// Carries a client's handshake on, as its loop would; false when the session is lost.
bool drive_handshake(sock_socket *s)
{
    for (int i = 0; i < 400; i++) {
        if (handshake_done(s))
            return true;
        if (net::flags_of(s) & SOCK_FLAG_CLOSED)
            return false;
        pollfd p{s->descriptor, POLLIN, 0};
        poll(&p, 1, 50);
        char c;
        if (sock_read(s, &c, 1) > 0)
            return false; // nobody sends data before the handshake ends
    }
    return false;
}

// Reads what comes within 20 seconds, past records that carry no data (session tickets).
int read_some(sock_socket *s, char *buf, int size)
{
    int n = -1;
    for (int i = 0; i < 400 && n < 0; i++) {
        pollfd p{s->descriptor, POLLIN, 0};
        poll(&p, 1, 50);
        errno = 0;
        n = sock_read(s, buf, size);
        if (n < 0 && errno != EAGAIN)
            break;
    }
    return n;
}

// A TLS listener, a client that started its handshake and the accepted side, whose blocking
// server handshake runs on a thread of its own until the client has driven its part.
struct tls_link {
    sock_socket *listener = nullptr, *client = nullptr;
    std::atomic<sock_socket *> accepted{nullptr};
    std::thread acceptor;

    // With accept_now false the server stays silent until start_accepting(), so the client's
    // handshake cannot finish before then.
    tls_link(tls_ctx *server, tls_ctx *client_tls, bool accept_now = true)
    {
        // The time-outs pass to accepted sockets and bound their blocking handshake.
        listener = sock_open_tcp_server("127.0.0.1", "0", server, 4, 5);
        if (!listener)
            return;
        if (accept_now)
            start_accepting();
        client = sock_open_tcp_client(
            "127.0.0.1", std::to_string(net::port_of(listener->descriptor)).c_str(), client_tls, 0);
        tls_connect_start(client);
    }
    void start_accepting()
    {
        acceptor = std::thread([this] {
            pollfd p{listener->descriptor, POLLIN, 0};
            if (poll(&p, 1, 20000) == 1)
                accepted = sock_accept(listener);
        });
    }
    // The accepted side once the client's handshake is through, or null.
    sock_socket *connect() { return client && drive_handshake(client) ? server_side() : nullptr; }
    sock_socket *server_side()
    {
        if (acceptor.joinable())
            acceptor.join();
        return accepted;
    }
    ~tls_link()
    {
        if (client)
            obj_release(client);
        server_side();
        if (accepted)
            obj_release(accepted.load());
        if (listener)
            obj_release(listener);
    }
};

TEST_F(Tls, ContextNeedsAReadableTrustStoreOnly)
{
    struct row {
        const char *what;
        std::string ca, cert, key;
        bool made;
    };
    const row rows[] = {
        {"CA file", keys.server_crt, keys.server_crt, keys.server_key, true},
        {"CA directory", keys.dir, keys.server_crt, keys.server_key, true},
        {"no certificate or key", keys.server_crt, keys.dir + "/none.crt", keys.dir + "/none",
         true},
        {"missing CA path", keys.dir + "/missing", keys.server_crt, keys.server_key, false},
        {"CA file without certificates", keys.garbage, keys.server_crt, keys.server_key, false},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        tls_ctx *t =
            tls_ctx_create_tag2(r.ca.c_str(), r.cert.c_str(), r.key.c_str(), SSL_VERIFY_NONE);
        EXPECT_EQ(t != nullptr, r.made);
        if (t) {
            EXPECT_EQ(t->flags, 2u);
            EXPECT_EQ(t->method, TLS_method());
            EXPECT_NE(t->ssl_ctx, nullptr);
            EXPECT_EQ(t->ssl, nullptr);
            obj_release(t);
        }
    }
    tls_ctx *t = tls_ctx_create_tag4(keys.server_crt.c_str(), nullptr, nullptr, SSL_VERIFY_PEER);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->flags, 4u);
    EXPECT_EQ(SSL_CTX_get_verify_mode(t->ssl_ctx), SSL_VERIFY_PEER);
    obj_release(t);
    EXPECT_EQ(tls_ctx_create_tag2(nullptr, nullptr, nullptr, 0), nullptr);
}

TEST_F(Tls, ConnectStartNeedsAClientSideStreamContext)
{
    raw_socket tcp, udp(SOCK_DGRAM);
    struct row {
        const char *what;
        bool stream, with_ctx, server_side, starts;
    };
    const row rows[] = {
        {"client stream", true, true, false, true},
        {"datagram", false, true, false, false},
        {"no context", true, false, false, false},
        {"server-side context", true, true, true, false},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        tls_ctx *ctx = r.with_ctx ? client_ctx(keys.server_crt) : nullptr;
        if (ctx && r.server_side)
            ctx->flags |= TLS_FLAG_SERVER;
        sock_socket *s = r.stream
                             ? sock_open_tcp_client("127.0.0.1", tcp.service().c_str(), ctx, 0)
                             : sock_open_udp_client("127.0.0.1", udp.service().c_str(), ctx, 0, 0);
        ASSERT_NE(s, nullptr);
        tls_connect_start(s);
        if (ctx) {
            EXPECT_EQ(ctx->ssl != nullptr, r.starts);
            EXPECT_EQ((ctx->flags & TLS_FLAG_CLIENT) != 0, r.starts);
        }
        EXPECT_EQ(net::flags_of(s), 0u);
        obj_release(s);
        if (r.stream) {
            int peer = tcp.accept_one();
            pollfd p{peer, POLLIN, 0};
            poll(&p, 1, r.starts ? 2000 : 0);
            std::string got = drain(peer);
            // A client hello goes out as a handshake record, or nothing at all.
            EXPECT_EQ(got.empty() ? 0 : got[0], r.starts ? 0x16 : 0);
            close(peer);
        }
    }
    tls_connect_start(nullptr);
}

// Until the handshake is done a write sends nothing and says so.
TEST_F(Tls, WriteWaitsForTheHandshake)
{
    tls_link l(server_ctx(), client_ctx(keys.server_crt), false);
    ASSERT_NE(l.client, nullptr);
    errno = 0;
    EXPECT_EQ(sock_write(l.client, "early", 5), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(net::flags_of(l.client), 0u);
    l.start_accepting();

    ASSERT_TRUE(drive_handshake(l.client));
    sock_socket *server = l.server_side();
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(server->flags, SOCK_FLAG_TLS_REQUIRED);
    ASSERT_NE(server->tls, nullptr);
    EXPECT_EQ(server->tls->flags, TLS_FLAG_SERVER);
    EXPECT_EQ(server->tls->parent, l.listener->tls);
    EXPECT_EQ(server->tls->ssl_ctx, nullptr);

    testing::internal::CaptureStdout();
    char buf[16] = {};
    errno = 0;
    EXPECT_EQ(sock_read(l.client, buf, sizeof(buf)), -1);
    int err = errno;
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Read Want Read\n");
    EXPECT_EQ(err, EAGAIN);

    EXPECT_EQ(sock_write(l.client, "", 0), 0) << "nothing to send leaves the session as it is";
    EXPECT_EQ(sock_write(l.client, "late", 4), 4);
    EXPECT_EQ(sock_read(server, buf, sizeof(buf)), 4); // "early" never went out
    EXPECT_STREQ(buf, "late");
    EXPECT_EQ(sock_write(server, "back", 4), 4);
    memset(buf, 0, sizeof(buf));
    EXPECT_EQ(read_some(l.client, buf, sizeof(buf)), 4);
    EXPECT_STREQ(buf, "back");
}

// The verify mode says whether the server's certificate is asked for; OpenSSL's own check of
// it against the CA path decides.
TEST_F(Tls, PeerVerificationKeepsOpenSslsVerdict)
{
    struct row {
        const char *what;
        std::string ca;
        int mode;
        bool connects;
    };
    const row rows[] = {
        {"trusted", keys.server_crt, SSL_VERIFY_PEER, true},
        {"untrusted", keys.other_crt, SSL_VERIFY_PEER, false},
        {"untrusted, not asked", keys.other_crt, SSL_VERIFY_NONE, true},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        tls_link l(server_ctx(), client_ctx(r.ca, r.mode));
        ASSERT_NE(l.client, nullptr);
        EXPECT_EQ(drive_handshake(l.client), r.connects);
        if (!r.connects) {
            EXPECT_EQ(l.client->tls, nullptr);
            EXPECT_EQ(net::flags_of(l.client), SOCK_FLAG_CLOSED | SOCK_FLAG_TLS_REQUIRED);
        }
    }
    EXPECT_EQ(tls_verify_accept_all_cb(0, nullptr), 0);
}

// However a session is lost, the socket is finished and nothing goes out in plain text.
TEST_F(Tls, LostSessionNeverFallsBackToPlain)
{
    enum how { close_notify, plain_bytes, reset };
    struct row {
        const char *what;
        how peer;
        int lost_read; // what the read that loses the session gives
    };
    const row rows[] = {
        {"peer sends close_notify", close_notify, 0},
        {"peer sends plain bytes", plain_bytes, -1},
        {"peer resets the connection", reset, -1},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        tls_link l(server_ctx(), client_ctx(keys.server_crt));
        sock_socket *server = l.connect();
        ASSERT_NE(server, nullptr);
        if (r.peer == close_notify) {
            tls_ctx *t = tls_get(server);
            tls_shutdown(t, server->descriptor);
            EXPECT_EQ(t->ssl, nullptr);
            obj_release(t);
        } else if (r.peer == plain_bytes) {
            ASSERT_EQ(write(server->descriptor, "plain text, no record\n", 22), 22);
        } else {
            linger now{1, 0};
            setsockopt(server->descriptor, SOL_SOCKET, SO_LINGER, &now, sizeof(now));
            replace_with_null(server->descriptor);
        }
        char buf[64];
        EXPECT_EQ(read_some(l.client, buf, sizeof(buf)), r.lost_read);
        EXPECT_EQ(l.client->tls, nullptr);
        EXPECT_EQ(net::flags_of(l.client), SOCK_FLAG_CLOSED | SOCK_FLAG_TLS_REQUIRED);
        EXPECT_EQ(sock_write(l.client, "SECRET", 6), -1);
        EXPECT_EQ(sock_read(l.client, buf, sizeof(buf)), -1);
        EXPECT_EQ(drain(server->descriptor).find("SECRET"), std::string::npos);
    }

    SCOPED_TRACE("no TLS session can be made");
    raw_socket peer;
    auto *no_ssl_ctx = static_cast<tls_ctx *>(obj_alloc(sizeof(tls_ctx), tls_ctx_destroy));
    sock_socket *s = sock_open_tcp_client("127.0.0.1", peer.service().c_str(), no_ssl_ctx, 0);
    ASSERT_NE(s, nullptr);
    tls_connect_start(s);
    EXPECT_EQ(s->tls, nullptr);
    EXPECT_EQ(net::flags_of(s), SOCK_FLAG_CLOSED | SOCK_FLAG_TLS_REQUIRED);
    EXPECT_EQ(sock_write(s, "SECRET", 6), -1);
    int fd = peer.accept_one();
    EXPECT_EQ(drain(fd), "");
    close(fd);
    obj_release(s);

    SCOPED_TRACE("the handshake fails at once");
    sock_socket *listener = sock_open_tcp_server("127.0.0.1", "0", server_ctx(), 4, 5);
    ASSERT_NE(listener, nullptr);
    int client = net::raw_connect(net::port_of(listener->descriptor));
    ASSERT_EQ(write(client, "GET / HTTP/1.0\r\n\r\n", 18), 18);
    s = sock_accept(listener);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->tls, nullptr);
    EXPECT_EQ(net::flags_of(s), SOCK_FLAG_CLOSED | SOCK_FLAG_TLS_REQUIRED);
    EXPECT_EQ(sock_write(s, "SECRET", 6), -1);
    EXPECT_EQ(drain(client).find("SECRET"), std::string::npos);
    obj_release(s);
    obj_release(listener);
    close(client);
}

// At most four passes and three short waits, whatever the peer does and even on a blocking
// socket without time-outs (an accepted one).
TEST_F(Tls, ShutdownIsBoundedAndFreesTheSession)
{
    tls_shutdown(nullptr, -1);
    tls_ctx *idle = client_ctx(keys.server_crt);
    tls_shutdown(idle, -1); // no session: nothing to do
    obj_release(idle);

    struct row {
        const char *what;
        bool accepted_side, chatty_peer;
    };
    const row rows[] = {
        {"client, silent peer", false, false},
        {"client, peer keeps sending", false, true},
        {"accepted side, silent peer", true, false},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        tls_link l(server_ctx(), client_ctx(keys.server_crt));
        sock_socket *server = l.connect();
        ASSERT_NE(server, nullptr);
        timeval none{0, 0};
        setsockopt(server->descriptor, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof(none));
        sock_socket *me = r.accepted_side ? server : l.client;
        sock_socket *peer = r.accepted_side ? l.client : server;

        std::atomic<bool> stop{false};
        std::thread chat;
        if (r.chatty_peer)
            chat = std::thread([&] {
                while (!stop && sock_write(peer, "chat", 4) == 4)
                    usleep(2000);
            });
        tls_ctx *t = tls_get(me);
        ASSERT_NE(t, nullptr);
        std::atomic<bool> returned{false};
        std::thread closing([&] {
            tls_shutdown(t, me->descriptor);
            returned = true;
        });
        bool ended = wait_until([&] { return returned.load(); }, milliseconds(10000));
        stop = true;
        shutdown(peer->descriptor, SHUT_RDWR); // frees a shutdown that hangs, and the chat
        closing.join();
        if (chat.joinable())
            chat.join();
        ASSERT_TRUE(ended);
        EXPECT_EQ(t->ssl, nullptr);
        obj_release(t);
        if (!r.chatty_peer) {
            char buf[8];
            EXPECT_EQ(read_some(peer, buf, sizeof(buf)), 0); // the close_notify came
        }
    }
}

TEST_F(Tls, WritingToAGonePeerRaisesNoSignal)
{
    net::sigpipe_counter sigpipes;
    tls_link l(server_ctx(), client_ctx(keys.server_crt));
    sock_socket *server = l.connect();
    ASSERT_NE(server, nullptr);
    replace_with_null(server->descriptor); // the peer's socket is gone
    int n = 0;
    wait_until([&] { return (n = sock_write(l.client, "x", 1)) != 1; });
    EXPECT_EQ(n, -1);
    EXPECT_TRUE(net::flags_of(l.client) & SOCK_FLAG_CLOSED);
    EXPECT_EQ(sigpipes.count(), 0);
}

TEST_F(Tls, DtlsTimeoutComesFromARunningTimerOnly)
{
    raw_socket tcp, udp(SOCK_DGRAM);
    tls_ctx *dtls = tls_ctx_create(keys.server_crt.c_str(), nullptr, nullptr, SSL_VERIFY_NONE,
                                   DTLS_client_method(), 2);
    ASSERT_NE(dtls, nullptr);
    sock_socket *hello = sock_open_udp_client("127.0.0.1", udp.service().c_str(), dtls, 0, 0);
    ASSERT_NE(hello, nullptr);
    tls_attach(hello, nullptr, 0);
    char dg[2048];
    EXPECT_GT(recv(udp.fd, dg, sizeof(dg), 0), 0); // the client hello

    tls_link tls(server_ctx(), client_ctx(keys.server_crt));
    ASSERT_NE(tls.client, nullptr);
    sock_socket *plain = sock_open_tcp_client("127.0.0.1", tcp.service().c_str(), nullptr, 0);
    struct row {
        const char *what;
        sock_socket *s;
        long min_us, max_us;
    };
    const row rows[] = {
        {"no socket", nullptr, -1, -1},
        {"no context", plain, -1, -1},
        {"TLS session, no timer", tls.client, 777, 777},
        {"DTLS hello sent", hello, 1, 2000000},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        timeval tv{-1, -1};
        tls_dtls_get_timeout(r.s, &tv, 777);
        long us = tv.tv_sec < 0 ? -1 : tv.tv_sec * 1000000L + tv.tv_usec;
        EXPECT_GE(us, r.min_us);
        EXPECT_LE(us, r.max_us);
        tls_dtls_handle_timeout(r.s);
    }
    obj_release(hello);
    obj_release(plain);
}

// Both sides on loop threads: data both ways, and the client's end shuts the session down so
// that the server's side of it ends too.
void echo_cb(sock_socket *s, void *)
{
    char buf[256];
    int n = sock_read(s, buf, sizeof(buf));
    if (n > 0)
        (void)sock_write(s, buf, n);
}

struct seen {
    std::mutex m;
    std::string data;
    std::atomic<int> closed{0};
    std::vector<sock_socket *> accepted;
};

struct user_obj {
    seen *sink;
};

void *make_user(seen *sink)
{
    auto *u = static_cast<user_obj *>(obj_alloc(sizeof(user_obj), nullptr));
    u->sink = sink;
    return u;
}

// Keeps what one read of at most size bytes gives.
template <int size>
void collect_cb(sock_socket *s, void *u)
{
    seen *sink = static_cast<user_obj *>(u)->sink;
    char buf[size];
    int n = sock_read(s, buf, size);
    std::lock_guard<std::mutex> g(sink->m);
    if (n > 0)
        sink->data.append(buf, size_t(n));
}

TEST_F(Tls, LoopsCarryASessionAndItsEnd)
{
    seen server_seen, client_seen;
    void *server_user = make_user(&server_seen), *client_user = make_user(&client_seen);
    sock_socket *listener = sock_open_tcp_server("127.0.0.1", "0", server_ctx(), 4, 5);
    ASSERT_NE(listener, nullptr);
    sock_loop_start_listener(
        listener, echo_cb,
        [](sock_socket *child, void *u) {
            seen *sink = static_cast<user_obj *>(u)->sink;
            obj_retain(child);
            std::lock_guard<std::mutex> g(sink->m);
            sink->accepted.push_back(child);
        },
        [](void *u) { static_cast<user_obj *>(u)->sink->closed++; }, server_user);

    sock_socket *client = sock_open_tcp_client(
        "127.0.0.1", std::to_string(net::port_of(listener->descriptor)).c_str(),
        client_ctx(keys.server_crt), 0);
    ASSERT_NE(client, nullptr);
    sock_loop_start_tls(client, client_user, collect_cb<256>,
                        [](void *u) { static_cast<user_obj *>(u)->sink->closed++; });
    ASSERT_TRUE(wait_until([&] { return handshake_done(client); }));
    ASSERT_EQ(sock_write(client, "ping", 4), 4);
    ASSERT_TRUE(wait_until([&] {
        std::lock_guard<std::mutex> g(client_seen.m);
        return client_seen.data == "ping";
    }));

    sock_request_close(client);
    ASSERT_TRUE(wait_until([&] { return client_seen.closed == 1; }));
    sock_socket *child = [&] {
        std::lock_guard<std::mutex> g(server_seen.m);
        return server_seen.accepted.at(0);
    }();
    // The client's close_notify ends the server's session and its loop.
    ASSERT_TRUE(wait_until([&] { return net::flags_of(child) & SOCK_FLAG_CLOSED; }));
    EXPECT_EQ(net::flags_of(child), SOCK_FLAG_CLOSED | SOCK_FLAG_TLS_REQUIRED);
    EXPECT_TRUE(net::release_and_wait(client));
    sock_request_close(listener); // lets go of the finished child
    ASSERT_TRUE(wait_until([&] { return server_seen.closed == 1; }));
    EXPECT_TRUE(net::release_and_wait(child));
    EXPECT_TRUE(net::release_and_wait(listener));
    obj_release(server_user);
    obj_release(client_user);
}

// A readable callback that takes less than a record each time: the rest of the record is held
// by the session, not the descriptor, and must still reach the callback with nothing more sent.
TEST_F(Tls, LoopOffersWhatTheSessionHoldsWithoutNewBytes)
{
    tls_link l(server_ctx(), client_ctx(keys.server_crt));
    sock_socket *server = l.connect();
    ASSERT_NE(server, nullptr);
    // Records without data (session tickets) that came after the handshake are read here, so
    // that none of them wakes the loop later.
    for (pollfd p{l.client->descriptor, POLLIN, 0}; poll(&p, 1, 200) == 1;) {
        char c;
        if (sock_read(l.client, &c, 1) > 0 || (net::flags_of(l.client) & SOCK_FLAG_CLOSED))
            FAIL() << "no data was sent yet";
    }
    seen sink;
    void *user = make_user(&sink);
    sock_loop_start(
        l.client, collect_cb<100>, nullptr,
        [](void *u) { static_cast<user_obj *>(u)->sink->closed++; }, nullptr, nullptr, user);
    const std::string record(1000, 'r'); // one write, one record
    ASSERT_EQ(sock_write(server, record.data(), int(record.size())), int(record.size()));
    EXPECT_TRUE(wait_until(
        [&] {
            std::lock_guard<std::mutex> g(sink.m);
            return sink.data.size() == record.size();
        },
        seconds(5)));
    {
        std::lock_guard<std::mutex> g(sink.m);
        EXPECT_EQ(sink.data.size(), record.size());
        EXPECT_TRUE(sink.data == record);
    }
    sock_request_close(l.client);
    ASSERT_TRUE(wait_until([&] { return sink.closed == 1; }));
    obj_release(user);
}

} // namespace

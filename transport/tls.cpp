// TLS session layer.
//
// OpenSSL's error queue is per thread and SSL_get_error trusts it to hold only the last call's
// errors, so it is cleared before each call. A read or write that meets a broken session drops
// the socket's context and leaves the socket closed and TLS-only, so nothing after it can go out
// in plain text.
#include "transport/tls.h"

#include "core/obj.h"
#include "core/util.h"
#include "transport/sock.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <openssl/err.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>

namespace
{

// OpenSSL's socket BIO writes with write(), which raises SIGPIPE when the peer has gone and so
// would end the daemon; the plain paths avoid it with MSG_NOSIGNAL. While an OpenSSL call runs
// the signal is held back, and one that the call raised is taken off again.
class sigpipe_guard
{
public:
    sigpipe_guard()
    {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
        sigset_t pending;
        sigpending(&pending);
        was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    }
    ~sigpipe_guard()
    {
        int saved = errno;
        sigset_t pending;
        sigpending(&pending);
        if (!was_pending_ && sigismember(&pending, SIGPIPE) == 1) {
            timespec now{0, 0};
            while (sigtimedwait(&pipe_, nullptr, &now) < 0 && errno == EINTR) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
        errno = saved;
    }
    sigpipe_guard(const sigpipe_guard &) = delete;
    sigpipe_guard &operator=(const sigpipe_guard &) = delete;

private:
    sigset_t pipe_, old_;
    bool was_pending_;
};

void set_socket_flags(sock_socket *s, uint32_t bits)
{
    obj_guard g(s);
    s->flags |= bits;
}

// The session is gone for good: the socket keeps no context and accepts no plain I/O.
void drop_context(sock_socket *s, tls_ctx *t)
{
    tls_ctx *dropped = nullptr;
    obj_lock(s);
    if (s->tls == t) {
        dropped = t;
        s->tls = nullptr;
    }
    s->flags |= SOCK_FLAG_TLS_REQUIRED | SOCK_FLAG_CLOSED;
    obj_unlock(s);
    if (dropped)
        obj_release(dropped);
}

// OpenSSL's word for a session on which no further I/O may be made.
bool is_fatal(int ssl_error)
{
    return ssl_error == SSL_ERROR_SSL || ssl_error == SSL_ERROR_SYSCALL ||
           ssl_error == SSL_ERROR_ZERO_RETURN;
}

void free_session(tls_ctx *t)
{
    SSL_free(t->ssl);
    t->ssl = nullptr;
    t->bio = nullptr;
}

struct io_texts {
    const char *want_read, *want_write, *syscall;
};
constexpr io_texts READ_TEXTS{"Read Want Read", "Read Want write", "R syscall %i %i\n"};
constexpr io_texts WRITE_TEXTS{"Send Want Read", "Send Want write", "W syscall %i %i\n"};

// Acts on the outcome of an SSL_read or SSL_write: tells what happened on standard output,
// drops a session that cannot go on, and gives the errno for the caller: EAGAIN when it is
// to try again later.
int settle(sock_socket *s, tls_ctx *t, int n, int e, int err, const io_texts &texts)
{
    switch (e) {
    case SSL_ERROR_NONE:
        break;
    case SSL_ERROR_WANT_READ:
        puts(texts.want_read);
        return EAGAIN;
    case SSL_ERROR_WANT_WRITE:
        puts(texts.want_write);
        return EAGAIN;
    case SSL_ERROR_WANT_X509_LOOKUP:
        puts("Want X509");
        break;
    case SSL_ERROR_SYSCALL: {
        unsigned long q = ERR_get_error();
        if (q != 0 || n == -1)
            printf(texts.syscall, int(q), n);
        drop_context(s, t);
        break;
    }
    case SSL_ERROR_SSL:
    case SSL_ERROR_ZERO_RETURN:
        drop_context(s, t);
        return EPROTO;
    default:
        puts("other");
        break;
    }
    return err;
}

} // namespace

tls_ctx *tls_get(sock_socket *s, uint32_t *flags)
{
    if (!s)
        return nullptr;
    obj_guard g(s);
    if (flags)
        *flags = s->flags;
    return s->tls && obj_retain(s->tls) > 0 ? s->tls : nullptr;
}

int tls_library_init()
{
    OPENSSL_init_ssl(0, nullptr);
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    OPENSSL_init_ssl(0, nullptr);
    void *block = malloc(32);
    if (!block)
        return 0;
    int r = util_random_bytes(block, 32);
    free(block);
    return r;
}

tls_ctx *tls_ctx_create(const char *ca_path, const char *cert_file, const char *key_file,
                        int verify_mode, const SSL_METHOD *method, int tag)
{
    auto *t = static_cast<tls_ctx *>(obj_alloc(sizeof(tls_ctx), tls_ctx_destroy));
    if (!t)
        return nullptr;
    t->flags = uint32_t(tag);
    t->method = method;
    t->ssl_ctx = method ? SSL_CTX_new(method) : nullptr;
    struct stat st;
    if (!t->ssl_ctx || !ca_path || stat(ca_path, &st) != 0) {
        obj_release(t);
        return nullptr;
    }
    int loaded = 0;
    if (S_ISDIR(st.st_mode))
        loaded = SSL_CTX_load_verify_locations(t->ssl_ctx, nullptr, ca_path);
    if (loaded != 1)
        loaded = SSL_CTX_load_verify_locations(t->ssl_ctx, ca_path, nullptr);
    if (loaded != 1) {
        ERR_clear_error();
        obj_release(t);
        return nullptr;
    }
    if (cert_file)
        (void)SSL_CTX_use_certificate_file(t->ssl_ctx, cert_file, SSL_FILETYPE_PEM);
    if (key_file)
        (void)SSL_CTX_use_PrivateKey_file(t->ssl_ctx, key_file, SSL_FILETYPE_PEM);
    (void)SSL_CTX_check_private_key(t->ssl_ctx);
    ERR_clear_error();
    SSL_CTX_set_verify(t->ssl_ctx, verify_mode, tls_verify_accept_all_cb);
    SSL_CTX_set_verify_depth(t->ssl_ctx, 1);
    return t;
}

tls_ctx *tls_ctx_create_tag2(const char *ca_path, const char *cert_file, const char *key_file,
                             int verify_mode)
{
    return tls_ctx_create(ca_path, cert_file, key_file, verify_mode, TLS_method(), 2);
}

tls_ctx *tls_ctx_create_tag4(const char *ca_path, const char *cert_file, const char *key_file,
                             int verify_mode)
{
    return tls_ctx_create(ca_path, cert_file, key_file, verify_mode, TLS_method(), 4);
}

int tls_verify_accept_all_cb(int preverify, X509_STORE_CTX *)
{
    return preverify;
}

void tls_ctx_destroy(void *p)
{
    auto *t = static_cast<tls_ctx *>(p);
    // A session that no loop shut down (no loop, or a dropped context) still owns memory.
    if (t->ssl)
        free_session(t);
    if (t->parent)
        obj_release(t->parent);
    t->parent = nullptr;
    if (t->ssl_ctx)
        SSL_CTX_free(t->ssl_ctx);
    t->ssl_ctx = nullptr;
}

void tls_attach(sock_socket *s, tls_ctx *parent, int server)
{
    if (!s)
        return;
    obj_guard socket_lock(s);
    tls_ctx *t = s->tls;
    if (!t)
        return;
    obj_guard session_lock(t);
    if (t->ssl) // already attached: a second session would orphan the first
        return;
    if (parent) {
        obj_guard g(parent);
        t->ssl = SSL_new(parent->ssl_ctx);
    } else {
        t->ssl = SSL_new(t->ssl_ctx);
    }
    bool made = t->ssl != nullptr;
    int e = SSL_ERROR_NONE;
    if (made) {
        t->bio = BIO_new_socket(s->descriptor, BIO_NOCLOSE);
        socket_lock.unlock();
        SSL_set_bio(t->ssl, t->bio, t->bio);
        // On a non-blocking socket the handshake goes on inside the loop's reads.
        ERR_clear_error();
        {
            sigpipe_guard no_sigpipe;
            int r = server ? SSL_accept(t->ssl) : SSL_connect(t->ssl);
            e = SSL_get_error(t->ssl, r);
        }
        t->flags |= server ? TLS_FLAG_SERVER : TLS_FLAG_CLIENT;
        if (parent && obj_retain(parent) > 0)
            t->parent = parent;
    }
    session_lock.unlock();
    socket_lock.unlock(); // still held when no session was made
    // No session, or a handshake that failed outright: a session that only ever fails again.
    if (!made || is_fatal(e)) {
        ERR_clear_error();
        drop_context(s, t);
    }
}

void tls_attach_accepted(sock_socket *s, tls_ctx *listener_ctx)
{
    set_socket_flags(s, SOCK_FLAG_TLS_REQUIRED);
    auto *t = static_cast<tls_ctx *>(obj_alloc(sizeof(tls_ctx), tls_ctx_destroy));
    if (!t) {
        set_socket_flags(s, SOCK_FLAG_CLOSED);
        return;
    }
    obj_lock(s);
    tls_ctx *old = s->tls;
    s->tls = t;
    obj_unlock(s);
    if (old)
        obj_release(old);
    tls_attach(s, listener_ctx, 1);
}

void tls_connect_start(sock_socket *s)
{
    tls_ctx *t = tls_get(s);
    if (!t)
        return;
    bool stream;
    {
        obj_guard g(s);
        stream = s->type == SOCK_STREAM;
    }
    obj_lock(t);
    bool server_side = t->flags & TLS_FLAG_SERVER;
    obj_unlock(t);
    obj_release(t);
    if (stream && !server_side)
        tls_attach(s, nullptr, 0);
}

void tls_shutdown(tls_ctx *t, int descriptor)
{
    if (!t)
        return;
    obj_lock(t);
    bool gone = !t->ssl;
    sigpipe_guard no_sigpipe;
    // The passes do their own bounded waiting; on a blocking descriptor (an accepted socket)
    // SSL_shutdown would wait for the peer's close_notify without limit.
    int mode = gone ? -1 : fcntl(descriptor, F_GETFL);
    if (mode >= 0 && !(mode & O_NONBLOCK))
        (void)fcntl(descriptor, F_SETFL, mode | O_NONBLOCK);
    for (int pass = 1; !gone; pass++) {
        ERR_clear_error();
        int r = SSL_shutdown(t->ssl);
        bool go_on = true;
        if (r <= 0) {
            // Lets a reader or writer of the same session in for a moment.
            obj_unlock(t);
            obj_lock(t);
            if (!t->ssl) {
                gone = true;
                break;
            }
            if (r == 0) {
                ERR_clear_error();
                r = SSL_shutdown(t->ssl);
            }
            int e = SSL_get_error(t->ssl, r);
            if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) {
                if (e != SSL_ERROR_NONE && e != SSL_ERROR_SSL && e != SSL_ERROR_SYSCALL)
                    printf("SSL Shutdown unknown error %i\n", e);
                go_on = r != 0;
            }
        }
        if (!go_on || pass == 4)
            break;
        pollfd pfd{descriptor, POLLIN, 0};
        if (poll(&pfd, 1, 100) <= 0)
            break;
    }
    if (!gone)
        free_session(t);
    if (mode >= 0 && !(mode & O_NONBLOCK))
        (void)fcntl(descriptor, F_SETFL, mode);
    ERR_clear_error();
    obj_unlock(t);
}

int tls_pending(sock_socket *s)
{
    tls_ctx *t = tls_get(s);
    if (!t)
        return 0;
    obj_lock(t);
    int n = t->ssl ? SSL_pending(t->ssl) : 0;
    obj_unlock(t);
    obj_release(t);
    return n;
}

int tls_read(sock_socket *s, tls_ctx *t, void *buf, int size)
{
    obj_lock(t);
    if (!t->ssl) {
        obj_unlock(t);
        errno = EPROTO;
        return -1;
    }
    int n, e, saved;
    {
        sigpipe_guard no_sigpipe; // a read may answer the peer
        ERR_clear_error();
        n = SSL_read(t->ssl, buf, size);
        e = SSL_get_error(t->ssl, n);
        saved = errno;
    }
    obj_unlock(t);
    if (n == 0)
        set_socket_flags(s, SOCK_FLAG_CLOSED);
    errno = settle(s, t, n, e, saved, READ_TEXTS);
    return n;
}

int tls_write(sock_socket *s, tls_ctx *t, const void *data, int length)
{
    obj_lock(t);
    if (!t->ssl) {
        obj_unlock(t);
        errno = EPROTO;
        return -1;
    }
    // Until the handshake is done nothing can be sent; the caller tries again later.
    if (SSL_get_state(t->ssl) != TLS_ST_OK) {
        obj_unlock(t);
        errno = EAGAIN;
        return -1;
    }
    // SSL_write reports nothing to send as a broken session, which would drop a sound one.
    if (length == 0) {
        obj_unlock(t);
        return 0;
    }
    int n, e, saved;
    {
        sigpipe_guard no_sigpipe;
        ERR_clear_error();
        n = SSL_write(t->ssl, data, length);
        e = SSL_get_error(t->ssl, n);
        saved = errno;
    }
    obj_unlock(t);
    if (n == -1)
        set_socket_flags(s, SOCK_FLAG_CLOSED);
    errno = settle(s, t, n, e, saved, WRITE_TEXTS);
    return n;
}

void tls_dtls_get_timeout(sock_socket *s, struct timeval *tv, int default_usec)
{
    tls_ctx *t = tv ? tls_get(s) : nullptr;
    if (!t)
        return;
    obj_lock(t);
    if (t->ssl && DTLSv1_get_timeout(t->ssl, tv) == 0) {
        tv->tv_sec = 0;
        tv->tv_usec = default_usec;
    }
    obj_unlock(t);
    obj_release(t);
}

void tls_dtls_handle_timeout(sock_socket *s)
{
    tls_ctx *t = tls_get(s);
    if (!t)
        return;
    obj_lock(t);
    if (t->ssl)
        (void)DTLSv1_handle_timeout(t->ssl);
    obj_unlock(t);
    obj_release(t);
}

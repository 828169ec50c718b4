// TLS session layer over OpenSSL for socket records.
//
// A tls_ctx made by tls_ctx_create holds an SSL_CTX. Given to a client socket it also becomes
// that socket's connection record (one socket per context); given to a listener it stays a
// shared context, and each accepted socket gets a connection record of its own whose parent
// is the listener's context. The record's own lock guards its TLS session: every OpenSSL call
// on the session is made with it held. Lock order: socket, its context, the parent context;
// the read and write paths never hold a context's lock while taking the socket's.
// A socket that once spoke TLS never falls back to plain bytes: losing its session marks it
// closed and TLS-only.
#pragma once

#include <cstdint>
#include <openssl/ssl.h>
#include <sys/time.h>

struct sock_socket;

// Low bits of flags hold the tag given to tls_ctx_create.
inline constexpr uint32_t TLS_FLAG_CLIENT = 0x10;
inline constexpr uint32_t TLS_FLAG_SERVER = 0x20;

struct tls_ctx {
    SSL_CTX *ssl_ctx; // null in an accepted socket's connection record
    SSL *ssl;
    BIO *bio; // belongs to ssl once attached
    uint32_t flags;
    const SSL_METHOD *method;
    tls_ctx *parent;
};

int tls_library_init();

// Null when the CA path does not exist or no trust store can be loaded from it. The
// certificate and key are optional: a client context needs none.
[[nodiscard]] tls_ctx *tls_ctx_create(const char *ca_path, const char *cert_file,
                                      const char *key_file, int verify_mode,
                                      const SSL_METHOD *method, int tag);
[[nodiscard]] tls_ctx *tls_ctx_create_tag2(const char *ca_path, const char *cert_file,
                                           const char *key_file, int verify_mode);
[[nodiscard]] tls_ctx *tls_ctx_create_tag4(const char *ca_path, const char *cert_file,
                                           const char *key_file, int verify_mode);

// Keeps OpenSSL's own verdict on the chain; the verify mode decides whether it matters.
int tls_verify_accept_all_cb(int preverify, X509_STORE_CTX *store);

// Gives the socket's context a TLS session over its descriptor and starts the handshake.
void tls_attach(sock_socket *s, tls_ctx *parent, int server);
void tls_attach_accepted(sock_socket *s, tls_ctx *listener_ctx);
// Client handshake for a stream socket whose context is not server-side; nothing otherwise.
void tls_connect_start(sock_socket *s);
// Sends close_notify and frees the TLS session: at most 4 passes, 3 waits of 100 ms.
void tls_shutdown(tls_ctx *t, int descriptor);

void tls_dtls_get_timeout(sock_socket *s, struct timeval *tv, int default_usec);
void tls_dtls_handle_timeout(sock_socket *s);

// The socket's context with a reference for the caller (null for none), and its flags.
[[nodiscard]] tls_ctx *tls_get(sock_socket *s, uint32_t *flags = nullptr);

// Bytes of a record already read from the descriptor that no read has taken yet: poll does
// not see them. 0 for a socket without a session.
int tls_pending(sock_socket *s);

// The TLS branches of sock_recvfrom and sock_sendto; the caller holds a reference to t.
int tls_read(sock_socket *s, tls_ctx *t, void *buf, int size);
int tls_write(sock_socket *s, tls_ctx *t, const void *data, int length);

void tls_ctx_destroy(void *t);

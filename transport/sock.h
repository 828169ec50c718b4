// Socket records: opening, accepting, closing, reading and writing.
//
// A sock_socket owns its descriptor (closed by the last release), its TLS context and a
// reference to the listener that accepted it; a listener served by a loop owns a table of its
// children. The record's own lock guards flags, tls and parent, and is held across every plain
// read or write call, so one socket never reads and writes at the same time. A listener's lock
// is held across its accept. Lock order: listener, accepted socket, TLS contexts.
#pragma once

#include <cstdint>
#include <sys/socket.h>

struct tls_ctx;
struct tbl_table;
struct thr_record;

inline constexpr uint32_t SOCK_FLAG_BOUND = 0x1;
// Ends the socket's loop; never cleared. Reads and writes still run until the last release.
inline constexpr uint32_t SOCK_FLAG_CLOSED = 0x2;
// Plain reads and writes are refused: the socket speaks TLS or nothing.
inline constexpr uint32_t SOCK_FLAG_TLS_REQUIRED = 0x4;
// Set by the owner: datagram sends to a given address pass the size of a sockaddr_un.
inline constexpr uint32_t SOCK_FLAG_UNIX_DGRAM = 0x8;
// Set by the owner: sends go to the record's stored address.
inline constexpr uint32_t SOCK_FLAG_SEND_STORED = 0x10;

struct sock_socket {
    int descriptor; // -1 until a socket is really open
    int protocol;
    int type;
    uint32_t flags;
    // A server's bound address, a client's own local address, an accepted socket's peer.
    struct sockaddr_storage address;
    tls_ctx *tls;
    sock_socket *parent;
    tbl_table *children;
    thr_record *thread;
};

// The TLS context passes to the record only when one is returned; on null it stays the
// caller's.
[[nodiscard]] sock_socket *sock_create(int family, int type, int protocol, tls_ctx *tls);

// Resolves host and service, tries each address in turn and hands back a non-blocking socket:
// bound (and listening for stream servers) when server is nonzero, connected otherwise.
// timeout is in seconds, 0 for none.
[[nodiscard]] sock_socket *sock_open(int family, int type, int protocol, const char *host,
                                     const char *service, tls_ctx *tls, int server, int backlog,
                                     int timeout, int broadcast);
[[nodiscard]] sock_socket *sock_open_client(int family, int type, int protocol, const char *host,
                                            const char *service, tls_ctx *tls, int timeout);
[[nodiscard]] sock_socket *sock_open_udp_client(const char *host, const char *service, tls_ctx *tls,
                                                int timeout, int broadcast);
[[nodiscard]] sock_socket *sock_open_tcp_client(const char *host, const char *service, tls_ctx *tls,
                                                int timeout);
[[nodiscard]] sock_socket *sock_open_server(int family, int type, int protocol, const char *host,
                                            const char *service, tls_ctx *tls, int backlog,
                                            int timeout);
[[nodiscard]] sock_socket *sock_open_udp_server(const char *host, const char *service, tls_ctx *tls,
                                                int timeout);
[[nodiscard]] sock_socket *sock_open_tcp_server(const char *host, const char *service, tls_ctx *tls,
                                                int backlog, int timeout);

// One accepted connection, blocking; its parent is set by the loop that accepts it.
[[nodiscard]] sock_socket *sock_accept(sock_socket *listener);

// Marks the socket finished; its loop ends at its next pass. The descriptor stays open until
// the last release.
void sock_request_close(sock_socket *s);

// Plain paths: one system call each, errno as the call left it. With a TLS context the TLS
// paths run instead. Results: bytes moved, 0 at end of stream (which marks the socket closed),
// -1 on failure or refusal.
int sock_recvfrom(sock_socket *s, void *buf, int size, struct sockaddr_storage *source);
int sock_read(sock_socket *s, void *buf, int size);
int sock_sendto(sock_socket *s, const void *data, int length,
                const struct sockaddr_storage *destination);
int sock_write(sock_socket *s, const void *data, int length);

// Formats an IPv4 or IPv6 address; any other family leaves the buffer as it was.
char *sock_addr_to_text(const struct sockaddr *address, char *buf, int size);

uint32_t sock_key_cb(const void *p, int is_key);
void sock_destroy(void *s);

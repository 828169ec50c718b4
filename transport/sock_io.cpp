// Socket reading and writing: the plain paths, one system call under the socket's lock.
//
// A socket with a TLS context hands over to the TLS paths, which keep that context alive with
// a reference of their own in case another thread drops it meanwhile. A refusal sets errno so
// that a caller waiting out EAGAIN never mistakes it for a busy socket.
#include "core/obj.h"
#include "transport/sock.h"
#include "transport/tls.h"

#include <cerrno>
#include <sys/un.h>
#include <unistd.h>

namespace
{

// Settles a call that must not take the plain path: a refusal, or the TLS path when the socket
// has a context. False when the plain path is to run.
template <class TlsIo>
bool not_plain(sock_socket *s, int size, int *result, TlsIo tls_io)
{
    *result = -1;
    if (!s || size < 0) {
        errno = EINVAL;
        return true;
    }
    uint32_t flags;
    if (tls_ctx *t = tls_get(s, &flags)) {
        *result = tls_io(t);
        obj_release(t);
        return true;
    }
    if (flags & SOCK_FLAG_TLS_REQUIRED) {
        errno = EPROTO;
        return true;
    }
    return false;
}

bool closes_socket(int err)
{
    switch (err) {
    case EBADF:
    case EAGAIN:
    case EPIPE:
    case ENOTSOCK:
    case ENOTCONN:
    case ETIMEDOUT:
        return true;
    default:
        return false;
    }
}

int send_one(sock_socket *s, const void *data, int length, const sockaddr_storage *dest)
{
    constexpr int flags = MSG_NOSIGNAL;
    const bool stored = s->flags & SOCK_FLAG_SEND_STORED;
    const auto *own = reinterpret_cast<const sockaddr *>(&s->address);
    const auto *to = reinterpret_cast<const sockaddr *>(dest);
    size_t n = size_t(length);
    if (dest && s->type == SOCK_DGRAM) {
        if (s->flags & SOCK_FLAG_UNIX_DGRAM)
            return int(sendto(s->descriptor, data, n, flags, to, sizeof(sockaddr_un)));
        if (!stored)
            return int(sendto(s->descriptor, data, n, flags, to, sizeof(sockaddr_storage)));
    }
    if (stored)
        return int(sendto(s->descriptor, data, n, flags, own, sizeof(sockaddr_storage)));
    return int(send(s->descriptor, data, n, flags));
}

} // namespace

int sock_recvfrom(sock_socket *s, void *buf, int size, struct sockaddr_storage *source)
{
    int result;
    if (not_plain(s, size, &result, [&](tls_ctx *t) { return tls_read(s, t, buf, size); }))
        return result;
    obj_guard g(s);
    ssize_t n;
    if (source && s->type == SOCK_DGRAM) {
        socklen_t len = sizeof(*source);
        n = recvfrom(s->descriptor, buf, size_t(size), 0, reinterpret_cast<sockaddr *>(source),
                     &len);
    } else {
        n = read(s->descriptor, buf, size_t(size));
    }
    if (n == 0)
        s->flags |= SOCK_FLAG_CLOSED;
    return int(n);
}

int sock_read(sock_socket *s, void *buf, int size)
{
    return sock_recvfrom(s, buf, size, nullptr);
}

int sock_sendto(sock_socket *s, const void *data, int length,
                const struct sockaddr_storage *destination)
{
    int result;
    if (not_plain(s, length, &result, [&](tls_ctx *t) { return tls_write(s, t, data, length); }))
        return result;
    obj_guard g(s);
    int n = send_one(s, data, length, destination);
    if (n < 0 && closes_socket(errno))
        s->flags |= SOCK_FLAG_CLOSED;
    return n;
}

int sock_write(sock_socket *s, const void *data, int length)
{
    return sock_sendto(s, data, length, nullptr);
}

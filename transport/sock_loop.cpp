// Socket loop threads.
//
// The loop waits with poll, so descriptors of any value can be served, and it never turns
// without a pause: a descriptor that nobody would read (an accepting loop that cannot accept,
// an extra descriptor without its callback) is not watched, and after a failed accept the
// listener sits out one pass.
#include "transport/sock_loop.h"

#include "core/obj.h"
#include "core/tbl.h"
#include "core/thr.h"
#include "transport/sock_loop_private.h"
#include "transport/tls.h"

#include <atomic>
#include <cerrno>
#include <poll.h>

namespace
{

// Whether a loop on s takes new peers: a bound stream socket, or a bound datagram socket that
// speaks DTLS. The caller holds the socket's lock.
bool accepts(const sock_socket *s)
{
    return (s->flags & SOCK_FLAG_BOUND) && (s->tls || s->type != SOCK_DGRAM);
}

constexpr int PASS_TIMEOUT_MS = 20;

std::atomic<sock_thread_start_fn> thread_start{thr_start};

uint32_t flags_of(sock_socket *s)
{
    obj_guard g(s);
    return s->flags;
}

bool accept_child(sock_loop *loop, tbl_table *children)
{
    sock_socket *s = loop->socket;
    sock_socket *child = sock_accept(s);
    if (!child)
        return false;
    obj_retain(s);
    obj_lock(child);
    child->parent = s;
    obj_unlock(child);
    if (children)
        (void)tbl_add(children, child);
    sock_loop_start_tls(child, loop->user, loop->on_readable, nullptr);
    if (loop->on_accept)
        loop->on_accept(child, loop->user);
    obj_release(child);
    return true;
}

// Every child loses its listener and is marked closed, which ends its own loop.
void close_children(tbl_table *children)
{
    tbl_iter *it = tbl_iter_create(children);
    if (!it)
        return;
    while (auto *child = static_cast<sock_socket *>(tbl_iter_next(it))) {
        tbl_iter_remove(it);
        obj_lock(child);
        sock_socket *parent = child->parent;
        child->parent = nullptr;
        child->flags |= SOCK_FLAG_CLOSED;
        obj_unlock(child);
        if (parent)
            obj_release(parent);
        obj_release(child);
    }
    obj_release(it);
}

} // namespace

sock_thread_start_fn sock_loop_set_thread_start(sock_thread_start_fn fn)
{
    return thread_start.exchange(fn ? fn : thr_start);
}

void sock_loop_start(sock_socket *s, sock_readable_fn on_readable, sock_accept_fn on_accept,
                     sock_close_fn on_close, sock_extra_fd_fn extra_fd,
                     sock_extra_readable_fn on_extra_readable, void *user)
{
    if (!s || !on_readable)
        return;
    {
        obj_guard g(s);
        if (s->thread)
            return;
    }
    auto *loop = static_cast<sock_loop *>(obj_alloc(sizeof(sock_loop), sock_loop_destroy));
    if (!loop)
        return;
    loop->on_readable = on_readable;
    loop->on_close = on_close;
    loop->on_accept = on_accept;
    loop->on_extra_readable = on_extra_readable;
    loop->extra_fd = extra_fd;
    if (user && obj_retain(user) > 0)
        loop->user = user;
    obj_retain(s);
    loop->socket = s;
    thr_record *rec =
        thread_start.load()(sock_loop_main, sock_loop_exit_cb, nullptr, loop, THR_RETURN_RECORD);
    obj_lock(s);
    s->thread = rec;
    obj_unlock(s);
    obj_release(loop);
}

void sock_loop_start_listener(sock_socket *s, sock_readable_fn on_readable,
                              sock_accept_fn on_accept, sock_close_fn on_close, void *user)
{
    if (!s)
        return;
    obj_lock(s);
    bool accepting = accepts(s);
    if (accepting && !s->children)
        s->children = tbl_create(6, sock_key_cb);
    obj_unlock(s);
    sock_loop_start(s, on_readable, on_accept, on_close, nullptr, nullptr, user);
}

void sock_loop_start_tls(sock_socket *s, void *user, sock_readable_fn on_readable,
                         sock_close_fn on_close)
{
    tls_connect_start(s);
    sock_loop_start(s, on_readable, nullptr, on_close, nullptr, nullptr, user);
}

void sock_loop_start_tls_ext(sock_socket *s, void *user, sock_readable_fn on_readable,
                             sock_close_fn on_close, sock_extra_fd_fn extra_fd,
                             sock_extra_readable_fn on_extra_readable)
{
    tls_connect_start(s);
    sock_loop_start(s, on_readable, nullptr, on_close, extra_fd, on_extra_readable, user);
}

long sock_loop_main(void *arg)
{
    auto *loop = static_cast<sock_loop *>(arg);
    sock_socket *s = loop->socket;
    int fd;
    bool accepting, can_accept;
    tbl_table *children = nullptr;
    {
        obj_guard g(s);
        fd = s->descriptor;
        accepting = accepts(s);
        can_accept = s->type == SOCK_STREAM || s->type == SOCK_SEQPACKET;
        if (s->children && obj_retain(s->children) > 0)
            children = s->children;
    }
    int extra = loop->extra_fd ? loop->extra_fd(loop->user, 1) : -1;
    bool watch_socket = !accepting || can_accept;
    bool watch_extra = extra >= 0 && loop->on_extra_readable;
    bool sit_out = false;

    while (thr_should_run() && !(flags_of(s) & SOCK_FLAG_CLOSED)) {
        pollfd fds[2];
        nfds_t n = 0;
        int si = -1, ei = -1;
        if (watch_extra) {
            ei = int(n);
            fds[n++] = {extra, POLLIN, 0};
        }
        if (watch_socket && !sit_out) {
            si = int(n);
            fds[n++] = {fd, POLLIN, 0};
        }
        sit_out = false;
        // What the session has already taken off the descriptor is offered without waiting
        // for bytes that may never come.
        bool buffered = si >= 0 && !accepting && tls_pending(s) > 0;
        int rc = poll(fds, n, buffered ? 0 : PASS_TIMEOUT_MS);
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc < 0)
            break;
        if (buffered)
            fds[si].revents |= POLLIN;
        else if (rc == 0)
            continue;
        // A descriptor closed under the loop ends it, as select's EBADF would.
        if ((ei >= 0 && (fds[ei].revents & POLLNVAL)) || (si >= 0 && (fds[si].revents & POLLNVAL)))
            break;
        if (ei >= 0 && fds[ei].revents)
            loop->on_extra_readable(s, loop->user);
        if (si < 0 || !fds[si].revents)
            continue;
        if (!accepting) {
            if (!(flags_of(s) & SOCK_FLAG_CLOSED))
                loop->on_readable(s, loop->user);
            continue;
        }
        // A listener that keeps failing (out of descriptors) would otherwise spin.
        sit_out = !accept_child(loop, children);
    }

    tls_ctx *t = tls_get(s);
    if (t) {
        tls_shutdown(t, fd);
        obj_release(t);
    }
    if (children) {
        close_children(children);
        obj_release(children);
    }
    if (loop->extra_fd)
        (void)loop->extra_fd(loop->user, 0);
    return 0;
}

void sock_loop_exit_cb(void *arg)
{
    auto *loop = static_cast<sock_loop *>(arg);
    if (loop->on_close)
        loop->on_close(loop->user);
    sock_loop_destroy(loop);
}

void sock_loop_destroy(void *arg)
{
    auto *loop = static_cast<sock_loop *>(arg);
    if (loop->user)
        obj_release(loop->user);
    loop->user = nullptr;
    if (loop->socket)
        obj_release(loop->socket);
    loop->socket = nullptr;
}

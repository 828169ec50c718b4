// Socket loop threads: one detached thread per served socket that waits for it to become
// readable and calls its owner back.
//
// References around a running loop: the socket holds the loop thread's thr_record, the record
// holds the sock_loop, the loop holds the socket and the user object. The exit routine calls
// on_close and then lets go of the socket and the user, which breaks that circle, so the socket
// is destroyed once its owner has released it too. Callbacks run on the loop thread with no
// lock of the socket layer held. A listener's loop accepts connections and gives each a loop of
// its own with the listener's user object and readable callback.
#pragma once

#include "transport/sock.h"

using sock_readable_fn = void (*)(sock_socket *s, void *user);
using sock_close_fn = void (*)(void *user);
// The callee retains the accepted socket if it keeps it.
using sock_accept_fn = void (*)(sock_socket *child, void *user);
// start 1: the extra descriptor to watch, negative for none; start 0: the loop has ended.
using sock_extra_fd_fn = int (*)(void *user, int start);
using sock_extra_readable_fn = void (*)(sock_socket *s, void *user);

struct sock_loop {
    sock_socket *socket;
    void *user; // a reference-counted object or null
    sock_readable_fn on_readable;
    sock_close_fn on_close;
    sock_accept_fn on_accept;
    sock_extra_readable_fn on_extra_readable;
    sock_extra_fd_fn extra_fd;
};

// None reports whether the thread started: after a failed start the socket's thread field is
// null and no callback is ever called. A socket is served by one loop at most; a second start
// does nothing.
void sock_loop_start(sock_socket *s, sock_readable_fn on_readable, sock_accept_fn on_accept,
                     sock_close_fn on_close, sock_extra_fd_fn extra_fd,
                     sock_extra_readable_fn on_extra_readable, void *user);
void sock_loop_start_listener(sock_socket *s, sock_readable_fn on_readable,
                              sock_accept_fn on_accept, sock_close_fn on_close, void *user);
void sock_loop_start_tls(sock_socket *s, void *user, sock_readable_fn on_readable,
                         sock_close_fn on_close);
void sock_loop_start_tls_ext(sock_socket *s, void *user, sock_readable_fn on_readable,
                             sock_close_fn on_close, sock_extra_fd_fn extra_fd,
                             sock_extra_readable_fn on_extra_readable);

long sock_loop_main(void *loop);
void sock_loop_exit_cb(void *loop);
void sock_loop_destroy(void *loop);

// The web server: libmicrohttpd in thread-per-connection mode, Basic authentication and the
// routes to the pages. The handler runs on each connection's own thread and shares nothing
// mutable: the context pointer is handed on untouched, and every lock is taken by the pages.
#pragma once

#include "station/station.h"

#include <cstddef>
#include <microhttpd.h>

// What web clients can hold at once, each connection a descriptor and a thread: in all, and
// from one client address. Far below the usual limit of 1024 descriptors, so that the radio's
// sockets and the rest of the daemon always find one; a browser opens up to 6 connections to a
// host, and a few operators may share one address. Connections beyond either are closed at once.
constexpr unsigned web_connection_limit = 64;
constexpr unsigned web_address_connection_limit = 16;

// Starts the server on port with its pages reading ctx, which must outlive it (no reference is
// taken); null when the library cannot start, for instance when the port is taken, which is
// said on standard error and in the log with the port and the cause.
[[nodiscard]] MHD_Daemon *web_start(app_ctx *ctx, int port);
void web_stop(MHD_Daemon *web);

// The access handler; user data is the app_ctx.
MHD_Result web_request_cb(void *ctx, MHD_Connection *connection, const char *url,
                          const char *method, const char *version, const char *upload_data,
                          size_t *upload_data_size, void **slot);

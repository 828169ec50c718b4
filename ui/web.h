// The web server: libmicrohttpd in thread-per-connection mode, Basic authentication and the
// routes to the pages. The handler runs on each connection's own thread and shares nothing
// mutable: the context pointer is handed on untouched, and every lock is taken by the pages.
#pragma once

#include "station/station.h"

#include <cstddef>
#include <microhttpd.h>

// Starts the server on port with its pages reading ctx, which must outlive it (no reference is
// taken); null when the library cannot start, for instance when the port is taken.
[[nodiscard]] MHD_Daemon *web_start(app_ctx *ctx, int port);
void web_stop(MHD_Daemon *web);

// The access handler; user data is the app_ctx.
MHD_Result web_request_cb(void *ctx, MHD_Connection *connection, const char *url,
                          const char *method, const char *version, const char *upload_data,
                          size_t *upload_data_size, void **slot);

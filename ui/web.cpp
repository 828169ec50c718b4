#include "ui/web.h"

#include "core/log.h"
#include "ui/web_files.h"
#include "ui/web_page.h"
#include "ui/web_private.h"
#include "ui/web_scan.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace
{

constexpr char body_401[] =
    "<html><head><title>BT Dremol Demo</title></head><body>Go Away</body></html>";
constexpr char body_404[] =
    "<html><head><title>Not found</title></head><body>Error 404.</body></html>";
static_assert(sizeof body_401 - 1 == 75 && sizeof body_404 - 1 == 73);

// Device names and log lines are UTF-8; a page that names no character set is read as
// Windows-1252, and every non-ASCII name comes out garbled.
constexpr char page_type[] = "text/html; charset=utf-8";

constexpr char realm[] = "BT Dremol";
constexpr char web_user[] = "admin";
constexpr char web_password[] = "tulvex";

// A scan page holds the context's lock until its response is freed: a client that stops
// reading must lose its connection, or scanning would stop for good. A few seconds beyond the
// page's 5-second refresh keeps an open browser's connection.
constexpr unsigned connection_timeout = 8;

std::atomic<web_response_fn> make_response{MHD_create_response_from_callback};

// Only its address marks a request whose first call has been seen.
const char request_marker = 0;

enum class route { scan, log, clearlog, file, not_found };

route route_of(const char *url)
{
    if (strncmp(url, "/scan", 5) == 0 || strcmp(url, "/") == 0)
        return route::scan;
    if (strcmp(url, "/log") == 0)
        return route::log;
    if (strcmp(url, "/clearlog") == 0)
        return route::clearlog;
    if (strcmp(url, "/style.css") == 0 || strcmp(url, "/script.js") == 0)
        return route::file;
    return route::not_found;
}

bool authorized(MHD_Connection *connection)
{
    char *password = nullptr;
    char *user = MHD_basic_auth_get_username_password(connection, &password);
    bool ok =
        user && password && strcmp(user, web_user) == 0 && strcmp(password, web_password) == 0;
    MHD_free(user);
    MHD_free(password);
    return ok;
}

// Queues a response whose body is one of the constant texts.
MHD_Result queue_constant(MHD_Connection *connection, const char *body, size_t length,
                          unsigned status)
{
    // The library only reads a persistent buffer.
    MHD_Response *r =
        MHD_create_response_from_buffer(length, const_cast<char *>(body), MHD_RESPMEM_PERSISTENT);
    if (!r)
        return MHD_NO;
    MHD_Result ret;
    if (status == MHD_HTTP_UNAUTHORIZED) {
        ret = MHD_queue_basic_auth_fail_response(connection, realm, r);
    } else {
        ret = MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, page_type);
        if (ret == MHD_YES)
            ret = MHD_queue_response(connection, status, r);
    }
    MHD_destroy_response(r);
    return ret;
}

// The page record for an accepted request, with the state of its route; null when the record
// cannot be made. A state that cannot be made leaves the page without one, which each page
// shows in its own way.
web_page *make_page(route rt, const char *url, app_ctx *ctx, MHD_Connection *connection)
{
    const char *id = strlen(url) == 1 ? "scan" : url[0] ? url + 1 : url;
    web_page *page = web_page_create(id);
    if (!page)
        return nullptr;
    if (rt == route::scan) {
        auto *st = web_scan_state_create(ctx);
        if (st)
            st->connection = connection;
        page->state = st;
    } else if (rt == route::file) {
        page->state = web_file_create(url + 1);
    }
    return page;
}

} // namespace

web_response_fn web_set_response_maker(web_response_fn fn)
{
    return make_response.exchange(fn ? fn : MHD_create_response_from_callback);
}

MHD_Daemon *web_start(app_ctx *ctx, int port)
{
    // A connection's socket is closed by the listening thread, which otherwise wakes only for
    // the next accept: after a burst, the finished connections' descriptors would stay open
    // for as long as no new client came. The wake-up channel lets each finished connection
    // wake it at once. poll() rather than select(), which cannot watch a descriptor above 1023
    // (a raised limit): neither the listening socket nor a client's.
    constexpr unsigned flags =
        MHD_USE_POLL_INTERNAL_THREAD | MHD_USE_THREAD_PER_CONNECTION | MHD_USE_ITC;
    errno = 0;
    MHD_Daemon *web = MHD_start_daemon(
        flags, uint16_t(port), nullptr, nullptr, web_request_cb, ctx, MHD_OPTION_CONNECTION_TIMEOUT,
        connection_timeout, MHD_OPTION_CONNECTION_LIMIT, web_connection_limit,
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, web_address_connection_limit, MHD_OPTION_END);
    // The daemon goes on without pages, and with no page loaded its scan window never opens:
    // without these lines an operator would only see a station that never scans.
    if (!web) {
        int err = errno;
        char buf[256];
        const char *cause = err ? strerror_r(err, buf, sizeof buf) : "cause unknown";
        fprintf(stderr, "Web server failed to start on port %d: %s\n", port, cause);
        log_message("Web server failed to start on port %d: %s\n", port, cause);
    }
    return web;
}

void web_stop(MHD_Daemon *web)
{
    if (web)
        MHD_stop_daemon(web);
}

MHD_Result web_request_cb(void *ctx, MHD_Connection *connection, const char *url,
                          const char *method, const char *, const char *, size_t *upload_data_size,
                          void **slot)
{
    if (strcmp(method, MHD_HTTP_METHOD_GET) != 0)
        return MHD_NO;
    if (*slot != &request_marker) {
        *slot = const_cast<char *>(&request_marker);
        return MHD_YES;
    }
    if (*upload_data_size != 0)
        return MHD_NO;
    *slot = nullptr;
    if (!authorized(connection))
        return queue_constant(connection, body_401, sizeof body_401 - 1, MHD_HTTP_UNAUTHORIZED);

    route rt = route_of(url);
    if (rt == route::not_found)
        return queue_constant(connection, body_404, sizeof body_404 - 1, MHD_HTTP_NOT_FOUND);

    static constexpr struct {
        MHD_ContentReaderCallback reader;
        size_t block;
        const char *type;
    } routes[] = {
        {web_scan_reader_cb, 1024, page_type},
        {web_log_reader_cb, 128, page_type},
        {web_clearlog_reader_cb, 128, page_type},
        {web_file_reader_cb, 128, "text/plain"},
    };
    const auto &r = routes[int(rt)];
    web_page *page = make_page(rt, url, static_cast<app_ctx *>(ctx), connection);
    if (!page)
        return MHD_NO;
    MHD_Response *response =
        make_response.load()(MHD_SIZE_UNKNOWN, r.block, r.reader, page, web_page_free_cb);
    // The library never frees a page that no response owns.
    if (!response) {
        web_page_free_cb(page);
        return MHD_NO;
    }
    // From here the response owns the page: dropping it frees the page.
    MHD_Result ret = MHD_YES;
    if (rt == route::scan)
        ret = MHD_add_response_header(response, "Refresh", "5");
    if (ret == MHD_YES)
        ret = MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, r.type);
    if (ret == MHD_YES)
        ret = MHD_queue_response(connection, MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    return ret;
}

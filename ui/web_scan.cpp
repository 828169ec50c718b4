#include "ui/web_scan.h"

#include "core/obj.h"

#include <cstdio>
#include <cstring>
#include <microhttpd.h>

namespace
{

constexpr char closing[] = "</span>";

const char *status_class(uint32_t flags)
{
    if (flags & BT_DEV_ERROR)
        return "deverror";
    if (flags & BT_DEV_OBR_OK)
        return "devok";
    if (flags & BT_DEV_PAIRED)
        return "devconnet";
    return "devnew";
}

// Calls fn with the text of each RFCOMM service of the chain, each record under its own lock.
// A record that is no longer live ends the walk: its link cannot be trusted.
template <class Fn>
void rfcomm_texts(bt_service *services, Fn fn)
{
    for (bt_service *s = services; s;) {
        auto ref = obj_ref<bt_service>::retain(s);
        if (!ref)
            return;
        obj_guard g(s);
        if (s->text && s->protocol == BT_PROTO_RFCOMM)
            fn(s->text);
        s = s->next;
    }
}

// Takes a reference to the context and its lock, waiting while another page or the scan loop
// holds it; false when the context is going. The connection's time-out is there for a client
// that stopped reading: a page waiting here has sent its headers and nothing more, and under
// the time-out it would be cut the moment it got the lock. So the wait runs without it, and it
// counts afresh from the lock on.
bool hold_context(app_ctx *ctx, MHD_Connection *connection)
{
    unsigned timeout = 0;
    if (connection) {
        const MHD_ConnectionInfo *info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_TIMEOUT);
        timeout = info ? info->connection_timeout : 0;
        (void)MHD_set_connection_option(connection, MHD_CONNECTION_OPTION_TIMEOUT, 0u);
    }
    bool held = obj_retain(ctx) > 0;
    if (held)
        obj_lock(ctx);
    // Set after none, a time-out starts from now.
    if (connection)
        (void)MHD_set_connection_option(connection, MHD_CONNECTION_OPTION_TIMEOUT, timeout);
    return held;
}

} // namespace

web_scan_state *web_scan_state_create(app_ctx *context)
{
    auto *st =
        static_cast<web_scan_state *>(obj_alloc(sizeof(web_scan_state), web_scan_state_destroy));
    if (st)
        st->context = context;
    return st;
}

void web_scan_state_destroy(void *p)
{
    auto *st = static_cast<web_scan_state *>(p);
    // A state freed before its first reader call neither locked nor retained its context.
    if (st->held) {
        obj_unlock(st->context);
        obj_release(st->context);
        st->held = 0;
    }
    st->context = nullptr;
    obj_release(st->cursor);
    st->cursor = nullptr;
}

web_chunk *web_format_device(const char *description, bt_service *services, const char *status)
{
    char opening[32];
    int n = snprintf(opening, sizeof opening, "<span class=%s>", status);
    if (n < 0 || size_t(n) >= sizeof opening)
        return nullptr;
    const char *desc = description ? description : "";
    size_t length = size_t(n) + web_escaped_length(desc) + sizeof closing - 1;
    rfcomm_texts(services, [&](const char *text) { length += web_escaped_length(text); });

    web_chunk *chunk = web_chunk_create(length);
    if (!chunk)
        return nullptr;
    char *out = chunk->text;
    memcpy(out, opening, size_t(n));
    out = web_escape(out + n, desc);
    rfcomm_texts(services, [&](const char *text) { out = web_escape(out, text); });
    memcpy(out, closing, sizeof closing - 1);
    return chunk;
}

bt_device *web_emit_device(web_page *page, bt_device *dev)
{
    if (!dev)
        return nullptr;
    if (page->space == 0)
        return dev;
    auto *st = static_cast<web_scan_state *>(page->state);
    web_chunk *chunk = nullptr;
    bt_device *next = nullptr;
    {
        obj_guard g(dev);
        uint32_t f = dev->flags;
        bool shown = (st->show_all || (f & BT_DEV_MAKER)) && !(f & BT_DEV_EXPIRED);
        // A piece that cannot be made leaves the device out, as if it were not shown.
        if (shown && (chunk = web_format_device(dev->description, dev->services, status_class(f))))
            web_page_add_section(page, WEB_SEC_DEVICE);
        if (dev->next && obj_retain(dev->next) > 0)
            next = dev->next;
    }
    obj_release(dev);
    if (chunk)
        web_emit_chunk(page, chunk);
    return next;
}

ssize_t web_scan_reader_cb(void *p, uint64_t pos, char *buf, size_t max)
{
    auto *page = static_cast<web_page *>(p);
    auto *st = static_cast<web_scan_state *>(page->state);
    web_page_begin(page, buf, max);
    if (pos == 0 && st) {
        st->show_all = !page->id || strcmp(page->id, "scan") != 0;
        app_ctx *ctx = st->context;
        if (ctx && hold_context(ctx, st->connection)) {
            st->held = 1;
            app_ctx_mark_web(ctx);
            if (ctx->devices && obj_retain(ctx->devices) > 0)
                st->cursor = ctx->devices;
        } else {
            st->context = nullptr;
        }
    }
    web_emit_header(page, WEB_SCAN_TITLE);
    while (st && st->cursor && page->space > 0)
        st->cursor = web_emit_device(page, st->cursor);
    // Both wait while the buffer is full, so they always follow the last device.
    web_emit(page, WEB_NO_DEVICE, WEB_SEC_DEVICE);
    web_emit(page, WEB_FOOTER, WEB_SEC_FOOTER);
    return web_page_end(page);
}

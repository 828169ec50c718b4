#include "ui/web_page.h"

#include "core/obj.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <microhttpd.h>

namespace
{

constexpr char head[] =
    "<html><head><link rel=stylesheet type=text/css href=style.css /><script "
    "type=text/javascript src=script.js></script></head><body onload=page_loaded()><title>BT "
    "Dremol Birthing App</title><div id=heading><span class=heading_text>";
constexpr char heading_end[] = "</span></div><div id=container><div id=menu>";
constexpr char menu[] =
    "<A id=menu_scan href=scan>BT Dremol</A><BR><A id=menu_scanall href=scanall>All "
    "Devices</A><BR><A id=menu_log href=log>Log</A><BR><A id=menu_clearlog "
    "href=clearlog>Clear Log</A>";
constexpr char content[] = "</div><div id=content>";
static_assert(sizeof head - 1 == 228 && sizeof heading_end - 1 == 44 && sizeof menu - 1 == 176 &&
              sizeof content - 1 == 22 && sizeof WEB_FOOTER - 1 == 32);

// The page's div names it after the page id; a longer text is cut at 63 bytes.
constexpr size_t div_size = 64;

const char *entity(unsigned char c, bool attribute)
{
    switch (c) {
    case '&':
        return "&amp;";
    case '<':
        return "&lt;";
    case '>':
        return "&gt;";
    case '"':
        return "&quot;";
    case '\'':
        return "&#39;";
    default:
        break;
    }
    if (!attribute)
        return nullptr;
    switch (c) {
    case ' ':
        return "&#32;";
    case '\t':
        return "&#9;";
    case '\n':
        return "&#10;";
    case '\f':
        return "&#12;";
    case '\r':
        return "&#13;";
    default:
        return nullptr;
    }
}

// The div piece, or false when its text cannot be made in this call.
bool format_div(const char *id, char out[div_size])
{
    if (!id) {
        snprintf(out, div_size, "<div>");
        return true;
    }
    size_t n = web_escaped_length(id, true);
    char *escaped = static_cast<char *>(malloc(n + 1));
    if (!escaped)
        return false;
    *web_escape(escaped, id, true) = '\0';
    snprintf(out, div_size, "<div id=%s_div>", escaped);
    free(escaped);
    return true;
}

} // namespace

web_page *web_page_create(const char *id)
{
    auto *page = static_cast<web_page *>(obj_alloc(sizeof(web_page), nullptr));
    if (!page)
        return nullptr;
    if (id && !(page->id = strdup(id))) {
        obj_release(page);
        return nullptr;
    }
    return page;
}

void web_page_free_cb(void *p)
{
    auto *page = static_cast<web_page *>(p);
    if (!page)
        return;
    obj_release(page->state);
    page->state = nullptr;
    obj_release(page->pending);
    page->pending = nullptr;
    free(page->id);
    page->id = nullptr;
    obj_release(page);
}

void web_page_begin(web_page *page, char *buf, size_t max)
{
    page->out = buf;
    page->space = uint32_t(std::min<size_t>(max, UINT32_MAX));
    page->written = 0;
}

ssize_t web_page_end(const web_page *page)
{
    // A call that writes nothing ends the body.
    return page->written > 0 ? ssize_t(page->written) : MHD_CONTENT_READER_END_OF_STREAM;
}

bool web_page_has_section(web_page *page, uint32_t section)
{
    obj_guard g(page);
    return (page->sections & section) != 0;
}

void web_page_add_section(web_page *page, uint32_t section)
{
    obj_guard g(page);
    page->sections |= section;
}

web_chunk *web_chunk_create(size_t length)
{
    if (length > UINT32_MAX)
        return nullptr;
    auto *chunk = static_cast<web_chunk *>(obj_alloc(sizeof(web_chunk), web_chunk_destroy));
    if (!chunk)
        return nullptr;
    // An empty piece still owns a text, so that no null needs a case of its own.
    chunk->text = static_cast<char *>(malloc(length ? length : 1));
    if (!chunk->text) {
        obj_release(chunk);
        return nullptr;
    }
    chunk->length = chunk->remaining = uint32_t(length);
    return chunk;
}

void web_chunk_destroy(void *p)
{
    auto *chunk = static_cast<web_chunk *>(p);
    free(chunk->text);
    chunk->text = nullptr;
}

void web_flush(web_page *page)
{
    if (!page || !page->pending || page->space == 0)
        return;
    web_chunk *chunk = page->pending;
    uint32_t n = std::min(page->space, chunk->remaining);
    memcpy(page->out + page->written, chunk->text + (chunk->length - chunk->remaining), n);
    chunk->remaining -= n;
    page->space -= n;
    page->written += n;
    if (chunk->remaining == 0) {
        page->pending = nullptr;
        obj_release(chunk);
    }
}

void web_emit_chunk(web_page *page, web_chunk *chunk)
{
    web_flush(page);
    // A piece still waiting keeps its place: nothing may overtake it.
    if (page->pending || page->space == 0) {
        obj_release(chunk);
        return;
    }
    page->pending = chunk;
    web_flush(page);
}

void web_emit(web_page *page, const char *text, uint32_t section)
{
    if (!page || !text)
        return;
    web_flush(page);
    if (page->space == 0 || page->pending)
        return;
    if (section && web_page_has_section(page, section))
        return;
    size_t n = strlen(text);
    web_chunk *chunk = web_chunk_create(n);
    // Not taken: the section stays clear and a later call tries again.
    if (!chunk)
        return;
    memcpy(chunk->text, text, n);
    if (section)
        web_page_add_section(page, section);
    web_emit_chunk(page, chunk);
}

void web_emit_header(web_page *page, const char *title)
{
    // Each emit first sends what the previous call left unfinished.
    const struct {
        const char *text;
        uint32_t section;
    } pieces[] = {{head, WEB_SEC_HEAD},
                  {title, WEB_SEC_TITLE},
                  {heading_end, WEB_SEC_HEADING_END},
                  {menu, WEB_SEC_MENU},
                  {content, WEB_SEC_CONTENT}};
    for (const auto &p : pieces)
        web_emit(page, p.text, p.section);
    web_flush(page);
    char div[div_size];
    if (page->space > 0 && !web_page_has_section(page, WEB_SEC_DIV) && format_div(page->id, div))
        web_emit(page, div, WEB_SEC_DIV);
}

size_t web_escaped_length(const char *text, bool attribute)
{
    size_t n = 0;
    for (const char *s = text; *s; s++) {
        const char *e = entity(static_cast<unsigned char>(*s), attribute);
        n += e ? strlen(e) : 1;
    }
    return n;
}

char *web_escape(char *out, const char *text, bool attribute)
{
    for (const char *s = text; *s; s++) {
        if (const char *e = entity(static_cast<unsigned char>(*s), attribute)) {
            size_t n = strlen(e);
            memcpy(out, e, n);
            out += n;
        } else {
            *out++ = *s;
        }
    }
    return out;
}

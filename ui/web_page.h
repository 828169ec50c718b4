// Streamed page output: the per-response page record, the pieces of text on their way into the
// library's buffer, and the section bits that let a reader run its whole page generator again
// on every call without sending anything twice.
//
// A page belongs to one response: the library calls its reader and its free callback on that
// connection's thread. The section set is read and written under the page's own lock, taken
// only around that access; it may be taken while a device's lock is held, never the other way
// round. Copying into the buffer needs no lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

// One piece of text. At most one per page is alive outside a flush: the pending one.
struct web_chunk {
    char *text;         // owned; no terminating NUL
    uint32_t length;    // bytes of text
    uint32_t remaining; // bytes not yet copied; the next one is at length - remaining
};

struct web_page {
    void *state;        // the page's own state, one reference: scan, file or clear-log state
    web_chunk *pending; // the piece not yet fully copied, one reference
    char *id;           // "scan" for "/", otherwise the path without its first character
    char *out;          // the library's buffer, valid during one reader call only
    uint32_t sections;  // once-only pieces already taken
    uint32_t space;     // bytes still free in out during this call
    uint32_t written;   // bytes written into out during this call
};

// Section bits: one per once-only piece of a page.
inline constexpr uint32_t WEB_SEC_HEAD = 0x01;
inline constexpr uint32_t WEB_SEC_HEADING_END = 0x02;
inline constexpr uint32_t WEB_SEC_CONTENT = 0x04;
inline constexpr uint32_t WEB_SEC_TITLE = 0x08;
inline constexpr uint32_t WEB_SEC_MENU = 0x10;
inline constexpr uint32_t WEB_SEC_DIV = 0x20;
inline constexpr uint32_t WEB_SEC_FOOTER = 0x40;
inline constexpr uint32_t WEB_SEC_DEVICE = 0x80;  // some device was shown; the notice is not
inline constexpr uint32_t WEB_SEC_RESULT = 0x100; // the clear-log result line

inline constexpr char WEB_FOOTER[] = "</div></div></div></body></html>";

// A page with no state yet; null when it cannot be made.
[[nodiscard]] web_page *web_page_create(const char *id);
// The free callback of a response: gives back the state, the pending piece, the id and the
// page. Accepts null.
void web_page_free_cb(void *page);

// A reader's first and last steps: take the library's buffer for this call, then give back
// the bytes written, or -1 (the end of the body) when there were none.
void web_page_begin(web_page *page, char *buf, size_t max);
[[nodiscard]] ssize_t web_page_end(const web_page *page);

// Takes a copy of text as the next piece unless there is no room in this call or the section
// (0: none) was taken already, and sends as much of it as fits.
void web_emit(web_page *page, const char *text, uint32_t section);
// Copies as much of the pending piece as fits into this call's buffer.
void web_flush(web_page *page);
// The six head pieces, each followed by a flush; in later calls only the flushes do anything.
void web_emit_header(web_page *page, const char *title);

// The section set, under the page's lock.
[[nodiscard]] bool web_page_has_section(web_page *page, uint32_t section);
void web_page_add_section(web_page *page, uint32_t section);
// Makes a finished chunk the pending piece and flushes it; consumes the caller's reference.
// Only while nothing is pending, that is while the call has room.
void web_emit_chunk(web_page *page, web_chunk *chunk);

// A chunk with room for length bytes of text; null when it cannot be made.
[[nodiscard]] web_chunk *web_chunk_create(size_t length);
void web_chunk_destroy(void *chunk);

// Remote devices choose their own names and log lines carry them, so such text reaches a page
// only through these: & < > " ' become character references. In an attribute written without
// quotes a blank would end the value, so attribute mode escapes blanks too.
[[nodiscard]] size_t web_escaped_length(const char *text, bool attribute = false);
// Writes the escaped text (no NUL) at out; returns the end of what it wrote.
char *web_escape(char *out, const char *text, bool attribute = false);

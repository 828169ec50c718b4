#include "ui/web_files.h"

#include "core/log.h"
#include "core/obj.h"
#include "core/util.h"
#include "ui/web_page.h"
#include "ui/web_private.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace
{

// The log page shows the log at its default place, whatever the log file in use is. That place
// is in a folder open to every user, so only this process's own file is shown there: a file
// that someone else planted, or a link, would let them put lines before the operator.
std::atomic<const char *> log_page_path{"/tmp/vesk_bt-log"};

// One line per reader call: at most 479 bytes, its newline included when it fits.
constexpr int line_limit = 480;

constexpr char log_prefix[] = "<span class=logline>";
constexpr char log_suffix[] = "</span>";
constexpr char cleared_line[] = "<span class=clearlogline>Log file cleared</span>";
constexpr char not_cleared_line[] = "<span class=clearlogline>Log file not cleared</span>";
static_assert(sizeof cleared_line - 1 == 48 && sizeof not_cleared_line - 1 == 52);

// Reads one line of file into the page: a log line escaped in its span, a file line as it is.
// False at the end of the file or on a read error. A line for which no piece can be made is
// put back, so that a later call sends it.
bool emit_line(web_page *page, FILE *file, bool log_line)
{
    long at = ftell(file);
    char line[line_limit];
    if (!fgets(line, sizeof line, file))
        return false;
    size_t n;
    if (log_line)
        n = web_escaped_length(line);
    else if (long end = ftell(file); at >= 0 && end > at)
        n = size_t(end - at); // what the stream moved over, NUL bytes included
    else
        n = strlen(line);
    size_t extra = log_line ? sizeof log_prefix - 1 + sizeof log_suffix - 1 : 0;
    web_chunk *chunk = web_chunk_create(n + extra);
    if (!chunk) {
        if (at >= 0)
            fseek(file, at, SEEK_SET);
        return true;
    }
    if (log_line) {
        memcpy(chunk->text, log_prefix, sizeof log_prefix - 1);
        char *end = web_escape(chunk->text + sizeof log_prefix - 1, line);
        memcpy(end, log_suffix, sizeof log_suffix - 1);
    } else {
        memcpy(chunk->text, line, n);
    }
    web_emit_chunk(page, chunk);
    return true;
}

} // namespace

void web_set_log_page_path(const char *path)
{
    log_page_path = path;
}

web_file *web_file_create(const char *path)
{
    auto *f = static_cast<web_file *>(obj_alloc(sizeof(web_file), web_file_destroy));
    if (f && path && !(f->path = strdup(path))) {
        obj_release(f);
        return nullptr;
    }
    return f;
}

void web_file_destroy(void *p)
{
    auto *f = static_cast<web_file *>(p);
    free(f->path);
    f->path = nullptr;
    if (f->file)
        fclose(f->file);
    f->file = nullptr;
}

ssize_t web_log_reader_cb(void *p, uint64_t pos, char *buf, size_t max)
{
    auto *page = static_cast<web_page *>(p);
    web_page_begin(page, buf, max);
    if (pos == 0) {
        obj_release(page->state);
        web_file *f = web_file_create(nullptr);
        if (f)
            f->file = util_fopen_own(log_page_path.load(), false);
        page->state = f;
    }
    web_emit_header(page, WEB_LOG_TITLE);
    // No line is read while the buffer is full, so none is lost.
    auto *f = static_cast<web_file *>(page->state);
    if (page->space > 0 && f && f->file && !emit_line(page, f->file, true)) {
        obj_release(f);
        page->state = nullptr;
        web_emit(page, WEB_FOOTER, WEB_SEC_FOOTER);
    }
    return web_page_end(page);
}

ssize_t web_clearlog_reader_cb(void *p, uint64_t pos, char *buf, size_t max)
{
    auto *page = static_cast<web_page *>(p);
    web_page_begin(page, buf, max);
    int cleared = -1; // -1: no result to show in this call
    if (pos == 0) {
        // The clearing happens once; its line waits in the state until the head has gone out.
        cleared = log_clear();
        obj_release(page->state);
        auto *st =
            static_cast<web_clearlog_state *>(obj_alloc(sizeof(web_clearlog_state), nullptr));
        if (st)
            st->cleared = cleared;
        page->state = st;
    }
    web_emit_header(page, WEB_CLEARLOG_TITLE);
    if (auto *st = static_cast<web_clearlog_state *>(page->state))
        cleared = st->cleared;
    if (cleared >= 0)
        web_emit(page, cleared ? cleared_line : not_cleared_line, WEB_SEC_RESULT);
    if (cleared < 0 || web_page_has_section(page, WEB_SEC_RESULT))
        web_emit(page, WEB_FOOTER, WEB_SEC_FOOTER);
    return web_page_end(page);
}

ssize_t web_file_reader_cb(void *p, uint64_t pos, char *buf, size_t max)
{
    auto *page = static_cast<web_page *>(p);
    auto *f = static_cast<web_file *>(page->state);
    web_page_begin(page, buf, max);
    if (pos == 0) {
        if (!f || !f->path)
            return web_page_end(page);
        f->file = fopen(f->path, "r");
    } else if (!f || max == 0) {
        return web_page_end(page);
    }
    // The rest of a line that the previous call left unfinished goes first.
    web_flush(page);
    if (page->space > 0 && f->file && !emit_line(page, f->file, false)) {
        obj_release(f);
        page->state = nullptr;
    }
    return web_page_end(page);
}

// The log, clear-log and file pages. The log page and the file pages read one line per reader
// call; the log page reads the log file through a stream of its own while other threads append
// to it, without a lock. The file pages hand out the web root's files as they are, without a
// head or a footer.
#pragma once

#include <cstdint>
#include <cstdio>
#include <sys/types.h>

// A file that a page reads: the stream once opened, and the path (none for the log page).
struct web_file {
    FILE *file;
    char *path;
};

// What the clear-log page shows: the result of its one clearing, kept until the line fits.
struct web_clearlog_state {
    int32_t cleared;
};

inline constexpr char WEB_LOG_TITLE[] = "Vesk Bluetooth Dremol Birthing/Testing App (Log)";
inline constexpr char WEB_CLEARLOG_TITLE[] =
    "Vesk Bluetooth Dremol Birthing/Testing App (Clear Log)";

// A record for path (null: none); null when it cannot be made.
[[nodiscard]] web_file *web_file_create(const char *path);
void web_file_destroy(void *file);

ssize_t web_log_reader_cb(void *page, uint64_t pos, char *buf, size_t max);
ssize_t web_clearlog_reader_cb(void *page, uint64_t pos, char *buf, size_t max);
ssize_t web_file_reader_cb(void *page, uint64_t pos, char *buf, size_t max);

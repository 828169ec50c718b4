// The process's log file: one line per event, local time ("%c") first, flushed at once.
//
// One log_file object is kept behind a process-wide pointer (guarded by a mutex of its own for
// read-and-retain); every user takes its own reference for one call. The object's lock
// serialises lines and is always taken last, after any lock of the caller.
// Every open goes through util_fopen_own: the log's default folder is open to every user, and
// the process runs as root, so what others put at the path neither gets its lines nor is emptied,
// and no other creator can keep the log from its path.
#pragma once

#include <cstdio>

struct log_file {
    char *path;
    FILE *stream;
};

// Opens the log at path, empties it and writes the start line; says on standard error when no
// file could be opened there (the lines then wait for a later open).
void log_open(const char *path);
void log_message(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Empties the log; 1 when its file was made afresh, 0 when there is no log or no file.
int log_clear();
void log_close();
void log_destroy(void *log);

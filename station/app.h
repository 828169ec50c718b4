// Start-up, options, daemon mode and the scan loop. Owns the application context.
//
// The scan loop runs on the main thread for the life of the process. It takes the context's
// lock only around the scan-window check; the list pass holds it for its whole run.
#pragma once

#include "station/station.h"

struct app_options {
    int daemon;
    int display;
    int port;
    char *log_path; // copies, kept for the life of the process
    char *web_root;
};

// Reads the command line ("dnp:l:w:"); unknown options are skipped after getopt's diagnostic.
void app_parse_options(int argc, char **argv, app_options *opts);
// The program: runs as a daemon, with its lock file at lock_path, or in the foreground; returns
// only when start-up fails.
int app_main(int argc, char **argv, const char *lock_path);
// Starts the system and runs the scan loop; returns only when start-up fails (non-zero).
int app_run(int display, int port, const char *log_path);
void app_ctx_destroy(void *ctx);
// One pass of the scan loop on the adapter dev_id, open as dd.
void app_scan_pass(app_ctx *ctx, int dev_id, int dd, int display);

// Daemon mode: detaches, checks and writes the lock file and runs the system; never returns.
[[noreturn]] void app_daemonize(int port, const char *log_path, const char *web_root,
                                const char *lock_path);
// Writes this process's pid ("%i\n", mode 0664 whatever the umask) into a file it creates, never
// through a link; 1 when written. The file is written under a fresh name and takes the path
// unless a lock of a running copy holds it ("Application already running" is printed then, and
// that lock stays); whatever else stands there goes, a directory swapped aside.
int app_write_pid_file(const char *path);

// For the tests only: the lock's held test, and the starter that it takes for no running copy.
#pragma once

#include <sys/types.h>

// Whether the lock file read from fd names a running copy: a process that runs, this one and
// its starter aside.
bool names_running_process(int fd);
// The process that forked this one in daemon mode, as app_daemonize records it; 0 for none.
// Returns the previous one.
pid_t app_set_starter(pid_t pid);

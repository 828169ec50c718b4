// For the tests only: a look inside a log line being written, a clear or an open under way.
#pragma once

// Called by log_message and log_clear while they hold the log's lock, before the line goes out
// or the file is emptied, and by log_open while it holds the log's slot, before the file is
// opened. Null removes it. Returns the previous one.
using log_locked_hook_fn = void (*)();
log_locked_hook_fn log_set_locked_hook(log_locked_hook_fn fn);

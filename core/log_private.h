// For the tests only: a look inside a log line being written.
#pragma once

// Called by log_message while it holds the log's lock, before the line goes out. Null removes
// it. Returns the previous one.
using log_locked_hook_fn = void (*)();
log_locked_hook_fn log_set_locked_hook(log_locked_hook_fn fn);

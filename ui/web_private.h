// For tests only: where the log page reads, in place of the log's default place, so that a
// test never reads or writes a log that a running daemon may own. Set before the server starts.
#pragma once

void web_set_log_page_path(const char *path);

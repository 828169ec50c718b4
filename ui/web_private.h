// For tests only: what the web server reads and makes, replaced.
#pragma once

#include <cstddef>
#include <cstdint>
#include <microhttpd.h>

// Where the log page reads, in place of the log's default place, so that a test never reads or
// writes a log that a running daemon may own. Set before the server starts.
void web_set_log_page_path(const char *path);

// Makes each streamed response in place of MHD_create_response_from_callback, so that a test
// can refuse one; null puts the library's own back. Returns the previous one.
using web_response_fn = MHD_Response *(*)(uint64_t size, size_t block,
                                          MHD_ContentReaderCallback reader, void *cls,
                                          MHD_ContentReaderFreeCallback free_cb);
web_response_fn web_set_response_maker(web_response_fn fn);

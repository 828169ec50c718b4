// Texts that come from outside (remote names and SDP service names from the air, texts of
// received packets) made fit for the log, the pages and the terminal: a control byte there could
// end a log line and forge the next one, or move the terminal's cursor. Stateless; safe from any
// thread.
#pragma once

#include <cstddef>

// The length of text with every control byte (below 0x20, and 0x7F) written as \xHH, upper-case
// hexadecimal; with keep_final_newline one newline at its very end stays as it is. Other bytes
// (0x80 and up, backslash, markup) are kept.
[[nodiscard]] size_t util_safe_text_length(const char *text, bool keep_final_newline);
// Writes that text and its terminator at out, which has room for the length and one byte more;
// returns the place of the terminator.
char *util_safe_text(char *out, const char *text, bool keep_final_newline);

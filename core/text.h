// Texts that come from outside (remote names and SDP service names from the air, texts of
// received packets) made fit for the log, the pages and the terminal: a control byte there could
// end a log line and forge the next one or move the terminal's cursor, and a direction control
// could make a shown address read as another. Stateless; safe from any thread.
#pragma once

#include <cstddef>

// The length of text with every control byte (below 0x20, and 0x7F) written as \xHH, upper-case
// hexadecimal, and so each byte of the UTF-8 encodings of the C1 controls (C2 80 to C2 9F) and
// of the bidirectional controls U+061C, U+200E, U+200F, U+202A to U+202E and U+2066 to U+2069;
// with keep_final_newline one newline at its very end stays as it is. Other bytes (the rest of
// UTF-8, lone or cut sequences, backslash, markup) are kept.
[[nodiscard]] size_t util_safe_text_length(const char *text, bool keep_final_newline);
// Writes that text and its terminator at out, which has room for the length and one byte more;
// returns the place of the terminator.
char *util_safe_text(char *out, const char *text, bool keep_final_newline);

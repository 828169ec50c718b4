#include "core/text.h"

#include <cstring>

namespace
{

// How many bytes from s on are written as \xHH: a control byte, or the whole UTF-8 encoding
// of a C1 control (a terminal may take U+009B as an escape) or of a bidirectional control, the
// marks included (it reorders what is around it, so that a shown address can read as
// another's). 0 when s[0] stays. Reads no byte at or past end.
size_t escaped_run(const unsigned char *s, const unsigned char *end)
{
    if (s[0] < 0x20 || s[0] == 0x7f)
        return 1;
    if (s[0] == 0xc2 && end - s >= 2 && s[1] >= 0x80 && s[1] <= 0x9f)
        return 2;
    if (s[0] == 0xd8 && end - s >= 2 && s[1] == 0x9c) // U+061C
        return 2;
    if (s[0] == 0xe2 && end - s >= 3) {
        if (s[1] == 0x80 && (s[2] == 0x8e || s[2] == 0x8f)) // U+200E, U+200F
            return 3;
        if (s[1] == 0x80 && s[2] >= 0xaa && s[2] <= 0xae) // U+202A..U+202E
            return 3;
        if (s[1] == 0x81 && s[2] >= 0xa6 && s[2] <= 0xa9) // U+2066..U+2069
            return 3;
    }
    return 0;
}

// Where escaping stops: the end, or the one newline kept there.
const char *escape_end(const char *text, bool keep_final_newline)
{
    size_t n = strlen(text);
    return text + (keep_final_newline && n > 0 && text[n - 1] == '\n' ? n - 1 : n);
}

} // namespace

size_t util_safe_text_length(const char *text, bool keep_final_newline)
{
    auto *s = reinterpret_cast<const unsigned char *>(text);
    auto *end = reinterpret_cast<const unsigned char *>(escape_end(text, keep_final_newline));
    size_t n = strlen(reinterpret_cast<const char *>(end));
    while (s < end) {
        size_t run = escaped_run(s, end);
        n += run ? 4 * run : 1;
        s += run ? run : 1;
    }
    return n;
}

char *util_safe_text(char *out, const char *text, bool keep_final_newline)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    auto *s = reinterpret_cast<const unsigned char *>(text);
    auto *end = reinterpret_cast<const unsigned char *>(escape_end(text, keep_final_newline));
    while (s < end) {
        size_t run = escaped_run(s, end);
        if (!run) {
            *out++ = char(*s++);
            continue;
        }
        for (; run; run--, s++) {
            *out++ = '\\';
            *out++ = 'x';
            *out++ = hex[*s >> 4];
            *out++ = hex[*s & 0xf];
        }
    }
    size_t rest = strlen(reinterpret_cast<const char *>(end));
    memcpy(out, end, rest + 1);
    return out + rest;
}

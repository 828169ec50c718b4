#include "core/text.h"

#include <cstring>

namespace
{

bool is_control(unsigned char c)
{
    return c < 0x20 || c == 0x7f;
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
    const char *end = escape_end(text, keep_final_newline);
    size_t n = strlen(end);
    for (const char *s = text; s < end; s++)
        n += is_control(static_cast<unsigned char>(*s)) ? 4 : 1;
    return n;
}

char *util_safe_text(char *out, const char *text, bool keep_final_newline)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    const char *end = escape_end(text, keep_final_newline);
    for (const char *s = text; s < end; s++) {
        auto c = static_cast<unsigned char>(*s);
        if (is_control(c)) {
            *out++ = '\\';
            *out++ = 'x';
            *out++ = hex[c >> 4];
            *out++ = hex[c & 0xf];
        } else {
            *out++ = *s;
        }
    }
    size_t rest = strlen(end);
    memcpy(out, end, rest + 1);
    return out + rest;
}

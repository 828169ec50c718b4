#include "core/text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace
{

struct safe_case {
    const char *what;
    const char *text;
    bool keep_final_newline;
    const char *shown;
};

// Names the case in test listings.
void PrintTo(const safe_case &c, std::ostream *os)
{
    *os << c.what;
}

class SafeText : public ::testing::TestWithParam<safe_case>
{
};

TEST_P(SafeText, ControlBytesAreWrittenVisibly)
{
    const safe_case &c = GetParam();
    size_t n = util_safe_text_length(c.text, c.keep_final_newline);
    EXPECT_EQ(n, strlen(c.shown));
    // Exactly the length and the terminator are written: the byte after stays.
    std::vector<char> buf(n + 2, '#');
    char *end = util_safe_text(buf.data(), c.text, c.keep_final_newline);
    EXPECT_EQ(end, buf.data() + n);
    EXPECT_EQ(buf[n], '\0');
    EXPECT_EQ(buf[n + 1], '#');
    EXPECT_EQ(std::string(buf.data()), c.shown);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SafeText,
    ::testing::Values(
        safe_case{"empty", "", true, ""},
        safe_case{"ordinary", "Office printer", true, "Office printer"},
        safe_case{"0x01", "a\x01z", false, "a\\x01z"}, safe_case{"tab", "a\tz", false, "a\\x09z"},
        safe_case{"carriage return", "a\rz", false, "a\\x0Dz"},
        safe_case{"backspace", "a\bz", false, "a\\x08z"},
        safe_case{"escape", "\x1b[2J", false, "\\x1B[2J"},
        safe_case{"0x1F", "\x1f", false, "\\x1F"}, safe_case{"0x7F", "del\x7f", false, "del\\x7F"},
        safe_case{"newline in the middle", "a\nz", true, "a\\x0Az"},
        safe_case{"the maker's newline at the end", "btdremol-7113\n", true, "btdremol-7113\n"},
        safe_case{"a newline alone", "\n", true, "\n"},
        safe_case{"two newlines at the end", "a\n\n", true, "a\\x0A\n"},
        safe_case{"a service name's newline at the end", "Serial Port\n", false,
                  "Serial Port\\x0A"},
        safe_case{"UTF-8, other high bytes", "Zo\xc3\xab \xe2\x80\xa8 \x80\xff", false,
                  "Zo\xc3\xab \xe2\x80\xa8 \x80\xff"},
        safe_case{"backslash and markup", "a\\x41 <b>&amp;</b>", false, "a\\x41 <b>&amp;</b>"}));

} // namespace

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

TEST_P(SafeText, ControlsAreWrittenVisibly)
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
        safe_case{"backslash and markup", "a\\x41 <b>&amp;</b>", false, "a\\x41 <b>&amp;</b>"},
        safe_case{"C1: U+0080", "a\xc2\x80z", false, "a\\xC2\\x80z"},
        safe_case{"C1: U+0085, next line", "a\xc2\x85z", false, "a\\xC2\\x85z"},
        safe_case{"C1: U+009B, the introducer, and a sequence",
                  "\xc2\x9b"
                  "2J",
                  false, "\\xC2\\x9B2J"},
        safe_case{"C1: U+009F at the end", "a\xc2\x9f", false, "a\\xC2\\x9F"},
        safe_case{"past the C1 range: C2 A0 stays, C2 before DEL too", "\xc2\xa0\xc2\x7f", false,
                  "\xc2\xa0\xc2\\x7F"},
        safe_case{"U+202A", "\xe2\x80\xaa", false, "\\xE2\\x80\\xAA"},
        safe_case{"U+202B", "\xe2\x80\xab", false, "\\xE2\\x80\\xAB"},
        safe_case{"U+202C", "\xe2\x80\xac", false, "\\xE2\\x80\\xAC"},
        safe_case{"U+202D", "\xe2\x80\xad", false, "\\xE2\\x80\\xAD"},
        safe_case{"U+202E before an address",
                  "left\xe2\x80\xae"
                  "31:17:AD:D7:A1:00",
                  false, "left\\xE2\\x80\\xAE31:17:AD:D7:A1:00"},
        safe_case{"U+2066", "\xe2\x81\xa6", false, "\\xE2\\x81\\xA6"},
        safe_case{"U+2067", "\xe2\x81\xa7", false, "\\xE2\\x81\\xA7"},
        safe_case{"U+2068", "\xe2\x81\xa8", false, "\\xE2\\x81\\xA8"},
        safe_case{"U+2069", "\xe2\x81\xa9", false, "\\xE2\\x81\\xA9"},
        safe_case{"U+2029, U+202F, U+2065 and U+206A stay",
                  "\xe2\x80\xa9\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa", false,
                  "\xe2\x80\xa9\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa"},
        safe_case{"U+200F, the right-to-left mark, before digits",
                  "rlm\xe2\x80\x8f"
                  " 1 2 3 4",
                  false, "rlm\\xE2\\x80\\x8F 1 2 3 4"},
        safe_case{"U+200E", "\xe2\x80\x8e", false, "\\xE2\\x80\\x8E"},
        safe_case{"U+200F", "\xe2\x80\x8f", false, "\\xE2\\x80\\x8F"},
        safe_case{"U+061C, the Arabic letter mark, before an address",
                  "\xd8\x9c"
                  " 00:1A:7D:DA:71:13",
                  false, "\\xD8\\x9C 00:1A:7D:DA:71:13"},
        safe_case{"U+200E and U+200F cut at the end stay", "\xe2\x80", false, "\xe2\x80"},
        safe_case{"U+061C cut at the end stays", "a\xd8", false, "a\xd8"},
        safe_case{"U+061C cut before the kept newline", "a\xd8\n", true, "a\xd8\n"},
        safe_case{"U+200D, U+2010, U+061B and U+061D stay",
                  "\xe2\x80\x8d\xe2\x80\x90\xd8\x9b\xd8\x9d", false,
                  "\xe2\x80\x8d\xe2\x80\x90\xd8\x9b\xd8\x9d"},
        safe_case{"UTF-8 names stay", "J\xc3\xbcrgen\xe2\x80\x99s Phone, caf\xc3\xa9", false,
                  "J\xc3\xbcrgen\xe2\x80\x99s Phone, caf\xc3\xa9"},
        safe_case{"a lone C2 or E2 stays", "\xc2z \xe2\x80z \xe2z", false, "\xc2z \xe2\x80z \xe2z"},
        safe_case{"a lone E2 before a C1", "\xe2\xc2\x9b", false, "\xe2\\xC2\\x9B"},
        safe_case{"a cut sequence at the end stays", "a\xe2\x80", false, "a\xe2\x80"},
        safe_case{"a cut C1 at the end stays", "a\xc2", false, "a\xc2"},
        safe_case{"a cut sequence before the kept newline", "a\xe2\x80\n", true, "a\xe2\x80\n"},
        safe_case{"a C1 and a direction control with the kept newline", "\xc2\x9b\xe2\x81\xa6\n",
                  true, "\\xC2\\x9B\\xE2\\x81\\xA6\n"}));

} // namespace

#include "station/bt_class.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

struct class_case {
    uint8_t c2, c1, c0;
    const char *text;
};

// Names the case in test listings.
void PrintTo(const class_case &c, std::ostream *os)
{
    *os << c.text;
}

class ClassText : public ::testing::TestWithParam<class_case>
{
};

TEST_P(ClassText, Words)
{
    const class_case &c = GetParam();
    const uint8_t cls[3] = {c.c0, c.c1, c.c2};
    char out[248];
    int n = bt_class_text(cls, out, sizeof out);
    EXPECT_STREQ(out, c.text);
    EXPECT_EQ(n, int(std::string(c.text).size()));
}

INSTANTIATE_TEST_SUITE_P(
    Edges, ClassText,
    ::testing::Values(class_case{0x5a, 0x02, 0x0c, "Phone [Smart phone] (0x5a020c)"},
                      class_case{0x00, 0x01, 0x00, "Computer [Uncategorized] (0x000100)"},
                      class_case{0x00, 0x00, 0x00, "Miscellaneous [] (0x000000)"},
                      class_case{0x00, 0x1f, 0x00, "Unclassified (0x001f00)"},
                      class_case{0x00, 0x05, 0x40, "Peripheral [Keyboard] (0x000540)"},
                      class_case{0x00, 0x05, 0xc8,
                                 "Peripheral [Combo keyboard/pointing device/Gamepad] (0x0005c8)"},
                      class_case{0x00, 0x05, 0x08, "Peripheral [Gamepad] (0x000508)"},
                      class_case{0x00, 0x05, 0x00,
                                 "Peripheral [Unknown (reserved) minor device class] (0x000500)"},
                      class_case{0x00, 0x06, 0xa0, "Imaging [Camera] (0x0006a0)"},
                      class_case{0x00, 0x03, 0x04, "LAN Access [Fully available] (0x000304)"},
                      class_case{0x00, 0x03, 0xe0, "LAN Access [No service available] (0x0003e0)"},
                      class_case{0x00, 0x04, 0x0c,
                                 "Audio/Video [Unknown (reserved) minor device class] (0x00040c)"},
                      class_case{0x00, 0x07, 0x00,
                                 "Wearable [Unknown (reserved) minor device class] (0x000700)"}));

// Ends of the tables, the bits that never change the words, and major class 9.
INSTANTIATE_TEST_SUITE_P(
    Bounds, ClassText,
    ::testing::Values(
        class_case{0x00, 0x09, 0x00, "Health [Unknown (reserved) minor device class] (0x000900)"},
        class_case{0xff, 0xe2, 0x0f, "Phone [Smart phone] (0xffe20f)"},
        class_case{0x00, 0x0a, 0x00, "Unclassified (0x000a00)"},
        class_case{0x00, 0x01, 0x18, "Computer [Wearable] (0x000118)"},
        class_case{0x00, 0x01, 0x1c, "Computer [Unknown (reserved) minor device class] (0x00011c)"},
        class_case{0x00, 0x02, 0x18, "Phone [Sim Card Reader] (0x000218)"},
        class_case{0x00, 0x04, 0x44,
                   "Audio/Video [Unknown (reserved) minor device class] (0x000444)"},
        class_case{0x00, 0x04, 0x48, "Audio/Video [Gaming/Toy] (0x000448)"},
        class_case{0x00, 0x04, 0x4c,
                   "Audio/Video [Unknown (reserved) minor device class] (0x00044c)"},
        class_case{0x00, 0x03, 0x24, "LAN Access [1-17% utilized] (0x000324)"},
        class_case{0x00, 0x05, 0x98, "Peripheral [Pointing device/Card reader] (0x000598)"},
        class_case{0x00, 0x05, 0xfc,
                   "Peripheral [Combo keyboard/pointing device/(reserved)] (0x0005fc)"},
        class_case{0x00, 0x06, 0x10, "Imaging [Display] (0x000610)"},
        class_case{0x00, 0x06, 0x0c, "Imaging [Unknown (reserved) minor device class] (0x00060c)"},
        class_case{0x00, 0x07, 0x04, "Wearable [Wrist Watch] (0x000704)"},
        class_case{0x00, 0x08, 0x14, "Toy [Game] (0x000814)"},
        class_case{0x00, 0x08, 0x18, "Toy [Unknown (reserved) minor device class] (0x000818)"}));

} // namespace

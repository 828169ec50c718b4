#include "station/bt_class.h"

#include <cstdio>
#include <cstring>
#include <iterator>
#include <span>

namespace
{

constexpr const char *reserved = "Unknown (reserved) minor device class";

// Major class 9 is the assigned "Health" class.
constexpr const char *major_names[] = {
    "Miscellaneous", "Computer", "Phone",    "LAN Access", "Audio/Video",
    "Peripheral",    "Imaging",  "Wearable", "Toy",        "Health",
};

constexpr const char *computer[] = {
    "Uncategorized", "Desktop workstation", "Server", "Laptop", "Handheld", "Palm", "Wearable",
};

constexpr const char *phone[] = {
    "Uncategorized",
    "Cellular",
    "Cordless",
    "Smart phone",
    "Wired modem or voice gateway",
    "Common ISDN Access",
    "Sim Card Reader",
};

constexpr const char *audio_video[] = {
    "Uncategorized",      "Device conforms to the Headset profile",
    "Hands-free",         reserved,
    "Microphone",         "Loudspeaker",
    "Headphones",         "Portable Audio",
    "Car Audio",          "Set-top box",
    "HiFi Audio Device",  "VCR",
    "Video Camera",       "Camcorder",
    "Video Monitor",      "Video Display and Loudspeaker",
    "Video Conferencing", reserved,
    "Gaming/Toy",
};

// Index 0 is reserved for both.
constexpr const char *wearable[] = {reserved, "Wrist Watch", "Pager",
                                    "Jacket", "Helmet",      "Glasses"};
constexpr const char *toy[] = {reserved,     "Robot", "Vehicle", "Doll / Action Figure",
                               "Controller", "Game"};

constexpr const char *lan_load[] = {
    "Fully available", "1-17% utilized",  "17-33% utilized", "33-50% utilized",
    "50-67% utilized", "67-83% utilized", "83-99% utilized", "No service available",
};

constexpr const char *peripheral_kind[] = {nullptr, "Keyboard", "Pointing device",
                                           "Combo keyboard/pointing device"};
constexpr const char *peripheral_type[] = {
    nullptr,          "Joystick",         "Gamepad",     "Remote control",
    "Sensing device", "Digitizer tablet", "Card reader",
};

// The peripheral text is put together in buf (48 bytes hold the longest).
const char *peripheral(unsigned minor, char (&buf)[48])
{
    buf[0] = '\0';
    if (const char *kind = peripheral_kind[(minor & 0x30) >> 4])
        strncat(buf, kind, sizeof buf - 1);
    if (unsigned type = minor & 0x0f) {
        if (buf[0])
            strncat(buf, "/", sizeof buf - 1 - strlen(buf));
        const char *t = type < std::size(peripheral_type) ? peripheral_type[type] : "(reserved)";
        strncat(buf, t, sizeof buf - 1 - strlen(buf));
    }
    return buf[0] ? buf : reserved;
}

const char *imaging(unsigned minor)
{
    if (minor & 0x04)
        return "Display";
    if (minor & 0x08)
        return "Camera";
    if (minor & 0x10)
        return "Scanner";
    if (minor & 0x20)
        return "Printer";
    return reserved;
}

// Minor texts of the majors that number their minor values; the others have none here.
constexpr std::span<const char *const> minor_tables[] = {
    {}, computer, phone, {}, audio_video, {}, {}, wearable, toy, {},
};
static_assert(std::size(minor_tables) == std::size(major_names));

} // namespace

int bt_class_text(const uint8_t c[3], char *out, size_t size)
{
    unsigned major = c[1] & 0x1f;
    unsigned minor = c[0] >> 2;
    if (major >= std::size(major_names))
        return snprintf(out, size, "Unclassified (0x%2.2x%2.2x%2.2x)", c[2], c[1], c[0]);

    char buf[48];
    const char *text;
    if (major == 0)
        text = "";
    else if (major == 3)
        text = minor == 0 ? "Uncategorized" : lan_load[minor >> 3];
    else if (major == 5)
        text = peripheral(minor, buf);
    else if (major == 6)
        text = imaging(minor);
    else
        text = minor < minor_tables[major].size() ? minor_tables[major][minor] : reserved;
    return snprintf(out, size, "%s [%s] (0x%2.2x%2.2x%2.2x)", major_names[major], text, c[2], c[1],
                    c[0]);
}

// Class of device in words, as the device's description line shows it, for example
// "Phone [Smart phone] (0x5a020c)".
#pragma once

#include <cstddef>
#include <cstdint>

// Writes the text of the class bytes c[0] (least significant) to c[2] into out; returns its
// length as snprintf does.
int bt_class_text(const uint8_t c[3], char *out, size_t size);

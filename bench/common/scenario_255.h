// The benchmarks' radio: 255 devices of six classes on a zero-latency simulated radio, each
// with a serial-port and an object-push record.
#pragma once

#include <cstdio>
#include <string>

// Every maker_every-th device (none for 0) bears a maker's name and refuses its test.
inline std::string scenario_255(int maker_every)
{
    static const char *classes[] = {"5a020c", "000104", "240418", "040680", "000540", "001f00"};
    std::string s = "clock virtual\ninquiry-time 0\n";
    char line[160];
    for (int i = 1; i <= 255; i++) {
        snprintf(line, sizeof line, "device 00:1A:7D:DA:00:%02X %s\n", i, classes[i % 6]);
        s += line;
        if (maker_every && i % maker_every == 0)
            snprintf(line, sizeof line, "name btdremol-00%02X\nrfcomm refuse\n", i);
        else
            snprintf(line, sizeof line, "name Device number %d\n", i);
        s += line;
        s += "service 0x10005 Serial Port\nproto L2CAP RFCOMM:1\n"
             "service 0x10006 OBEX Object Push\nproto L2CAP RFCOMM:9 OBEX\n";
    }
    return s;
}

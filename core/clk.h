// The process's one clock: the seconds that the scan loop, the device list, the device tests,
// the scan page and the link's send times and keep-alive read, and the scan loop's pauses.
//
// One table of function pointers; the default table calls libc. Safe from any thread. Pauses
// that only pace a thread (a poll's beat, a supervisor's round) are not on this clock.
#pragma once

#include <ctime>
#include <unistd.h>

// Seconds since the epoch.
time_t clk_now();
unsigned clk_sleep(unsigned seconds);
int clk_usleep(useconds_t usec);

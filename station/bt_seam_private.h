// Installs another seam table (a simulated radio). Only for tests and the simulator program:
// call it before the station starts any thread; null puts the real table back.
#pragma once

#include "station/bt_seam.h"

#include <ctime>

void bt_seam_set(const bt_seam *seam);

// While it lives, a system call that the thread which made it waits in is interrupted (fails
// with EINTR) once `ms` milliseconds have passed. The real table bounds the kernel's waits
// with it. Exposed for the tests.
class bt_deadline
{
public:
    explicit bt_deadline(unsigned ms);
    ~bt_deadline();
    bt_deadline(const bt_deadline &) = delete;
    bt_deadline &operator=(const bt_deadline &) = delete;

private:
    timer_t timer_{};
    bool armed_ = false;
};

// Installs another clock (a virtual one). Only for tests and the simulator program.
#pragma once

#include "core/clk.h"

struct clk_ops {
    time_t (*now)();
    unsigned (*sleep)(unsigned seconds);
    int (*usleep)(useconds_t usec);
};

// Returns the table that was in place; null puts the real table back.
const clk_ops *clk_set(const clk_ops *ops);

// For the simulator program only: called once with the context, right before the scan loop
// starts, so that a simulated operator can open the scan window.
#pragma once

#include "station/station.h"

using app_loop_hook_fn = void (*)(app_ctx *ctx, void *user);

void app_set_loop_hook(app_loop_hook_fn fn, void *user);

// Installs another seam table (a simulated radio). Only for tests and the simulator program:
// call it before the station starts any thread; null puts the real table back.
#pragma once

#include "station/bt_seam.h"

void bt_seam_set(const bt_seam *seam);

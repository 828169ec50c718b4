// For the tests only: how long the reader waits for the rest of a packet that stopped
// arriving (15 s in the product). Returns the previous bound.
#pragma once

int link_set_read_wait_ms(int ms);

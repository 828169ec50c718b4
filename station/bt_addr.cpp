#include "station/bt_addr.h"

#include <bluetooth/bluetooth.h>
#include <cstring>

void bt_addr_text(const uint8_t addr[6], char out[18])
{
    bdaddr_t a;
    memcpy(a.b, addr, sizeof a.b);
    ba2str(&a, out);
}

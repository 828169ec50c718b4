// vm_station [vesk_bt options]: the station's own start-up and scan loop on the real Bluetooth
// stack, with the scan window opened once as the scan loop starts, as one load of the scan page
// would open it.
#include "core/obj.h"
#include "station/app.h"
#include "station/app_private.h"
#include "station/bt_seam.h"

int main(int argc, char **argv)
{
    app_set_loop_hook(
        [](app_ctx *ctx, void *) {
            obj_guard g(ctx);
            ctx->last_web = bt_seam_get()->time(nullptr);
        },
        nullptr);
    return app_main(argc, argv);
}

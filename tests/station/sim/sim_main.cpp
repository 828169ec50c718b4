// vesk_bt_sim SCENARIO [--log-page FILE] [vesk_bt options]: the station's own start-up and
// scan loop on a simulated radio, for watching and testing the whole program without
// Bluetooth. --log-page makes the log page show FILE, so that a test's page never shows the
// log of a daemon that runs on the same machine.
#include "sim_radio.h"
#include "station/app.h"
#include "station/app_private.h"
#include "ui/web_private.h"

#include <cstdio>
#include <cstring>
#include <vector>

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr,
                "usage: %s SCENARIO [--log-page file] [-d] [-n] [-p port] [-l log] [-w webroot]\n",
                argv[0]);
        return 2;
    }
    sim_scenario scenario;
    std::string error;
    if (!sim_scenario_load(argv[1], scenario, error)) {
        fprintf(stderr, "%s: %s: %s\n", argv[0], argv[1], error.c_str());
        return 2;
    }
    // Lives until the process ends: the scan loop never returns while it runs.
    static sim_radio radio(std::move(scenario));
    app_set_loop_hook([](app_ctx *ctx, void *) { radio.attach(ctx); }, nullptr);

    int first = 2;
    if (argc > 3 && strcmp(argv[2], "--log-page") == 0) {
        web_set_log_page_path(argv[3]);
        first = 4;
    }
    std::vector<char *> args = {argv[0]};
    args.insert(args.end(), argv + first, argv + argc);
    args.push_back(nullptr);
    return app_main(int(args.size()) - 1, args.data(), VESK_LOCK_PATH);
}

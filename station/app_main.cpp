#include "station/app.h"

int app_main(int argc, char **argv, const char *lock_path)
{
    // The option texts live as long as the process.
    static app_options opts;
    app_parse_options(argc, argv, &opts);
    if (opts.daemon)
        app_daemonize(opts.port, opts.log_path, opts.web_root, lock_path);
    return app_run(opts.display, opts.port, opts.log_path);
}

#include "station/app.h"

int main(int argc, char **argv)
{
    return app_main(argc, argv, VESK_LOCK_PATH);
}

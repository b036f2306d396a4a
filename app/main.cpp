// tarvik: the desktop tool that upgrades a serial relay control board's firmware.
#include "app/upgrade_app.h"

int main(int argc, char** argv) {
    tarvik::CUpgradeApp app(argc, argv);
    app.InitInstance();
    return 0;
}

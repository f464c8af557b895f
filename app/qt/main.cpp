// Kestrival: the upgrade tool of an installation, run from its directory.
#include "app/qt/display_probe.h"
#include "app/qt/upgradeapp.h"

int main(int argc, char **argv)
{
    kestrival::app::require_display();
    // The command line means nothing to the program: the toolkit sees only its name, so no
    // argument (-style, -platform, -reverse, ...) changes anything.
    static char name[] = "Kestrival";
    char *toolkitArgv[] = {argc > 0 && argv[0] ? argv[0] : name, nullptr};
    int toolkitArgc = 1;
    CUpgradeApp app(toolkitArgc, toolkitArgv);
    app.InitInstance();
    return 0;
}

// Kestrival: the upgrade tool of an installation, run from its directory.
#include "app/display_probe.h"
#include "app/upgradeapp.h"

#include <cstdio>

int main(int argc, char **argv)
{
    if (const auto problem = kestrival::app::find_display_problem()) {
        std::fprintf(stderr, "Kestrival: %s\n", problem->c_str());
        return 1;
    }
    // The command line means nothing to the program: the toolkit sees only its name, so no
    // argument (-style, -platform, -reverse, ...) changes anything.
    static char name[] = "Kestrival";
    char *toolkitArgv[] = {argc > 0 && argv[0] ? argv[0] : name, nullptr};
    int toolkitArgc = 1;
    CUpgradeApp app(toolkitArgc, toolkitArgv);
    app.InitInstance();
    return 0;
}

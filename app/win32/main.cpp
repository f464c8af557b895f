// Kestrival.exe's entry point. The command line is not interpreted.
#include "app/win32/upgradeapp.h"

#include <windows.h>

namespace {

CUpgradeApp theApp;

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    theApp.InitInstance();
    return 0;
}

// The application object.
#include "app/qt/upgradeapp.h"

#include "dialogs/qt/dialog_builder.h"
#include "dialogs/qt/upgradedlg.h"
#include "resources/dialog_templates.h"
#include "resources/version_info.h"

namespace res = kestrival::resources;

CUpgradeApp::CUpgradeApp(int &argc, char **argv) : QApplication(argc, argv)
{
    setApplicationName(kestrival::dialogs::to_qstring(res::kInternalName));
    setApplicationVersion(kestrival::dialogs::to_qstring(res::kVersionText));
    // Message boxes and menus in the dialogs' CJK face, so every Chinese text has its glyphs.
    setFont(kestrival::dialogs::template_font(res::kUpgradeDialogTemplate));
    // The dialog's end is the program's end; a box closing as the last window must not quit
    // the loops still running beneath it.
    setQuitOnLastWindowClosed(false);
}

bool CUpgradeApp::InitInstance()
{
    CUpgradeDlg dlg;
    dlg.DoModal();
    return false;
}

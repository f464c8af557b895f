// The application object.
#include "app/win32/upgradeapp.h"

#include "dialogs/win32/upgradedlg.h"

#include <commctrl.h>

bool CUpgradeApp::InitInstance()
{
    // The progress bar's window class.
    const INITCOMMONCONTROLSEX controls {sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);

    CUpgradeDlg dlg;
    m_pMainWnd = &dlg;
    dlg.DoModal();
    m_pMainWnd = nullptr;
    return false;
}

// The about box: the program's icon, name, version and copyright notice.
#pragma once

#include "dialogs/win32/dialog.h"

class CAboutDlg : public kestrival::dialogs::CDialog {
public:
    // Blocks `owner` while it runs.
    explicit CAboutDlg(HWND owner);
};

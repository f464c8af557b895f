// The application: runs the upgrade dialog once, then lets the program end.
#pragma once

class CUpgradeApp {
public:
    // Readies the common controls and runs the dialog to its end. FALSE: the program then
    // ends, with no message loop of its own.
    bool InitInstance();

    // The dialog while it runs.
    void *m_pMainWnd = nullptr;
};

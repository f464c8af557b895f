// The application: runs the upgrade dialog once and ends.
#pragma once

#include <QApplication>

class CUpgradeApp : public QApplication {
    Q_OBJECT

public:
    // argc and argv must outlive the application, as QApplication requires.
    CUpgradeApp(int &argc, char **argv);

    // Runs the upgrade dialog to its end, whichever way it ends (upgrade run, Esc, close box,
    // failed start-up check). Gives false: there is no event loop to enter afterwards.
    bool InitInstance();
};

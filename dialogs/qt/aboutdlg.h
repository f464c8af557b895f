// The about box: the program's icon, name, version and copyright.
#pragma once

#include <QDialog>

class CAboutDlg : public QDialog {
    Q_OBJECT

public:
    // `owner` is the window the box is centred over and that takes no input while it is open.
    explicit CAboutDlg(QWidget *owner = nullptr);

    // Shows the box and returns once OK, Esc or the close box has ended it.
    int DoModal();
};

// The about box.
#include "dialogs/qt/aboutdlg.h"

#include "dialogs/qt/dialog_builder.h"
#include "resources/dialog_templates.h"

#include <QPushButton>

CAboutDlg::CAboutDlg(QWidget *owner) : QDialog(owner)
{
    kestrival::dialogs::build_dialog(*this, kestrival::resources::kAboutBoxTemplate);
    // Only its owner is blocked: a completion box that is up meanwhile stays usable.
    setWindowModality(owner ? Qt::WindowModal : Qt::ApplicationModal);
    auto *ok = findChild<QPushButton *>(QStringLiteral("IDOK"));
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

int CAboutDlg::DoModal() { return exec(); }

// The program's message box.
#include "dialogs/message_box.h"

#include <QEventLoop>
#include <QMessageBox>
#include <QPushButton>

namespace kestrival::dialogs {

void show_message_box(const QString &text)
{
    QMessageBox box(QMessageBox::Information, QString::fromUtf8(kMessageCaption), text, QMessageBox::NoButton, nullptr);
    box.setTextFormat(Qt::PlainText);
    box.setWindowModality(Qt::NonModal);
    QPushButton *ok = box.addButton(QString::fromUtf8(kMessageButtonText), QMessageBox::AcceptRole);
    box.setDefaultButton(ok);
    box.setEscapeButton(ok);

    QEventLoop loop;
    QObject::connect(&box, &QMessageBox::finished, &loop, &QEventLoop::quit);
    box.show();
    loop.exec();
}

} // namespace kestrival::dialogs

// The program's message box.
#include "dialogs/qt/message_box.h"

#include <QApplication>
#include <QEventLoop>
#include <QGridLayout>
#include <QMessageBox>
#include <QPushButton>
#include <QSpacerItem>

namespace kestrival::dialogs {

namespace {

// A title bar holds, besides the caption, up to four buttons (window menu, minimise, maximise,
// close) of at most 32 px each in common themes, and its margins: a box sized to its text
// alone (as narrow as 120 px) leaves the caption no room at all.
constexpr int kTitleBarRoomPx = 4 * 32 + 2 * 16;

} // namespace

void show_message_box(const QString &text, QWidget *owner)
{
    QMessageBox box(QMessageBox::Information, QString::fromUtf8(kMessageCaption), text, QMessageBox::NoButton, owner);
    box.setTextFormat(Qt::PlainText);
    box.setWindowModality(owner ? Qt::WindowModal : Qt::NonModal);
    QPushButton *ok = box.addButton(QString::fromUtf8(kMessageButtonText), QMessageBox::AcceptRole);
    box.setDefaultButton(ok);
    box.setEscapeButton(ok);
    // The box fixes its own size from its layout when shown, so the width goes into the layout.
    const int captionPx
        = QFontMetrics(QApplication::font("QMdiSubWindowTitleBar")).horizontalAdvance(box.windowTitle());
    if (auto *grid = qobject_cast<QGridLayout *>(box.layout()))
        grid->addItem(new QSpacerItem(captionPx + kTitleBarRoomPx, 0), grid->rowCount(), 0, 1, grid->columnCount());

    QEventLoop loop;
    QObject::connect(&box, &QMessageBox::finished, &loop, &QEventLoop::quit);
    box.show();
    loop.exec();
}

} // namespace kestrival::dialogs

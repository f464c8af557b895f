// The toolkit's floor: the upgrade dialog's controls on a plain QDialog, with no file read or
// written, so the start-up benchmark can tell what Kestrival adds to what Qt costs anyway.
#include <QApplication>
#include <QDialog>
#include <QFont>
#include <QFontMetrics>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QString>

namespace {

// Dialog units of the upgrade dialog's template: x, y, width, height.
struct DialogRect {
    int x;
    int y;
    int width;
    int height;
};

constexpr DialogRect kDialogSize {0, 0, 320, 143};
constexpr DialogRect kButton {134, 101, 50, 14};
constexpr DialogRect kProgressLabel {39, 36, 200, 8};
constexpr DialogRect kProgress {39, 57, 240, 14};
constexpr DialogRect kVersionLabel {39, 13, 44, 8};
constexpr DialogRect kVersion {99, 13, 155, 8};
constexpr int kFontPoints = 9;

class DialogUnits {
public:
    explicit DialogUnits(const QFont &font)
    {
        const QFontMetrics metrics(font);
        const QString sample = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
        m_baseX = (metrics.horizontalAdvance(sample) / 26 + 1) / 2;
        m_baseY = metrics.height();
    }
    [[nodiscard]] QRect toPixels(const DialogRect &r) const
    {
        return {r.x * m_baseX / 4, r.y * m_baseY / 8, r.width * m_baseX / 4, r.height * m_baseY / 8};
    }

private:
    int m_baseX = 1;
    int m_baseY = 1;
};

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QFont font(QStringLiteral("Noto Sans CJK SC"), kFontPoints);
    font.setStyleHint(QFont::SansSerif);
    QApplication::setFont(font);
    QDialog dialog(nullptr, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    dialog.setWindowTitle(QStringLiteral("Kestrival"));
    dialog.setFont(font);
    const DialogUnits units(font);

    auto *const button = new QPushButton(QStringLiteral("升级"), &dialog);
    button->setDefault(true);
    button->setGeometry(units.toPixels(kButton));
    QObject::connect(button, &QPushButton::clicked, &dialog, &QDialog::accept);
    (new QLabel(QStringLiteral("进度："), &dialog))->setGeometry(units.toPixels(kProgressLabel));
    auto *const progress = new QProgressBar(&dialog);
    progress->setValue(0);
    progress->setTextVisible(false);
    progress->setGeometry(units.toPixels(kProgress));
    (new QLabel(QStringLiteral("当前版本:"), &dialog))->setGeometry(units.toPixels(kVersionLabel));
    (new QLabel(QStringLiteral("20230115"), &dialog))->setGeometry(units.toPixels(kVersion));

    dialog.setFixedSize(units.toPixels(kDialogSize).size());
    button->setFocus();
    dialog.exec();
    return 0;
}

// Both dialogs against their templates' figures and the font's measured units, written out here.
#include "dialogs/aboutdlg.h"
#include "dialogs/dialog_builder.h"

#include "dialog_test_support.h"

#include <QFontInfo>
#include <QLabel>

namespace kestrival::dialogs::test {
namespace {

// Noto Sans CJK SC at 9 pt on a 96 dpi screen: the mean advance of A-Z a-z, and the height.
constexpr int kBaseX = 7, kBaseY = 17;
QRect px(int x, int y, int w, int h)
{
    return {(x * kBaseX + 2) / 4, (y * kBaseY + 4) / 8, (w * kBaseX + 2) / 4, (h * kBaseY + 4) / 8};
}

struct ControlRow {
    const char *name;
    int id;
    QRect duRect;
    const char *text; // null: not shown as text
    bool defaultTabStop = false; // else no focus at all
};
struct DialogRow {
    const char *name;
    std::function<QDialog *()> make;
    const char *caption;
    QSize duSize;
    std::vector<ControlRow> controls;
};

// clang-format off
const DialogRow kDialogs[] = {
    {"upgrade", [] { return new CUpgradeDlg; }, "Kestrival", {320, 143}, {
        {"IDOK", 1, {134, 101, 50, 14}, "升级", true},
        {"IDC_STATIC_PROGRESS", -1, {39, 36, 200, 8}, "进度："},
        {"IDC_PROGRESS", 1000, {39, 57, 240, 14}, nullptr},
        {"IDC_STATIC_VERSION", -1, {39, 13, 44, 8}, "当前版本:"},
        {"IDC_VERSION", 1001, {99, 13, 155, 8}, ""}}},
    {"about", [] { return new CAboutDlg; }, "关于 Kestrival", {235, 55}, {
        {"IDC_STATIC_ICON", -1, {11, 17, 20, 20}, nullptr},
        {"IDC_STATIC_NAME", -1, {40, 10, 119, 8}, "Kestrival 1.0 版"},
        {"IDC_STATIC_COPYRIGHT", -1, {40, 25, 119, 8}, "版权所有 (C) 2026 Kestrival 作者"},
        {"IDOK", 1, {178, 7, 50, 14}, "确定", true}}}};
// clang-format on

TEST(Dialogs, MatchTheirTemplatesAndShowEveryTextUnclippedWithGlyphs)
{
    for (const DialogRow &row : kDialogs) {
        SCOPED_TRACE(row.name);
        const std::unique_ptr<QDialog> dialog(row.make());
        EXPECT_EQ(QFontInfo(dialog->font()).family(), QStringLiteral("Noto Sans CJK SC")) << "fonts-noto-cjk missing?";
        EXPECT_EQ(base_units_of(dialog->font()), (DialogBaseUnits {kBaseX, kBaseY}));
        const QFontMetrics metrics(dialog->font());
        EXPECT_EQ(dialog->windowTitle(), QString::fromUtf8(row.caption));
        EXPECT_EQ(dialog->size(), px(0, 0, row.duSize.width(), row.duSize.height()).size());
        EXPECT_EQ(dialog->minimumSize(), dialog->maximumSize()) << "not resizable";
        EXPECT_EQ(dialog->windowFlags(), kDialogWindowFlags) << "no minimise or maximise button";
        QString everything = dialog->windowTitle();
        for (const ControlRow &c : row.controls) {
            SCOPED_TRACE(c.name);
            auto *w = dialog->findChild<QWidget *>(QString::fromLatin1(c.name));
            ASSERT_NE(w, nullptr);
            const QRect rect = px(c.duRect.x(), c.duRect.y(), c.duRect.width(), c.duRect.height());
            const QString text = QString::fromUtf8(c.text);
            auto *label = qobject_cast<QLabel *>(w);
            auto *button = qobject_cast<QPushButton *>(w);
            EXPECT_EQ(w->property(kControlIdProperty).toInt(), c.id);
            EXPECT_EQ(w->focusPolicy(), c.defaultTabStop ? Qt::StrongFocus : Qt::NoFocus);
            EXPECT_EQ(button && button->isDefault(), c.defaultTabStop);
            EXPECT_FALSE(w->property("textVisible").toBool()) << "a bar without a percentage";
            if (label && !c.text) {
                EXPECT_FALSE(label->pixmap().isNull());
                EXPECT_EQ(w->geometry(), QRect(rect.topLeft(), QSize(32, 32))) << "the icon at its own size";
                continue;
            }
            EXPECT_EQ(w->geometry(), rect);
            if (!c.text)
                continue;
            EXPECT_EQ(w->property("text").toString(), text);
            EXPECT_TRUE(!label || label->textFormat() == Qt::PlainText) << "no markup, no access keys";
            // The rectangles were drawn for a smaller font; ours must still fit in them, a
            // button's frame taking an average character of its width.
            EXPECT_LE(metrics.horizontalAdvance(text), rect.width() - (label ? 0 : kBaseX));
            EXPECT_LE(metrics.height(), rect.height());
            everything += text;
        }
        for (const char32_t c : everything.toUcs4())
            EXPECT_TRUE(metrics.inFontUcs4(c)) << "no glyph for U+" << std::hex << unsigned(c);
    }
}

} // namespace
} // namespace kestrival::dialogs::test

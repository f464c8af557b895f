// Both dialogs against their templates: units, geometry, texts, fonts and frame.
#include "dialogs/aboutdlg.h"
#include "dialogs/dialog_builder.h"
#include "dialogs/dialog_units.h"
#include "dialogs/upgradedlg.h"
#include "resources/dialog_templates.h"

#include "dialog_test_support.h"

#include <QFontInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>

#include <array>

namespace kestrival::dialogs::test {
namespace {

using resources::ControlKind;
using resources::DialogTemplate;
using test::PrintTo;

TEST(DialogUnits, RoundHalfAwayFromZeroAndAreTheFontsMeanLetterWidthAndHeight)
{
    for (const auto &[a, b, c, want] :
         {std::array {1, 5, 4, 1}, {2, 7, 4, 4}, {-2, 7, 4, -4}, {2000000000, 4, 8, 1000000000}, {5, 7, 0, 0}})
        EXPECT_EQ(mul_div(a, b, c), want) << a << " * " << b << " / " << c;
    const QFont font = template_font(resources::kUpgradeDialogTemplate);
    const QFontMetrics metrics(font);
    const DialogBaseUnits units = base_units_of(font);
    const double meanLetter = metrics.horizontalAdvance(QString::fromLatin1(kAverageWidthSample)) / 52.0;
    EXPECT_LE(std::abs(units.x - meanLetter), 0.5);
    EXPECT_EQ(units.y, metrics.ascent() + metrics.descent());
}

struct TemplateRow {
    const char *name;
    const DialogTemplate *tpl;
    std::function<std::unique_ptr<QDialog>()> make;
};

class EveryDialog : public testing::TestWithParam<TemplateRow> { };

TEST_P(EveryDialog, MatchesItsTemplateAndShowsEveryTextUnclippedWithGlyphs)
{
    const DialogTemplate &tpl = *GetParam().tpl;
    const std::unique_ptr<QDialog> dialog = GetParam().make();
    const QFont font = template_font(tpl);
    EXPECT_EQ(QFontInfo(font).family(), to_qstring(tpl.font.family)) << "fonts-noto-cjk missing?";
    const QFontMetrics metrics(font);
    const DialogBaseUnits units = base_units_of(font);
    EXPECT_EQ(dialog->windowTitle(), to_qstring(tpl.caption));
    EXPECT_EQ(dialog->size(), QSize(du_to_px_x(tpl.width, units), du_to_px_y(tpl.height, units)));
    EXPECT_EQ(dialog->minimumSize(), dialog->maximumSize()) << "not resizable";

    QString everything = to_qstring(tpl.caption);
    for (const auto &control : tpl.controls) {
        SCOPED_TRACE(std::string(control.name));
        auto *w = dialog->findChild<QWidget *>(to_qstring(control.name));
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(w->property(kControlIdProperty).toInt(), control.id);
        const QRect rect = du_to_px(control.rect, units);
        const bool icon = control.kind == ControlKind::Icon;
        EXPECT_EQ(w->geometry(), icon ? QRect(rect.topLeft(), QSize(kLargeIconPx, kLargeIconPx)) : rect);
        EXPECT_EQ(w->focusPolicy(), control.flags & resources::kTabStop ? Qt::StrongFocus : Qt::NoFocus);
        const QString text = to_qstring(control.text);
        if (auto *button = qobject_cast<QPushButton *>(w)) {
            EXPECT_EQ(button->text(), text);
            EXPECT_EQ(button->isDefault(), (control.flags & resources::kDefaultButton) != 0);
        } else if (auto *label = qobject_cast<QLabel *>(w)) {
            if (icon) {
                EXPECT_FALSE(label->pixmap().isNull());
            } else {
                EXPECT_EQ(label->text(), text);
                EXPECT_EQ(label->textFormat(), Qt::PlainText) << "no markup, no access keys";
            }
        }
        // The template's rectangles were drawn for a smaller font; ours must still fit in them,
        // a button's frame taking an average character of its width.
        if (!text.isEmpty() && control.kind != ControlKind::Progress) {
            everything += text;
            const int frame = control.kind == ControlKind::Button ? units.x : 0;
            EXPECT_LE(metrics.horizontalAdvance(text), rect.width() - frame);
            EXPECT_LE(metrics.height(), rect.height());
        }
    }
    for (const char32_t c : everything.toUcs4())
        EXPECT_TRUE(metrics.inFontUcs4(c)) << "no glyph for U+" << std::hex << unsigned(c);
}

INSTANTIATE_TEST_SUITE_P(Templates, EveryDialog,
                         testing::Values(TemplateRow {"upgrade", &resources::kUpgradeDialogTemplate,
                                                      [] { return std::unique_ptr<QDialog>(new CUpgradeDlg); }},
                                         TemplateRow {"about", &resources::kAboutBoxTemplate,
                                                      [] { return std::unique_ptr<QDialog>(new CAboutDlg); }}),
                         RowName());

TEST(UpgradeDialog, HasAPlainBarAFixedFrameAndOpensCentred)
{
    CUpgradeDlg dlg;
    EXPECT_EQ(dlg.m_progress, dlg.findChild<QProgressBar *>(QStringLiteral("IDC_PROGRESS")));
    EXPECT_EQ(std::tuple(dlg.m_progress->minimum(), dlg.m_progress->maximum(), dlg.m_progress->value()),
              std::tuple(0, 100, 0));
    EXPECT_FALSE(dlg.m_progress->isTextVisible());
    EXPECT_FALSE(dlg.m_hIcon.isNull());
    EXPECT_EQ(dlg.windowFlags(), kDialogWindowFlags) << "no minimise or maximise button";

    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    const QRect screen = dlg.screen()->availableGeometry();
    EXPECT_LE((dlg.frameGeometry().center() - screen.center()).manhattanLength(), 2);
    dlg.hide();
}

} // namespace
} // namespace kestrival::dialogs::test

// Both dialogs against their templates: units, geometry, texts, fonts and frames.
#include "dialogs/aboutdlg.h"
#include "dialogs/dialog_builder.h"
#include "dialogs/dialog_units.h"
#include "dialogs/upgradedlg.h"
#include "resources/dialog_templates.h"
#include "resources/resource.h"

#include "dialog_test_support.h"

#include <QFontInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

namespace kestrival::dialogs::test {
namespace {

using test::PrintTo;

using resources::ControlKind;
using resources::DialogTemplate;

struct MulDivRow {
    const char *name;
    int value, numerator, denominator, expected;
};

class MulDiv : public testing::TestWithParam<MulDivRow> {};

TEST_P(MulDiv, RoundsHalfAwayFromZero)
{
    const MulDivRow &row = GetParam();
    EXPECT_EQ(mul_div(row.value, row.numerator, row.denominator), row.expected);
}

INSTANTIATE_TEST_SUITE_P(Rows, MulDiv, testing::Values(
    MulDivRow{"exact", 8, 6, 4, 12},
    MulDivRow{"below_half_down", 1, 5, 4, 1},
    MulDivRow{"half_up", 2, 7, 4, 4},
    MulDivRow{"above_half_up", 1, 7, 4, 2},
    MulDivRow{"negative_half_away", -2, 7, 4, -4},
    MulDivRow{"negative_denominator", 2, 7, -4, -4},
    MulDivRow{"zero_denominator", 5, 7, 0, 0},
    MulDivRow{"no_int_overflow", 2000000000, 4, 8, 1000000000}),
    RowName());

TEST(DialogUnits, AverageWidthIsTheRoundedMeanOfTheLatinLetters)
{
    const QFont font = template_font(resources::kUpgradeDialogTemplate);
    const QFontMetrics metrics(font);
    const double mean = metrics.horizontalAdvance(QString::fromLatin1(kAverageWidthSample)) / 52.0;
    const DialogBaseUnits units = base_units_of(font);
    EXPECT_LE(std::abs(units.x - mean), 0.5);
    EXPECT_EQ(units.y, metrics.ascent() + metrics.descent());
    EXPECT_GT(units.x, 0);
}

// Every widget the template names, where and as the template says.
void expect_matches_template(QDialog &dialog, const DialogTemplate &tpl)
{
    const DialogBaseUnits units = base_units_of(template_font(tpl));
    EXPECT_EQ(dialog.windowTitle(), to_qstring(tpl.caption));
    EXPECT_EQ(dialog.size(), QSize(du_to_px_x(tpl.width, units), du_to_px_y(tpl.height, units)));
    EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize()) << "the dialog must not be resizable";

    QWidget *previousTabStop = nullptr;
    for (const auto &control : tpl.controls) {
        SCOPED_TRACE(std::string(control.name));
        auto *w = dialog.findChild<QWidget *>(to_qstring(control.name));
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(w->property(kControlIdProperty).toInt(), control.id);
        const QRect expected = du_to_px(control.rect, units);
        if (control.kind == ControlKind::Icon)
            EXPECT_EQ(w->geometry(), QRect(expected.topLeft(), QSize(kLargeIconPx, kLargeIconPx)));
        else
            EXPECT_EQ(w->geometry(), expected);

        const bool tabStop = (control.flags & resources::kTabStop) != 0;
        EXPECT_EQ(w->focusPolicy(), tabStop ? Qt::StrongFocus : Qt::NoFocus);
        if (tabStop) {
            if (previousTabStop) {
                EXPECT_EQ(previousTabStop->nextInFocusChain(), w) << "tab order follows the template";
            }
            previousTabStop = w;
        }

        const QString text = to_qstring(control.text);
        if (auto *button = qobject_cast<QPushButton *>(w)) {
            EXPECT_EQ(button->text(), text);
            EXPECT_EQ(button->isDefault(), (control.flags & resources::kDefaultButton) != 0);
        } else if (auto *label = qobject_cast<QLabel *>(w); label && control.kind == ControlKind::Static) {
            EXPECT_EQ(label->text(), text);
            EXPECT_EQ(label->textFormat(), Qt::PlainText);
            EXPECT_EQ(label->buddy(), nullptr) << "no access-key processing";
        }
    }
}

TEST(UpgradeDialogLayout, MatchesItsTemplate)
{
    CUpgradeDlg dlg(UpgradeDlgSeams{[](const QString &) {}, [] { return std::optional<std::string>(); },
                                    nullptr});
    expect_matches_template(dlg, resources::kUpgradeDialogTemplate);
    EXPECT_EQ(dlg.m_progress->objectName(), QStringLiteral("IDC_PROGRESS"));
    EXPECT_EQ(dlg.m_progress->minimum(), 0);
    EXPECT_EQ(dlg.m_progress->maximum(), 100);
    EXPECT_EQ(dlg.m_progress->value(), 0);
    EXPECT_FALSE(dlg.m_progress->isTextVisible());
    EXPECT_FALSE(dlg.m_hIcon.isNull());
}

TEST(AboutBoxLayout, MatchesItsTemplate)
{
    CAboutDlg about;
    expect_matches_template(about, resources::kAboutBoxTemplate);
    auto *icon = about.findChild<QLabel *>(QStringLiteral("IDC_STATIC_ICON"));
    ASSERT_NE(icon, nullptr);
    EXPECT_FALSE(icon->pixmap().isNull());
}

struct TemplateRow {
    const char *name;
    const DialogTemplate *tpl;
};

class EveryTemplate : public testing::TestWithParam<TemplateRow> {};

TEST_P(EveryTemplate, ShowsEveryTextWithGlyphsAndUnclipped)
{
    const DialogTemplate &tpl = *GetParam().tpl;
    const QFont font = template_font(tpl);
    EXPECT_EQ(QFontInfo(font).family(), to_qstring(tpl.font.family)) << "fonts-noto-cjk missing?";
    const QFontMetrics metrics(font);
    const DialogBaseUnits units = base_units_of(font);

    QStringList texts{to_qstring(tpl.caption)};
    for (const auto &control : tpl.controls) {
        const QString text = to_qstring(control.text);
        texts << text;
        if (text.isEmpty() || control.kind == ControlKind::Progress)
            continue;
        SCOPED_TRACE(std::string(control.name));
        const QRect rect = du_to_px(control.rect, units);
        EXPECT_LE(metrics.height(), rect.height());
        // A button's frame takes some of its width: leave a margin of one average character.
        const int room = control.kind == ControlKind::Button ? rect.width() - units.x : rect.width();
        EXPECT_LE(metrics.horizontalAdvance(text), room);
    }
    for (const QString &text : texts)
        for (const char32_t c : text.toUcs4())
            EXPECT_TRUE(metrics.inFontUcs4(c)) << "no glyph for U+" << std::hex << unsigned(c);
}

INSTANTIATE_TEST_SUITE_P(Templates, EveryTemplate, testing::Values(
    TemplateRow{"upgrade", &resources::kUpgradeDialogTemplate},
    TemplateRow{"about", &resources::kAboutBoxTemplate}),
    RowName());

TEST(DialogFrame, HasNoMinimiseOrMaximiseAndIsCentredOnTheScreen)
{
    CUpgradeDlg dlg(UpgradeDlgSeams{[](const QString &) {}, [] { return std::optional<std::string>(); },
                                    nullptr});
    const Qt::WindowFlags flags = dlg.windowFlags();
    EXPECT_EQ(flags & Qt::WindowType_Mask, Qt::Dialog);
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
    EXPECT_TRUE(flags & Qt::WindowSystemMenuHint);
    EXPECT_FALSE(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));

    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    const QRect screen = dlg.screen()->availableGeometry();
    EXPECT_LE((dlg.frameGeometry().center() - screen.center()).manhattanLength(), 2);
    dlg.hide();
}

TEST(StringTable, HoldsOnlyTheAboutEntry)
{
    EXPECT_EQ(to_qstring(resources::load_string(IDS_ABOUTBOX)), QStringLiteral("关于 Kestrival(&A)..."));
    EXPECT_TRUE(resources::load_string(IDD_ABOUTBOX).empty());
}

} // namespace
} // namespace kestrival::dialogs::test

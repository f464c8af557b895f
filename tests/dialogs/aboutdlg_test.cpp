// The about entry of the upgrade dialog's context menu, OnSysCommand and the about box.
#include "dialogs/aboutdlg.h"

#include "dialogs/upgradedlg.h"
#include "resources/resource.h"
#include "resources/version_info.h"

#include "dialog_test_support.h"

#include <QContextMenuEvent>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

namespace kestrival::dialogs::test {
namespace {

using test::PrintTo;

const QString kEntry = QStringLiteral("关于 Kestrival(&A)...");
const std::string kSettings = "[DB]\r\nVersion=20200101\r\n";

QStringList entries(const QMenu &menu)
{
    QStringList texts;
    for (const QAction *action : menu.actions())
        if (!action->isSeparator())
            texts << action->text();
    return texts;
}

// An upgrade dialog, open and idle.
class AboutTest : public InstallationTest {
protected:
    void SetUp() override
    {
        InstallationTest::SetUp();
        installAll(kSettings);
        dlg = std::make_unique<CUpgradeDlg>(seams());
        ASSERT_TRUE(dlg->OnInitDialog());
        dlg->show();
        ASSERT_TRUE(QTest::qWaitForWindowActive(dlg.get()));
    }

    void TearDown() override
    {
        dlg.reset();
        InstallationTest::TearDown();
    }

    QWidget *control(const char *name) { return dlg->findChild<QWidget *>(QString::fromLatin1(name)); }

    std::unique_ptr<CUpgradeDlg> dlg;
};

// --- the entry -------------------------------------------------------------------------------

enum class Gesture { RightClick, MenuKey, ShiftF10 };

struct OpenMenuRow {
    const char *name;
    Gesture gesture;
    const char *target; // a control's name; null for the dialog's own background
};

class ContextMenu : public AboutTest, public testing::WithParamInterface<OpenMenuRow> {};

TEST_P(ContextMenu, OpensOnceWithTheAboutEntry)
{
    QStringList seen;
    ShowWatcher<QMenu> menus([&](QMenu *menu) {
        seen = entries(*menu);
        menu->close();
    });
    const OpenMenuRow &row = GetParam();
    QWidget *target = row.target ? control(row.target) : dlg.get();
    switch (row.gesture) {
    case Gesture::RightClick:
        click_through_window(target, Qt::RightButton, row.target ? target->rect().center() : QPoint(5, 5));
        break;
    case Gesture::MenuKey:
        QTest::keyClick(target, Qt::Key_Menu);
        break;
    case Gesture::ShiftF10:
        QTest::keyClick(target, Qt::Key_F10, Qt::ShiftModifier);
        break;
    }
    EXPECT_TRUE(wait_for([&] { return menus.shown > 0 && !QApplication::activePopupWidget(); }));
    QCoreApplication::processEvents();
    EXPECT_EQ(menus.shown, 1);
    EXPECT_EQ(seen, QStringList{kEntry});
}

INSTANTIATE_TEST_SUITE_P(Rows, ContextMenu, testing::Values(
    OpenMenuRow{"right_click_on_the_dialog", Gesture::RightClick, nullptr},
    OpenMenuRow{"right_click_on_a_label", Gesture::RightClick, "IDC_VERSION"},
    OpenMenuRow{"right_click_on_the_bar", Gesture::RightClick, "IDC_PROGRESS"},
    OpenMenuRow{"menu_key", Gesture::MenuKey, "IDOK"},
    OpenMenuRow{"shift_f10", Gesture::ShiftF10, "IDOK"}),
    RowName());

TEST_F(AboutTest, EntryIsAddedOncePerOpening)
{
    dlg->OnInitDialog();
    EXPECT_EQ(dlg->actions().size(), 1);
}

TEST_F(AboutTest, ChoosingTheEntryByItsAccessKeyOpensTheAboutBox)
{
    ShowWatcher<QMenu> menus([](QMenu *menu) { QTest::keyClick(menu, Qt::Key_A); });
    QString caption;
    QStringList texts;
    QPoint aboutCentre;
    ShowWatcher<CAboutDlg> boxes([&](CAboutDlg *about) {
        caption = about->windowTitle();
        for (const char *name : {"IDC_STATIC_NAME", "IDC_STATIC_COPYRIGHT"})
            texts << about->findChild<QLabel *>(QString::fromLatin1(name))->text();
        texts << about->findChild<QPushButton *>(QStringLiteral("IDOK"))->text();
        aboutCentre = about->geometry().center();
        about->accept();
    });
    click_through_window(dlg.get(), Qt::RightButton, QPoint(5, 5));
    EXPECT_TRUE(wait_for([&] { return boxes.shown == 1 && !QApplication::activeModalWidget(); }));
    EXPECT_EQ(caption, QStringLiteral("关于 Kestrival"));
    EXPECT_EQ(texts, (QStringList{QStringLiteral("Kestrival 1.0 版"),
                                  QString::fromUtf8(resources::kLegalCopyright.data(),
                                                    qsizetype(resources::kLegalCopyright.size())),
                                  QStringLiteral("确定")}));
    EXPECT_LE((aboutCentre - dlg->geometry().center()).manhattanLength(), 2) << "centred over the dialog";
}

// --- OnSysCommand ----------------------------------------------------------------------------

struct CommandRow {
    const char *name;
    unsigned id;
    bool opensAbout;
};

class SysCommand : public AboutTest, public testing::WithParamInterface<CommandRow> {};

TEST_P(SysCommand, OpensTheAboutBoxForItsOwnCommandOnly)
{
    ShowWatcher<CAboutDlg> boxes([](CAboutDlg *about) { about->reject(); });
    dlg->OnSysCommand(GetParam().id);
    QCoreApplication::processEvents();
    EXPECT_EQ(boxes.shown, GetParam().opensAbout ? 1 : 0);
    EXPECT_TRUE(dlg->isVisible());
}

INSTANTIATE_TEST_SUITE_P(Rows, SysCommand, testing::Values(
    CommandRow{"about", IDM_ABOUTBOX, true},
    CommandRow{"about_with_low_bits_set", 0x001F, true},
    CommandRow{"next_command", 0x0020, false},
    CommandRow{"system_close", 0xF060, false}),
    RowName());

// --- closing the about box -------------------------------------------------------------------

struct CloseRow {
    const char *name;
    std::function<void(CAboutDlg &)> close;
};

class ClosingTheAboutBox : public AboutTest, public testing::WithParamInterface<CloseRow> {};

TEST_P(ClosingTheAboutBox, ReturnsToAnUnchangedDialog)
{
    QSignalSpy finished(dlg.get(), &QDialog::finished);
    const QString version = control("IDC_VERSION")->property("text").toString();
    bool blocked = false;
    ShowWatcher<CAboutDlg> boxes([&](CAboutDlg *about) {
        // The upgrade dialog takes no input while the box is open.
        click_through_window(control("IDOK"), Qt::LeftButton, control("IDOK")->rect().center());
        blocked = messages.texts.isEmpty() && clock.waits.empty();
        GetParam().close(*about);
    });
    dlg->OnSysCommand(IDM_ABOUTBOX);

    EXPECT_EQ(boxes.shown, 1);
    EXPECT_TRUE(blocked);
    EXPECT_TRUE(dlg->isVisible());
    EXPECT_EQ(finished.count(), 0);
    EXPECT_EQ(control("IDC_VERSION")->property("text").toString(), version);
    EXPECT_EQ(dlg->m_progress->value(), 0);
    EXPECT_EQ(read_bytes(settingsPath()), kSettings);
}

INSTANTIATE_TEST_SUITE_P(Rows, ClosingTheAboutBox, testing::Values(
    CloseRow{"ok", [](CAboutDlg &a) { QTest::mouseClick(a.findChild<QPushButton *>(QStringLiteral("IDOK")), Qt::LeftButton); }},
    CloseRow{"escape", [](CAboutDlg &a) { QTest::keyClick(&a, Qt::Key_Escape); }},
    CloseRow{"close_box", [](CAboutDlg &a) { a.close(); }}),
    RowName());

// --- around the upgrade run ------------------------------------------------------------------

TEST_F(AboutTest, EntryIsAbsentDuringTheTimetableAndBackUnderTheCompletionBox)
{
    ShowWatcher<QMenu> menus([](QMenu *menu) { menu->close(); });
    ShowWatcher<CAboutDlg> boxes([](CAboutDlg *about) { about->accept(); });
    clock.onWait = [&](std::size_t i) {
        if (i != 40)
            return;
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), dlg->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(dlg.get(), &event);
    };
    messages.react = [&](const QString &) {
        EXPECT_TRUE(dlg->isVisible());
        dlg->OnSysCommand(IDM_ABOUTBOX);
    };
    dlg->OnOK();
    QCoreApplication::processEvents();
    EXPECT_EQ(menus.shown, 0);
    EXPECT_EQ(boxes.shown, 1);
    EXPECT_EQ(dlg->result(), int(QDialog::Accepted));
}

} // namespace
} // namespace kestrival::dialogs::test

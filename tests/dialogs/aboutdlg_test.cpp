// The about entry of the upgrade dialog's context menu, OnSysCommand and the about box
// (with a timetable running, the dialog's own test tries them).
#include "dialogs/aboutdlg.h"

#include "dialogs/upgradedlg.h"
#include "resources/resource.h"
#include "resources/version_info.h"

#include "dialog_test_support.h"

#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>

namespace kestrival::dialogs::test {
namespace {

using test::PrintTo;
const std::string kSettings = "[DB]\r\nVersion=20200101\r\n";

// An upgrade dialog, open and idle.
class AboutTest : public InstallationTest {
protected:
    void SetUp() override
    {
        InstallationTest::SetUp();
        installAll(kSettings);
        dlg = std::make_unique<CUpgradeDlg>(seams());
        ASSERT_TRUE(dlg->OnInitDialog());
        ASSERT_TRUE(dlg->OnInitDialog()) << "as a second DoModal does: the entry is added once";
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

struct OpenMenuRow {
    const char *name;
    const char *target; // a control's name; null for the dialog's own background
    Qt::Key key; // 0 for a right click
    Qt::KeyboardModifiers modifiers = {};
};

class ContextMenu : public AboutTest, public testing::WithParamInterface<OpenMenuRow> { };

TEST_P(ContextMenu, HoldsOnlyTheAboutEntryWhoseAccessKeyOpensTheAboutBox)
{
    QStringList entries, texts;
    ShowWatcher<QMenu> menus([&](QMenu *menu) {
        for (const QAction *action : menu->actions())
            entries << (action->isSeparator() ? QStringLiteral("-") : action->text());
        if (entries.size() == 1)
            QTest::keyClick(menu, Qt::Key_A);
        else
            menu->close(); // an access key shared by several entries only moves between them
    });
    QPoint aboutCentre;
    ShowWatcher<CAboutDlg> boxes([&](CAboutDlg *about) {
        texts << about->windowTitle();
        for (const char *name : {"IDC_STATIC_NAME", "IDC_STATIC_COPYRIGHT", "IDOK"})
            texts << about->findChild<QWidget *>(QString::fromLatin1(name))->property("text").toString();
        aboutCentre = about->geometry().center();
        about->accept();
    });
    const OpenMenuRow &row = GetParam();
    if (row.key)
        QTest::keyClick(control(row.target), row.key, row.modifiers);
    else if (row.target)
        click_through_window(control(row.target), Qt::RightButton);
    else
        QTest::mouseClick(dlg->windowHandle(), Qt::RightButton, {}, QPoint(5, 5));
    EXPECT_TRUE(wait_for([&] { return boxes.shown > 0 && !QApplication::activeModalWidget(); }));
    QCoreApplication::processEvents();
    EXPECT_EQ(menus.shown, 1);
    EXPECT_EQ(entries, QStringList {QStringLiteral("关于 Kestrival(&A)...")});
    EXPECT_EQ(boxes.shown, 1);
    const QString copyright
        = QString::fromUtf8(resources::kLegalCopyright.data(), qsizetype(resources::kLegalCopyright.size()));
    EXPECT_EQ(texts,
              (QStringList {QStringLiteral("关于 Kestrival"), QStringLiteral("Kestrival 1.0 版"), copyright,
                            QStringLiteral("确定")}));
    EXPECT_LE((aboutCentre - dlg->geometry().center()).manhattanLength(), 2) << "centred over the dialog";
}

INSTANTIATE_TEST_SUITE_P(Rows, ContextMenu,
                         testing::Values(OpenMenuRow {"right_click_on_the_dialog", nullptr, Qt::Key(0)},
                                         OpenMenuRow {"right_click_on_a_label", "IDC_VERSION", Qt::Key(0)},
                                         OpenMenuRow {"right_click_on_the_bar", "IDC_PROGRESS", Qt::Key(0)},
                                         OpenMenuRow {"menu_key", "IDOK", Qt::Key_Menu},
                                         OpenMenuRow {"shift_f10", "IDOK", Qt::Key_F10, Qt::ShiftModifier}),
                         RowName());

struct CommandRow {
    const char *name;
    unsigned id;
    std::function<void(CAboutDlg &)> close; // null when the command opens no about box
};

class SysCommand : public AboutTest, public testing::WithParamInterface<CommandRow> { };

TEST_P(SysCommand, OpensTheAboutBoxForItsOwnCommandOnlyAndReturnsToAnUnchangedDialog)
{
    QSignalSpy finished(dlg.get(), &QDialog::finished);
    const QString version = control("IDC_VERSION")->property("text").toString();
    bool blocked = false;
    ShowWatcher<CAboutDlg> boxes([&](CAboutDlg *about) {
        click_through_window(control("IDOK"));
        blocked = messages.isEmpty() && clock.deadlines().empty();
        GetParam().close ? GetParam().close(*about) : about->reject();
    });
    dlg->OnSysCommand(GetParam().id);
    QCoreApplication::processEvents();
    EXPECT_EQ(boxes.shown, GetParam().close ? 1 : 0);
    EXPECT_EQ(blocked, bool(GetParam().close)) << "the upgrade dialog takes no input under the box";
    EXPECT_TRUE(dlg->isVisible());
    EXPECT_EQ(finished.count(), 0);
    EXPECT_EQ(control("IDC_VERSION")->property("text").toString(), version);
    EXPECT_EQ(dlg->m_progress->value(), 0);
    EXPECT_EQ(read_bytes(settingsPath()), kSettings);
}

const auto kOk = [](CAboutDlg &a) { click_through_window(a.findChild<QPushButton *>(QStringLiteral("IDOK"))); };
INSTANTIATE_TEST_SUITE_P(
    Rows, SysCommand,
    testing::Values(CommandRow {"about_closed_by_ok", IDM_ABOUTBOX, kOk},
                    CommandRow {"about_closed_by_escape", IDM_ABOUTBOX,
                                [](CAboutDlg &a) { QTest::keyClick(&a, Qt::Key_Escape); }},
                    CommandRow {"about_closed_by_close_box", IDM_ABOUTBOX, [](CAboutDlg &a) { a.close(); }},
                    CommandRow {"about_with_low_bits_set", 0x001F, kOk}, CommandRow {"next_command", 0x0020, nullptr},
                    CommandRow {"system_close", 0xF060, nullptr}),
    RowName());

} // namespace
} // namespace kestrival::dialogs::test

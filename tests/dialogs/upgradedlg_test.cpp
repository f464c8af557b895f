// The upgrade dialog: start-up checks, version display, the upgrade run, and the about entry.
#include "dialogs/upgradedlg.h"

#include "dialogs/aboutdlg.h"
#include "resources/resource.h"

#include "dialog_test_support.h"

#include <QContextMenuEvent>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QSignalSpy>

namespace kestrival::dialogs::test {
namespace {

using test::PrintTo;

using namespace std::chrono_literals;
const QString kNoSettings = QStringLiteral("获取升级信息失败,请检查是否在安装目录运行");
const QString kNoPackage = QStringLiteral("打开升级包失败");
const QString kDone = QStringLiteral("升级完成");
const std::string kSettings = "[DB]\r\nVersion=20200101\r\n";
const std::string kStampedSettings = "[DB]\r\nVersion=20240305\r\n";
constexpr std::time_t kPackageTime = 1709640000; // 2024-03-05 12:00:00 UTC

QLabel *version_field(QDialog &dlg) { return dlg.findChild<QLabel *>(QStringLiteral("IDC_VERSION")); }
QPushButton *ok_button(QDialog &dlg) { return dlg.findChild<QPushButton *>(QStringLiteral("IDOK")); }

class UpgradeDlgTest : public InstallationTest {
protected:
    void install()
    {
        installAll(kSettings);
        const auto packageTime = std::chrono::system_clock::from_time_t(kPackageTime);
        fs::last_write_time(workDir() / "HarrowglimmerPatch.dat", std::chrono::file_clock::from_sys(packageTime));
    }
    // Installed, initialised and on screen, without a modal loop of its own.
    void open(CUpgradeDlg &dlg)
    {
        install();
        ASSERT_TRUE(dlg.OnInitDialog());
        ASSERT_TRUE(dlg.OnInitDialog()) << "as a second DoModal does";
        dlg.show();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
    }
};

enum class File { Missing, Present, ReadOnly };

struct StartupRow {
    const char *name;
    File settings; // in the working directory; the program's own directory always holds one
    File package;
    QStringList messages;
    std::string version = "20200101"; // in the program's own settings file
    QString shown = QStringLiteral("20200101");
    bool noSettingsPath = false; // then no check is made, so none can fail
};

class StartupChecks : public InstallationTest, public testing::WithParamInterface<StartupRow> { };

TEST_P(StartupChecks, FailuresShowTheirMessageAndNeverTheDialog)
{
    const StartupRow &row = GetParam();
    const bool fails = !row.messages.isEmpty();
    noSettingsPath = row.noSettingsPath;
    write_bytes(settingsPath(), "[DB]\r\nVersion=" + row.version + "\r\n");
    for (const auto &[file, how] :
         {std::pair {"tsetting.ini", row.settings}, {"HarrowglimmerPatch.dat", row.package}}) {
        if (how != File::Missing)
            write_bytes(workDir() / file, kSettings);
        if (how == File::ReadOnly)
            fs::permissions(workDir() / file, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    }
    CUpgradeDlg dlg(seams());
    ShowWatcher<CUpgradeDlg> shown([](CUpgradeDlg *) {});
    std::optional<std::tuple<QString, bool, bool>> versionFocusDefault;
    post([&] {
        if (!fails && QTest::qWaitForWindowActive(&dlg)) {
            const QAccessible::State button = QAccessible::queryAccessibleInterface(ok_button(dlg))->state();
            versionFocusDefault.emplace(version_field(dlg)->text(), button.focused, button.defaultButton);
        }
        dlg.close();
    });
    EXPECT_EQ(dlg.DoModal(), fails ? CUpgradeDlg::kStartupFailed : int(QDialog::Rejected));
    EXPECT_EQ(messages, row.messages);
    EXPECT_EQ(shown.shown, fails ? 0 : 1);
    EXPECT_EQ(versionFocusDefault,
              fails ? std::nullopt : std::optional(std::tuple(row.shown, !row.noSettingsPath, true)));
    EXPECT_EQ(writes, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, StartupChecks,
    testing::Values(StartupRow {"all_present", File::Present, File::Present, {}},
                    StartupRow {"markup_stays_literal", File::Present, File::Present, {}, "<b>2</b> &A", "<b>2</b> &A"},
                    StartupRow {"code_page_936", File::Present, File::Present, {}, "V\xb0\xe6", QStringLiteral("V版")},
                    StartupRow {"settings_only_beside_the_program", File::Missing, File::Present, {kNoSettings}},
                    StartupRow {"settings_read_only", File::ReadOnly, File::Present, {kNoSettings}},
                    StartupRow {"package_missing", File::Present, File::Missing, {kNoPackage}},
                    StartupRow {"package_read_only", File::Present, File::ReadOnly, {kNoPackage}},
                    StartupRow {"both_missing_gives_only_the_first", File::Missing, File::Missing, {kNoSettings}},
                    StartupRow {"no_settings_path_opens_empty_unchecked_unfocused",
                                File::Missing,
                                File::Missing,
                                {},
                                "20200101",
                                "",
                                true}),
    RowName());

// In virtual time from the press to the real completion box, which neither blocks the dialog
// nor is blocked by it. The bar and text are taken as each pause ends, so after the step before.
TEST_F(UpgradeDlgTest, RunStampsFirstCountsFromThePressAndTheCompletionBoxEndsTheDialog)
{
    install();
    UpgradeDlgSeams real = seams();
    real.notify = nullptr;
    duringWrite = [&] { clock.advance(4500ms); }; // a slow write moves no deadline
    CUpgradeDlg dlg(real);
    std::vector<std::pair<QString, int>> seen;
    clock.hook = [&] {
        if (step() == 0) {
            EXPECT_EQ(read_bytes(settingsPath()), kStampedSettings) << "stamped before the first step";
        }
        seen.emplace_back(version_field(dlg)->text(), dlg.m_progress->value());
    };
    ShowWatcher<QMessageBox> boxes([&](QMessageBox *box) {
        EXPECT_EQ(std::pair(box->parentWidget(), QApplication::activeModalWidget()),
                  (std::pair<QWidget *, QWidget *>()))
            << "no owner, and the dialog stays usable";
        // The whole caption, beside up to four title-bar buttons, fits.
        const QFontMetrics title(QApplication::font("QMdiSubWindowTitleBar"));
        EXPECT_GE(box->width(), title.horizontalAdvance(box->windowTitle()) + 4 * 32);
        dismiss(box);
    });
    post([&] { click_through_window(ok_button(dlg)); });
    EXPECT_EQ(dlg.DoModal(), int(QDialog::Accepted));
    EXPECT_EQ(boxes.shown, 1);
    EXPECT_EQ(read_bytes(workDir() / "tsetting.ini"), kSettings) << "only the program's file is written";

    constexpr int kPauseMs[10] = {1000, 1000, 1000, 2000, 1000, 1000, 200, 200, 1000, 1000};
    ASSERT_EQ(seen.size(), 100u);
    std::chrono::milliseconds due(0);
    for (int i = 0; i < 100; ++i) {
        const char *text = i <= 11 ? "Check Ver Info..." : i <= 25 ? "Unzip files..." : "Patch files...";
        EXPECT_EQ(seen[std::size_t(i)], std::pair(QString::fromLatin1(text), i)) << "before step " << i;
        due += std::chrono::milliseconds(kPauseMs[i % 10]);
        EXPECT_EQ(clock.deadlines[std::size_t(i)] - clock.epoch, due) << "step " << i;
    }
    for (const auto &[i, ms] : {std::pair {0, 1000}, {11, 11400}, {25, 25800}, {99, 94000}})
        EXPECT_EQ(clock.deadlines[std::size_t(i)] - clock.epoch, std::chrono::milliseconds(ms));
}

// Paths no one can write, root included; or none at all.
struct RunFailureRow {
    const char *name;
    std::function<std::optional<fs::path>(const fs::path &programDir)> settingsPath;
};

class RunFailure : public UpgradeDlgTest, public testing::WithParamInterface<RunFailureRow> { };

// The write keeps the window alive and deaf; its failure box holds the dialog until dismissed.
TEST_P(RunFailure, IsReportedInABoxHoldingTheDialogTouchingNothing)
{
    UpgradeDlgSeams real = seams();
    real.notify = nullptr;
    CUpgradeDlg dlg(real);
    open(dlg);
    const std::optional<fs::path> path = GetParam().settingsPath(programDir());
    noSettingsPath = !path;
    settingsPathOverride = path.value_or("").string();
    const auto snapshot = [&] {
        std::string all;
        for (const auto &entry : fs::recursive_directory_iterator(programDir()))
            all += entry.path().string() + ":" + (entry.is_regular_file() ? read_bytes(entry) : "") + "\n";
        return all;
    };
    const std::string before = snapshot();
    std::atomic<int> ticks = 0, ticksDuringWrite = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(10);
    QTimer::singleShot(50, [&] { click_through_window(ok_button(dlg)); });
    duringWrite = [&] {
        std::this_thread::sleep_for(300ms);
        ticksDuringWrite = ticks.load();
    };
    QSignalSpy pressed(ok_button(dlg), &QPushButton::pressed);
    QStringList shown;
    ShowWatcher<QMessageBox> boxes([&](QMessageBox *box) {
        shown << box->text();
        EXPECT_EQ(pressed.count(), 0) << "the click given during the write was dropped";
        EXPECT_EQ(box->parentWidget(), &dlg);
        EXPECT_EQ(box->windowModality(), Qt::WindowModal);
        if (shown.size() == 1) {
            click_through_window(ok_button(dlg));
            press_for_screen_reader(ok_button(dlg));
            QTest::qWait(300);
        }
        dismiss(box);
    });
    dlg.OnOK();
    QTest::qWait(300);
    EXPECT_EQ(shown, path ? QStringList {QStringLiteral("写入版本信息失败")} : QStringList {});
    EXPECT_EQ(std::pair(writes.load(), ticksDuringWrite > 0), std::pair(path ? 1 : 0, path.has_value()));
    EXPECT_TRUE(clock.deadlines.empty());
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_EQ(snapshot(), before);
    dlg.hide();
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RunFailure,
    testing::Values(RunFailureRow {"no_settings_path", [](const fs::path &) { return std::optional<fs::path>(); }},
                    RunFailureRow {"directory_missing",
                                   [](const fs::path &dir) { return std::optional(dir / "gone" / "tsetting.ini"); }},
                    RunFailureRow {"path_is_a_directory",
                                   [](const fs::path &dir) {
                                       fs::create_directory(dir / "settings-dir");
                                       write_bytes(dir / "settings-dir" / "inside", "untouched");
                                       return std::optional(dir / "settings-dir");
                                   }}),
    RowName());

// While the timetable runs the dialog takes no commands; under the completion box it does again,
// and it ends only with the outermost box.
TEST_F(UpgradeDlgTest, CommandsWaitForTheCompletionBoxThenAFurtherRunEndsCleanly)
{
    CUpgradeDlg dlg(seams());
    open(dlg);
    QSignalSpy finished(&dlg, &QDialog::finished);
    ShowWatcher<QMenu> menus([](QMenu *menu) { menu->close(); });
    ShowWatcher<CAboutDlg> boxes([](CAboutDlg *about) { about->accept(); });
    clock.hook = [&] {
        if (step() != 50)
            return;
        dlg.OnOK();
        dlg.OnSysCommand(IDM_ABOUTBOX);
        dlg.close();
        QContextMenuEvent menuEvent(QContextMenuEvent::Mouse, QPoint(5, 5), dlg.mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(&dlg, &menuEvent);
        QCoreApplication::processEvents();
        EXPECT_EQ(step(), 50u) << "no nested run";
        EXPECT_TRUE(dlg.isVisible());
        EXPECT_EQ(menus.shown + boxes.shown, 0);
    };
    onMessage = [&] {
        if (messages.size() > 1)
            return;
        dlg.OnSysCommand(IDM_ABOUTBOX);
        write_bytes(settingsPath(), kSettings);
        QTest::mouseClick(ok_button(dlg), Qt::LeftButton);
        EXPECT_EQ(read_bytes(settingsPath()), kStampedSettings) << "the further run stamps again";
        dlg.close();
        EXPECT_TRUE(dlg.isVisible()) << "ended under the outer box";
        EXPECT_EQ(finished.count(), 0);
    };
    dlg.OnOK();
    EXPECT_EQ(boxes.shown, 1);
    EXPECT_EQ(messages, (QStringList {kDone, kDone}));
    EXPECT_EQ(clock.deadlines.size(), 200u);
    EXPECT_EQ(std::pair(int(finished.count()), dlg.result()), std::pair(1, int(QDialog::Accepted)));
}

// A screen reader's press clicks 100 ms later through a timer, which no input filter sees.
TEST_F(UpgradeDlgTest, ScreenReaderPressesStartNoRunUnderAMenuAndNoneAfterTheRun)
{
    CUpgradeDlg dlg(seams());
    open(dlg);
    ShowWatcher<QMenu> menus([&](QMenu *) { press_for_screen_reader(ok_button(dlg)); });
    clock.hook = [&] {
        if (step() == 0) {
            EXPECT_EQ(QApplication::activePopupWidget(), nullptr) << "the menu's grab would hold the desktop";
        }
        if (step() == 99) {
            press_for_screen_reader(ok_button(dlg));
            if (QWidget *menu = QApplication::activePopupWidget())
                menu->close();
        }
    };
    QTest::keyClick(&dlg, Qt::Key_F10, Qt::ShiftModifier);
    QTest::qWait(300);
    EXPECT_EQ(menus.shown, 1);
    EXPECT_EQ(std::pair(writes.load(), messages), std::pair(1, QStringList {kDone}));
    EXPECT_EQ(clock.deadlines.size(), 100u);
}

struct OpenMenuRow {
    const char *name;
    const char *target; // a control's name; null for the dialog's own background
    Qt::Key key; // 0 for a right click
    Qt::KeyboardModifiers modifiers = {};
};

class ContextMenu : public UpgradeDlgTest, public testing::WithParamInterface<OpenMenuRow> { };

TEST_P(ContextMenu, HoldsOnlyTheAboutEntryWhoseAccessKeyOpensTheAboutBoxOverTheDialog)
{
    CUpgradeDlg dlg(seams());
    open(dlg);
    QStringList entries;
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
        aboutCentre = about->geometry().center();
        about->accept();
    });
    const OpenMenuRow &row = GetParam();
    QWidget *target = row.target ? dlg.findChild<QWidget *>(QString::fromLatin1(row.target)) : nullptr;
    if (row.key)
        QTest::keyClick(target, row.key, row.modifiers);
    else if (target)
        click_through_window(target, Qt::RightButton);
    else
        QTest::mouseClick(dlg.windowHandle(), Qt::RightButton, {}, QPoint(5, 5));
    EXPECT_TRUE(wait_for([&] { return boxes.shown > 0 && !QApplication::activeModalWidget(); }));
    EXPECT_EQ(std::pair(menus.shown, boxes.shown), std::pair(1, 1));
    EXPECT_EQ(entries, QStringList {QStringLiteral("关于 Kestrival(&A)...")});
    EXPECT_LE((aboutCentre - dlg.geometry().center()).manhattanLength(), 2) << "centred over the dialog";
    dlg.hide();
}

INSTANTIATE_TEST_SUITE_P(Rows, ContextMenu,
                         testing::Values(OpenMenuRow {"right_click_on_the_dialog", nullptr, Qt::Key(0)},
                                         OpenMenuRow {"right_click_on_a_label", "IDC_VERSION", Qt::Key(0)},
                                         OpenMenuRow {"right_click_on_the_bar", "IDC_PROGRESS", Qt::Key(0)},
                                         OpenMenuRow {"menu_key", "IDOK", Qt::Key_Menu},
                                         OpenMenuRow {"shift_f10", "IDOK", Qt::Key_F10, Qt::ShiftModifier}),
                         RowName());

TEST_F(UpgradeDlgTest, OnlyTheAboutCommandOpensTheAboutBoxWhichHoldsTheDialogUntilClosed)
{
    CUpgradeDlg dlg(seams());
    open(dlg);
    for (const auto &[id, opens] :
         {std::pair {IDM_ABOUTBOX, true}, {0x001Fu, true}, {0x0020u, false}, {0xF060u, false}}) {
        bool blocked = false;
        ShowWatcher<CAboutDlg> boxes([&](CAboutDlg *about) {
            click_through_window(ok_button(dlg));
            press_for_screen_reader(ok_button(dlg));
            QTest::qWait(200);
            blocked = writes == 0;
            click_through_window(ok_button(*about));
        });
        dlg.OnSysCommand(id);
        QCoreApplication::processEvents();
        EXPECT_EQ(std::pair(boxes.shown, blocked), std::pair(opens ? 1 : 0, opens)) << id;
        EXPECT_TRUE(dlg.isVisible());
        EXPECT_EQ(version_field(dlg)->text(), QStringLiteral("20200101"));
        EXPECT_EQ(read_bytes(settingsPath()), kSettings);
    }
    dlg.hide();
}

} // namespace
} // namespace kestrival::dialogs::test

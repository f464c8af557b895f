// The upgrade dialog: start-up checks, version display, the upgrade run, and the about entry.
#include "dialogs/upgradedlg.h"

#include "dialogs/aboutdlg.h"
#include "resources/resource.h"

#include "dialog_test_support.h"

#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QScreen>
#include <QSignalSpy>

namespace kestrival::dialogs::test {
namespace {

using namespace std::chrono_literals;
const QString kNoSettings = QStringLiteral("获取升级信息失败,请检查是否在安装目录运行");
const QString kNoPackage = QStringLiteral("打开升级包失败");
const QString kDone = QStringLiteral("升级完成");
const std::string kSettings = "[DB]\r\nVersion=20200101\r\n";
const std::string kStampedSettings = "[DB]\r\nVersion=20240305\r\n";

QLabel *version_field(QDialog &dlg) { return dlg.findChild<QLabel *>(QStringLiteral("IDC_VERSION")); }
QPushButton *ok_button(QDialog &dlg) { return dlg.findChild<QPushButton *>(QStringLiteral("IDOK")); }

// Installed with a package of 2024-03-05, initialised and on screen, without a modal loop.
class UpgradeDlgTest : public InstallationTest {
protected:
    void open(CUpgradeDlg &dlg)
    {
        installAll(kSettings);
        const auto packageTime = std::chrono::system_clock::from_time_t(1709640000);
        fs::last_write_time(work / "HarrowglimmerPatch.dat", std::chrono::file_clock::from_sys(packageTime));
        ASSERT_TRUE(dlg.OnInitDialog());
        ASSERT_TRUE(dlg.OnInitDialog()) << "as a second DoModal does";
        dlg.show();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
    }
};

enum class File { Missing, Present, ReadOnly };

struct StartupRow {
    const char *name;
    File settings, package; // in the working directory; the program's own directory always holds one
    QStringList messages;
    bool noSettingsPath = false; // then no check is made, so none can fail
};

// A screen reader starts on the focused control: the button, the default one.
TEST_F(UpgradeDlgTest, StartUpFailuresShowTheirMessageAndNeverTheDialog)
{
    // clang-format off
    const StartupRow rows[] = {
        {"all_present", File::Present, File::Present, {}},
        {"settings_only_beside_the_program", File::Missing, File::Present, {kNoSettings}},
        {"settings_read_only", File::ReadOnly, File::Present, {kNoSettings}},
        {"package_missing", File::Present, File::Missing, {kNoPackage}},
        {"package_read_only", File::Present, File::ReadOnly, {kNoPackage}},
        {"both_missing_gives_only_the_first", File::Missing, File::Missing, {kNoSettings}},
        {"no_settings_path_opens_empty_unchecked_unfocused", File::Missing, File::Missing, {}, true}};
    // clang-format on
    for (const StartupRow &row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove(work / "tsetting.ini");
        fs::remove(work / "HarrowglimmerPatch.dat");
        messages.clear();
        noSettingsPath = row.noSettingsPath;
        write_bytes(settings, "[DB]\r\nVersion=<b>2</b> &A\r\n"); // markup stays literal
        for (const auto &[file, how] :
             {std::pair {"tsetting.ini", row.settings}, {"HarrowglimmerPatch.dat", row.package}}) {
            if (how != File::Missing)
                write_bytes(work / file, kSettings);
            if (how == File::ReadOnly)
                fs::permissions(work / file, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
        }
        const bool fails = !row.messages.isEmpty();
        CUpgradeDlg dlg(seams());
        std::optional<std::tuple<QString, bool, bool>> versionFocusDefault;
        post([&] {
            if (QTest::qWaitForWindowActive(&dlg)) {
                const QAccessible::State button = QAccessible::queryAccessibleInterface(ok_button(dlg))->state();
                versionFocusDefault.emplace(version_field(dlg)->text(), button.focused, button.defaultButton);
                const QRect screen = dlg.screen()->availableGeometry();
                EXPECT_LE((dlg.frameGeometry().center() - screen.center()).manhattanLength(), 2) << "centred";
                const auto bar = QAccessible::queryAccessibleInterface(dlg.m_progress);
                EXPECT_EQ(bar->text(QAccessible::Name), QStringLiteral("进度：")) << "the bar named by its caption";
            }
            dlg.close();
        });
        EXPECT_EQ(dlg.DoModal(), fails ? CUpgradeDlg::kStartupFailed : int(QDialog::Rejected));
        QCoreApplication::processEvents();
        EXPECT_EQ(messages, row.messages);
        const auto shown
            = std::tuple(row.noSettingsPath ? "" : QStringLiteral("<b>2</b> &A"), !row.noSettingsPath, true);
        EXPECT_EQ(versionFocusDefault, fails ? std::nullopt : std::optional(shown));
    }
    EXPECT_EQ(writes, 0);
}

// In virtual time from the press to the real completion box, which neither blocks the dialog
// nor is blocked by it. The bar and text are taken as each pause ends, so after the step before.
TEST_F(UpgradeDlgTest, RunStampsFirstCountsFromThePressAndTheCompletionBoxEndsTheDialog)
{
    UpgradeDlgSeams real = seams();
    real.notify = nullptr;
    CUpgradeDlg dlg(real);
    open(dlg);
    duringWrite = [&] { clock.advance(4500ms); }; // a slow write moves no deadline
    std::vector<std::pair<QString, int>> seen;
    clock.hook = [&](std::size_t step) {
        EXPECT_TRUE(step > 0 || read_bytes(settings) == kStampedSettings) << "stamped before the first step";
        seen.emplace_back(version_field(dlg)->text(), dlg.m_progress->value());
    };
    ShowWatcher<QMessageBox> boxes([&](QMessageBox *box) {
        EXPECT_EQ(box->parentWidget(), nullptr);
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << "the dialog stays usable";
        // The whole caption fits beside up to four title-bar buttons.
        const QFontMetrics title(QApplication::font("QMdiSubWindowTitleBar"));
        EXPECT_GE(box->width(), title.horizontalAdvance(box->windowTitle()) + 4 * 32);
        dismiss(box);
    });
    post([&] { click_through_window(ok_button(dlg)); });
    EXPECT_EQ(dlg.DoModal(), int(QDialog::Accepted));
    EXPECT_EQ(boxes.shown, 1);
    EXPECT_EQ(read_bytes(work / "tsetting.ini"), kSettings) << "only the program's file is written";

    constexpr int kPauseMs[10] = {1000, 1000, 1000, 2000, 1000, 1000, 200, 200, 1000, 1000};
    ASSERT_EQ(seen.size(), 100u);
    std::chrono::milliseconds due(0);
    for (std::size_t i = 0; i < 100; ++i) {
        const char *text = i <= 11 ? "Check Ver Info..." : i <= 25 ? "Unzip files..." : "Patch files...";
        EXPECT_EQ(seen[i], std::pair(QString::fromLatin1(text), int(i))) << "before step " << i;
        due += std::chrono::milliseconds(kPauseMs[i % 10]);
        EXPECT_EQ(clock.deadlines[i] - clock.epoch, due) << "step " << i;
    }
    for (const auto &[i, ms] : {std::pair {0, 1000}, {11, 11400}, {25, 25800}, {99, 94000}})
        EXPECT_EQ(clock.deadlines[std::size_t(i)] - clock.epoch, std::chrono::milliseconds(ms));
}

// The window stays alive and deaf through the write; its failure box holds the dialog until
// dismissed, so no second box and no run can start under it.
TEST_F(UpgradeDlgTest, AFailedWriteIsReportedInABoxHoldingTheDialogAndTouchesNothing)
{
    UpgradeDlgSeams real = seams();
    real.notify = nullptr;
    CUpgradeDlg dlg(real);
    open(dlg);
    settings = program / "gone" / "tsetting.ini";
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
    EXPECT_EQ(shown, QStringList {QStringLiteral("写入版本信息失败")});
    EXPECT_EQ(writes, 1);
    EXPECT_GT(ticksDuringWrite, 0) << "timers ran during the write";
    EXPECT_TRUE(clock.deadlines.empty());
    EXPECT_EQ(read_bytes(program / "tsetting.ini"), kSettings);
    EXPECT_FALSE(fs::exists(program / "gone"));
    EXPECT_TRUE(dlg.isVisible());
    noSettingsPath = true;
    dlg.OnOK();
    EXPECT_EQ(std::pair(int(writes), shown.size()), std::pair(1, qsizetype(1))) << "without a path, nothing at all";
    dlg.hide();
}

// The run starts from a screen reader's press under the open menu, whose grab would hold the
// desktop. While the timetable runs the dialog takes no commands, and a press (which clicks
// 100 ms later, through a timer no input filter sees) never acts after it. Under the completion
// box the dialog takes commands again, and it ends only with the outermost box.
TEST_F(UpgradeDlgTest, CommandsWaitForTheCompletionBoxThenAFurtherRunEndsCleanly)
{
    CUpgradeDlg dlg(seams());
    open(dlg);
    QSignalSpy finished(&dlg, &QDialog::finished);
    ShowWatcher<QMenu> menus([&](QMenu *) { press_for_screen_reader(ok_button(dlg)); });
    ShowWatcher<CAboutDlg> boxes([](CAboutDlg *about) { about->accept(); });
    clock.hook = [&](std::size_t step) {
        EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
        if (QWidget *menu = QApplication::activePopupWidget())
            menu->close();
        if (step == 99)
            press_for_screen_reader(ok_button(dlg));
        if (step != 50)
            return;
        dlg.OnOK();
        dlg.OnSysCommand(IDM_ABOUTBOX);
        dlg.close();
        QTest::keyClick(&dlg, Qt::Key_Menu);
        EXPECT_EQ(clock.deadlines.size() % 100, 51u) << "no nested run";
        EXPECT_TRUE(dlg.isVisible());
        EXPECT_EQ(std::pair(menus.shown, boxes.shown), std::pair(1, 0));
    };
    onMessage = [&] {
        if (messages.size() > 1)
            return;
        dlg.OnSysCommand(IDM_ABOUTBOX);
        write_bytes(settings, kSettings);
        QTest::mouseClick(ok_button(dlg), Qt::LeftButton);
        EXPECT_EQ(read_bytes(settings), kStampedSettings) << "the further run stamps again";
        dlg.close();
        EXPECT_TRUE(dlg.isVisible()) << "ended under the outer box";
        EXPECT_EQ(finished.count(), 0);
    };
    QTest::keyClick(&dlg, Qt::Key_F10, Qt::ShiftModifier);
    QTest::qWait(300);
    EXPECT_EQ(boxes.shown, 1);
    EXPECT_EQ(messages, (QStringList {kDone, kDone}));
    EXPECT_EQ(std::pair(int(writes), clock.deadlines.size()), std::pair(2, std::size_t(200)));
    EXPECT_EQ(std::pair(int(finished.count()), dlg.result()), std::pair(1, int(QDialog::Accepted)));
}

// The about box is centred over the dialog and holds it; only the about command opens it.
TEST_F(UpgradeDlgTest, TheMenusOnlyEntryAndTheAboutCommandOpenTheAboutBox)
{
    CUpgradeDlg dlg(seams());
    open(dlg);
    ShowWatcher<QMenu> menus([&](QMenu *menu) {
        EXPECT_EQ(menu->actions().size(), 1);
        EXPECT_EQ(menu->actions().value(0)->text(), QStringLiteral("关于 Kestrival(&A)..."));
        QTest::keyClick(menu, Qt::Key_A); // with several entries on A, it would only move between them
        menu->close();
    });
    ShowWatcher<CAboutDlg> boxes([&](CAboutDlg *about) {
        EXPECT_LE((about->geometry().center() - dlg.geometry().center()).manhattanLength(), 2);
        click_through_window(ok_button(dlg));
        press_for_screen_reader(ok_button(dlg));
        QTest::qWait(200);
        ok_button(*about)->click();
    });
    // clang-format off
    const std::vector<std::pair<std::function<void()>, bool>> commands {
        {[&] { QTest::mouseClick(dlg.windowHandle(), Qt::RightButton, {}, QPoint(5, 5)); }, true},
        {[&] { click_through_window(dlg.m_progress, Qt::RightButton); }, true},
        {[&] { QTest::keyClick(ok_button(dlg), Qt::Key_Menu); }, true},
        {[&] { QTest::keyClick(ok_button(dlg), Qt::Key_F10, Qt::ShiftModifier); }, true},
        {[&] { dlg.OnSysCommand(IDM_ABOUTBOX | 0xF); }, true},
        {[&] { dlg.OnSysCommand(IDM_ABOUTBOX + 0x10); }, false},
        {[&] { dlg.OnSysCommand(0xF060); }, false}};
    // clang-format on
    for (std::size_t i = 0; i < commands.size(); ++i) {
        const int before = boxes.shown;
        commands[i].first();
        EXPECT_TRUE(wait_for([&] { return !QApplication::activeModalWidget() && !QApplication::activePopupWidget(); }));
        EXPECT_EQ(boxes.shown - before, commands[i].second ? 1 : 0) << "command " << i;
    }
    EXPECT_EQ(menus.shown, 4);
    EXPECT_EQ(std::pair(int(writes), read_bytes(settings)), std::pair(0, kSettings)) << "the dialog took no input";
    EXPECT_TRUE(dlg.isVisible());
    dlg.hide();
}

} // namespace
} // namespace kestrival::dialogs::test

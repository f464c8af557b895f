// The upgrade dialog: start-up checks, version display, ending it, and the upgrade run.
#include "dialogs/upgradedlg.h"

#include "dialogs/aboutdlg.h"

#include "resources/resource.h"

#include "dialog_test_support.h"

#include <QContextMenuEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>

namespace kestrival::dialogs::test {
namespace {

using test::PrintTo;
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
        dlg.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    }
};

enum class File { Missing, Present, ReadOnly };

struct StartupRow {
    const char *name;
    File settings; // in the working directory; the program's own directory always holds one
    File package;
    QStringList messages;
    bool noSettingsPath = false; // then no check is made, so none can fail
    bool byCloseBox = false; // rather than by Esc
};

class StartupChecks : public InstallationTest, public testing::WithParamInterface<StartupRow> { };

TEST_P(StartupChecks, FailuresShowTheirMessageAndNeverTheDialog)
{
    const StartupRow &row = GetParam();
    const bool fails = !row.messages.isEmpty();
    noSettingsPath = row.noSettingsPath;
    write_bytes(settingsPath(), kSettings);
    for (const auto &[file, how] :
         {std::pair {"tsetting.ini", row.settings}, {"HarrowglimmerPatch.dat", row.package}}) {
        if (how != File::Missing)
            write_bytes(workDir() / file, kSettings);
        if (how == File::ReadOnly)
            fs::permissions(workDir() / file, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    }
    CUpgradeDlg dlg(seams());
    ShowWatcher<CUpgradeDlg> shown([](CUpgradeDlg *) {});
    std::optional<std::pair<QString, bool>> versionAndFocus;
    post([&] {
        if (!fails && QTest::qWaitForWindowActive(&dlg))
            versionAndFocus.emplace(version_field(dlg)->text(), QApplication::focusWidget() == ok_button(dlg));
        if (row.byCloseBox)
            dlg.close();
        else
            QTest::keyClick(&dlg, Qt::Key_Escape);
    });
    EXPECT_EQ(dlg.DoModal(), fails ? CUpgradeDlg::kStartupFailed : int(QDialog::Rejected));
    QCoreApplication::processEvents();
    EXPECT_EQ(messages, row.messages);
    EXPECT_EQ(shown.shown, fails ? 0 : 1);
    if (!fails) {
        const QString version = row.noSettingsPath ? QString() : QStringLiteral("20200101");
        EXPECT_EQ(versionAndFocus, std::pair(version, !row.noSettingsPath)) << "version shown, focus on the button";
    }
    EXPECT_EQ(read_bytes(settingsPath()), kSettings);
    EXPECT_TRUE(clock.deadlines().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, StartupChecks,
    testing::Values(StartupRow {"all_present", File::Present, File::Present, {}},
                    StartupRow {"all_present_closed_by_close_box", File::Present, File::Present, {}, false, true},
                    StartupRow {"settings_only_beside_the_program", File::Missing, File::Present, {kNoSettings}},
                    StartupRow {"settings_read_only", File::ReadOnly, File::Present, {kNoSettings}},
                    StartupRow {"package_missing", File::Present, File::Missing, {kNoPackage}},
                    StartupRow {"package_read_only", File::Present, File::ReadOnly, {kNoPackage}},
                    StartupRow {"both_missing_gives_only_the_first", File::Missing, File::Missing, {kNoSettings}},
                    StartupRow {
                        "no_settings_path_opens_empty_unchecked_unfocused", File::Missing, File::Missing, {}, true}),
    RowName());

TEST_F(UpgradeDlgTest, ShowsTheProgramsOwnVersionAsItIs)
{
    installAll("[DB]\r\nVersion=from the working directory\r\n");
    for (const auto &[settings, shown] :
         {std::pair {"[DB]\r\nVersion=<b>2.0</b> &A\r\n", QStringLiteral("<b>2.0</b> &A")},
          {"[DB]\r\nVersion=V\xb0\xe6\r\n", QStringLiteral("V版")}}) {
        write_bytes(settingsPath(), settings); // markup stays literal; code page 936 is read as such
        CUpgradeDlg dlg(seams());
        EXPECT_TRUE(dlg.OnInitDialog());
        EXPECT_EQ(version_field(dlg)->text(), shown);
    }
}

// In virtual time from the press to the real completion box, which neither blocks the dialog
// nor is blocked by it. The bar and text are taken as each pause ends, so after the step before.
TEST_F(UpgradeDlgTest, RunStampsFirstWalksTheBarAndTheCompletionBoxEndsTheDialog)
{
    install();
    UpgradeDlgSeams real = seams();
    real.notify = nullptr;
    CUpgradeDlg dlg(real);
    std::vector<std::pair<QString, int>> seen;
    clock.setWaitHook([&](auto) {
        if (step() == 0) {
            EXPECT_EQ(read_bytes(settingsPath()), kStampedSettings) << "stamped before the first step";
        }
        seen.emplace_back(version_field(dlg)->text(), dlg.m_progress->value());
    });
    ShowWatcher<QMessageBox> boxes([&](QMessageBox *box) {
        EXPECT_EQ(box->parentWidget(), nullptr);
        EXPECT_EQ(box->windowTitle(), QStringLiteral("升级"));
        EXPECT_EQ(box->text(), QStringLiteral("升级完成"));
        EXPECT_EQ(box->icon(), QMessageBox::Information);
        ASSERT_EQ(box->buttons().size(), 1);
        EXPECT_EQ(box->buttons().first()->text(), QStringLiteral("确定"));
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << "the dialog stays usable";
        EXPECT_EQ(dlg.m_progress->value(), 100);
        click_through_window(box->buttons().first());
        if (!wait_for([&] { return !box->isVisible(); })) {
            ADD_FAILURE() << "the box took no click";
            box->accept();
        }
    });
    post([&] {
        ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
        click_through_window(ok_button(dlg));
    });
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
        EXPECT_EQ(clock.deadlines()[std::size_t(i)] - clock.epoch(), due) << "step " << i;
    }
    for (const auto &[i, ms] : {std::pair {0, 1000}, {11, 11400}, {25, 25800}, {99, 94000}})
        EXPECT_EQ(clock.deadlines()[std::size_t(i)] - clock.epoch(), std::chrono::milliseconds(ms));
}

// Paths no one can write, root included; or none at all.
struct RunFailureRow {
    const char *name;
    std::function<std::optional<fs::path>(const fs::path &programDir)> settingsPath;
    QStringList messages;
};

class RunFailure : public UpgradeDlgTest, public testing::WithParamInterface<RunFailureRow> { };

TEST_P(RunFailure, IsReportedAndStopsTheRunTouchingNothing)
{
    CUpgradeDlg dlg(seams());
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
    dlg.OnOK();
    EXPECT_EQ(messages, GetParam().messages);
    EXPECT_TRUE(clock.deadlines().empty());
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_EQ(snapshot(), before);
    dlg.hide();
}

const QStringList kWriteFailed {QStringLiteral("写入版本信息失败")};
INSTANTIATE_TEST_SUITE_P(
    Rows, RunFailure,
    testing::Values(RunFailureRow {"no_settings_path", [](const fs::path &) { return std::optional<fs::path>(); }, {}},
                    RunFailureRow {"directory_missing",
                                   [](const fs::path &dir) { return std::optional(dir / "gone" / "tsetting.ini"); },
                                   kWriteFailed},
                    RunFailureRow {"path_is_a_directory",
                                   [](const fs::path &dir) {
                                       fs::create_directory(dir / "settings-dir");
                                       write_bytes(dir / "settings-dir" / "inside", "untouched");
                                       return std::optional(dir / "settings-dir");
                                   },
                                   kWriteFailed}),
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
    clock.setWaitHook([&](auto) {
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
    });
    onMessage = [&] {
        if (messages.size() > 1)
            return;
        dlg.OnSysCommand(IDM_ABOUTBOX);
        write_bytes(settingsPath(), kSettings);
        QTest::mouseClick(ok_button(dlg), Qt::LeftButton);
        EXPECT_EQ(read_bytes(settingsPath()), kStampedSettings) << "the further run stamps again";
        QTest::keyClick(&dlg, Qt::Key_Escape);
        dlg.close();
        EXPECT_TRUE(dlg.isVisible()) << "ended under the outer box";
        EXPECT_EQ(finished.count(), 0);
    };
    dlg.OnOK();
    EXPECT_EQ(boxes.shown, 1);
    EXPECT_EQ(messages, (QStringList {kDone, kDone}));
    EXPECT_EQ(clock.deadlines().size(), 200u);
    EXPECT_EQ(finished.count(), 1);
    EXPECT_EQ(dlg.result(), int(QDialog::Accepted));
}

} // namespace
} // namespace kestrival::dialogs::test

// The upgrade dialog: start-up checks, version display, ending it, and the upgrade run.
#include "dialogs/upgradedlg.h"

#include "resources/resource.h"

#include "dialog_test_support.h"

#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

namespace kestrival::dialogs::test {
namespace {

using test::PrintTo;
namespace fs = std::filesystem;

const QString kNoSettings = QStringLiteral("获取升级信息失败,请检查是否在安装目录运行");
const QString kNoPackage = QStringLiteral("打开升级包失败");
const QString kWriteFailed = QStringLiteral("写入版本信息失败");
const QString kDone = QStringLiteral("升级完成");

const std::string kSettings = "[DB]\r\nVersion=20200101\r\n";
constexpr std::time_t kPackageTime = 1709640000; // 2024-03-05 12:00:00 UTC
const std::string kStampedSettings = "[DB]\r\nVersion=20240305\r\n";

QLabel *version_field(QDialog &dlg) { return dlg.findChild<QLabel *>(QStringLiteral("IDC_VERSION")); }
QPushButton *ok_button(QDialog &dlg) { return dlg.findChild<QPushButton *>(QStringLiteral("IDOK")); }

class UpgradeDlgTest : public InstallationTest {
protected:
    // Initialised and on screen, as the user sees it, without a modal loop of its own.
    void open(CUpgradeDlg &dlg)
    {
        ASSERT_TRUE(dlg.OnInitDialog());
        dlg.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    }
};

// --- start-up --------------------------------------------------------------------------------

enum class File { Missing, Present, ReadOnly };

struct StartupRow {
    const char *name;
    File settings; // in the working directory; the program's own directory always holds one
    File package;
    QStringList messages;
};

class StartupChecks : public InstallationTest, public testing::WithParamInterface<StartupRow> {};

void place(const fs::path &path, File how, const std::string &bytes)
{
    if (how != File::Missing)
        write_bytes(path, bytes);
    if (how == File::ReadOnly)
        fs::permissions(path, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
}

TEST_P(StartupChecks, FailuresShowTheirMessageAndNeverTheDialog)
{
    const StartupRow &row = GetParam();
    const bool fails = !row.messages.isEmpty();
    write_bytes(settingsPath(), kSettings);
    place(workDir() / "tsetting.ini", row.settings, kSettings);
    place(workDir() / "HarrowglimmerPatch.dat", row.package, "package");

    CUpgradeDlg dlg(seams());
    ShowWatcher<CUpgradeDlg> shown([](CUpgradeDlg *) {});
    bool focusOnButton = false;
    post([&] {
        if (!fails && QTest::qWaitForWindowActive(&dlg))
            focusOnButton = QApplication::focusWidget() == ok_button(dlg);
        dlg.reject();
    });
    const int result = dlg.DoModal();
    QCoreApplication::processEvents();

    EXPECT_EQ(messages.texts, row.messages);
    EXPECT_EQ(result, fails ? CUpgradeDlg::kStartupFailed : int(QDialog::Rejected));
    EXPECT_EQ(shown.shown, fails ? 0 : 1);
    EXPECT_EQ(focusOnButton, !fails);
    EXPECT_EQ(read_bytes(settingsPath()), kSettings);
}

INSTANTIATE_TEST_SUITE_P(Rows, StartupChecks, testing::Values(
    StartupRow{"all_present", File::Present, File::Present, {}},
    StartupRow{"settings_only_beside_the_program", File::Missing, File::Present, {kNoSettings}},
    StartupRow{"settings_read_only", File::ReadOnly, File::Present, {kNoSettings}},
    StartupRow{"package_missing", File::Present, File::Missing, {kNoPackage}},
    StartupRow{"package_read_only", File::Present, File::ReadOnly, {kNoPackage}},
    StartupRow{"both_missing_gives_only_the_first", File::Missing, File::Missing, {kNoSettings}}),
    RowName());

struct VersionRow {
    const char *name;
    std::string settings;
    QString shown;
};

class VersionDisplay : public InstallationTest, public testing::WithParamInterface<VersionRow> {};

TEST_P(VersionDisplay, ShowsTheProgramsOwnValueAsItIs)
{
    installAll("[DB]\r\nVersion=from the working directory\r\n");
    write_bytes(settingsPath(), GetParam().settings);
    CUpgradeDlg dlg(seams());
    EXPECT_TRUE(dlg.OnInitDialog());
    EXPECT_EQ(version_field(dlg)->text(), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(Rows, VersionDisplay, testing::Values(
    VersionRow{"stamp", kSettings, QStringLiteral("20200101")},
    VersionRow{"markup_stays_literal", "[DB]\r\nVersion=<b>2.0</b> &A\r\n", QStringLiteral("<b>2.0</b> &A")},
    VersionRow{"code_page_936", "[DB]\r\nVersion=V\xb0\xe6\r\n", QStringLiteral("V版")}),
    RowName());

TEST_F(UpgradeDlgTest, WithoutASettingsPathOpensEmptyUncheckedAndUnfocused)
{
    settingsPathUnavailable = true; // and no installation files: a check would complain
    CUpgradeDlg dlg(seams());
    bool active = false;
    post([&] {
        active = QTest::qWaitForWindowActive(&dlg);
        EXPECT_TRUE(version_field(dlg)->text().isEmpty());
        EXPECT_NE(QApplication::focusWidget(), ok_button(dlg));
        dlg.reject();
    });
    EXPECT_EQ(dlg.DoModal(), int(QDialog::Rejected));
    EXPECT_TRUE(active);
    EXPECT_TRUE(messages.texts.isEmpty());
}

struct EndRow {
    const char *name;
    std::function<void(CUpgradeDlg &)> end;
};

class EndingTheDialog : public InstallationTest, public testing::WithParamInterface<EndRow> {};

TEST_P(EndingTheDialog, WritesNothing)
{
    installAll(kSettings);
    CUpgradeDlg dlg(seams());
    post([&] {
        ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
        GetParam().end(dlg);
    });
    EXPECT_EQ(dlg.DoModal(), int(QDialog::Rejected));
    EXPECT_EQ(read_bytes(settingsPath()), kSettings);
    EXPECT_TRUE(clock.waits.empty());
}

INSTANTIATE_TEST_SUITE_P(Rows, EndingTheDialog, testing::Values(
    EndRow{"escape", [](CUpgradeDlg &d) { QTest::keyClick(&d, Qt::Key_Escape); }},
    EndRow{"close_box", [](CUpgradeDlg &d) { d.close(); }}),
    RowName());

// --- the upgrade run -------------------------------------------------------------------------

TEST_F(UpgradeDlgTest, RunStampsFirstThenWalksTheBarReportsAndAccepts)
{
    installAll(kSettings);
    set_mtime(workDir() / "HarrowglimmerPatch.dat", kPackageTime);
    CUpgradeDlg dlg(seams());
    open(dlg);
    QSignalSpy accepted(&dlg, &QDialog::accepted);
    std::vector<std::pair<QString, int>> seen; // status and bar as each wait ends
    clock.onWait = [&](std::size_t i) {
        if (i == 0) {
            EXPECT_EQ(read_bytes(settingsPath()), kStampedSettings) << "stamped before the first step";
        }
        seen.emplace_back(version_field(dlg)->text(), dlg.m_progress->value());
    };
    QTest::mouseClick(ok_button(dlg), Qt::LeftButton);

    ASSERT_EQ(seen.size(), 100u);
    EXPECT_EQ(seen[0], std::make_pair(QStringLiteral("Check Ver Info..."), 0));
    EXPECT_EQ(seen[12], std::make_pair(QStringLiteral("Unzip files..."), 12));
    EXPECT_EQ(seen[99], std::make_pair(QStringLiteral("Patch files..."), 99));
    EXPECT_EQ(dlg.m_progress->value(), 100);
    EXPECT_EQ(messages.texts, QStringList{kDone});
    EXPECT_EQ(accepted.count(), 1);
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(read_bytes(workDir() / "tsetting.ini"), kSettings) << "only the program's file is written";
}

TEST_F(UpgradeDlgTest, RunWithoutASettingsPathDoesNothing)
{
    installAll(kSettings);
    CUpgradeDlg dlg(seams());
    open(dlg);
    settingsPathUnavailable = true;
    dlg.OnOK();
    EXPECT_TRUE(clock.waits.empty());
    EXPECT_TRUE(messages.texts.isEmpty());
    EXPECT_EQ(read_bytes(settingsPath()), kSettings);
    EXPECT_TRUE(dlg.isVisible());
    dlg.hide();
}

struct WriteFailureRow {
    const char *name;
    std::function<fs::path(const fs::path &programDir)> unwritablePath; // unwritable for root too
};

class WriteFailure : public UpgradeDlgTest, public testing::WithParamInterface<WriteFailureRow> {};

TEST_P(WriteFailure, IsReportedAndStopsTheRun)
{
    installAll(kSettings);
    settingsPathOverride = GetParam().unwritablePath(programDir()).string();
    const auto snapshot = [&] {
        std::string all;
        for (const auto &entry : fs::recursive_directory_iterator(programDir()))
            all += entry.path().string() + ":" + (entry.is_regular_file() ? read_bytes(entry.path()) : "") + "\n";
        return all;
    };
    const std::string before = snapshot();
    CUpgradeDlg dlg(seams());
    open(dlg);
    dlg.OnOK();

    EXPECT_EQ(messages.texts, QStringList{kWriteFailed});
    EXPECT_TRUE(clock.waits.empty()) << "no timetable after a failed write";
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_EQ(snapshot(), before);
    dlg.hide();
}

INSTANTIATE_TEST_SUITE_P(Rows, WriteFailure, testing::Values(
    WriteFailureRow{"directory_missing", [](const fs::path &dir) { return dir / "gone" / "tsetting.ini"; }},
    WriteFailureRow{"path_is_a_directory", [](const fs::path &dir) {
        fs::create_directory(dir / "settings-dir");
        write_bytes(dir / "settings-dir" / "inside", "untouched");
        return dir / "settings-dir";
    }}),
    RowName());

TEST_F(UpgradeDlgTest, DuringTheTimetableTheDialogTakesNoCommands)
{
    installAll(kSettings);
    CUpgradeDlg dlg(seams());
    open(dlg);
    std::size_t nestedWaits = 0;
    clock.onWait = [&](std::size_t i) {
        if (i != 50)
            return;
        const std::size_t before = clock.waits.size();
        dlg.OnOK();
        dlg.OnSysCommand(IDM_ABOUTBOX);
        dlg.close();
        nestedWaits = clock.waits.size() - before;
        EXPECT_TRUE(dlg.isVisible());
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << "no about box";
    };
    dlg.OnOK();
    EXPECT_EQ(nestedWaits, 0u);
    EXPECT_EQ(clock.waits.size(), 100u);
    EXPECT_EQ(dlg.result(), int(QDialog::Accepted));
}

// Under the completion box the dialog takes input again: a further run, Esc, the close box;
// the dialog ends only once the outermost box is dismissed.
TEST_F(UpgradeDlgTest, FurtherRunUnderTheCompletionBoxEndsCleanly)
{
    installAll(kSettings);
    set_mtime(workDir() / "HarrowglimmerPatch.dat", kPackageTime);
    CUpgradeDlg dlg(seams());
    open(dlg);
    QSignalSpy finished(&dlg, &QDialog::finished);
    messages.react = [&](const QString &) {
        if (messages.texts.size() > 1)
            return;
        write_bytes(settingsPath(), kSettings);
        QTest::mouseClick(ok_button(dlg), Qt::LeftButton);
        EXPECT_EQ(read_bytes(settingsPath()), kStampedSettings) << "the further run stamps again";
        QTest::keyClick(&dlg, Qt::Key_Escape);
        dlg.close();
        EXPECT_TRUE(dlg.isVisible()) << "ended under the outer box";
        EXPECT_EQ(finished.count(), 0);
    };
    dlg.OnOK();
    EXPECT_EQ(messages.texts, (QStringList{kDone, kDone}));
    EXPECT_EQ(clock.waits.size(), 200u);
    EXPECT_EQ(finished.count(), 1);
    EXPECT_EQ(dlg.result(), int(QDialog::Accepted));
}

// The real box, in the program's one form: neither blocked by the running dialog nor blocking it.
TEST_F(UpgradeDlgTest, RealCompletionBoxTakesInputAndItsDismissalEndsTheDialog)
{
    installAll(kSettings);
    UpgradeDlgSeams real = seams();
    real.notify = nullptr;
    CUpgradeDlg dlg(real);
    const auto box_up = []() -> QMessageBox * {
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *box = qobject_cast<QMessageBox *>(w); box && box->isVisible())
                return box;
        return nullptr;
    };
    bool inspected = false;
    const auto dismissBox = [&] {
        if (!wait_for([&] { return box_up() != nullptr; }))
            return;
        QMessageBox *box = box_up();
        inspected = true;
        EXPECT_EQ(box->parentWidget(), nullptr);
        EXPECT_EQ(box->windowTitle(), QStringLiteral("升级"));
        EXPECT_EQ(box->text(), kDone);
        EXPECT_EQ(box->icon(), QMessageBox::Information);
        ASSERT_EQ(box->buttons().size(), 1);
        EXPECT_EQ(box->buttons().first()->text(), QStringLiteral("确定"));
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << "the dialog stays usable";
        QAbstractButton *ok = box->buttons().first();
        click_through_window(ok, Qt::LeftButton, ok->rect().center());
        if (!wait_for([&] { return box_up() == nullptr; })) {
            ADD_FAILURE() << "the box took no click";
            box->accept();
        }
    };
    post([&] {
        ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
        post(dismissBox);
        click_through_window(ok_button(dlg), Qt::LeftButton, ok_button(dlg)->rect().center());
    });
    EXPECT_EQ(dlg.DoModal(), int(QDialog::Accepted));
    EXPECT_TRUE(inspected);
    EXPECT_EQ(clock.waits.size(), 100u);
}

} // namespace
} // namespace kestrival::dialogs::test

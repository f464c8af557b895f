// The upgrade dialog: start-up checks, version display, ending it, and the upgrade run.
#include "dialogs/upgradedlg.h"

#include "dialogs/message_box.h"
#include "resources/resource.h"

#include "dialog_test_support.h"

#include <QEvent>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace kestrival::dialogs::test {
namespace {

using test::PrintTo;

namespace fs = std::filesystem;

const QString kNoSettings = QStringLiteral("获取升级信息失败,请检查是否在安装目录运行");
const QString kNoPackage = QStringLiteral("打开升级包失败");
const QString kWriteFailed = QStringLiteral("写入版本信息失败");
const QString kDone = QStringLiteral("升级完成");

const std::string kSettings = "[DB]\r\nVersion=20200101\r\n";
// 2024-03-05 12:00:00 UTC
constexpr std::time_t kPackageTime = 1709640000;
const std::string kStampedSettings = "[DB]\r\nVersion=20240305\r\n";

QLabel *version_field(QDialog &dlg) { return dlg.findChild<QLabel *>(QStringLiteral("IDC_VERSION")); }
QPushButton *ok_button(QDialog &dlg) { return dlg.findChild<QPushButton *>(QStringLiteral("IDOK")); }

// Counts the times a widget is shown.
class ShowCounter : public QObject {
public:
    explicit ShowCounter(QWidget &w) { w.installEventFilter(this); }
    int shows = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Show)
            ++shows;
        return false;
    }
};

class UpgradeDlgTest : public InstallationTest {};

// --- start-up --------------------------------------------------------------------------------

enum class File { Missing, Present, ReadOnly };

struct StartupRow {
    const char *name;
    File settings; // in the working directory; the program's own always holds one
    File package;
    QStringList messages;
    bool startupFails;
};

class StartupChecks : public InstallationTest, public testing::WithParamInterface<StartupRow> {};

void place(const fs::path &path, File how, const std::string &bytes)
{
    if (how == File::Missing)
        return;
    write_bytes(path, bytes);
    if (how == File::ReadOnly)
        fs::permissions(path, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
}

TEST_P(StartupChecks, ShowTheirMessageAndNeverTheDialog)
{
    const StartupRow &row = GetParam();
    write_bytes(settingsPath(), kSettings);
    place(workDir() / "tsetting.ini", row.settings, kSettings);
    place(workDir() / "HarrowglimmerPatch.dat", row.package, "package");

    CUpgradeDlg dlg(seams());
    ShowCounter shown(dlg);
    if (!row.startupFails)
        post([&] { dlg.reject(); });
    const int result = dlg.DoModal();

    EXPECT_EQ(messages.texts, row.messages);
    EXPECT_EQ(result, row.startupFails ? CUpgradeDlg::kStartupFailed : int(QDialog::Rejected));
    EXPECT_EQ(shown.shows, row.startupFails ? 0 : 1);
    EXPECT_EQ(read_bytes(settingsPath()), kSettings);
}

INSTANTIATE_TEST_SUITE_P(Rows, StartupChecks, testing::Values(
    StartupRow{"all_present", File::Present, File::Present, {}, false},
    StartupRow{"settings_only_beside_the_program", File::Missing, File::Present, {kNoSettings}, true},
    StartupRow{"settings_read_only", File::ReadOnly, File::Present, {kNoSettings}, true},
    StartupRow{"package_missing", File::Present, File::Missing, {kNoPackage}, true},
    StartupRow{"package_read_only", File::Present, File::ReadOnly, {kNoPackage}, true},
    StartupRow{"both_missing_gives_only_the_first", File::Missing, File::Missing, {kNoSettings}, true}),
    RowName());

struct VersionRow {
    const char *name;
    std::string settings;
    QString shown;
};

class VersionDisplay : public InstallationTest, public testing::WithParamInterface<VersionRow> {};

TEST_P(VersionDisplay, ShowsTheProgramsSettingsValueAsItIs)
{
    installAll("[DB]\r\nVersion=from the working directory\r\n");
    write_bytes(settingsPath(), GetParam().settings);
    CUpgradeDlg dlg(seams());
    EXPECT_TRUE(dlg.OnInitDialog());
    EXPECT_EQ(version_field(dlg)->text(), GetParam().shown);
    EXPECT_TRUE(messages.texts.isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Rows, VersionDisplay, testing::Values(
    VersionRow{"stamp", kSettings, QStringLiteral("20200101")},
    VersionRow{"no_key", "[DB]\r\nOther=1\r\n", QString()},
    VersionRow{"markup_and_ampersand_stay_literal", "[DB]\r\nVersion=<b>2.0</b> &A\r\n",
               QStringLiteral("<b>2.0</b> &A")},
    VersionRow{"code_page_936_bytes", "[DB]\r\nVersion=V\xb0\xe6\r\n", QStringLiteral("V版")}),
    RowName());

TEST_F(UpgradeDlgTest, WithoutASettingsPathOpensEmptyUncheckedAndUnfocused)
{
    settingsPathUnavailable = true; // and no installation files at all: a check would complain
    CUpgradeDlg dlg(seams());
    bool checked = false;
    post([&] {
        checked = QTest::qWaitForWindowActive(&dlg);
        EXPECT_TRUE(version_field(dlg)->text().isEmpty());
        EXPECT_NE(QApplication::focusWidget(), ok_button(dlg));
        dlg.reject();
    });
    EXPECT_EQ(dlg.DoModal(), int(QDialog::Rejected));
    EXPECT_TRUE(checked);
    EXPECT_TRUE(messages.texts.isEmpty());
}

TEST_F(UpgradeDlgTest, OpensWithTheFocusOnTheDefaultButton)
{
    installAll(kSettings);
    CUpgradeDlg dlg(seams());
    post([&] {
        EXPECT_TRUE(QTest::qWaitForWindowActive(&dlg));
        EXPECT_EQ(QApplication::focusWidget(), ok_button(dlg));
        EXPECT_TRUE(ok_button(dlg)->isDefault());
        dlg.reject();
    });
    dlg.DoModal();
}

// --- ending without a run --------------------------------------------------------------------

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
    EXPECT_EQ(read_bytes(workDir() / "tsetting.ini"), kSettings);
    EXPECT_TRUE(clock.waits.empty());
    EXPECT_TRUE(messages.texts.isEmpty());
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
    ASSERT_TRUE(dlg.OnInitDialog());
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    QSignalSpy accepted(&dlg, &QDialog::accepted);

    std::vector<std::pair<QString, int>> seen; // status and bar after each wait
    clock.onWait = [&](std::size_t i) {
        if (i == 0) {
            EXPECT_EQ(read_bytes(settingsPath()), kStampedSettings) << "stamp written before the first step";
        }
        seen.emplace_back(version_field(dlg)->text(), dlg.m_progress->value());
    };
    QTest::mouseClick(ok_button(dlg), Qt::LeftButton);

    ASSERT_EQ(seen.size(), 100u);
    EXPECT_EQ(seen[0], std::make_pair(QStringLiteral("Check Ver Info..."), 0));
    EXPECT_EQ(seen[11], std::make_pair(QStringLiteral("Check Ver Info..."), 11));
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
    ASSERT_TRUE(dlg.OnInitDialog());
    settingsPathUnavailable = true;
    dlg.OnOK();
    EXPECT_TRUE(clock.waits.empty());
    EXPECT_TRUE(messages.texts.isEmpty());
    EXPECT_EQ(read_bytes(settingsPath()), kSettings);
    EXPECT_EQ(version_field(dlg)->text(), QStringLiteral("20200101"));
    EXPECT_EQ(dlg.result(), 0);
}

struct WriteFailureRow {
    const char *name;
    // Makes the settings path unwritable (as root too); gives the path.
    std::function<fs::path(const fs::path &programDir)> arrange;
};

class WriteFailure : public InstallationTest, public testing::WithParamInterface<WriteFailureRow> {};

TEST_P(WriteFailure, IsReportedAndStopsTheRun)
{
    installAll(kSettings);
    const fs::path target = GetParam().arrange(programDir());
    settingsPathOverride = target.string();
    const auto snapshot = [&] {
        std::string all;
        for (const auto &entry : fs::recursive_directory_iterator(programDir()))
            all += entry.path().string() + "\n" + (entry.is_regular_file() ? read_bytes(entry.path()) : "") + "\n";
        return all;
    };
    const std::string before = snapshot();

    CUpgradeDlg dlg(seams());
    dlg.OnInitDialog();
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    dlg.OnOK();

    EXPECT_EQ(messages.texts, QStringList{kWriteFailed});
    EXPECT_TRUE(clock.waits.empty()) << "no timetable after a failed write";
    EXPECT_EQ(dlg.m_progress->value(), 0);
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
    }},
    WriteFailureRow{"parent_is_a_file", [](const fs::path &dir) {
        write_bytes(dir / "plain-file", kSettings);
        return dir / "plain-file" / "tsetting.ini";
    }}),
    RowName());

TEST_F(UpgradeDlgTest, DuringTheTimetableTheDialogTakesNoCommands)
{
    installAll(kSettings);
    CUpgradeDlg dlg(seams());
    ASSERT_TRUE(dlg.OnInitDialog());
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    int nestedWaits = 0;
    clock.onWait = [&](std::size_t i) {
        if (i != 50)
            return;
        const std::size_t before = clock.waits.size();
        dlg.OnOK();
        dlg.OnSysCommand(IDM_ABOUTBOX);
        dlg.reject();
        dlg.close();
        nestedWaits = int(clock.waits.size() - before);
        EXPECT_TRUE(dlg.isVisible());
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    };
    dlg.OnOK();
    EXPECT_EQ(nestedWaits, 0);
    EXPECT_EQ(clock.waits.size(), 100u);
    EXPECT_EQ(dlg.result(), int(QDialog::Accepted));
}

// While the completion box is up the dialog takes input again: a further run, Esc, the close
// box. Only the outermost box's dismissal ends the dialog.
TEST_F(UpgradeDlgTest, FurtherRunInsideTheCompletionBoxEndsCleanly)
{
    installAll(kSettings);
    set_mtime(workDir() / "HarrowglimmerPatch.dat", kPackageTime);
    CUpgradeDlg dlg(seams());
    ASSERT_TRUE(dlg.OnInitDialog());
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
    QSignalSpy finished(&dlg, &QDialog::finished);
    int depth = 0;
    messages.react = [&](const QString &text) {
        if (text != kDone || ++depth > 1)
            return;
        write_bytes(settingsPath(), kSettings);
        QTest::mouseClick(ok_button(dlg), Qt::LeftButton);
        EXPECT_EQ(read_bytes(settingsPath()), kStampedSettings) << "the further run stamps again";
        EXPECT_TRUE(dlg.isVisible()) << "the inner run must not end the dialog under the outer box";
        EXPECT_EQ(finished.count(), 0);
        QTest::keyClick(&dlg, Qt::Key_Escape);
        dlg.close();
        EXPECT_TRUE(dlg.isVisible());
    };
    dlg.OnOK();

    EXPECT_EQ(messages.texts, (QStringList{kDone, kDone}));
    EXPECT_EQ(clock.waits.size(), 200u);
    EXPECT_EQ(finished.count(), 1);
    EXPECT_EQ(dlg.result(), int(QDialog::Accepted));
    EXPECT_FALSE(dlg.isVisible());
}

// The real box: it must not be blocked by the running dialog, nor block it.
TEST_F(UpgradeDlgTest, RealCompletionBoxTakesInputAndItsDismissalEndsTheDialog)
{
    installAll(kSettings);
    UpgradeDlgSeams real = seams();
    real.notify = nullptr;
    CUpgradeDlg dlg(real);
    const auto box_up = [] {
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *box = qobject_cast<QMessageBox *>(w); box && box->isVisible())
                return box;
        return static_cast<QMessageBox *>(nullptr);
    };
    bool dialogUsableUnderTheBox = false;
    const auto dismissBox = [&] {
        if (!wait_for([&] { return box_up() != nullptr; }))
            return;
        dialogUsableUnderTheBox = QApplication::activeModalWidget() == nullptr && dlg.isEnabled();
        QMessageBox *box = box_up();
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
    EXPECT_TRUE(dialogUsableUnderTheBox);
    EXPECT_EQ(clock.waits.size(), 100u);
}

// --- the message box itself ------------------------------------------------------------------

TEST_F(UpgradeDlgTest, MessageBoxHasTheProgramsOneFormAndBlocksNoWindow)
{
    QDialog other;
    other.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&other));
    bool inspected = false;
    post([&] {
        QMessageBox *box = nullptr;
        EXPECT_TRUE(wait_for([&] {
            for (QWidget *w : QApplication::topLevelWidgets())
                if (auto *b = qobject_cast<QMessageBox *>(w); b && b->isVisible())
                    box = b;
            return box != nullptr;
        }));
        if (!box)
            return;
        inspected = true;
        EXPECT_EQ(box->parentWidget(), nullptr);
        EXPECT_EQ(box->windowTitle(), QStringLiteral("升级"));
        EXPECT_EQ(box->text(), QStringLiteral("a & <b>b</b>"));
        EXPECT_EQ(box->textFormat(), Qt::PlainText);
        EXPECT_EQ(box->icon(), QMessageBox::Information);
        ASSERT_EQ(box->buttons().size(), 1);
        EXPECT_EQ(box->buttons().first()->text(), QStringLiteral("确定"));
        EXPECT_EQ(box->windowModality(), Qt::NonModal);
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << "the other window stays usable";
        box->buttons().first()->click();
    });
    show_message_box(QStringLiteral("a & <b>b</b>"));
    EXPECT_TRUE(inspected);
}

} // namespace
} // namespace kestrival::dialogs::test

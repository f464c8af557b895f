// The dialogs in-process: templates, the interface thread's waits, start-up, the run, the about entry.
#include "dialogs/qt/aboutdlg.h"
#include "dialogs/qt/dialog_builder.h"
#include "dialogs/qt/event_loop_clock.h"
#include "dialogs/qt/upgradedlg.h"
#include "resources/resource.h"

#include <QAccessible>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>

namespace kestrival::dialogs::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string read_bytes(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}
void write_bytes(const fs::path &path, const std::string &bytes) { std::ofstream(path, std::ios::binary) << bytes; }
void post(std::function<void()> action) { QTimer::singleShot(0, qApp, std::move(action)); }

// Through the window, so that modality and the context-menu gesture apply as for a user.
void click_through_window(QWidget *w, Qt::MouseButton button = Qt::LeftButton)
{
    QTest::mouseClick(w->window()->windowHandle(), button, {}, w->mapTo(w->window(), w->rect().center()));
}
// As a screen reader presses: the click follows 100 ms later, from a timer.
void press_for_screen_reader(QWidget *w)
{
    QAccessible::queryAccessibleInterface(w)->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
}

// Time stands still until a wait moves it straight to the deadline (never back), so a run
// takes no real time. Keeps every deadline; `hook` acts after each wait, "during" the run.
class VirtualClock final : public RunClock {
public:
    TimePoint now() override { return m_now; }
    void waitUntil(TimePoint deadline) override
    {
        deadlines.push_back(deadline);
        m_now = std::max(m_now, deadline);
        hook(deadlines.size() - 1);
    }
    void advance(std::chrono::milliseconds by) { m_now += by; }

    const TimePoint epoch = TimePoint {} + std::chrono::hours(1);
    std::vector<TimePoint> deadlines;
    std::function<void(std::size_t step)> hook = [](std::size_t) {};

private:
    TimePoint m_now = epoch;
};

// program/ holds the settings file the dialog writes; work/ is the working directory.
class UpgradeDlgTest : public testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directory(program);
        fs::create_directory(work);
        fs::current_path(work);
    }
    void TearDown() override { fs::current_path(m_previousDir); }
    void open(CUpgradeDlg &dlg);
    // Messages are recorded, not shown; the write is the real one, counted.
    UpgradeDlgSeams seams()
    {
        const auto notify = [this](const QString &text, QWidget *) {
            messages << text;
            onMessage();
        };
        const auto path = [this]() { return noSettingsPath ? std::nullopt : std::optional(settings.string()); };
        const auto write = [this](const std::string &file, std::string_view stamp) {
            ++writes;
            duringWrite();
            return version::write_installed_version(file, stamp);
        };
        return {notify, path, write, &clock};
    }

    QTemporaryDir scratch;
    const fs::path program = scratch.filePath(QStringLiteral("program")).toStdString();
    const fs::path work = scratch.filePath(QStringLiteral("work")).toStdString();
    fs::path settings = program / "tsetting.ini"; // where the dialog reads and writes
    bool noSettingsPath = false;
    QStringList messages;
    std::function<void()> onMessage = [] {}; // runs while the message is up
    std::function<void()> duringWrite = [] {}; // runs on the writing thread
    std::atomic<int> writes = 0;
    VirtualClock clock;

private:
    fs::path m_previousDir = fs::current_path();
};

// Counts the windows of type T shown while it lives, and hands each to `react` from the loop
// that shows it.
template <typename T> class ShowWatcher : public QObject {
public:
    explicit ShowWatcher(std::function<void(T *)> react) : m_react(std::move(react)) { qApp->installEventFilter(this); }
    int shown = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        auto *w = qobject_cast<T *>(watched);
        if (w && w->isWindow() && event->type() == QEvent::Show) {
            ++shown;
            QTimer::singleShot(0, w, [this, w] { m_react(w); }); // cancelled should w go first
        }
        return false;
    }

private:
    std::function<void(T *)> m_react;
};

// Noto Sans CJK SC at 9 pt on a 96 dpi screen: the mean advance of A-Z a-z, and the height.
constexpr int kBaseX = 7, kBaseY = 17;
QRect px(int x, int y, int w, int h)
{
    return {(x * kBaseX + 2) / 4, (y * kBaseY + 4) / 8, (w * kBaseX + 2) / 4, (h * kBaseY + 4) / 8};
}

struct ControlRow {
    const char *name, *text; // text null: not shown as text
    int id;
    QRect duRect;
    bool defaultTabStop = false; // else no focus at all
};
struct DialogRow {
    const char *name, *caption;
    std::function<QDialog *()> make;
    QSize duSize;
    std::vector<ControlRow> controls;
};

// clang-format off
const DialogRow kDialogs[] = {
    {"upgrade", "Kestrival", [] { return new CUpgradeDlg; }, {320, 143}, {
        {"IDOK", "升级", 1, {134, 101, 50, 14}, true},
        {"IDC_STATIC_PROGRESS", "进度：", -1, {39, 36, 200, 8}},
        {"IDC_PROGRESS", nullptr, 1000, {39, 57, 240, 14}},
        {"IDC_STATIC_VERSION", "当前版本:", -1, {39, 13, 44, 8}},
        {"IDC_VERSION", "", 1001, {99, 13, 155, 8}}}},
    {"about", "关于 Kestrival", [] { return new CAboutDlg; }, {235, 55}, {
        {"IDC_STATIC_ICON", nullptr, -1, {11, 17, 20, 20}},
        {"IDC_STATIC_NAME", "Kestrival 1.0 版", -1, {40, 10, 119, 8}},
        {"IDC_STATIC_COPYRIGHT", "版权所有 (C) 2026 Kestrival 作者", -1, {40, 25, 119, 8}},
        {"IDOK", "确定", 1, {178, 7, 50, 14}, true}}}};
// clang-format on

TEST(Dialogs, MatchTheirTemplatesAndShowEveryTextUnclippedWithGlyphs)
{
    for (const DialogRow &row : kDialogs) {
        SCOPED_TRACE(row.name);
        const std::unique_ptr<QDialog> dialog(row.make());
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
            EXPECT_EQ(w->property(kControlIdProperty).toInt(), c.id);
            EXPECT_EQ(w->focusPolicy(), c.defaultTabStop ? Qt::StrongFocus : Qt::NoFocus);
            EXPECT_EQ(w->property("default").toBool(), c.defaultTabStop);
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

TEST(EventLoopClock, DropsEveryKindOfInputForGoodPaintsNestsAndLastsWhileTheApplicationQuits)
{
    QDialog dialog;
    QPushButton button(QStringLiteral("升级"), &dialog);
    button.setContextMenuPolicy(Qt::CustomContextMenu);
    QSignalSpy pressed(&button, &QPushButton::pressed), menus(&button, &QWidget::customContextMenuRequested);
    QSignalSpy ended(&dialog, &QDialog::finished);
    const auto inputs = [&] { return pressed.count() + menus.count() + ended.count(); };
    EventLoopClock clock;
    const QPoint at(5, 5);
    // clang-format off
    const std::vector<std::function<void()>> give {
        [&] { QTest::mouseClick(&button, Qt::LeftButton); },
        [&] { click_through_window(&button); },
        [&] { QTest::keyClick(&button, Qt::Key_Space); },
        [&] { QTest::keyClick(dialog.windowHandle(), Qt::Key_Escape); },
        [&] { QCoreApplication::postEvent(&dialog, new QCloseEvent); },
        [&] { dialog.windowHandle()->close(); },
        [&] { QCoreApplication::postEvent(&button, new QContextMenuEvent(QContextMenuEvent::Keyboard, at, button.mapToGlobal(at))); }};
    // clang-format on
    for (std::size_t i = 0; i <= give.size(); ++i) {
        SCOPED_TRACE(i);
        dialog.show();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
        pressed.clear(), menus.clear(), ended.clear();
        const bool last = i == give.size();
        post([&] {
            if (!last)
                return give[i]();
            const auto inner = clock.now() + 50ms;
            post([&] { QTest::mouseClick(&button, Qt::LeftButton); });
            clock.waitUntil(inner); // nested
            QCoreApplication::exit(0);
            post([&] { QTest::mouseClick(&button, Qt::LeftButton); }); // the outer wait still holds
        });
        const auto deadline = clock.now() + 150ms;
        clock.waitUntil(deadline);
        EXPECT_GE(clock.now(), deadline);
        QTest::qWait(50);
        EXPECT_EQ(inputs(), 0);
        EXPECT_TRUE(dialog.isVisible());
        if (!last) {
            give[i]();
            EXPECT_TRUE(QTest::qWaitFor([&] { return inputs() > 0; })) << "gets through once the wait is over";
        }
    }
    // A finished application loop clears the quit for the tests that follow.
    post([] { QCoreApplication::exit(0); });
    QApplication::exec();
}

const QString kNoSettings = QStringLiteral("获取升级信息失败,请检查是否在安装目录运行");
const QString kNoPackage = QStringLiteral("打开升级包失败");
const QString kDone = QStringLiteral("升级完成");
const std::string kSettings = "[DB]\r\nVersion=20200101\r\n";
const std::string kStampedSettings = "[DB]\r\nVersion=20240305\r\n";

QLabel *version_field(QDialog &dlg) { return dlg.findChild<QLabel *>(QStringLiteral("IDC_VERSION")); }
QPushButton *ok_button(QDialog &dlg) { return dlg.findChild<QPushButton *>(QStringLiteral("IDOK")); }

// Installed with a package of 2024-03-05, initialised and on screen, without a modal loop.
void UpgradeDlgTest::open(CUpgradeDlg &dlg)
{
    for (const fs::path &file : {program / "tsetting.ini", work / "tsetting.ini", work / "HarrowglimmerPatch.dat"})
        write_bytes(file, kSettings);
    const auto packageTime = std::chrono::system_clock::from_time_t(1709640000);
    fs::last_write_time(work / "HarrowglimmerPatch.dat", std::chrono::file_clock::from_sys(packageTime));
    ASSERT_TRUE(dlg.OnInitDialog());
    ASSERT_TRUE(dlg.OnInitDialog()) << "as a second DoModal does";
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
}

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
        fs::remove(work / "tsetting.ini"), fs::remove(work / "HarrowglimmerPatch.dat");
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
        EXPECT_EQ(dlg.m_progress->value(), 100) << "the last step fills the bar";
        // The whole caption fits beside up to four title-bar buttons.
        const QFontMetrics title(QApplication::font("QMdiSubWindowTitleBar"));
        EXPECT_GE(box->width(), title.horizontalAdvance(box->windowTitle()) + 4 * 32);
        click_through_window(box->buttons().first());
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
    EXPECT_EQ(clock.deadlines[99] - clock.epoch, 94s);
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
    ShowWatcher<QMessageBox> boxes([&](QMessageBox *box) {
        EXPECT_EQ(box->text(), QStringLiteral("写入版本信息失败"));
        EXPECT_EQ(pressed.count(), 0) << "the click given during the write was dropped";
        EXPECT_EQ(box->parentWidget(), &dlg);
        EXPECT_EQ(box->windowModality(), Qt::WindowModal);
        if (boxes.shown == 1) {
            click_through_window(ok_button(dlg));
            press_for_screen_reader(ok_button(dlg));
            QTest::qWait(300);
        }
        click_through_window(box->buttons().first());
    });
    dlg.OnOK();
    QTest::qWait(300);
    EXPECT_EQ(boxes.shown, 1);
    EXPECT_EQ(writes, 1);
    EXPECT_GT(ticksDuringWrite, 0) << "timers ran during the write";
    EXPECT_TRUE(clock.deadlines.empty());
    EXPECT_EQ(read_bytes(program / "tsetting.ini"), kSettings);
    EXPECT_TRUE(dlg.isVisible());
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
        {[&] { QTest::keyClick(ok_button(dlg), Qt::Key_Menu); }, true},
        {[&] { QTest::keyClick(ok_button(dlg), Qt::Key_F10, Qt::ShiftModifier); }, true},
        {[&] { dlg.OnSysCommand(IDM_ABOUTBOX | 0xF); }, true},
        {[&] { dlg.OnSysCommand(IDM_ABOUTBOX + 0x10); }, false},
        {[&] { dlg.OnSysCommand(0xF060); }, false}};
    // clang-format on
    for (std::size_t i = 0; i < commands.size(); ++i) {
        const int before = boxes.shown;
        commands[i].first();
        EXPECT_TRUE(
            QTest::qWaitFor([&] { return !QApplication::activeModalWidget() && !QApplication::activePopupWidget(); }));
        EXPECT_EQ(boxes.shown - before, commands[i].second ? 1 : 0) << "command " << i;
    }
    EXPECT_EQ(menus.shown, 3);
    noSettingsPath = true;
    dlg.OnOK(); // without a path, nothing at all
    EXPECT_EQ(std::tuple(int(writes), read_bytes(settings), messages), std::tuple(0, kSettings, QStringList()));
    EXPECT_TRUE(dlg.isVisible());
    dlg.hide();
}

} // namespace
} // namespace kestrival::dialogs::test

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    // The caller's platform if it names one.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    int qtArgc = 1; // made as the program makes it: with no arguments
    QApplication app(qtArgc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    return RUN_ALL_TESTS();
}

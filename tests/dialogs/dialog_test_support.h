// A scratch installation, a virtual clock, and ways to act on windows from inside their loops.
#pragma once

#include "dialogs/upgrade_run.h"
#include "dialogs/upgradedlg.h"

#include <QAccessible>
#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace kestrival::dialogs::test {

namespace fs = std::filesystem;

inline std::string read_bytes(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}
inline void write_bytes(const fs::path &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}
inline bool wait_for(const std::function<bool()> &condition) { return QTest::qWaitFor(condition, 5000); }
inline void post(std::function<void()> action) { QTimer::singleShot(0, qApp, std::move(action)); }

// Through the window, so that modality and the context-menu gesture apply as for a user.
inline void click_through_window(QWidget *w, Qt::MouseButton button = Qt::LeftButton)
{
    QTest::mouseClick(w->window()->windowHandle(), button, {}, w->mapTo(w->window(), w->rect().center()));
}
// As a screen reader presses: the click follows 100 ms later, from a timer.
inline void press_for_screen_reader(QWidget *w)
{
    QAccessible::queryAccessibleInterface(w)->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
}
inline void dismiss(QMessageBox *box)
{
    click_through_window(box->buttons().first());
    if (!wait_for([&] { return !box->isVisible(); })) {
        ADD_FAILURE() << "the box took no click";
        box->accept();
    }
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
        if (hook)
            hook();
    }
    void advance(std::chrono::milliseconds by) { m_now += by; }

    const TimePoint epoch = TimePoint {} + std::chrono::hours(1);
    std::vector<TimePoint> deadlines;
    std::function<void()> hook;

private:
    TimePoint m_now = epoch;
};

// program/ holds the settings file the dialog writes; work/ is the working directory.
// Fails the test if it left a window open.
class InstallationTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        fs::create_directory(programDir());
        fs::create_directory(workDir());
        fs::current_path(workDir());
    }
    void TearDown() override
    {
        fs::current_path(m_previousDir);
        EXPECT_TRUE(wait_for([] {
            const auto windows = QApplication::topLevelWidgets();
            return std::none_of(windows.begin(), windows.end(), [](QWidget *w) { return w->isVisible(); });
        })) << "a window was left open";
    }
    fs::path programDir() const { return m_dir.filePath(QStringLiteral("program")).toStdString(); }
    fs::path workDir() const { return m_dir.filePath(QStringLiteral("work")).toStdString(); }
    fs::path settingsPath() const { return programDir() / "tsetting.ini"; }
    void installAll(const std::string &settings)
    {
        write_bytes(settingsPath(), settings);
        write_bytes(workDir() / "tsetting.ini", settings);
        write_bytes(workDir() / "HarrowglimmerPatch.dat", "package");
    }
    // Messages are recorded, not shown; the write is the real one, counted.
    UpgradeDlgSeams seams()
    {
        const auto notify = [this](const QString &text, QWidget *) {
            messages << text;
            if (onMessage)
                onMessage();
        };
        const auto path = [this]() -> std::optional<std::string> {
            if (noSettingsPath)
                return std::nullopt;
            return settingsPathOverride.value_or(settingsPath().string());
        };
        const auto write = [this](const std::string &file, std::string_view stamp) {
            ++writes;
            if (duringWrite)
                duringWrite();
            return version::write_installed_version(file, stamp);
        };
        return {notify, path, write, &clock};
    }
    // The index of the step whose pause just ended, inside the clock's hook.
    std::size_t step() const { return clock.deadlines.size() - 1; }

    QStringList messages;
    std::function<void()> onMessage; // runs while the message is up
    std::function<void()> duringWrite; // runs on the writing thread
    std::atomic<int> writes = 0;
    VirtualClock clock;
    std::optional<std::string> settingsPathOverride;
    bool noSettingsPath = false;

private:
    QTemporaryDir m_dir;
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
            QTimer::singleShot(0, this, [this, w = QPointer<T>(w)] {
                if (w)
                    m_react(w.data());
            });
        }
        return false;
    }

private:
    std::function<void(T *)> m_react;
};

// Names a parameterised test and its failures by its row's `name`.
struct RowName {
    template <typename Row> std::string operator()(const testing::TestParamInfo<Row> &row) const
    {
        return row.param.name;
    }
};
template <typename Row>
requires requires(const Row &row) { std::string(row.name); }
void PrintTo(const Row &row, std::ostream *out) { *out << row.name; }

} // namespace kestrival::dialogs::test

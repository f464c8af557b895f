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

#include <atomic>
#include <filesystem>
#include <fstream>

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
    EXPECT_TRUE(wait_for([&] { return !box->isVisible(); })) << "the box took no click";
    box->accept();
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
            hook(deadlines.size() - 1);
    }
    void advance(std::chrono::milliseconds by) { m_now += by; }

    const TimePoint epoch = TimePoint {} + std::chrono::hours(1);
    std::vector<TimePoint> deadlines;
    std::function<void(std::size_t step)> hook;

private:
    TimePoint m_now = epoch;
};

// program/ holds the settings file the dialog writes; work/ is the working directory.
// Fails the test if it left a window open.
class InstallationTest : public testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directory(program);
        fs::create_directory(work);
        fs::current_path(work);
    }
    void TearDown() override
    {
        fs::current_path(m_previousDir);
        const auto windows = QApplication::topLevelWidgets();
        EXPECT_TRUE(std::none_of(windows.begin(), windows.end(), [](QWidget *w) { return w->isVisible(); }))
            << "a window was left open";
    }
    void installAll(const std::string &bytes)
    {
        for (const fs::path &file : {program / "tsetting.ini", work / "tsetting.ini"})
            write_bytes(file, bytes);
        write_bytes(work / "HarrowglimmerPatch.dat", "package");
    }
    // Messages are recorded, not shown; the write is the real one, counted.
    UpgradeDlgSeams seams()
    {
        const auto notify = [this](const QString &text, QWidget *) {
            messages << text;
            if (onMessage)
                onMessage();
        };
        const auto path = [this]() { return noSettingsPath ? std::nullopt : std::optional(settings.string()); };
        const auto write = [this](const std::string &file, std::string_view stamp) {
            ++writes;
            if (duringWrite)
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
    std::function<void()> onMessage; // runs while the message is up
    std::function<void()> duringWrite; // runs on the writing thread
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

} // namespace kestrival::dialogs::test

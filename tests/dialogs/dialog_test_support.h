// Fixtures for the dialog tests: a scratch installation, a fake clock, a recording notifier,
// and ways to act on windows from inside the loops that show them.
#pragma once

#include "dialogs/upgrade_run.h"
#include "dialogs/upgradedlg.h"

#include <QApplication>
#include <QEvent>
#include <QPointer>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace kestrival::dialogs::test {

// A run's clock in virtual time: each wait returns at once, at its deadline, after calling
// onWait with its index (so a test can look at the run between steps).
class FakeClock final : public RunClock {
public:
    TimePoint now() override { return m_now; }
    void waitUntil(TimePoint deadline) override;

    std::vector<TimePoint> waits;
    std::function<void(std::size_t)> onWait;

private:
    TimePoint m_now = TimePoint{} + std::chrono::hours(1);
};

// Records every message; `react` acts while the message is "up".
struct RecordingNotifier {
    QStringList texts;
    std::function<void(const QString &)> react;
};

[[nodiscard]] std::string read_bytes(const std::filesystem::path &path);
void write_bytes(const std::filesystem::path &path, const std::string &bytes);
void set_mtime(const std::filesystem::path &path, std::time_t when);

// A scratch installation: program/ holds the settings file the dialog reads and writes;
// work/, the working directory during the test, is where the two files are checked.
// TearDown fails the test if it left a window open.
class InstallationTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::filesystem::path programDir() const { return m_root / "program"; }
    std::filesystem::path workDir() const { return m_root / "work"; }
    std::filesystem::path settingsPath() const { return programDir() / "tsetting.ini"; }
    // Both files in the working directory, and the program's own settings file.
    void installAll(const std::string &settingsBytes);
    UpgradeDlgSeams seams();

    RecordingNotifier messages;
    FakeClock clock;
    std::optional<std::string> settingsPathOverride;
    bool settingsPathUnavailable = false;

private:
    QTemporaryDir m_dir;
    std::filesystem::path m_root;
    std::filesystem::path m_previousDir;
};

// A click delivered as the window system delivers it, so that modality and the toolkit's
// context-menu gesture apply (QTest's widget overloads bypass both).
void click_through_window(QWidget *widget, Qt::MouseButton button, QPoint at);

// Runs `action` once the event loop turns, e.g. from inside a dialog's loop.
void post(std::function<void()> action);

[[nodiscard]] bool wait_for(const std::function<bool()> &condition);

// Counts the windows of type T shown while it lives and hands each to `react` from the event
// loop, where `react` may close it or pick from it.
template <typename T>
class ShowWatcher : public QObject {
public:
    explicit ShowWatcher(std::function<void(T *)> react) : m_react(std::move(react))
    {
        qApp->installEventFilter(this);
    }
    int shown = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        auto *w = qobject_cast<T *>(watched);
        if (w && w->isWindow() && event->type() == QEvent::Show) {
            ++shown;
            QTimer::singleShot(0, this, [this, guarded = QPointer<T>(w)] {
                if (guarded)
                    m_react(guarded.data());
            });
        }
        return false;
    }

private:
    std::function<void(T *)> m_react;
};

// Rows of parameterised tests carry a `name`: it names the test and its failures.
struct RowName {
    template <typename Row>
    std::string operator()(const testing::TestParamInfo<Row> &row) const
    {
        return row.param.name;
    }
};

template <typename Row>
    requires requires(const Row &row) { std::string(row.name); }
void PrintTo(const Row &row, std::ostream *out)
{
    *out << row.name;
}

} // namespace kestrival::dialogs::test

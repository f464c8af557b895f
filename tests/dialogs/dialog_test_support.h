// Fixtures for the dialog tests: an installation in a scratch directory, a fake clock, a
// recording notifier, and acting on a modal window from inside its loop.
#pragma once

#include "dialogs/upgrade_run.h"
#include "dialogs/upgradedlg.h"

#include <QApplication>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QWidget>

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace kestrival::dialogs::test {

inline constexpr int kWaitMs = 5000;

// A run's clock in virtual time: each wait returns at once, at its deadline.
class FakeClock final : public RunClock {
public:
    TimePoint now() override { return m_now; }
    void waitUntil(TimePoint deadline) override;

    std::vector<TimePoint> waits;
    // Called after each wait with its index: lets a test look at the run between steps.
    std::function<void(std::size_t)> onWait;

private:
    TimePoint m_now = TimePoint{} + std::chrono::hours(1);
};

// Records every message; `react` lets a test act while the message is "up".
struct RecordingNotifier {
    QStringList texts;
    std::function<void(const QString &)> react;
    Notifier notifier();
};

[[nodiscard]] std::string read_bytes(const std::filesystem::path &path);
void write_bytes(const std::filesystem::path &path, const std::string &bytes);
void set_mtime(const std::filesystem::path &path, std::time_t when);

// A scratch installation: `program/` holds the settings file the dialog reads and writes,
// `work/` is the working directory (entered for the test, left afterwards) where the two
// files are checked. Leaves no window open behind it.
class InstallationTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::filesystem::path programDir() const;
    std::filesystem::path workDir() const;
    std::filesystem::path settingsPath() const { return programDir() / "tsetting.ini"; }
    // Both files in the working directory, and the program's settings file.
    void installAll(const std::string &settingsBytes);

    UpgradeDlgSeams seams();

    RecordingNotifier messages;
    FakeClock clock;
    std::optional<std::string> settingsPathOverride;
    bool settingsPathUnavailable = false;

private:
    QTemporaryDir m_root;
    std::filesystem::path m_previousDir;
};

// Runs `action` once the event loop turns, e.g. from inside exec().
void post(std::function<void()> action);

// Calls `action` with the active modal widget of type T once one is up (polled from the
// event loop, so it works from inside another modal loop).
template <typename T>
void when_modal(std::function<void(T *)> action);

void when_modal_widget(std::function<bool(QWidget *)> matches, std::function<void(QWidget *)> action);

template <typename T>
void when_modal(std::function<void(T *)> action)
{
    when_modal_widget([](QWidget *w) { return qobject_cast<T *>(w) != nullptr; },
                      [action](QWidget *w) { action(qobject_cast<T *>(w)); });
}

// Calls `action` with the open popup menu once there is one.
void when_popup(std::function<void(QWidget *)> action);

// Names each row of a parameterised test after its `name` member.
struct RowName {
    template <typename Row>
    std::string operator()(const testing::TestParamInfo<Row> &row) const
    {
        return row.param.name;
    }
};

// Failures show a row by its name.
template <typename Row>
    requires requires(const Row &row) { std::string(row.name); }
void PrintTo(const Row &row, std::ostream *out)
{
    *out << row.name;
}

[[nodiscard]] bool wait_for(const std::function<bool()> &condition);

} // namespace kestrival::dialogs::test

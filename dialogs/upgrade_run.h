// The upgrade run's rules, shared by both editions' dialogs: the timetable, the clock it waits
// on, and what a press of "升级" does from the settings write to the end of the dialog.
#pragma once

#include "version/settings_file.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace kestrival::dialogs {

// The program's messages, UTF-8.
inline constexpr std::string_view kMsgNoSettings = "获取升级信息失败,请检查是否在安装目录运行";
inline constexpr std::string_view kMsgNoPackage = "打开升级包失败";
inline constexpr std::string_view kMsgWriteFailed = "写入版本信息失败";
inline constexpr std::string_view kMsgDone = "升级完成";

inline constexpr int kRunSteps = 100;
inline constexpr int kProgressMinimum = 0;
inline constexpr int kProgressMaximum = 100;

// The pause before step i, 0 <= i < kRunSteps.
[[nodiscard]] std::chrono::milliseconds pause_before_step(int i);

// The status text step i sets, or an empty one when step i leaves the status as it is.
[[nodiscard]] std::string_view phase_text_for_step(int i);

// The status text shown before the first step.
[[nodiscard]] std::string_view initial_phase_text();

// Time and waiting, injected so tests can run the 94 seconds in virtual time.
class RunClock {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    virtual ~RunClock() = default;
    [[nodiscard]] virtual TimePoint now() = 0;
    // Returns once now() >= deadline. While waiting, windows stay painted and the window
    // system is answered; user input is discarded, never queued for later.
    virtual void waitUntil(TimePoint deadline) = 0;
};

// What the run drives: the dialog's status field and its bar. Each change is on screen when
// the call returns.
class RunView {
public:
    virtual ~RunView() = default;
    virtual void setStatus(std::string_view utf8) = 0;
    // Range 0-100, position 0, step 1.
    virtual void prepareBar() = 0;
    // One step; past the top it wraps to the bottom, as the platform's bar does.
    virtual void stepBar() = 0;
};

// Sets the initial phase text, prepares the bar, then runs the kRunSteps steps: wait until
// `start` plus the pauses so far, set the step's text if it has one, step the bar. Pass the
// time of the press, so that nothing done before the call (the settings write) delays the
// timeline; steps whose deadlines have passed follow at once.
void run_timetable(RunClock &clock, RunView &view, RunClock::TimePoint start);

// The settings file's path, or none when it can't be had.
using SettingsPathLookup = std::function<std::optional<std::string>()>;

using SettingsWriter = std::function<version::WriteResult(const std::string &path, std::string_view stamp)>;

// Fills each one left empty with the program's own: version::build_settings_path and
// version::write_installed_version.
void use_own_settings_calls(SettingsPathLookup &settingsPath, SettingsWriter &write);

// What the run needs of the dialog it runs in.
class RunHost {
public:
    virtual ~RunHost() = default;
    // The settings file's path, or none when it can't be had.
    [[nodiscard]] virtual std::optional<std::string> settingsPath() = 0;
    // True while a box blocks the dialog (the about box, the failed-write box).
    [[nodiscard]] virtual bool blockedByModalBox() = 0;
    // Closes any open menu, which would otherwise hold its grab through the run.
    virtual void closePopups() = 0;
    // Called once the run has begun, before the write.
    virtual void runStarted() { }
    // Runs `work` off the interface thread and returns once it has returned; meanwhile the
    // windows stay painted and take no input.
    virtual void offInterfaceThread(const std::function<void()> &work) = 0;
    // Records the stamp in the settings file; called off the interface thread.
    [[nodiscard]] virtual version::WriteResult write(const std::string &path, std::string_view stamp) = 0;
    // A box the dialog owns, blocking it until dismissed.
    virtual void showOwnedMessage(std::string_view text) = 0;
    // A box with no owner: the dialog stays usable under it, and may start a further run.
    virtual void showUnownedMessage(std::string_view text) = 0;
    virtual RunClock &clock() = 0;
    virtual RunView &view() = 0;
    // Ends the dialog as accepted.
    virtual void accept() = 0;
};

// The run of one dialog and what it is doing now.
class UpgradeRun {
public:
    // A press of "升级". Does nothing when the settings path can't be had, during a timetable
    // or under a modal box. Otherwise stamps the settings file; a failed write is reported in
    // an owned box (its reason on stderr) and ends the press there, the dialog left open.
    // Then runs the timetable from the press, shows the completion box and, after the
    // outermost of any nested runs' boxes, accepts the dialog.
    void press(RunHost &host);

    // True while a timetable runs (the write included).
    [[nodiscard]] bool running() const { return m_running; }

    // Esc, the close box and the system menu are ignored while this is false: the run then
    // ends the dialog itself.
    [[nodiscard]] bool idle() const { return !m_running && m_openCompletionBoxes == 0; }

private:
    bool m_running = false;
    int m_openCompletionBoxes = 0;
};

} // namespace kestrival::dialogs

// The upgrade run's timetable, and the clock it waits on.
#pragma once

#include <QString>

#include <chrono>

namespace kestrival::dialogs {

inline constexpr int kRunSteps = 100;

// The pause before step i, 0 <= i < kRunSteps.
[[nodiscard]] std::chrono::milliseconds pause_before_step(int i);

// The status text step i sets, or an empty string when step i leaves the status as it is.
[[nodiscard]] QString phase_text_for_step(int i);

// The status text shown before the first step.
[[nodiscard]] QString initial_phase_text();

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

// What the run drives: the dialog's status field and its bar.
class RunView {
public:
    virtual ~RunView() = default;
    virtual void setStatus(const QString &text) = 0;
    // Range 0-100, position 0, step 1.
    virtual void prepareBar() = 0;
    virtual void stepBar() = 0;
};

// Sets the initial phase text, prepares the bar, then runs the kRunSteps steps: wait until
// `start` plus the pauses so far, set the step's text if it has one, step the bar. Pass the
// time of the press, so that nothing done before the call (the settings write) delays the
// timeline; steps whose deadlines have passed follow at once.
void run_timetable(RunClock &clock, RunView &view, RunClock::TimePoint start);

} // namespace kestrival::dialogs

// The upgrade run's timetable, and the clock it waits on.
#pragma once

#include <QString>

#include <chrono>
#include <functional>
#include <utility>
#include <vector>

namespace kestrival::dialogs {

inline constexpr int kRunSteps = 100;

// The pause before step i (0 <= i < kRunSteps); depends on i mod 10 only (a negative i is
// taken modulo 10 into 0-9 as well, so every int has a pause).
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

// Sets the initial phase text, prepares the bar, then runs the kRunSteps steps, each at its
// absolute deadline (the start plus the sum of the pauses so far) so no error accumulates:
// wait, set the step's text if it has one, step the bar.
void run_timetable(RunClock &clock, RunView &view);

// The same, with the deadlines counted from `start` instead of from the call: pass the clock's
// time at the press of the button, taken before the settings are written, so a slow write
// doesn't push the whole timeline back. Steps whose deadlines have passed follow at once.
void run_timetable(RunClock &clock, RunView &view, RunClock::TimePoint start);

// A clock for tests: time stands still until waitUntil moves it straight to the deadline
// (never backwards), so a whole run takes no real time. Keeps every deadline it was given.
class VirtualClock final : public RunClock {
public:
    // Called after each wait, with now() already at the deadline: lets a test act "during" a
    // run, between two steps.
    using WaitHook = std::function<void(TimePoint deadline)>;

    explicit VirtualClock(TimePoint epoch = TimePoint {} + std::chrono::hours(1));
    [[nodiscard]] TimePoint now() override { return now_; }
    void waitUntil(TimePoint deadline) override;

    [[nodiscard]] TimePoint epoch() const { return epoch_; }
    [[nodiscard]] const std::vector<TimePoint> &deadlines() const { return deadlines_; }
    void setWaitHook(WaitHook hook) { hook_ = std::move(hook); }

private:
    TimePoint epoch_;
    TimePoint now_;
    std::vector<TimePoint> deadlines_;
    WaitHook hook_;
};

} // namespace kestrival::dialogs

// The timetable's deadlines count from the start it is given (the dialog's test walks a whole run).
#include "dialogs/upgrade_run.h"

#include <gtest/gtest.h>

namespace kestrival::dialogs {
namespace {

using std::chrono::milliseconds;

class NoView final : public RunView {
public:
    void setStatus(const QString &) override { }
    void prepareBar() override { }
    void stepBar() override { }
};

// Counted from the press, not from the last wake-up: a slow settings write or a late wake-up
// never pushes the rest back, and overdue steps follow at once.
TEST(Timetable, CountsFromTheGivenStart)
{
    VirtualClock clock;
    NoView view;
    const RunClock::TimePoint pressed = clock.now();
    clock.waitUntil(pressed + milliseconds(1500));
    run_timetable(clock, view, pressed);
    ASSERT_EQ(clock.deadlines().size(), std::size_t(1 + kRunSteps));
    EXPECT_EQ(clock.deadlines()[1] - pressed, milliseconds(1000));
    EXPECT_EQ(clock.deadlines()[2] - pressed, milliseconds(2000));
    EXPECT_EQ(clock.deadlines().back() - pressed, milliseconds(94000));

    const RunClock::TimePoint called = clock.now();
    run_timetable(clock, view);
    EXPECT_EQ(clock.deadlines()[1 + kRunSteps] - called, milliseconds(1000));
    EXPECT_EQ(clock.deadlines().back() - called, milliseconds(94000));
    EXPECT_EQ(pause_before_step(-7), pause_before_step(3)) << "every int has a pause";
}

} // namespace
} // namespace kestrival::dialogs

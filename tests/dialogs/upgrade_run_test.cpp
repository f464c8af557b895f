// The upgrade run's timetable, in virtual time.
#include "dialogs/upgrade_run.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

void PrintTo(const QString &text, std::ostream *os) { *os << '"' << text.toStdString() << '"'; }

namespace kestrival::dialogs {
namespace {

using std::chrono::milliseconds;

const QString kCheck = QStringLiteral("Check Ver Info...");
const QString kUnzip = QStringLiteral("Unzip files...");
const QString kPatch = QStringLiteral("Patch files...");

// What the dialog would show after each step, and when.
struct Snapshot {
    milliseconds at;
    QString status;
    int bar;
};

class RecordingView final : public RunView {
public:
    explicit RecordingView(RunClock &clock, RunClock::TimePoint epoch)
        : clock_(clock), epoch_(epoch)
    {
    }
    void setStatus(const QString &text) override
    {
        status = text;
        statusWrites.push_back(text);
    }
    void prepareBar() override
    {
        bar = 0;
        ++prepared;
    }
    void stepBar() override
    {
        ++bar;
        steps.push_back({std::chrono::duration_cast<milliseconds>(clock_.now() - epoch_), status,
                         bar});
    }

    QString status = QStringLiteral("20240102");
    int bar = -1;
    int prepared = 0;
    std::vector<QString> statusWrites;
    std::vector<Snapshot> steps;

private:
    RunClock &clock_;
    RunClock::TimePoint epoch_;
};

struct StepCase {
    const char *name;
    int step;
    QString statusBefore; // while the step's pause runs
    QString statusAfter;
    int barAfter;
    milliseconds at;
};

void PrintTo(const StepCase &c, std::ostream *os) { *os << c.name; }

class TimetableStep : public testing::TestWithParam<StepCase> {};

TEST_P(TimetableStep, ShowsItsTextAndPositionAtItsTime)
{
    const StepCase &c = GetParam();
    VirtualClock clock;
    RecordingView view(clock, clock.epoch());
    QString seenDuringPause;
    clock.setWaitHook([&](RunClock::TimePoint) {
        if (clock.deadlines().size() == static_cast<std::size_t>(c.step) + 1)
            seenDuringPause = view.status;
    });
    run_timetable(clock, view);

    ASSERT_EQ(view.steps.size(), static_cast<std::size_t>(kRunSteps));
    const Snapshot &s = view.steps[static_cast<std::size_t>(c.step)];
    EXPECT_EQ(seenDuringPause, c.statusBefore);
    EXPECT_EQ(s.status, c.statusAfter);
    EXPECT_EQ(s.bar, c.barAfter);
    EXPECT_EQ(s.at, c.at);
    EXPECT_EQ(clock.deadlines()[static_cast<std::size_t>(c.step)] - clock.epoch(), c.at);
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, TimetableStep,
    testing::Values(StepCase{"First", 0, kCheck, kCheck, 1, milliseconds(1000)},
                    StepCase{"LastCheck", 10, kCheck, kCheck, 11, milliseconds(10400)},
                    StepCase{"FirstUnzip", 11, kCheck, kUnzip, 12, milliseconds(11400)},
                    StepCase{"LastUnzip", 24, kUnzip, kUnzip, 25, milliseconds(24800)},
                    StepCase{"FirstPatch", 25, kUnzip, kPatch, 26, milliseconds(25800)},
                    StepCase{"Last", 99, kPatch, kPatch, 100, milliseconds(94000)}),
    [](const testing::TestParamInfo<StepCase> &row) { return std::string(row.param.name); });

TEST(Timetable, RunsHundredStepsThroughThreePhasesToAFullBar)
{
    VirtualClock clock;
    RecordingView view(clock, clock.epoch());
    run_timetable(clock, view);

    EXPECT_EQ(view.prepared, 1);
    ASSERT_EQ(view.steps.size(), static_cast<std::size_t>(kRunSteps));
    EXPECT_EQ(view.bar, 100);
    ASSERT_FALSE(view.statusWrites.empty());
    EXPECT_EQ(view.statusWrites.front(), kCheck);

    std::vector<QString> phases;
    for (std::size_t i = 0; i < view.steps.size(); ++i) {
        EXPECT_EQ(view.steps[i].bar, static_cast<int>(i) + 1) << "step " << i;
        if (phases.empty() || phases.back() != view.steps[i].status)
            phases.push_back(view.steps[i].status);
    }
    EXPECT_EQ(phases, (std::vector<QString>{kCheck, kUnzip, kPatch}));
    // The later texts are set again on every step of their range.
    EXPECT_EQ(view.statusWrites.size(), std::size_t{1 + (25 - 11) + (100 - 25)});
}

TEST(Timetable, PausesFollowTheStepNumberModuloTen)
{
    const milliseconds block[] = {milliseconds(1000), milliseconds(1000), milliseconds(1000),
                                  milliseconds(2000), milliseconds(1000), milliseconds(1000),
                                  milliseconds(200),  milliseconds(200),  milliseconds(1000),
                                  milliseconds(1000)};
    milliseconds total(0);
    for (int i = 0; i < kRunSteps; ++i) {
        EXPECT_EQ(pause_before_step(i), block[i % 10]) << "step " << i;
        total += pause_before_step(i);
    }
    EXPECT_EQ(total, milliseconds(94000));
    EXPECT_EQ(pause_before_step(-7), pause_before_step(3));
}

// Wakes a fixed time after every deadline, as a loaded machine would.
class LateClock final : public RunClock {
public:
    static constexpr milliseconds kLateness{37};
    TimePoint now() override { return now_; }
    void waitUntil(TimePoint deadline) override
    {
        deadlines.push_back(deadline);
        now_ = std::max(now_, deadline) + kLateness;
    }
    TimePoint start{std::chrono::hours(2)};
    std::vector<TimePoint> deadlines;

private:
    TimePoint now_ = start;
};

TEST(Timetable, LateWakeUpsDoNotPushLaterDeadlines)
{
    LateClock clock;
    RecordingView view(clock, clock.start);
    run_timetable(clock, view);

    ASSERT_EQ(clock.deadlines.size(), static_cast<std::size_t>(kRunSteps));
    milliseconds ideal(0);
    for (int i = 0; i < kRunSteps; ++i) {
        ideal += pause_before_step(i);
        EXPECT_EQ(clock.deadlines[static_cast<std::size_t>(i)] - clock.start, ideal)
            << "step " << i;
    }
}

TEST(Timetable, CountsFromAGivenStartSuchAsThePress)
{
    VirtualClock clock;
    const RunClock::TimePoint pressed = clock.now();
    clock.waitUntil(pressed + milliseconds(1500)); // a slow settings write
    RecordingView view(clock, pressed);
    run_timetable(clock, view, pressed);

    ASSERT_EQ(view.steps.size(), static_cast<std::size_t>(kRunSteps));
    EXPECT_EQ(view.steps[0].at, milliseconds(1500)); // overdue: taken at once
    EXPECT_EQ(view.steps[1].at, milliseconds(2000));
    EXPECT_EQ(view.steps[11].at, milliseconds(11400));
    EXPECT_EQ(view.steps.back().at, milliseconds(94000));
}

} // namespace
} // namespace kestrival::dialogs

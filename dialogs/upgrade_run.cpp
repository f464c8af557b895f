// The upgrade run's timetable.
#include "dialogs/upgrade_run.h"

#include <array>

namespace kestrival::dialogs {

namespace {

using std::chrono::milliseconds;

// Indexed by i mod 10; one block of ten steps is 9.4 s, the whole run 94 s.
constexpr std::array<milliseconds, 10> kPauses {
    milliseconds(1000), milliseconds(1000), milliseconds(1000), milliseconds(2000), milliseconds(1000),
    milliseconds(1000), milliseconds(200),  milliseconds(200),  milliseconds(1000), milliseconds(1000),
};

// The first step of each later phase.
constexpr int kFirstUnzipStep = 11;
constexpr int kFirstPatchStep = 25;

} // namespace

milliseconds pause_before_step(int i) { return kPauses[static_cast<std::size_t>(i) % kPauses.size()]; }

QString phase_text_for_step(int i)
{
    if (i >= kFirstPatchStep)
        return QStringLiteral("Patch files...");
    if (i >= kFirstUnzipStep)
        return QStringLiteral("Unzip files...");
    return {};
}

QString initial_phase_text() { return QStringLiteral("Check Ver Info..."); }

void run_timetable(RunClock &clock, RunView &view, RunClock::TimePoint start)
{
    view.setStatus(initial_phase_text());
    view.prepareBar();
    RunClock::TimePoint deadline = start;
    for (int i = 0; i < kRunSteps; ++i) {
        deadline += pause_before_step(i);
        clock.waitUntil(deadline);
        if (const QString text = phase_text_for_step(i); !text.isEmpty())
            view.setStatus(text);
        view.stepBar();
    }
}

} // namespace kestrival::dialogs

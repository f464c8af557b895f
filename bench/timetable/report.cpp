// How late the run's changes reached the screen, and its CPU time.
#include "bench/timetable/report.h"

#include "dialogs/upgrade_run.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <utility>
#include <vector>

namespace kestrival::bench {

namespace {

using dialogs::kRunSteps;

constexpr Ms kLatenessTarget(5.0);
constexpr double kCpuTargetPercent = 1.0;
constexpr double kP99 = 0.99;
constexpr std::size_t kWorstShown = 5;

// Nearest-rank percentile of an unsorted sample.
Ms percentile(std::vector<Ms> sample, double p)
{
    std::sort(sample.begin(), sample.end());
    const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(sample.size())));
    return sample[std::max<std::size_t>(rank, 1) - 1];
}

// How long after `ideal` the key was stamped, if it ever was.
template <class Key>
std::optional<Ms> late(const std::map<Key, Clock::time_point> &m, const Key &key, Clock::time_point ideal)
{
    const auto it = m.find(key);
    if (it == m.end())
        return std::nullopt;
    return Ms(it->second - ideal);
}

// Each returns the latest of its changes after the run's start, or nothing if one never showed.
std::optional<Ms> print_phase_changes(const Run &run, const std::vector<Clock::time_point> &ideal)
{
    struct Change {
        const char *name;
        int step;
        bool text;
    };
    const Change changes[] = {
        {"first step", 0, false},
        {"Unzip files...", 11, true},
        {"Patch files...", 25, true},
        {"full bar", kRunSteps - 1, false},
    };
    const Ms writeDelay = run.start - run.press;
    std::optional<Ms> latest = Ms(0);
    std::printf("\nPhase changes, lateness of the paint that shows each (ms):\n");
    std::printf("  %-9s %-15s %14s %14s\n", "ideal", "change", "after start", "after press");
    for (const Change &c : changes) {
        const Clock::time_point at = ideal[static_cast<std::size_t>(c.step)];
        const auto shown = c.text ? late(run.stamps.textShown, std::string(dialogs::phase_text_for_step(c.step)), at)
                                  : late(run.stamps.barShown, c.step + 1, at);
        std::printf("  %7.3f s %-15s", Ms(at - run.start).count() / 1e3, c.name);
        if (shown)
            std::printf(" %14.3f %14.3f\n", shown->count(), (*shown + writeDelay).count());
        else
            std::printf(" %14s %14s\n", "never", "never");
        latest = shown && latest ? std::optional(std::max(*shown, *latest)) : std::nullopt;
    }
    return latest;
}

std::optional<Ms> print_steps(const Run &run, const std::vector<Clock::time_point> &ideal)
{
    std::vector<Ms> setLate;
    std::vector<Ms> shownLate;
    std::vector<std::pair<Ms, int>> worst;
    for (int i = 0; i < kRunSteps; ++i) {
        const Clock::time_point at = ideal[static_cast<std::size_t>(i)];
        if (const auto s = late(run.stamps.barSet, i + 1, at))
            setLate.push_back(*s);
        if (const auto s = late(run.stamps.barShown, i + 1, at)) {
            shownLate.push_back(*s);
            worst.emplace_back(*s, i);
        }
    }
    std::printf("\nBar steps, lateness after the run's start (ms): %zu set, %zu shown of %d\n", setLate.size(),
                shownLate.size(), kRunSteps);
    for (const auto &[name, sample] : {std::pair {"set  ", &setLate}, std::pair {"shown", &shownLate}}) {
        if (sample->empty())
            continue;
        std::printf("  %s: min %.3f  median %.3f  p99 %.3f  max %.3f\n", name, percentile(*sample, 0.0).count(),
                    percentile(*sample, 0.5).count(), percentile(*sample, kP99).count(),
                    std::max_element(sample->begin(), sample->end())->count());
    }
    std::sort(worst.rbegin(), worst.rend());
    worst.resize(std::min(worst.size(), kWorstShown));
    std::printf("  latest shown:");
    for (const auto &[lateness, step] : worst)
        std::printf("  step %d %.3f", step, lateness.count());
    std::printf("\n");
    if (shownLate.size() != static_cast<std::size_t>(kRunSteps))
        return std::nullopt;
    return *std::max_element(shownLate.begin(), shownLate.end());
}

} // namespace

void print_report(const Run &run)
{
    std::vector<Clock::time_point> ideal;
    Clock::time_point t = run.start;
    for (int i = 0; i < kRunSteps; ++i) {
        t += dialogs::pause_before_step(i);
        ideal.push_back(t);
    }
    std::printf("\nPress to the timetable's start (the settings write): %.3f ms\n", Ms(run.start - run.press).count());
    const auto phasesLatest = print_phase_changes(run, ideal);
    const auto stepsLatest = print_steps(run, ideal);

    const Ms wall = run.done - run.press;
    const double cpuPercent = 100.0 * run.cpu / wall;
    std::printf("\nCPU from press to completion message: %.1f ms over %.3f s = %.3f %% of one "
                "core\n",
                run.cpu.count(), wall.count() / 1e3, cpuPercent);
    const auto verdict = [&](Ms offset) {
        const bool met
            = phasesLatest && stepsLatest && std::max(*phasesLatest, *stepsLatest) + offset <= kLatenessTarget;
        return met ? "met" : "MISSED";
    };
    std::printf("\nTargets: every change shown within %.0f ms of its time counted from the "
                "run's start: %s; from the press: %s\n",
                kLatenessTarget.count(), verdict(Ms(0)), verdict(run.start - run.press));
    std::printf("         CPU below %.0f %% of one core: %s\n", kCpuTargetPercent,
                cpuPercent < kCpuTargetPercent ? "met" : "MISSED");
}

} // namespace kestrival::bench

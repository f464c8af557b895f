// The timetable bench's figures, the same for both editions: how late each change of one whole
// upgrade run reached the screen against its ideal time, and the CPU the run cost.
#pragma once

#include "dialogs/upgrade_run.h"

#include <chrono>
#include <map>
#include <optional>
#include <string>

namespace kestrival::bench {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::duration<double, std::milli>;

// The moment each bar position was first set, and each position and status text (UTF-8) first
// painted.
struct Stamps {
    std::map<int, Clock::time_point> barSet;
    std::map<int, Clock::time_point> barShown;
    std::map<std::string, Clock::time_point> textShown;
};

template <class Key> void stamp_first(std::map<Key, Clock::time_point> &m, const Key &key)
{
    m.try_emplace(key, Clock::now());
}

struct Run {
    Clock::time_point press;
    Clock::time_point start; // the timetable's own start, after the settings write
    Clock::time_point done; // the completion message
    Ms cpu {}; // from the press to the completion message
    Stamps stamps;
};

// The edition's real clock, noting when the run asked it for its start.
template <class RealClock> class StampingClock final : public dialogs::RunClock {
public:
    TimePoint now() override
    {
        const TimePoint t = m_real.now();
        if (!start)
            start = t;
        return t;
    }
    void waitUntil(TimePoint deadline) override { m_real.waitUntil(deadline); }

    std::optional<TimePoint> start;

private:
    RealClock m_real;
};

// Prints the phase changes, the bar steps, the CPU and whether the targets were met.
void print_report(const Run &run);

} // namespace kestrival::bench

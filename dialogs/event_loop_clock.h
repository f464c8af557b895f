// The upgrade run's real clock: waiting that keeps the windows alive but deaf to the user.
#pragma once

#include "dialogs/upgrade_run.h"

class QEvent;
class QObject;

namespace kestrival::dialogs {

// Monotonic time (std::chrono::steady_clock). waitUntil runs a local event loop woken by a
// precise single-shot timer, re-armed should it wake early, and sleeps the last five
// milliseconds outright, so the thread never spins and wakes within microseconds of the
// deadline. Meanwhile paints, exposes, moves, resizes, timers and the window system's own traffic
// are processed as usual, and every event is_user_input() names is dropped: it is neither
// delivered during the wait nor afterwards. Waits may nest (a wait started from an event
// processed inside another wait, or inside a modal loop opened between waits); each keeps
// input out until it returns.
// Call it on the GUI thread. With no QCoreApplication it just sleeps until the deadline; if
// the application refuses nested loops because it is quitting, the wait still lasts until the
// deadline, processing events as above. Never returns before the deadline.
class EventLoopClock final : public RunClock {
public:
    [[nodiscard]] TimePoint now() override;
    void waitUntil(TimePoint deadline) override;
};

// True when the event is something a user does to the program: pointer, key, wheel, touch,
// tablet, gesture, context menu, shortcut, input method, drag and drop, What's This, and the
// request to close a window (a QEvent::Close sent to a QWindow or to a top-level widget).
// Paint, expose, geometry, focus, activation, timer and other internal events are not.
[[nodiscard]] bool is_user_input(const QObject *receiver, const QEvent *event);

} // namespace kestrival::dialogs

// The interface thread's waits: windows stay alive but deaf to the user.
#pragma once

#include "dialogs/upgrade_run.h"

#include <functional>

class QEvent;
class QObject;

namespace kestrival::dialogs {

// Monotonic time. waitUntil returns at the deadline, never before, without spinning; meanwhile
// paints, timers and the window system's traffic are handled as usual, and every event
// is_user_input() names is dropped: neither delivered during the wait nor afterwards. Waits
// may nest; each keeps input out until it returns, even while the application quits. Call it
// on the GUI thread; with no QCoreApplication it just sleeps.
class EventLoopClock final : public RunClock {
public:
    [[nodiscard]] TimePoint now() override;
    void waitUntil(TimePoint deadline) override;
};

// Runs `work` on a thread of its own and returns once it has returned; meanwhile the calling
// (GUI) thread waits as EventLoopClock::waitUntil does.
void run_off_interface_thread(const std::function<void()> &work);

// True when the event is something a user does to the program: pointer, key, wheel, touch,
// tablet, gesture, context menu, shortcut, input method, drag and drop, What's This, and the
// request to close a window (a QEvent::Close sent to a QWindow or to a top-level widget).
[[nodiscard]] bool is_user_input(const QObject *receiver, const QEvent *event);

} // namespace kestrival::dialogs

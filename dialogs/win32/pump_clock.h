// The interface thread's waits: windows stay alive but deaf to the user.
#pragma once

#include "dialogs/upgrade_run.h"

#include <windows.h>

#include <functional>

namespace kestrival::dialogs {

// Monotonic time. waitUntil returns at the deadline, never before, without spinning; meanwhile
// the thread's windows are painted and sent messages answered, and every posted message
// is_user_input() names is dropped: neither delivered during the wait nor afterwards.
class MessagePumpClock final : public RunClock {
public:
    [[nodiscard]] TimePoint now() override;
    void waitUntil(TimePoint deadline) override;
};

// Runs `work` on a thread of its own and returns once it has returned (rethrowing what it
// threw); meanwhile the calling thread waits as MessagePumpClock::waitUntil does.
void run_off_interface_thread(const std::function<void()> &work);

// True for what a user does to the program: keys, the mouse on the client or the frame,
// raw input, touch, pointer and gesture input, and a posted close or window-menu command.
[[nodiscard]] bool is_user_input(const MSG &message);

} // namespace kestrival::dialogs

// Waiting on the interface thread without taking input.
#include "dialogs/win32/pump_clock.h"

#include <exception>
#include <optional>
#include <thread>

namespace kestrival::dialogs {

namespace {

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

// Owns a kernel handle.
class Handle {
public:
    explicit Handle(HANDLE handle) : m_handle(handle) { }
    ~Handle()
    {
        if (m_handle)
            CloseHandle(m_handle);
    }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    [[nodiscard]] HANDLE get() const { return m_handle; }

private:
    HANDLE m_handle;
};

// A timer as fine as the system offers: the default tick of 15.6 ms would make every step late.
HANDLE make_timer()
{
    if (HANDLE timer
        = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS))
        return timer;
    return CreateWaitableTimerW(nullptr, TRUE, nullptr);
}

// Handles what has arrived, dropping input. Returns false once WM_QUIT is taken, whose
// exit code is then in `quitCode`.
void drain_messages(std::optional<WPARAM> &quitCode)
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            quitCode = message.wParam;
            continue;
        }
        if (is_user_input(message))
            continue;
        DispatchMessageW(&message);
    }
}

// Waits until `deadline` has passed or `done` is signalled, whichever is given.
void pump_until(std::optional<RunClock::TimePoint> deadline, HANDLE done)
{
    const Handle timer(deadline ? make_timer() : nullptr);
    std::optional<WPARAM> quitCode;
    for (;;) {
        drain_messages(quitCode);
        if (done && WaitForSingleObject(done, 0) == WAIT_OBJECT_0)
            break;
        HANDLE handles[1] = {done};
        DWORD count = done ? 1 : 0;
        DWORD timeout = INFINITE;
        if (deadline) {
            const auto left = *deadline - std::chrono::steady_clock::now();
            if (left <= std::chrono::steady_clock::duration::zero())
                break;
            // In 100 ns units, rounded up: waking early only costs another round.
            const auto ticks = std::chrono::ceil<std::chrono::duration<LONGLONG, std::ratio<1, 10'000'000>>>(left);
            LARGE_INTEGER due;
            due.QuadPart = -ticks.count();
            if (timer.get() && SetWaitableTimer(timer.get(), &due, 0, nullptr, nullptr, FALSE)) {
                handles[0] = timer.get();
                count = 1;
            } else {
                timeout = static_cast<DWORD>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
            }
        }
        MsgWaitForMultipleObjectsEx(count, count ? handles : nullptr, timeout, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
    // A quit asked for meanwhile is not ours to take.
    if (quitCode)
        PostQuitMessage(static_cast<int>(*quitCode));
}

} // namespace

RunClock::TimePoint MessagePumpClock::now() { return std::chrono::steady_clock::now(); }

void MessagePumpClock::waitUntil(TimePoint deadline) { pump_until(deadline, nullptr); }

void run_off_interface_thread(const std::function<void()> &work)
{
    const Handle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!done.get()) {
        work();
        return;
    }
    std::exception_ptr failure;
    std::thread worker([&] {
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
        SetEvent(done.get());
    });
    pump_until(std::nullopt, done.get());
    worker.join();
    if (failure)
        std::rethrow_exception(failure);
}

bool is_user_input(const MSG &message)
{
    const UINT m = message.message;
    return (m >= WM_KEYFIRST && m <= WM_KEYLAST) || (m >= WM_MOUSEFIRST && m <= WM_MOUSELAST)
        || (m >= WM_NCMOUSEMOVE && m <= WM_NCXBUTTONDBLCLK) || m == WM_INPUT || m == WM_TOUCH || m == WM_GESTURE
        || (m >= 0x0241 && m <= 0x0251) // the pointer messages (WM_POINTER*, WM_NCPOINTER*)
        || m == WM_APPCOMMAND || m == WM_HOTKEY || m == WM_SYSCOMMAND || m == WM_CLOSE || m == WM_CONTEXTMENU
        || (m >= WM_IME_STARTCOMPOSITION && m <= WM_IME_KEYLAST) || (m >= WM_IME_SETCONTEXT && m <= WM_IME_KEYUP);
}

} // namespace kestrival::dialogs

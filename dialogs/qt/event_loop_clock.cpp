// The interface thread's waits.
#include "dialogs/qt/event_loop_clock.h"

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include <atomic>
#include <thread>

namespace kestrival::dialogs {

namespace {

// The event loop's timers wake on whole milliseconds, rounded up, and then queue behind what
// the loop is busy with (a few milliseconds under load on X11); the last stretch before a
// deadline is slept instead, which wakes within microseconds, and is under a third of a 60 Hz
// frame, so a paint or a window-system reply it holds up is never seen to wait.
constexpr std::chrono::milliseconds kSleptStretch(5);

// Dropped rather than left to wait: input given while the run can't answer it must not fire
// once the run is over (a second run, a close, a stray Esc).
class InputDiscarder final : public QObject {
public:
    InputDiscarder() { QCoreApplication::instance()->installEventFilter(this); }
    ~InputDiscarder() override { QCoreApplication::instance()->removeEventFilter(this); }
    InputDiscarder(const InputDiscarder &) = delete;
    InputDiscarder &operator=(const InputDiscarder &) = delete;

protected:
    bool eventFilter(QObject *receiver, QEvent *event) override
    {
        if (!is_user_input(receiver, event))
            return false;
        // A refused close tells the platform the window stays.
        event->ignore();
        return true;
    }
};

bool is_window(const QObject *receiver)
{
    if (receiver == nullptr)
        return false;
    if (receiver->isWindowType())
        return true;
    return receiver->isWidgetType() && static_cast<const QWidget *>(receiver)->isWindow();
}

} // namespace

bool is_user_input(const QObject *receiver, const QEvent *event)
{
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::NonClientAreaMouseButtonPress:
    case QEvent::NonClientAreaMouseButtonRelease:
    case QEvent::NonClientAreaMouseButtonDblClick:
    case QEvent::NonClientAreaMouseMove:
    case QEvent::HoverEnter:
    case QEvent::HoverLeave:
    case QEvent::HoverMove:
    case QEvent::Wheel:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::InputMethod:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TouchCancel:
    case QEvent::TabletPress:
    case QEvent::TabletMove:
    case QEvent::TabletRelease:
    case QEvent::TabletEnterProximity:
    case QEvent::TabletLeaveProximity:
    case QEvent::Gesture:
    case QEvent::GestureOverride:
    case QEvent::NativeGesture:
    case QEvent::ContextMenu:
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::DragLeave:
    case QEvent::Drop:
    case QEvent::EnterWhatsThisMode:
    case QEvent::QueryWhatsThis:
    case QEvent::WhatsThis:
    case QEvent::WhatsThisClicked:
        return true;
    case QEvent::Close:
        return is_window(receiver);
    default:
        return false;
    }
}

RunClock::TimePoint EventLoopClock::now() { return std::chrono::steady_clock::now(); }

// Waits are processEvents() loops rather than exec(): a quitting application refuses to start
// a nested exec(), and the wait must last all the same.
void EventLoopClock::waitUntil(TimePoint deadline)
{
    if (QCoreApplication::instance() == nullptr) {
        std::this_thread::sleep_until(deadline);
        return;
    }
    const InputDiscarder discarder;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    for (TimePoint t = now(); t < deadline; t = now()) {
        const auto early = deadline - t - kSleptStretch;
        if (early < std::chrono::milliseconds(1)) {
            std::this_thread::sleep_until(deadline);
            continue;
        }
        timer.start(std::chrono::floor<std::chrono::milliseconds>(early));
        while (timer.isActive())
            loop.processEvents(QEventLoop::WaitForMoreEvents);
    }
}

void run_off_interface_thread(const std::function<void()> &work)
{
    const InputDiscarder discarder;
    QEventLoop loop;
    std::atomic<bool> done = false;
    std::thread worker([&] {
        work();
        done = true;
        loop.wakeUp(); // thread-safe; a wake-up given before the loop waits is kept
    });
    while (!done)
        loop.processEvents(QEventLoop::WaitForMoreEvents);
    worker.join();
}

} // namespace kestrival::dialogs

// The interface thread's waits: windows stay alive, user input is thrown away for good.
#include "dialogs/event_loop_clock.h"

#include "dialog_test_support.h"

#include <QCloseEvent>
#include <QDialog>
#include <QWindow>

namespace kestrival::dialogs::test {
namespace {

using namespace std::chrono_literals;

// Counts what reaches the widgets past the application's filters.
class Received final : public QObject {
public:
    int input = 0, paints = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        const QEvent::Type t = event->type();
        paints += t == QEvent::Paint;
        input
            += t == QEvent::MouseButtonPress || t == QEvent::KeyPress || t == QEvent::Close || t == QEvent::ContextMenu;
        return false;
    }
};

TEST(EventLoopClock, DropsEveryKindOfInputForGoodPaintsNestsAndLastsWhileTheApplicationQuits)
{
    QDialog dialog;
    QPushButton button(QStringLiteral("升级"), &dialog);
    Received received;
    EventLoopClock clock;
    for (QObject *o : {static_cast<QObject *>(&dialog), static_cast<QObject *>(&button)})
        o->installEventFilter(&received);
    const QPoint at(5, 5);
    // clang-format off
    const std::vector<std::function<void()>> inputs {
        [&] { QTest::mouseClick(&button, Qt::LeftButton); },
        [&] { click_through_window(&button); },
        [&] { QCoreApplication::postEvent(&button, new QKeyEvent(QEvent::KeyPress, Qt::Key_Space, {})); },
        [&] { QTest::keyClick(dialog.windowHandle(), Qt::Key_Escape); },
        [&] { QCoreApplication::postEvent(&dialog, new QCloseEvent); },
        [&] { dialog.windowHandle()->close(); },
        [&] { QCoreApplication::postEvent(&button, new QContextMenuEvent(QContextMenuEvent::Keyboard, at, button.mapToGlobal(at))); }};
    // clang-format on
    for (std::size_t i = 0; i <= inputs.size(); ++i) {
        SCOPED_TRACE(i);
        dialog.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
        received.input = received.paints = 0;
        const bool last = i == inputs.size();
        post([&] {
            if (!last)
                return inputs[i]();
            button.setText(QStringLiteral("Patch files..."));
            const auto inner = clock.now() + 50ms;
            post([&] { QTest::mouseClick(&button, Qt::LeftButton); });
            clock.waitUntil(inner); // nested
            EXPECT_GE(clock.now(), inner);
            QCoreApplication::exit(0);
            post([&] { QTest::mouseClick(&button, Qt::LeftButton); }); // the outer wait still holds
        });
        const auto deadline = clock.now() + 150ms;
        clock.waitUntil(deadline);
        EXPECT_GE(clock.now(), deadline);
        QTest::qWait(50);
        EXPECT_EQ(received.input, 0);
        EXPECT_TRUE(last ? received.paints > 0 : dialog.isVisible());
        if (!last) {
            inputs[i]();
            EXPECT_TRUE(wait_for([&] { return received.input > 0; })) << "gets through once the wait is over";
        }
    }
    for (const auto ms : {0ms, 1ms, -500ms}) {
        const auto deadline = clock.now() + ms;
        clock.waitUntil(deadline);
        EXPECT_GE(clock.now(), deadline);
    }
    // A finished application loop clears the quit for the tests that follow.
    post([] { QCoreApplication::exit(0); });
    QApplication::exec();
}

} // namespace
} // namespace kestrival::dialogs::test

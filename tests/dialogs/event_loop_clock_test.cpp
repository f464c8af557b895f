// The interface thread's waits: windows stay alive, user input is thrown away for good.
#include "dialogs/event_loop_clock.h"

#include "dialog_test_support.h"

#include <QCloseEvent>
#include <QDialog>
#include <QSignalSpy>
#include <QWindow>

namespace kestrival::dialogs::test {
namespace {

using namespace std::chrono_literals;

TEST(EventLoopClock, DropsEveryKindOfInputForGoodPaintsNestsAndLastsWhileTheApplicationQuits)
{
    QDialog dialog;
    QPushButton button(QStringLiteral("升级"), &dialog);
    button.setContextMenuPolicy(Qt::CustomContextMenu);
    QSignalSpy pressed(&button, &QPushButton::pressed), menus(&button, &QWidget::customContextMenuRequested);
    QSignalSpy ended(&dialog, &QDialog::finished);
    const auto inputs = [&] { return pressed.count() + menus.count() + ended.count(); };
    EventLoopClock clock;
    const QPoint at(5, 5);
    // clang-format off
    const std::vector<std::function<void()>> give {
        [&] { QTest::mouseClick(&button, Qt::LeftButton); },
        [&] { click_through_window(&button); },
        [&] { QTest::keyClick(&button, Qt::Key_Space); },
        [&] { QTest::keyClick(dialog.windowHandle(), Qt::Key_Escape); },
        [&] { QCoreApplication::postEvent(&dialog, new QCloseEvent); },
        [&] { dialog.windowHandle()->close(); },
        [&] { QCoreApplication::postEvent(&button, new QContextMenuEvent(QContextMenuEvent::Keyboard, at, button.mapToGlobal(at))); }};
    // clang-format on
    for (std::size_t i = 0; i <= give.size(); ++i) {
        SCOPED_TRACE(i);
        dialog.show();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
        pressed.clear(), menus.clear(), ended.clear();
        const bool last = i == give.size();
        post([&] {
            if (!last)
                return give[i]();
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
        EXPECT_EQ(inputs(), 0);
        EXPECT_TRUE(dialog.isVisible());
        if (!last) {
            give[i]();
            EXPECT_TRUE(wait_for([&] { return inputs() > 0; })) << "gets through once the wait is over";
        }
    }
    // A finished application loop clears the quit for the tests that follow.
    post([] { QCoreApplication::exit(0); });
    QApplication::exec();
}

} // namespace
} // namespace kestrival::dialogs::test

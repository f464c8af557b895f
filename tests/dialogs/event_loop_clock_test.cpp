// The real clock's waiting: windows stay alive, user input is thrown away.
#include "dialogs/event_loop_clock.h"

#include "dialog_test_support.h"

#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDialog>
#include <QPushButton>
#include <QWindow>

namespace kestrival::dialogs::test {
namespace {

using test::PrintTo;
constexpr std::chrono::milliseconds kShortWait(150);

// Counts what reaches the widgets past the application's filters.
class Received final : public QObject {
public:
    int input = 0, paints = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        const QEvent::Type t = event->type();
        paints += t == QEvent::Paint;
        input += t == QEvent::MouseButtonPress || t == QEvent::MouseButtonRelease || t == QEvent::KeyPress
            || t == QEvent::KeyRelease || t == QEvent::Close || t == QEvent::ContextMenu;
        return false;
    }
};

class EventLoopClockTest : public testing::Test {
protected:
    void SetUp() override
    {
        dialog.resize(240, 120);
        button.setGeometry(20, 20, 120, 40);
        button.installEventFilter(&received);
        dialog.installEventFilter(&received);
        dialog.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));
        QCoreApplication::processEvents();
    }

    // Runs action from inside the wait's own loop; the wait lasts to its deadline and lets
    // nothing through, then or later.
    void waitDoing(const std::function<void()> &action)
    {
        bool ran = false;
        QTimer::singleShot(0, &dialog, [&] {
            action();
            ran = true;
        });
        const auto deadline = clock.now() + kShortWait;
        clock.waitUntil(deadline);
        EXPECT_GE(clock.now(), deadline);
        ASSERT_TRUE(ran);
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
        EXPECT_EQ(received.input, 0) << "so no click and no close either";
        EXPECT_TRUE(dialog.isVisible());
    }
    void clickLater()
    {
        post([this] {
            QTest::mouseClick(&button, Qt::LeftButton);
            ++clicksGiven;
        });
    }

    QDialog dialog;
    QPushButton button {QStringLiteral("升级"), &dialog};
    Received received;
    EventLoopClock clock;
    int clicksGiven = 0;
};

struct InputRow {
    const char *name;
    std::function<void(QDialog &, QPushButton &)> give;
};

class DiscardedInput : public EventLoopClockTest, public testing::WithParamInterface<InputRow> { };

TEST_P(DiscardedInput, IsNeitherDeliveredDuringTheWaitNorAfterIt)
{
    waitDoing([&] { GetParam().give(dialog, button); });
    GetParam().give(dialog, button);
    EXPECT_TRUE(wait_for([&] { return received.input > 0; })) << "gets through once the wait is over";
}

INSTANTIATE_TEST_SUITE_P(
    Rows, DiscardedInput,
    testing::Values(
        InputRow {"click_sent_to_button", [](QDialog &, QPushButton &b) { QTest::mouseClick(&b, Qt::LeftButton); }},
        InputRow {"click_through_window", [](QDialog &, QPushButton &b) { click_through_window(&b); }},
        InputRow {"space_posted_to_button",
                  [](QDialog &, QPushButton &b) {
                      QCoreApplication::postEvent(&b, new QKeyEvent(QEvent::KeyPress, Qt::Key_Space, {}));
                      QCoreApplication::postEvent(&b, new QKeyEvent(QEvent::KeyRelease, Qt::Key_Space, {}));
                  }},
        InputRow {"escape_through_window",
                  [](QDialog &d, QPushButton &) { QTest::keyClick(d.windowHandle(), Qt::Key_Escape); }},
        InputRow {"close_posted_to_dialog",
                  [](QDialog &d, QPushButton &) { QCoreApplication::postEvent(&d, new QCloseEvent); }},
        InputRow {"close_asked_by_window_system", [](QDialog &d, QPushButton &) { d.windowHandle()->close(); }},
        InputRow {"context_menu_posted_to_button",
                  [](QDialog &, QPushButton &b) {
                      const QPoint at(5, 5);
                      QCoreApplication::postEvent(
                          &b, new QContextMenuEvent(QContextMenuEvent::Keyboard, at, b.mapToGlobal(at)));
                  }}),
    RowName());

TEST_F(EventLoopClockTest, PaintsDuringTheWaitAndNeverReturnsEarly)
{
    const int paintsBefore = received.paints;
    waitDoing([&] { button.setText(QStringLiteral("Patch files...")); });
    EXPECT_GT(received.paints, paintsBefore);
    for (const int ms : {0, 1, -500}) {
        const auto deadline = clock.now() + std::chrono::milliseconds(ms);
        clock.waitUntil(deadline);
        EXPECT_GE(clock.now(), deadline) << ms << " ms";
    }
}

TEST_F(EventLoopClockTest, NestedWaitsEachKeepInputOut)
{
    waitDoing([&] {
        const auto inner = clock.now() + kShortWait / 2;
        clickLater();
        clock.waitUntil(inner);
        EXPECT_GE(clock.now(), inner);
        clickLater(); // the outer wait still holds
    });
    EXPECT_EQ(clicksGiven, 2);
}

TEST_F(EventLoopClockTest, WaitsOutItsDeadlineWhileTheApplicationQuits)
{
    waitDoing([&] {
        QCoreApplication::exit(0);
        clickLater();
    });
    EXPECT_EQ(clicksGiven, 1);
    // A finished application loop clears the quit for the tests that follow.
    post([] { QCoreApplication::exit(0); });
    QApplication::exec();
}

} // namespace
} // namespace kestrival::dialogs::test

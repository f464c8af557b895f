// The real clock's waiting: windows stay alive, user input is thrown away.
#include "dialogs/event_loop_clock.h"

#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDialog>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QWindow>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <ostream>
#include <string>

namespace kestrival::dialogs {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kShortWait(150);
constexpr milliseconds kPollLimit(5000);
constexpr int kPollStepMs = 10;

bool poll_until(const std::function<bool()> &done)
{
    const auto limit = std::chrono::steady_clock::now() + kPollLimit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > limit)
            return false;
        QTest::qWait(kPollStepMs);
    }
    return true;
}

// Counts what reaches a widget past the application's filters.
class Received final : public QObject {
public:
    int count(QEvent::Type type) const
    {
        const auto it = counts_.find(type);
        return it == counts_.end() ? 0 : it->second;
    }
    int input() const
    {
        int n = 0;
        for (const auto &[type, c] : counts_)
            if (type != QEvent::Paint && type != QEvent::Timer)
                n += c;
        return n;
    }

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::Close:
        case QEvent::ContextMenu:
        case QEvent::Wheel:
        case QEvent::Paint:
            ++counts_[event->type()];
            break;
        default:
            break;
        }
        return false;
    }

private:
    std::map<QEvent::Type, int> counts_;
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
    void TearDown() override
    {
        dialog.close();
        ASSERT_TRUE(poll_until([] {
            const QWidgetList windows = QApplication::topLevelWidgets();
            return std::none_of(windows.begin(), windows.end(),
                                [](const QWidget *w) { return w->isVisible(); });
        }));
    }

    // Runs action from the wait's own event loop, then waits out the deadline.
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
        ASSERT_TRUE(ran) << "the action never ran inside the wait";
    }

    static void flushEvents()
    {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents();
    }

    QDialog dialog;
    QPushButton button{QStringLiteral("升级"), &dialog};
    Received received;
    EventLoopClock clock;
};

struct InputCase {
    const char *name;
    std::function<void(QDialog &, QPushButton &)> give;
};

void PrintTo(const InputCase &c, std::ostream *os) { *os << c.name; }

class DiscardedInput : public EventLoopClockTest, public testing::WithParamInterface<InputCase> {
};

// Each action would click the button, close the dialog or at least reach a widget.
const InputCase kInputs[] = {
    {"ClickSentToButton", [](QDialog &,
                             QPushButton &b) { QTest::mouseClick(&b, Qt::LeftButton); }},
    {"ClickThroughWindowSystem",
     [](QDialog &d, QPushButton &b) {
         QTest::mouseClick(d.windowHandle(), Qt::LeftButton, {}, b.geometry().center());
     }},
    {"SpacePostedToButton",
     [](QDialog &, QPushButton &b) {
         QCoreApplication::postEvent(&b, new QKeyEvent(QEvent::KeyPress, Qt::Key_Space, {}));
         QCoreApplication::postEvent(&b, new QKeyEvent(QEvent::KeyRelease, Qt::Key_Space, {}));
     }},
    {"EscapeThroughWindowSystem",
     [](QDialog &d, QPushButton &) { QTest::keyClick(d.windowHandle(), Qt::Key_Escape); }},
    {"ClosePostedToDialog",
     [](QDialog &d, QPushButton &) { QCoreApplication::postEvent(&d, new QCloseEvent); }},
    {"CloseRequestedByWindowSystem", [](QDialog &d, QPushButton &) { d.windowHandle()->close(); }},
    {"ContextMenuPostedToButton",
     [](QDialog &, QPushButton &b) {
         QCoreApplication::postEvent(
             &b, new QContextMenuEvent(QContextMenuEvent::Keyboard, b.rect().center(),
                                        b.mapToGlobal(b.rect().center())));
     }},
};

TEST_P(DiscardedInput, IsNeitherDeliveredDuringTheWaitNorAfterIt)
{
    QSignalSpy clicked(&button, &QPushButton::clicked);
    QSignalSpy finished(&dialog, &QDialog::finished);

    waitDoing([&] { GetParam().give(dialog, button); });
    flushEvents();

    EXPECT_EQ(received.input(), 0);
    EXPECT_EQ(clicked.count(), 0);
    EXPECT_EQ(finished.count(), 0);
    EXPECT_TRUE(dialog.isVisible());

    // Once the wait is over, the same input gets through again.
    GetParam().give(dialog, button);
    EXPECT_TRUE(poll_until([&] { return received.input() > 0; }));
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, DiscardedInput, testing::ValuesIn(kInputs),
    [](const testing::TestParamInfo<InputCase> &row) { return std::string(row.param.name); });

TEST_F(EventLoopClockTest, PaintsAndTimersRunDuringTheWait)
{
    const int paintsBefore = received.count(QEvent::Paint);
    bool timerRan = false;
    waitDoing([&] {
        timerRan = true;
        button.setText(QStringLiteral("Patch files..."));
    });
    EXPECT_TRUE(timerRan);
    EXPECT_GT(received.count(QEvent::Paint), paintsBefore);
}

TEST_F(EventLoopClockTest, ReturnsNotBeforeItsDeadline)
{
    for (const milliseconds wait : {milliseconds(0), milliseconds(1), milliseconds(30)}) {
        const auto deadline = clock.now() + wait;
        clock.waitUntil(deadline);
        EXPECT_GE(clock.now(), deadline) << wait.count() << " ms";
    }
    const auto past = clock.now() - milliseconds(500);
    clock.waitUntil(past);
    EXPECT_GE(clock.now(), past);
}

TEST_F(EventLoopClockTest, NestedWaitsEachKeepInputOut)
{
    QSignalSpy clicked(&button, &QPushButton::clicked);
    RunClock::TimePoint innerDeadline;
    RunClock::TimePoint innerReturned;
    bool afterInnerGiven = false;
    waitDoing([&] {
        innerDeadline = clock.now() + kShortWait / 2;
        QTimer::singleShot(0, &dialog, [&] { QTest::mouseClick(&button, Qt::LeftButton); });
        clock.waitUntil(innerDeadline);
        innerReturned = clock.now();
        // The outer wait is still running: its own filter must still hold.
        QTimer::singleShot(0, &dialog, [&] {
            QTest::mouseClick(&button, Qt::LeftButton);
            afterInnerGiven = true;
        });
    });
    flushEvents();

    EXPECT_GE(innerReturned, innerDeadline);
    EXPECT_TRUE(afterInnerGiven);
    EXPECT_EQ(clicked.count(), 0);
    EXPECT_EQ(received.input(), 0);
}

TEST_F(EventLoopClockTest, WaitsOutItsDeadlineWhileTheApplicationQuits)
{
    QSignalSpy clicked(&button, &QPushButton::clicked);
    bool clickGiven = false;
    waitDoing([&] {
        QCoreApplication::exit(0);
        QTimer::singleShot(0, &dialog, [&] {
            QTest::mouseClick(&button, Qt::LeftButton);
            clickGiven = true;
        });
    });
    flushEvents();
    EXPECT_TRUE(clickGiven);
    EXPECT_EQ(clicked.count(), 0);

    // A finished application loop clears the quit for the tests that follow.
    QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
    QApplication::exec();
}

} // namespace
} // namespace kestrival::dialogs

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    return RUN_ALL_TESTS();
}

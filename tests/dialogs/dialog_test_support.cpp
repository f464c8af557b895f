// Fixtures for the dialog tests.
#include "dialog_test_support.h"

#include <QTest>
#include <QTimer>

#include <fstream>
#include <iterator>
#include <memory>
#include <utime.h>

namespace kestrival::dialogs::test {

namespace {
constexpr int kPollMs = 10;

void poll(std::function<QWidget *()> find, std::function<void(QWidget *)> action)
{
    auto *timer = new QTimer(qApp);
    timer->setInterval(kPollMs);
    auto ticks = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, ticks, find, action] {
        QWidget *w = find();
        if (!w && ++*ticks * kPollMs < kWaitMs)
            return;
        timer->stop();
        timer->deleteLater();
        if (w)
            action(w);
        else
            ADD_FAILURE() << "the awaited window never came up";
    });
    timer->start();
}
} // namespace

void FakeClock::waitUntil(TimePoint deadline)
{
    if (deadline > m_now)
        m_now = deadline;
    waits.push_back(deadline);
    if (onWait)
        onWait(waits.size() - 1);
}

Notifier RecordingNotifier::notifier()
{
    return [this](const QString &text) {
        texts << text;
        if (react)
            react(text);
    };
}

std::string read_bytes(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_bytes(const std::filesystem::path &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

void set_mtime(const std::filesystem::path &path, std::time_t when)
{
    const utimbuf times{when, when};
    ASSERT_EQ(utime(path.c_str(), &times), 0);
}

void InstallationTest::SetUp()
{
    ASSERT_TRUE(m_root.isValid());
    std::filesystem::create_directory(programDir());
    std::filesystem::create_directory(workDir());
    m_previousDir = std::filesystem::current_path();
    std::filesystem::current_path(workDir());
}

void InstallationTest::TearDown()
{
    std::filesystem::current_path(m_previousDir);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(wait_for([] {
        for (QWidget *w : QApplication::topLevelWidgets())
            if (w->isVisible())
                return false;
        return true;
    })) << "a window was left open";
}

std::filesystem::path InstallationTest::programDir() const
{
    return std::filesystem::path(m_root.path().toStdString()) / "program";
}

std::filesystem::path InstallationTest::workDir() const
{
    return std::filesystem::path(m_root.path().toStdString()) / "work";
}

void InstallationTest::installAll(const std::string &settingsBytes)
{
    write_bytes(settingsPath(), settingsBytes);
    write_bytes(workDir() / "tsetting.ini", settingsBytes);
    write_bytes(workDir() / "HarrowglimmerPatch.dat", "package");
}

UpgradeDlgSeams InstallationTest::seams()
{
    UpgradeDlgSeams s;
    s.notify = messages.notifier();
    s.settingsPath = [this]() -> std::optional<std::string> {
        if (settingsPathUnavailable)
            return std::nullopt;
        return settingsPathOverride ? *settingsPathOverride : settingsPath().string();
    };
    s.clock = &clock;
    return s;
}

void post(std::function<void()> action)
{
    QTimer::singleShot(0, qApp, std::move(action));
}

void when_modal_widget(std::function<bool(QWidget *)> matches, std::function<void(QWidget *)> action)
{
    poll(
        [matches]() -> QWidget * {
            QWidget *w = QApplication::activeModalWidget();
            return w && w->isVisible() && matches(w) ? w : nullptr;
        },
        std::move(action));
}

void when_popup(std::function<void(QWidget *)> action)
{
    poll([]() -> QWidget * {
        QWidget *w = QApplication::activePopupWidget();
        return w && w->isVisible() ? w : nullptr;
    }, std::move(action));
}

bool wait_for(const std::function<bool()> &condition)
{
    return QTest::qWaitFor(condition, kWaitMs);
}

} // namespace kestrival::dialogs::test

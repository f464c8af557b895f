// Fixtures for the dialog tests.
#include "dialog_test_support.h"

#include <QTest>
#include <QWidget>

#include <fstream>
#include <iterator>

#include <utime.h>

namespace kestrival::dialogs::test {

namespace {
constexpr int kWaitMs = 5000;
}

void FakeClock::waitUntil(TimePoint deadline)
{
    m_now = std::max(m_now, deadline);
    waits.push_back(deadline);
    if (onWait)
        onWait(waits.size() - 1);
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
    ASSERT_TRUE(m_dir.isValid());
    m_root = m_dir.path().toStdString();
    std::filesystem::create_directory(programDir());
    std::filesystem::create_directory(workDir());
    m_previousDir = std::filesystem::current_path();
    std::filesystem::current_path(workDir());
}

void InstallationTest::TearDown()
{
    std::filesystem::current_path(m_previousDir);
    EXPECT_TRUE(wait_for([] {
        const auto windows = QApplication::topLevelWidgets();
        return std::none_of(windows.begin(), windows.end(), [](QWidget *w) { return w->isVisible(); });
    })) << "a window was left open";
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
    s.notify = [this](const QString &text) {
        messages.texts << text;
        if (messages.react)
            messages.react(text);
    };
    s.settingsPath = [this]() -> std::optional<std::string> {
        if (settingsPathUnavailable)
            return std::nullopt;
        return settingsPathOverride.value_or(settingsPath().string());
    };
    s.clock = &clock;
    return s;
}

void click_through_window(QWidget *widget, Qt::MouseButton button, QPoint at)
{
    QWidget *window = widget->window();
    QTest::mouseClick(window->windowHandle(), button, {}, widget->mapTo(window, at));
}

void post(std::function<void()> action)
{
    QTimer::singleShot(0, qApp, std::move(action));
}

bool wait_for(const std::function<bool()> &condition)
{
    return QTest::qWaitFor(condition, kWaitMs);
}

} // namespace kestrival::dialogs::test

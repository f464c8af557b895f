// Runs the whole 94-second upgrade timetable on the real clock and reports how late each
// change reached the screen (the paint that shows it) and the CPU the run cost.
#include "dialogs/event_loop_clock.h"
#include "dialogs/upgrade_run.h"

#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QProgressBar>
#include <QSysInfo>
#include <QThread>
#include <QVBoxLayout>
#include <QWidget>

#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <array>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace kestrival::dialogs;
using Clock = std::chrono::steady_clock;
using std::chrono::duration;
using std::chrono::milliseconds;
using Ms = duration<double, std::milli>;

constexpr Ms kLatenessTarget(5.0);
constexpr double kCpuTargetPercent = 1.0;
constexpr double kP99 = 0.99;
constexpr std::size_t kWorstShown = 5;

// The moment each bar position and each status text was first set, and first painted.
struct Stamps {
    std::map<int, Clock::time_point> barSet;
    std::map<int, Clock::time_point> barShown;
    std::map<QString, Clock::time_point> textSet;
    std::map<QString, Clock::time_point> textShown;
};

template <class Key> void stamp_first(std::map<Key, Clock::time_point> &m, const Key &key)
{
    m.try_emplace(key, Clock::now());
}

class PaintStamper final : public QObject {
public:
    PaintStamper(QLabel *status, QProgressBar *bar, Stamps &stamps)
        : status_(status), bar_(bar), stamps_(stamps)
    {
        status_->installEventFilter(this);
        bar_->installEventFilter(this);
        QObject::connect(bar_, &QProgressBar::valueChanged, this,
                         [this](int value) { stamp_first(stamps_.barSet, value); });
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::Paint)
            return false;
        if (watched == bar_)
            stamp_first(stamps_.barShown, bar_->value());
        else if (watched == status_)
            stamp_first(stamps_.textShown, status_->text());
        return false;
    }

private:
    QLabel *status_;
    QProgressBar *bar_;
    Stamps &stamps_;
};

// The run's two controls on a plain window, driven the way the upgrade dialog drives them.
class BarAndStatus final : public RunView {
public:
    BarAndStatus(QLabel *status, QProgressBar *bar, Stamps &stamps)
        : status_(status), bar_(bar), stamps_(stamps)
    {
    }
    void setStatus(const QString &text) override
    {
        if (status_->text() != text)
            stamp_first(stamps_.textSet, text);
        status_->setText(text);
    }
    void prepareBar() override
    {
        bar_->setRange(0, kRunSteps);
        bar_->setValue(0);
    }
    // QProgressBar skips the repaint of a step narrower than the style's chunk width.
    void stepBar() override
    {
        bar_->setValue(bar_->value() + 1);
        bar_->update();
    }

private:
    QLabel *status_;
    QProgressBar *bar_;
    Stamps &stamps_;
};

struct CpuTime {
    Ms user;
    Ms system;
};

CpuTime cpu_time()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto ms = [](const timeval &tv) {
        return Ms(static_cast<double>(tv.tv_sec) * 1e3 + static_cast<double>(tv.tv_usec) / 1e3);
    };
    return {ms(usage.ru_utime), ms(usage.ru_stime)};
}

// Nearest-rank percentile of an unsorted sample.
Ms percentile(std::vector<Ms> sample, double p)
{
    std::sort(sample.begin(), sample.end());
    const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(sample.size())));
    return sample[std::max<std::size_t>(rank, 1) - 1];
}

std::optional<Ms> late(const std::map<int, Clock::time_point> &m, int key, Clock::time_point ideal)
{
    const auto it = m.find(key);
    if (it == m.end())
        return std::nullopt;
    return Ms(it->second - ideal);
}

std::optional<Ms> late(const std::map<QString, Clock::time_point> &m, const QString &key,
                       Clock::time_point ideal)
{
    const auto it = m.find(key);
    if (it == m.end())
        return std::nullopt;
    return Ms(it->second - ideal);
}

void print_late(const char *label, std::optional<Ms> value)
{
    if (value)
        std::printf(" %s %8.3f ms", label, value->count());
    else
        std::printf(" %s   (none)   ", label);
}

std::string cpu_model()
{
    std::FILE *f = std::fopen("/proc/cpuinfo", "r");
    if (f == nullptr)
        return "unknown";
    std::array<char, 512> line{};
    std::string model = "unknown";
    while (std::fgets(line.data(), static_cast<int>(line.size()), f) != nullptr) {
        const std::string text(line.data());
        if (text.rfind("model name", 0) == 0) {
            model = text.substr(text.find(':') + 2);
            model.erase(model.find_last_not_of("\r\n") + 1);
            break;
        }
    }
    std::fclose(f);
    return model;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    Stamps stamps;
    QWidget window;
    auto *layout = new QVBoxLayout(&window);
    auto *status = new QLabel(QStringLiteral("20240102"), &window);
    auto *bar = new QProgressBar(&window);
    bar->setTextVisible(false);
    layout->addWidget(status);
    layout->addWidget(bar);
    const PaintStamper stamper(status, bar, stamps);
    BarAndStatus view(status, bar, stamps);
    window.show();
    EventLoopClock clock;
    clock.waitUntil(clock.now() + milliseconds(500));

    std::printf("Timetable bench: platform %s, %d CPUs (%s), %s\n",
                qPrintable(QGuiApplication::platformName()), QThread::idealThreadCount(),
                cpu_model().c_str(), qPrintable(QSysInfo::prettyProductName()));
    std::printf("Running the whole timetable (94 s)...\n");
    std::fflush(stdout);

    const CpuTime cpuBefore = cpu_time();
    const Clock::time_point start = clock.now();
    run_timetable(clock, view);
    // The last step's paint happens in the next pass of the event loop.
    clock.waitUntil(clock.now() + milliseconds(200));
    const Clock::time_point end = clock.now();
    const CpuTime cpuAfter = cpu_time();

    std::vector<Clock::time_point> ideal;
    Clock::time_point t = start;
    for (int i = 0; i < kRunSteps; ++i) {
        t += pause_before_step(i);
        ideal.push_back(t);
    }

    struct Change {
        const char *name;
        int step;
        std::optional<QString> text;
    };
    const Change changes[] = {
        {"first step", 0, std::nullopt},
        {"Unzip files...", 11, phase_text_for_step(11)},
        {"Patch files...", 25, phase_text_for_step(25)},
        {"full bar", kRunSteps - 1, std::nullopt},
    };
    bool allOnTime = true;
    std::printf("\nPhase changes (lateness after the ideal time; set = control updated, shown = "
                "painted):\n");
    for (const Change &c : changes) {
        const Clock::time_point at = ideal[static_cast<std::size_t>(c.step)];
        std::printf("  %7.3f s  %-15s", Ms(at - start).count() / 1e3, c.name);
        const auto set = c.text ? late(stamps.textSet, *c.text, at)
                                : late(stamps.barSet, c.step + 1, at);
        const auto shown = c.text ? late(stamps.textShown, *c.text, at)
                                  : late(stamps.barShown, c.step + 1, at);
        print_late("set", set);
        print_late("shown", shown);
        std::printf("\n");
        allOnTime = allOnTime && shown && *shown <= kLatenessTarget && *shown >= Ms(0);
    }

    std::vector<Ms> setLate;
    std::vector<Ms> shownLate;
    for (int i = 0; i < kRunSteps; ++i) {
        const Clock::time_point at = ideal[static_cast<std::size_t>(i)];
        if (const auto s = late(stamps.barSet, i + 1, at))
            setLate.push_back(*s);
        if (const auto s = late(stamps.barShown, i + 1, at))
            shownLate.push_back(*s);
    }
    std::printf("\nSteps: %zu set, %zu shown of %d\n", setLate.size(), shownLate.size(), kRunSteps);
    for (const auto &[name, sample] : {std::pair{"set  ", &setLate}, std::pair{"shown", &shownLate}}) {
        if (sample->empty())
            continue;
        std::printf("  %s lateness: min %.3f  median %.3f  p99 %.3f  max %.3f ms\n", name,
                    percentile(*sample, 0.0).count(), percentile(*sample, 0.5).count(),
                    percentile(*sample, kP99).count(),
                    std::max_element(sample->begin(), sample->end())->count());
    }
    std::vector<std::pair<Ms, int>> worst;
    for (int i = 0; i < kRunSteps; ++i) {
        if (const auto s = late(stamps.barShown, i + 1, ideal[static_cast<std::size_t>(i)]))
            worst.emplace_back(*s, i);
    }
    std::sort(worst.rbegin(), worst.rend());
    worst.resize(std::min(worst.size(), kWorstShown));
    std::printf("  latest shown:");
    for (const auto &[lateness, step] : worst)
        std::printf("  step %d %.3f ms", step, lateness.count());
    std::printf("\n");
    allOnTime = allOnTime && shownLate.size() == static_cast<std::size_t>(kRunSteps) &&
                *std::max_element(shownLate.begin(), shownLate.end()) <= kLatenessTarget;

    const Ms wall = end - start;
    const Ms cpu = (cpuAfter.user - cpuBefore.user) + (cpuAfter.system - cpuBefore.system);
    const double cpuPercent = 100.0 * cpu / wall;
    std::printf("\nCPU: user %.1f ms + sys %.1f ms over %.3f s = %.3f %% of one core\n",
                (cpuAfter.user - cpuBefore.user).count(),
                (cpuAfter.system - cpuBefore.system).count(), wall.count() / 1e3, cpuPercent);
    std::printf("\nTargets: every change shown within %.0f ms: %s; CPU below %.0f %%: %s\n",
                kLatenessTarget.count(), allOnTime ? "met" : "MISSED", kCpuTargetPercent,
                cpuPercent < kCpuTargetPercent ? "met" : "MISSED");
    return shownLate.empty() ? 1 : 0;
}

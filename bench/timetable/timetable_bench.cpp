// Runs the whole 94-second upgrade timetable on the real clock and reports how late each
// change reached the screen (the paint that shows it) and the CPU the run cost.
#include "dialogs/qt/dialog_builder.h"
#include "dialogs/qt/event_loop_clock.h"
#include "dialogs/upgrade_run.h"
#include "dialogs/qt/upgradedlg.h"
#include "version/constants.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QEvent>
#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStringList>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <string_view>
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
constexpr milliseconds kSettle(500);

// The moment each bar position was first set, and each position and status text first painted.
struct Stamps {
    std::map<int, Clock::time_point> barSet;
    std::map<int, Clock::time_point> barShown;
    std::map<QString, Clock::time_point> textShown;
};

template <class Key> void stamp_first(std::map<Key, Clock::time_point> &m, const Key &key)
{
    m.try_emplace(key, Clock::now());
}

class PaintStamper final : public QObject {
public:
    PaintStamper(QLabel *status, QProgressBar *bar, Stamps &stamps) : status_(status), bar_(bar), stamps_(stamps)
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

// The real clock, noting when the run asked it for its start.
class StampingClock final : public RunClock {
public:
    TimePoint now() override
    {
        const TimePoint t = real_.now();
        if (!start)
            start = t;
        return t;
    }
    void waitUntil(TimePoint deadline) override { real_.waitUntil(deadline); }

    std::optional<TimePoint> start;

private:
    EventLoopClock real_;
};

QString path_in(const QTemporaryDir &dir, std::string_view name)
{
    return dir.filePath(QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())));
}

// An installation in a scratch directory, entered as the working directory.
bool make_installation(const QTemporaryDir &dir)
{
    QFile s(path_in(dir, kestrival::version::kSettingsFileName));
    QFile p(path_in(dir, kestrival::version::kPackageFileName));
    if (!s.open(QIODevice::WriteOnly) || s.write("[DB]\r\nVersion=20240102\r\n") < 0 || !p.open(QIODevice::WriteOnly)
        || p.write("patch") < 0)
        return false;
    s.close();
    p.close();
    return QDir::setCurrent(dir.path());
}

struct CpuTime {
    Ms user;
    Ms system;
};

CpuTime cpu_time()
{
    rusage usage {};
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

// How long after `ideal` the key was stamped, if it ever was.
template <class Key>
std::optional<Ms> late(const std::map<Key, Clock::time_point> &m, const Key &key, Clock::time_point ideal)
{
    const auto it = m.find(key);
    if (it == m.end())
        return std::nullopt;
    return Ms(it->second - ideal);
}

std::string cpu_model()
{
    std::FILE *f = std::fopen("/proc/cpuinfo", "r");
    if (f == nullptr)
        return "unknown";
    std::array<char, 512> line {};
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

struct Run {
    Clock::time_point press;
    Clock::time_point start; // the timetable's own start, after the settings write
    Clock::time_point done; // the completion message
    Ms cpu {};
    Stamps stamps;
    QStringList messages;
};

// Presses "升级" on the real dialog, with its real clock, and waits for the dialog to end.
std::optional<Run> run_dialog(const QString &settingsPath)
{
    Run run;
    StampingClock clock;
    CpuTime cpuAtPress {};
    kestrival::dialogs::UpgradeDlgSeams seams;
    seams.clock = &clock;
    seams.settingsPath = [path = settingsPath.toStdString()] { return std::optional<std::string>(path); };
    seams.notify = [&](const QString &text, QWidget *) {
        run.done = Clock::now();
        const CpuTime cpu = cpu_time();
        run.cpu = (cpu.user - cpuAtPress.user) + (cpu.system - cpuAtPress.system);
        run.messages << text;
    };
    CUpgradeDlg dialog(seams);
    auto *status = dialog.findChild<QLabel *>(QStringLiteral("IDC_VERSION"));
    auto *ok = dialog.findChild<QPushButton *>(QStringLiteral("IDOK"));
    if (status == nullptr || ok == nullptr)
        return std::nullopt;
    const PaintStamper stamper(status, dialog.m_progress, run.stamps);

    // Pressed once the dialog has been up and painted for a while.
    QTimer::singleShot(kSettle, &dialog, [&] {
        cpuAtPress = cpu_time();
        run.press = Clock::now();
        ok->click();
    });
    if (dialog.DoModal() != QDialog::Accepted || !clock.start)
        return std::nullopt;
    run.start = *clock.start;
    return run;
}

// Each returns the latest of its changes after the run's start, or nothing if one never showed.
std::optional<Ms> print_phase_changes(const Run &run, const std::vector<Clock::time_point> &ideal)
{
    struct Change {
        const char *name;
        int step;
        bool text;
    };
    const Change changes[] = {
        {"first step", 0, false},
        {"Unzip files...", 11, true},
        {"Patch files...", 25, true},
        {"full bar", kRunSteps - 1, false},
    };
    const Ms writeDelay = run.start - run.press;
    std::optional<Ms> latest = Ms(0);
    std::printf("\nPhase changes, lateness of the paint that shows each (ms):\n");
    std::printf("  %-9s %-15s %14s %14s\n", "ideal", "change", "after start", "after press");
    for (const Change &c : changes) {
        const Clock::time_point at = ideal[static_cast<std::size_t>(c.step)];
        const auto shown = c.text ? late(run.stamps.textShown, to_qstring(phase_text_for_step(c.step)), at)
                                  : late(run.stamps.barShown, c.step + 1, at);
        std::printf("  %7.3f s %-15s", Ms(at - run.start).count() / 1e3, c.name);
        if (shown)
            std::printf(" %14.3f %14.3f\n", shown->count(), (*shown + writeDelay).count());
        else
            std::printf(" %14s %14s\n", "never", "never");
        latest = shown && latest ? std::optional(std::max(*shown, *latest)) : std::nullopt;
    }
    return latest;
}

std::optional<Ms> print_steps(const Run &run, const std::vector<Clock::time_point> &ideal)
{
    std::vector<Ms> setLate;
    std::vector<Ms> shownLate;
    std::vector<std::pair<Ms, int>> worst;
    for (int i = 0; i < kRunSteps; ++i) {
        const Clock::time_point at = ideal[static_cast<std::size_t>(i)];
        if (const auto s = late(run.stamps.barSet, i + 1, at))
            setLate.push_back(*s);
        if (const auto s = late(run.stamps.barShown, i + 1, at)) {
            shownLate.push_back(*s);
            worst.emplace_back(*s, i);
        }
    }
    std::printf("\nBar steps, lateness after the run's start (ms): %zu set, %zu shown of %d\n", setLate.size(),
                shownLate.size(), kRunSteps);
    for (const auto &[name, sample] : {std::pair {"set  ", &setLate}, std::pair {"shown", &shownLate}}) {
        if (sample->empty())
            continue;
        std::printf("  %s: min %.3f  median %.3f  p99 %.3f  max %.3f\n", name, percentile(*sample, 0.0).count(),
                    percentile(*sample, 0.5).count(), percentile(*sample, kP99).count(),
                    std::max_element(sample->begin(), sample->end())->count());
    }
    std::sort(worst.rbegin(), worst.rend());
    worst.resize(std::min(worst.size(), kWorstShown));
    std::printf("  latest shown:");
    for (const auto &[lateness, step] : worst)
        std::printf("  step %d %.3f", step, lateness.count());
    std::printf("\n");
    if (shownLate.size() != static_cast<std::size_t>(kRunSteps))
        return std::nullopt;
    return *std::max_element(shownLate.begin(), shownLate.end());
}

} // namespace

int main(int argc, char **argv)
{
    // The display given, or none at all.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")
        && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    QTemporaryDir dir;
    if (!dir.isValid() || !make_installation(dir)) {
        std::fprintf(stderr,
                     "timetable bench: can't make an installation in a temporary "
                     "directory\n");
        return 2;
    }
    std::printf("Timetable bench: %s, platform %s, %d CPUs (%s), %s\n",
                qPrintable(QDateTime::currentDateTimeUtc().toString(Qt::ISODate)),
                qPrintable(QGuiApplication::platformName()), QThread::idealThreadCount(), cpu_model().c_str(),
                qPrintable(QSysInfo::prettyProductName()));
    std::printf("Pressing \"升级\" on the upgrade dialog; the run takes 94 s...\n");
    std::fflush(stdout);

    const auto run = run_dialog(path_in(dir, kestrival::version::kSettingsFileName));
    if (!run || run->messages != QStringList {QStringLiteral("升级完成")}) {
        std::fprintf(stderr, "timetable bench: the run did not complete\n");
        return 1;
    }

    std::vector<Clock::time_point> ideal;
    Clock::time_point t = run->start;
    for (int i = 0; i < kRunSteps; ++i) {
        t += pause_before_step(i);
        ideal.push_back(t);
    }
    std::printf("\nPress to the timetable's start (the settings write): %.3f ms\n",
                Ms(run->start - run->press).count());
    const auto phasesLatest = print_phase_changes(*run, ideal);
    const auto stepsLatest = print_steps(*run, ideal);

    const Ms wall = run->done - run->press;
    const double cpuPercent = 100.0 * run->cpu / wall;
    std::printf("\nCPU from press to completion message: %.1f ms over %.3f s = %.3f %% of one "
                "core\n",
                run->cpu.count(), wall.count() / 1e3, cpuPercent);
    const auto verdict = [&](Ms offset) {
        const bool met
            = phasesLatest && stepsLatest && std::max(*phasesLatest, *stepsLatest) + offset <= kLatenessTarget;
        return met ? "met" : "MISSED";
    };
    std::printf("\nTargets: every change shown within %.0f ms of its time counted from the "
                "run's start: %s; from the press: %s\n",
                kLatenessTarget.count(), verdict(Ms(0)), verdict(run->start - run->press));
    std::printf("         CPU below %.0f %% of one core: %s\n", kCpuTargetPercent,
                cpuPercent < kCpuTargetPercent ? "met" : "MISSED");
    return 0;
}

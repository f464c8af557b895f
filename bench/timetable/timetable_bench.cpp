// Runs the whole 94-second upgrade timetable on the real clock and reports how late each
// change reached the screen (the paint that shows it) and the CPU the run cost.
#include "bench/timetable/report.h"
#include "dialogs/qt/dialog_builder.h"
#include "dialogs/qt/event_loop_clock.h"
#include "dialogs/qt/upgradedlg.h"
#include "dialogs/upgrade_run.h"
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

#include <array>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace {

using namespace kestrival::dialogs;
using namespace kestrival::bench;
using std::chrono::milliseconds;

constexpr milliseconds kSettle(500);

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
            stamp_first(stamps_.textShown, status_->text().toStdString());
        return false;
    }

private:
    QLabel *status_;
    QProgressBar *bar_;
    Stamps &stamps_;
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

// Presses "升级" on the real dialog, with its real clock, and waits for the dialog to end.
std::optional<Run> run_dialog(const QString &settingsPath, QStringList &messages)
{
    Run run;
    StampingClock<EventLoopClock> clock;
    CpuTime cpuAtPress {};
    kestrival::dialogs::UpgradeDlgSeams seams;
    seams.clock = &clock;
    seams.settingsPath = [path = settingsPath.toStdString()] { return std::optional<std::string>(path); };
    seams.notify = [&](const QString &text, QWidget *) {
        run.done = Clock::now();
        const CpuTime cpu = cpu_time();
        run.cpu = (cpu.user - cpuAtPress.user) + (cpu.system - cpuAtPress.system);
        messages << text;
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

    QStringList messages;
    const auto run = run_dialog(path_in(dir, kestrival::version::kSettingsFileName), messages);
    if (!run || messages != QStringList {QStringLiteral("升级完成")}) {
        std::fprintf(stderr, "timetable bench: the run did not complete\n");
        return 1;
    }

    print_report(*run);
    return 0;
}

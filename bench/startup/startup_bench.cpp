// Start-up and peak memory of Kestrival against the bare dialog, under the X display in $DISPLAY.
//
// Each run spawns a program and listens on the root window for it to map its dialog
// (SubstructureNotify), so the figure has no polling granularity; the peak resident size comes
// from wait4's rusage once the dialog has been closed through WM_DELETE_WINDOW.
#include <xcb/xcb.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kDefaultRuns = 15;
constexpr int kWarmupRuns = 2;
constexpr std::chrono::seconds kMapTimeout {30};
constexpr std::chrono::seconds kExitTimeout {10};
constexpr std::chrono::milliseconds kChildCheckInterval {100};
constexpr std::chrono::milliseconds kExitPollInterval {5};
constexpr double kTargetRatio = 1.15;
constexpr std::string_view kDialogTitle = "Kestrival";
constexpr std::string_view kDemoSettings = "[DB]\r\nVersion=20230115\r\n";
constexpr std::string_view kDemoPackage = "demo upgrade package\n";

struct Sample {
    double startupMs = 0;
    double peakKib = 0;
    // Unlike the wall-clock figure, barely moved by other processes sharing the machine.
    double cpuMs = 0;
};

struct Program {
    std::string label;
    fs::path path;
    std::vector<Sample> samples;
};

class Display {
public:
    Display() : m_conn(xcb_connect(nullptr, nullptr))
    {
        if (xcb_connection_has_error(m_conn) != 0)
            return;
        m_root = xcb_setup_roots_iterator(xcb_get_setup(m_conn)).data->root;
        const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
        xcb_change_window_attributes(m_conn, m_root, XCB_CW_EVENT_MASK, &mask);
        m_pid = atom("_NET_WM_PID");
        m_name = atom("_NET_WM_NAME");
        m_protocols = atom("WM_PROTOCOLS");
        m_delete = atom("WM_DELETE_WINDOW");
        xcb_flush(m_conn);
    }
    ~Display() { xcb_disconnect(m_conn); }
    Display(const Display &) = delete;
    Display &operator=(const Display &) = delete;

    [[nodiscard]] bool ok() const { return xcb_connection_has_error(m_conn) == 0; }

    void drain()
    {
        while (xcb_generic_event_t *ev = xcb_poll_for_event(m_conn))
            std::free(ev);
    }

    // Waits for `pid` to map a top-level window titled kDialogTitle; gives that window and the
    // moment its MapNotify was read, or nothing when the child exits or the time runs out.
    std::optional<std::pair<xcb_window_t, Clock::time_point>> waitForDialog(pid_t pid)
    {
        const auto deadline = Clock::now() + kMapTimeout;
        while (Clock::now() < deadline) {
            while (xcb_generic_event_t *ev = xcb_poll_for_event(m_conn)) {
                const auto at = Clock::now();
                std::optional<xcb_window_t> mapped;
                if ((ev->response_type & 0x7f) == XCB_MAP_NOTIFY)
                    mapped = reinterpret_cast<xcb_map_notify_event_t *>(ev)->window;
                std::free(ev);
                if (mapped && ownedBy(*mapped, pid) && title(*mapped) == kDialogTitle)
                    return std::make_pair(*mapped, at);
            }
            if (!ok())
                return std::nullopt;
            pollfd pfd {xcb_get_file_descriptor(m_conn), POLLIN, 0};
            const int ready = ::poll(&pfd, 1, static_cast<int>(kChildCheckInterval.count()));
            if (ready == 0 && ::waitpid(pid, nullptr, WNOHANG) != 0)
                return std::nullopt;
        }
        return std::nullopt;
    }

    void requestClose(xcb_window_t window)
    {
        xcb_client_message_event_t msg {};
        msg.response_type = XCB_CLIENT_MESSAGE;
        msg.format = 32;
        msg.window = window;
        msg.type = m_protocols;
        msg.data.data32[0] = m_delete;
        msg.data.data32[1] = XCB_CURRENT_TIME;
        xcb_send_event(m_conn, 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char *>(&msg));
        xcb_flush(m_conn);
    }

private:
    xcb_atom_t atom(const char *name)
    {
        xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(
            m_conn, xcb_intern_atom(m_conn, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
        const xcb_atom_t result = reply ? reply->atom : xcb_atom_t {XCB_ATOM_NONE};
        std::free(reply);
        return result;
    }

    std::string property(xcb_window_t window, xcb_atom_t name, xcb_atom_t type)
    {
        constexpr uint32_t kMaxWords = 256;
        xcb_get_property_reply_t *reply
            = xcb_get_property_reply(m_conn, xcb_get_property(m_conn, 0, window, name, type, 0, kMaxWords), nullptr);
        std::string value;
        if (reply) {
            value.assign(static_cast<const char *>(xcb_get_property_value(reply)),
                         static_cast<size_t>(xcb_get_property_value_length(reply)));
            std::free(reply);
        }
        return value;
    }

    bool ownedBy(xcb_window_t window, pid_t pid)
    {
        const std::string value = property(window, m_pid, XCB_ATOM_CARDINAL);
        uint32_t owner = 0;
        if (value.size() != sizeof owner)
            return false;
        std::memcpy(&owner, value.data(), sizeof owner);
        return owner == static_cast<uint32_t>(pid);
    }

    std::string title(xcb_window_t window) { return property(window, m_name, XCB_GET_PROPERTY_TYPE_ANY); }

    xcb_connection_t *m_conn;
    xcb_window_t m_root = XCB_WINDOW_NONE;
    xcb_atom_t m_pid = XCB_ATOM_NONE;
    xcb_atom_t m_name = XCB_ATOM_NONE;
    xcb_atom_t m_protocols = XCB_ATOM_NONE;
    xcb_atom_t m_delete = XCB_ATOM_NONE;
};

pid_t spawnIn(const fs::path &program, const fs::path &workdir)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, workdir.c_str());
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::string path = program.string();
    char *argv[] = {path.data(), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Waits for `pid` to end, killing it once kExitTimeout has passed; gives its resource usage.
rusage reap(pid_t pid)
{
    rusage usage {};
    int status = 0;
    const auto deadline = Clock::now() + kExitTimeout;
    while (::wait4(pid, &status, WNOHANG, &usage) == 0) {
        if (Clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::wait4(pid, &status, 0, &usage);
            break;
        }
        std::this_thread::sleep_for(kExitPollInterval);
    }
    return usage;
}

std::optional<Sample> measure(Display &display, const Program &program, const fs::path &workdir)
{
    display.drain();
    const auto start = Clock::now();
    const pid_t pid = spawnIn(program.path, workdir);
    if (pid < 0)
        return std::nullopt;
    const auto shown = display.waitForDialog(pid);
    if (!shown) {
        ::kill(pid, SIGKILL);
        reap(pid);
        return std::nullopt;
    }
    display.requestClose(shown->first);
    Sample sample;
    sample.startupMs = std::chrono::duration<double, std::milli>(shown->second - start).count();
    const rusage usage = reap(pid);
    const auto ms = [](timeval t) { return double(t.tv_sec) * 1e3 + double(t.tv_usec) / 1e3; };
    sample.peakKib = double(usage.ru_maxrss);
    sample.cpuMs = ms(usage.ru_utime) + ms(usage.ru_stime);
    return sample;
}

struct Summary {
    double median = 0;
    double minimum = 0;
};

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

Summary summarise(const Program &program, double Sample::*field)
{
    std::vector<double> values;
    for (const Sample &sample : program.samples)
        values.push_back(sample.*field);
    std::sort(values.begin(), values.end());
    return {median(values), values.front()};
}

bool writeFile(const fs::path &path, std::string_view content)
{
    std::ofstream out(path, std::ios::binary);
    out << content;
    return bool(out.flush());
}

// The installation Kestrival expects: itself, tsetting.ini and the package in one directory.
std::optional<fs::path> makeInstallation(const fs::path &kestrival)
{
    std::string tmpl = (fs::temp_directory_path() / "kestrival-bench-XXXXXX").string();
    if (!::mkdtemp(tmpl.data()))
        return std::nullopt;
    const fs::path dir = tmpl;
    std::error_code ec;
    fs::copy_file(kestrival, dir / "Kestrival", ec);
    if (ec || !writeFile(dir / "tsetting.ini", kDemoSettings)
        || !writeFile(dir / "HarrowglimmerPatch.dat", kDemoPackage))
        return std::nullopt;
    return dir;
}

void printRow(const char *what, Summary real, Summary bare)
{
    const double ratio = real.median / bare.median;
    std::printf("  %-24s %9.1f %9.1f   %9.1f %9.1f   %8.3f %8.3f   %s\n", what, real.median, real.minimum, bare.median,
                bare.minimum, ratio, real.minimum / bare.minimum, ratio <= kTargetRatio ? "met" : "MISSED");
}

int usage()
{
    std::fprintf(stderr, "usage: kestrival_startup_bench [--runs N] KESTRIVAL BARE_DIALOG\n");
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    int runs = kDefaultRuns;
    std::vector<std::string> paths;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--runs" && i + 1 < argc) {
            runs = std::atoi(argv[++i]);
        } else if (arg.starts_with("-")) {
            return usage();
        } else {
            paths.emplace_back(arg);
        }
    }
    if (paths.size() != 2 || runs < 1)
        return usage();

    Display display;
    if (!display.ok()) {
        std::fprintf(stderr, "kestrival_startup_bench: cannot connect to the X display\n");
        return 1;
    }
    const auto dir = makeInstallation(paths[0]);
    if (!dir) {
        std::fprintf(stderr, "kestrival_startup_bench: cannot set up a demo installation\n");
        return 1;
    }
    std::vector<Program> programs {{"Kestrival", *dir / "Kestrival", {}}, {"bare dialog", fs::absolute(paths[1]), {}}};

    int status = 0;
    for (int i = -kWarmupRuns; i < runs && status == 0; ++i) {
        // Alternating the order cancels a drift of the machine's load between the two.
        for (int k = 0; k < 2; ++k) {
            Program &program = programs[size_t((i + k) & 1)];
            const auto sample = measure(display, program, *dir);
            if (!sample) {
                std::fprintf(stderr, "kestrival_startup_bench: %s showed no dialog titled \"%s\"\n",
                             program.label.c_str(), std::string(kDialogTitle).c_str());
                status = 1;
                break;
            }
            if (i >= 0)
                program.samples.push_back(*sample);
        }
    }
    std::error_code ec;
    fs::remove_all(*dir, ec);
    if (status != 0)
        return status;

    const Program &real = programs[0];
    const Program &bare = programs[1];
    std::printf("Start-up and memory: %d runs of each, alternating, after %d warm-up runs of each.\n"
                "Target: Kestrival's median within %.2fx the bare dialog's.\n\n",
                runs, kWarmupRuns, kTargetRatio);
    std::printf("  %-24s %-21s   %-21s   %-17s   %s\n", "", "Kestrival", "bare dialog", "ratio of", "target");
    std::printf("  %-24s %9s %9s   %9s %9s   %8s %8s\n", "", "median", "min", "median", "min", "medians", "minimums");
    printRow("start-up to map (ms)", summarise(real, &Sample::startupMs), summarise(bare, &Sample::startupMs));
    printRow("peak resident (KiB)", summarise(real, &Sample::peakKib), summarise(bare, &Sample::peakKib));
    printRow("CPU time, whole run (ms)", summarise(real, &Sample::cpuMs), summarise(bare, &Sample::cpuMs));

    // Each pair ran back to back, so its ratio is the one least touched by a change of load.
    std::vector<double> pairRatios;
    for (size_t i = 0; i < real.samples.size(); ++i)
        pairRatios.push_back(real.samples[i].startupMs / bare.samples[i].startupMs);
    std::printf("\n  start-up, median of the %zu back-to-back pairs' ratios: %.3f\n", pairRatios.size(),
                median(pairRatios));
    return 0;
}

// Probing for a display without the toolkit.
#include "app/qt/display_probe.h"

#include <xcb/xcb.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ranges>
#include <string>
#include <string_view>

namespace kestrival::app {

namespace {

// A display that takes the connection but says nothing for this long never will.
constexpr unsigned kAnswerSeconds = 3;

std::string env(const char *name)
{
    const char *value = std::getenv(name);
    return value ? value : "";
}

// The line for a display that takes the connection and then says nothing; made before each
// question, as the signal handler that gives it may only write.
char g_noAnswer[512];

extern "C" void on_no_answer(int)
{
    ssize_t ignored = write(STDERR_FILENO, g_noAnswer, std::strlen(g_noAnswer));
    (void)ignored;
    _exit(1);
}

void expect_answer_from(const std::string &display)
{
    std::snprintf(g_noAnswer, sizeof(g_noAnswer), "Kestrival: no display to open a window on: %s does not answer\n",
                  display.c_str());
    std::signal(SIGALRM, on_no_answer);
    alarm(kAnswerSeconds);
}

// Empty when the X display answers and has the screen DISPLAY names; the toolkit aborts or
// crashes on any other.
std::string x_problem()
{
    const std::string display = env("DISPLAY");
    if (display.empty())
        return "DISPLAY is not set";
    const std::string named = "the X display \"" + display + "\"";
    expect_answer_from(named);
    int screen = 0;
    xcb_connection_t *connection = xcb_connect(display.c_str(), &screen);
    const int error = xcb_connection_has_error(connection);
    std::string problem;
    if (error == XCB_CONN_CLOSED_INVALID_SCREEN
        || (!error && (screen < 0 || screen >= xcb_setup_roots_length(xcb_get_setup(connection)))))
        problem = named + " has no screen " + std::to_string(screen);
    else if (error)
        problem = "cannot connect to " + named;
    xcb_disconnect(connection);
    return problem;
}

// Empty when the Wayland display answers a round trip (wl_display.sync), which the toolkit
// waits for before anything else.
std::string wayland_problem()
{
    std::string name = env("WAYLAND_DISPLAY");
    if (name.empty())
        name = "wayland-0";
    const std::string named = "the Wayland display \"" + name + "\"";
    const std::string runtimeDir = env("XDG_RUNTIME_DIR");
    const std::string path = name.front() == '/' ? name : runtimeDir + "/" + name;
    sockaddr_un address {};
    if ((name.front() != '/' && runtimeDir.empty()) || path.size() >= sizeof(address.sun_path))
        return "cannot connect to " + named;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    expect_answer_from(named);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // To wl_display (object 1) its request 0, sync, 12 bytes long, naming its callback object 2.
    const std::uint32_t sync[3] = {1, 12u << 16, 2};
    char reply[64];
    const bool ok = fd >= 0 && connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) == 0
        && send(fd, sync, sizeof(sync), MSG_NOSIGNAL) == sizeof(sync) && read(fd, reply, sizeof(reply)) > 0;
    if (fd >= 0)
        close(fd);
    return ok ? "" : "cannot connect to " + named;
}

} // namespace

void require_display()
{
    std::string platforms = env("QT_QPA_PLATFORM");
    // The toolkit's own default.
    if (platforms.empty())
        platforms = env("WAYLAND_DISPLAY").empty() ? "xcb" : "wayland;xcb";
    std::string problems;
    for (const auto part : std::views::split(std::string_view(platforms), ';')) {
        const std::string platform(part.begin(), part.end());
        const std::string_view name = std::string_view(platform).substr(0, platform.find(':'));
        if (name.empty())
            continue;
        const std::string problem = name == "xcb" ? x_problem() : name.starts_with("wayland") ? wayland_problem() : "";
        alarm(0);
        std::signal(SIGALRM, SIG_DFL);
        if (problem.empty()) {
            // This one alone, so the toolkit never waits on one found wanting.
            setenv("QT_QPA_PLATFORM", platform.c_str(), 1);
            return;
        }
        problems += (problems.empty() ? "" : "; ") + problem;
    }
    std::fprintf(stderr, "Kestrival: no display to open a window on: %s\n",
                 problems.empty() ? "QT_QPA_PLATFORM names no platform" : problems.c_str());
    std::exit(1);
}

} // namespace kestrival::app

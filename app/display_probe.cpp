// Probing for a display without the toolkit.
#include "app/display_probe.h"

#include <xcb/xcb.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace kestrival::app {

namespace {

std::string env(const char *name)
{
    const char *value = std::getenv(name);
    return value ? value : "";
}

bool x_display_accepts(const std::string &display)
{
    xcb_connection_t *connection = xcb_connect(display.c_str(), nullptr);
    const bool ok = xcb_connection_has_error(connection) == 0;
    xcb_disconnect(connection);
    return ok;
}

bool wayland_socket_accepts(const std::string &display)
{
    std::string path = display;
    if (path.front() != '/') {
        const std::string runtimeDir = env("XDG_RUNTIME_DIR");
        if (runtimeDir.empty())
            return false;
        path = runtimeDir + "/" + display;
    }
    sockaddr_un address {};
    if (path.size() >= sizeof(address.sun_path))
        return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const bool ok = connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) == 0;
    close(fd);
    return ok;
}

} // namespace

std::optional<std::string> find_display_problem()
{
    if (!env("QT_QPA_PLATFORM").empty())
        return std::nullopt;
    const std::string x = env("DISPLAY");
    const std::string wayland = env("WAYLAND_DISPLAY");
    if (!x.empty() && x_display_accepts(x))
        return std::nullopt;
    if (!wayland.empty() && wayland_socket_accepts(wayland)) {
        // The toolkit would try X first and abort where only Wayland answers.
        setenv("QT_QPA_PLATFORM", "wayland", 0);
        return std::nullopt;
    }
    if (x.empty() && wayland.empty())
        return "no display to open a window on: neither DISPLAY nor WAYLAND_DISPLAY is set";
    if (!x.empty())
        return "cannot connect to the X display \"" + x + "\"";
    return "cannot connect to the Wayland display \"" + wayland + "\"";
}

} // namespace kestrival::app

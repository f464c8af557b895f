#include "version/settings_path.h"

#include "version/constants.h"

#include <cerrno>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrival::version {

namespace {

// The first guess at the executable path's length; the buffer doubles until the path fits.
constexpr std::size_t kInitialPathBytes = 256;

// What the kernel appends to /proc/self/exe once the executable's file is gone.
constexpr std::string_view kDeletedSuffix = " (deleted)";

std::optional<std::string> read_link_fully(const char *link)
{
    std::string buf(kInitialPathBytes, '\0');
    for (;;) {
        const ssize_t got = ::readlink(link, buf.data(), buf.size());
        if (got < 0)
            return std::nullopt;
        if (static_cast<std::size_t>(got) < buf.size()) {
            buf.resize(static_cast<std::size_t>(got));
            return buf;
        }
        buf.resize(buf.size() * 2);
    }
}

bool names_running_executable(const std::string &path)
{
    struct stat named { };
    struct stat running { };
    return ::stat(path.c_str(), &named) == 0 && ::stat("/proc/self/exe", &running) == 0
        && named.st_dev == running.st_dev && named.st_ino == running.st_ino;
}

} // namespace

std::optional<std::string> settings_path_beside(const std::string &executable)
{
    const auto slash = executable.rfind('/');
    if (slash == std::string::npos)
        return std::nullopt;
    std::string path = executable.substr(0, slash + 1);
    path += kSettingsFileName;
    return path;
}

std::optional<std::string> build_settings_path()
{
    const auto executable = read_link_fully("/proc/self/exe");
    if (!executable || executable->empty())
        return std::nullopt;
    // A real file may end in " (deleted)"; only a path that no longer names us is refused.
    if (executable->ends_with(kDeletedSuffix) && !names_running_executable(*executable))
        return std::nullopt;
    return settings_path_beside(*executable);
}

} // namespace kestrival::version

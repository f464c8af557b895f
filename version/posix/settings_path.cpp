#include "version/settings_path.h"

#include "version/constants.h"

#include <filesystem>
#include <string_view>
#include <sys/stat.h>

namespace kestrival::version {

namespace {

// What the kernel appends to /proc/self/exe once the executable's file is gone.
constexpr std::string_view kDeletedSuffix = " (deleted)";

bool names_running_executable(const std::string &path)
{
    struct stat named { };
    struct stat running { };
    return ::stat(path.c_str(), &named) == 0 && ::stat("/proc/self/exe", &running) == 0
        && named.st_dev == running.st_dev && named.st_ino == running.st_ino;
}

} // namespace

std::optional<std::string> build_settings_path()
{
    std::error_code error;
    const std::string executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error || !executable.starts_with('/'))
        return std::nullopt;
    // A real file may end in " (deleted)"; only a path that no longer names us is refused.
    if (executable.ends_with(kDeletedSuffix) && !names_running_executable(executable))
        return std::nullopt;
    return executable.substr(0, executable.rfind('/') + 1) + std::string(kSettingsFileName);
}

} // namespace kestrival::version

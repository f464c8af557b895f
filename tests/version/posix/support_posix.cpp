#include "posix/support_posix.h"
#include "support.h"

#include <ctime>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrival::version::testing {

void make_node(const std::string &path, const char *link_to, mode_t mode, const std::string &bytes)
{
    int failed = 0;
    if (link_to != nullptr)
        failed = ::symlink(link_to, path.c_str());
    else if (S_ISDIR(mode))
        failed = ::mkdir(path.c_str(), mode & 07777);
    else if (S_ISFIFO(mode))
        failed = ::mkfifo(path.c_str(), mode & 07777);
    else if (mode != 0)
        write_file(path, bytes);
    if (failed != 0 || (link_to == nullptr && mode != 0 && ::chmod(path.c_str(), mode & 07777) != 0))
        throw std::runtime_error("can't make " + path);
}

ScopedUmask::ScopedUmask(unsigned mask) : previous_(::umask(static_cast<mode_t>(mask))) { }
ScopedUmask::~ScopedUmask() { ::umask(static_cast<mode_t>(previous_)); }

std::optional<unsigned> permission_bits(const std::string &path)
{
    struct stat st { };
    if (::stat(path.c_str(), &st) != 0)
        return std::nullopt;
    return st.st_mode & 07777;
}

// tmpfs keeps file times far outside what disk file systems store.
std::string any_time_dir() { return "/dev/shm"; }

bool set_last_write(const std::string &path, std::int64_t seconds)
{
    const timespec times[2] = {{seconds, 0}, {seconds, 0}};
    return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

std::int64_t last_write(const std::string &path)
{
    struct stat st { };
    return ::stat(path.c_str(), &st) == 0 ? st.st_mtim.tv_sec : -1;
}

CalendarDate local_today()
{
    const std::time_t now = std::time(nullptr);
    std::tm local {};
    ::localtime_r(&now, &local);
    return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday};
}

bool system_decodes_gb18030() { return true; }

} // namespace kestrival::version::testing

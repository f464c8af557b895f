#include "version/settings_file.h"

#include "version/posix/fd_source.h"
#include "version/posix/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace kestrival::version {

std::string read_installed_version(const std::string &path)
{
    // O_NONBLOCK lets a FIFO open at once instead of waiting for a writer; whatever is not a
    // regular file is then turned away before a byte is read.
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!fd.valid())
        return {};
    struct stat st { };
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return {};
    return read_version(FdSource(fd.get()));
}

} // namespace kestrival::version

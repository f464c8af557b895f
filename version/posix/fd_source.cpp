#include "version/posix/fd_source.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrival::version {

FdSource::FdSource(int fd) : fd_(fd)
{
    struct stat st { };
    if (::fstat(fd, &st) == 0 && st.st_size > 0)
        size_ = static_cast<std::uint64_t>(st.st_size);
}

std::size_t FdSource::read(std::uint64_t offset, char *buf, std::size_t n) const
{
    std::size_t done = 0;
    while (done < n && offset + done < size_) {
        const ssize_t got = ::pread(fd_, buf + done, n - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

} // namespace kestrival::version

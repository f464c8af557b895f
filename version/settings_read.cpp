#include "version/settings_file.h"

#include "version/fd_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrival::version {

namespace {

class FdCloser {
public:
    explicit FdCloser(int fd) : fd_(fd) { }
    ~FdCloser() { ::close(fd_); }
    FdCloser(const FdCloser &) = delete;
    FdCloser &operator=(const FdCloser &) = delete;

private:
    int fd_;
};

} // namespace

std::string read_installed_version(const std::string &path)
{
    // O_NONBLOCK lets a FIFO open at once instead of waiting for a writer; whatever is not a
    // regular file is then turned away before a byte is read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return {};
    const FdCloser closer(fd);
    struct stat st { };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return {};
    return read_version(FdSource(fd));
}

} // namespace kestrival::version

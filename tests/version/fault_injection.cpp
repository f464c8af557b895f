#include "fault_injection.h"

#include <array>
#include <cerrno>
#include <cstdarg>
#include <fcntl.h>
#include <sys/types.h>

namespace kestrival::version::testing {
namespace {

struct Fault {
    int skip = 0;
    int count = 0;
    int error = 0;
};

std::array<Fault, 7> faults;

// Whether this call is to fail; sets errno when it is.
bool fails(Call call)
{
    Fault &f = faults[static_cast<std::size_t>(call)];
    if (f.count == 0 || f.skip-- > 0)
        return false;
    f.count -= f.count > 0 ? 1 : 0;
    errno = f.error;
    return true;
}

} // namespace

void arm_fault(Call call, int error, int skip, int count)
{
    faults[static_cast<std::size_t>(call)] = {skip, count, error};
}

void disarm_faults() { faults = {}; }

} // namespace kestrival::version::testing

using kestrival::version::testing::Call;
using kestrival::version::testing::fails;

extern "C" {

int __real_openat(int dir_fd, const char *path, int flags, ...);
ssize_t __real_write(int fd, const void *buf, size_t size);
int __real_fsync(int fd);
int __real_fchmod(int fd, mode_t mode);
int __real_linkat(int old_dir, const char *old_path, int new_dir, const char *new_path, int flags);
int __real_renameat(int old_dir, const char *old_path, int new_dir, const char *new_path);

int __wrap_openat(int dir_fd, const char *path, int flags, ...)
{
    const bool unnamed = (flags & O_TMPFILE) == O_TMPFILE;
    mode_t mode = 0;
    if (unnamed || (flags & O_CREAT) != 0) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    if (unnamed && fails(Call::OpenUnnamed))
        return -1;
    if ((flags & O_CREAT) != 0 && fails(Call::CreateNamed))
        return -1;
    return __real_openat(dir_fd, path, flags, mode);
}

ssize_t __wrap_write(int fd, const void *buf, size_t size)
{
    return fails(Call::Write) ? -1 : __real_write(fd, buf, size);
}

int __wrap_fsync(int fd) { return fails(Call::Fsync) ? -1 : __real_fsync(fd); }

int __wrap_fchmod(int fd, mode_t mode) { return fails(Call::Fchmod) ? -1 : __real_fchmod(fd, mode); }

int __wrap_linkat(int old_dir, const char *old_path, int new_dir, const char *new_path, int flags)
{
    return fails(Call::Link) ? -1 : __real_linkat(old_dir, old_path, new_dir, new_path, flags);
}

int __wrap_renameat(int old_dir, const char *old_path, int new_dir, const char *new_path)
{
    return fails(Call::Rename) ? -1 : __real_renameat(old_dir, old_path, new_dir, new_path);
}

} // extern "C"

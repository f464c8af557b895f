#include "version/install_check.h"

#include "version/posix/unique_fd.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrival::version {

namespace {

constexpr mode_t kAnyWriteBit = S_IWUSR | S_IWGRP | S_IWOTH;

// Other programs lock with fcntl (process or open-file-description locks, which conflict with
// each other) or with flock (independent of both on Linux), so both kinds are tried, one after
// the other, so that our own first lock can't stand in the way of the second.
bool free_of_other_locks(int fd)
{
    struct flock whole { };
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (::fcntl(fd, F_OFD_SETLK, &whole) != 0)
        return false;
    whole.l_type = F_UNLCK;
    ::fcntl(fd, F_OFD_SETLK, &whole);

    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
        return false;
    ::flock(fd, LOCK_UN);
    return true;
}

} // namespace

bool check_installation_file(const std::string &name)
{
    // Refuse devices and FIFOs before opening: opening a device can itself have effects.
    struct stat st { };
    if (::stat(name.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;

    const UniqueFd fd(::open(name.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0)
        return false;
    // Checked again on what was opened, in case the name changed in between.
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    // Root opens a read-only file for writing all the same; the bits still say read-only.
    if ((st.st_mode & kAnyWriteBit) == 0)
        return false;
    return free_of_other_locks(fd.get());
}

} // namespace kestrival::version

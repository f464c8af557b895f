#include "version/settings_file.h"

#include "version/constants.h"
#include "version/ini.h"
#include "version/posix/fd_source.h"
#include "version/posix/unique_fd.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kestrival::version {

namespace {

// As many links as the kernel follows before it gives up with ELOOP.
constexpr int kMaxSymlinkHops = 40;
constexpr auto kLockPollInterval = std::chrono::milliseconds(5);
// Temporary files are ".<name>.kestrival-XXXXXX" beside the file they replace.
constexpr std::string_view kTempMarker = ".kestrival-";
constexpr std::size_t kTempSuffixLength = 6;
constexpr mode_t kNewFileMode = 0666;
constexpr mode_t kFallbackUmask = 022;
constexpr mode_t kPermissionBits = 07777;
constexpr mode_t kAnyWriteBit = S_IWUSR | S_IWGRP | S_IWOTH;
// The copy's outcome besides 0 and errno values: the old file ended early.
constexpr int kShrank = -1;

std::string in_quotes(const std::string &text) { return "\"" + text + "\""; }

WriteResult failure(WriteError kind, const std::string &what) { return {kind, 0, what}; }

WriteResult failure(int error, const std::string &what)
{
    if (error == kShrank)
        return failure(WriteError::Changed, what + " changed while it was being written; try again");
    return {WriteError::System, error, what + ": " + std::generic_category().message(error)};
}

// For a system call that just failed: errno is taken before anything else can change it.
WriteResult system_failure(std::string_view before, const std::string &subject, std::string_view after = {})
{
    const int error = errno;
    return failure(error, std::string(before) + in_quotes(subject) + std::string(after));
}

WriteResult not_a_file(const std::string &path)
{
    return failure(WriteError::NotAFile, in_quotes(path) + " is not a regular file; it was left as it is");
}

// Follows the links at `path` to the file to replace, which need not exist yet but must be a
// regular file if it does.
WriteResult resolve_links(const std::string &path, std::string &target)
{
    target = path;
    for (int hops = 0;; ++hops) {
        struct stat st { };
        if (::lstat(target.c_str(), &st) != 0)
            return errno == ENOENT || errno == ENOTDIR ? WriteResult {} : system_failure("Can't look at ", target);
        if (S_ISREG(st.st_mode))
            return {};
        if (!S_ISLNK(st.st_mode))
            return not_a_file(target);
        if (hops == kMaxSymlinkHops)
            return failure(ELOOP, "Can't follow the links at " + in_quotes(path));
        std::error_code error;
        const std::filesystem::path next = std::filesystem::read_symlink(target, error);
        if (error)
            return failure(error.value(), "Can't follow the link " + in_quotes(target));
        target = std::filesystem::path(target).parent_path() / next;
    }
}

// Waits, boundedly, for other writers of this directory. Where the file system has no such
// locks, the write goes ahead unserialised rather than not at all.
bool lock_directory(int dir_fd, std::chrono::milliseconds wait)
{
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (::flock(dir_fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR)
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(kLockPollInterval);
    }
    return true;
}

std::string temp_prefix(const std::string &name) { return "." + name + std::string(kTempMarker); }

// Removes what a writer killed between creating and renaming its file left; the lock we hold
// means no living writer owns such a file.
void remove_stale_temps(int dir_fd, const std::string &name)
{
    DIR *scan = ::fdopendir(::openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (scan == nullptr)
        return;
    const std::string prefix = temp_prefix(name);
    while (const dirent *entry = ::readdir(scan)) {
        const std::string_view entry_name = entry->d_name;
        struct stat st { };
        if (entry_name.size() == prefix.size() + kTempSuffixLength && entry_name.starts_with(prefix)
            && ::fstatat(dir_fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
            ::unlinkat(dir_fd, entry->d_name, 0);
    }
    ::closedir(scan);
}

// The umask a new file's mode obeys, read without setting it for every thread of the process.
mode_t process_umask()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("Umask:"))
            return static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8));
    }
    return kFallbackUmask;
}

// The new file, until it takes the old one's place; removed if it never does.
class TempFile {
public:
    TempFile(int dir_fd, const std::string &dir, const std::string &name) : dir_fd_(dir_fd)
    {
        std::string path = dir + "/" + temp_prefix(name) + std::string(kTempSuffixLength, 'X');
        fd_ = UniqueFd(::mkostemp(path.data(), O_CLOEXEC));
        if (fd_.valid())
            name_ = path.substr(path.rfind('/') + 1);
    }
    ~TempFile()
    {
        if (!name_.empty())
            ::unlinkat(dir_fd_, name_.c_str(), 0);
    }
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;

    [[nodiscard]] int fd() const { return fd_.get(); }
    [[nodiscard]] bool valid() const { return fd_.valid(); }

    bool rename_to(const std::string &name)
    {
        if (::renameat(dir_fd_, name_.c_str(), dir_fd_, name.c_str()) != 0)
            return false;
        name_.clear();
        return true;
    }

private:
    int dir_fd_;
    UniqueFd fd_;
    std::string name_;
};

// Names of a file's extended attributes; false when they can't be listed.
bool xattr_names(int fd, std::vector<std::string> &names)
{
    const ssize_t size = ::flistxattr(fd, nullptr, 0);
    if (size <= 0)
        return size == 0 || errno == ENOTSUP;
    std::string list(static_cast<std::size_t>(size), '\0');
    if (::flistxattr(fd, list.data(), list.size()) != size)
        return false;
    for (std::size_t at = 0; at < list.size(); at += names.back().size() + 1)
        names.emplace_back(list.c_str() + at);
    return true;
}

// Gives `to` the owner, group and extended attributes (ACLs among them) of `from`; false when
// the system won't let us.
bool same_owner_and_xattrs(int from, int to, const struct stat &old)
{
    std::vector<std::string> names;
    std::vector<std::string> present;
    if (::fchown(to, old.st_uid, old.st_gid) != 0 || !xattr_names(from, names) || !xattr_names(to, present))
        return false;
    // Such as an ACL the directory's default gave the new file.
    for (const std::string &name : present) {
        if (std::find(names.begin(), names.end(), name) == names.end())
            (void)::fremovexattr(to, name.c_str());
    }
    for (const std::string &name : names) {
        const ssize_t size = ::fgetxattr(from, name.c_str(), nullptr, 0);
        std::string value(static_cast<std::size_t>(std::max<ssize_t>(size, 0)), '\0');
        if (size < 0 || ::fgetxattr(from, name.c_str(), value.data(), value.size()) != size
            || ::fsetxattr(to, name.c_str(), value.data(), value.size(), 0) != 0)
            return false;
    }
    return true;
}

// Reads or writes (with pread or pwrite) all `size` bytes at `at`: 0, an errno value, or
// kShrank when the file ends first.
template <class Io, class Byte> int transfer(Io io, int fd, Byte *data, std::size_t size, off_t at)
{
    while (size > 0) {
        const ssize_t done = io(fd, data, size, at);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return done < 0 ? errno : kShrank;
        data += done;
        at += done;
        size -= static_cast<std::size_t>(done);
    }
    return 0;
}

// Whether [at, at + n) of the file holds only zeros; a hole is known so without reading it.
bool all_zero(int fd, off_t at, std::size_t n, std::vector<char> &buffer)
{
    const off_t data = ::lseek(fd, at, SEEK_DATA);
    if (data < 0 ? errno == ENXIO : data >= at + static_cast<off_t>(n))
        return true;
    return transfer(::pread, fd, buffer.data(), n, at) == 0
        && std::all_of(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n), [](char c) { return c == 0; });
}

// Copies [begin, end) of `from` to `shift` bytes further on in `to`, which may be `from`: then
// from the far end first when the bytes move on, so none is overwritten before it is read.
// Zeros onto zeros are left out, so holes stay holes.
int copy_range(int from, int to, off_t begin, off_t end, off_t shift)
{
    std::vector<char> chunk(kReadChunkBytes);
    std::vector<char> there(kReadChunkBytes);
    for (off_t done = 0; done < end - begin;) {
        const auto n = static_cast<std::size_t>(std::min<off_t>(static_cast<off_t>(chunk.size()), end - begin - done));
        done += static_cast<off_t>(n);
        const off_t at = from == to && shift > 0 ? end - done : begin + done - static_cast<off_t>(n);
        if (all_zero(from, at, n, chunk) && all_zero(to, at + shift, n, there))
            continue;
        if (const int error = transfer(::pread, from, chunk.data(), n, at); error != 0)
            return error;
        if (const int error = transfer(::pwrite, to, chunk.data(), n, at + shift); error != 0)
            return error;
    }
    return 0;
}

off_t shift_of(const VersionEdit &edit)
{
    return static_cast<off_t>(edit.replacement.size()) - static_cast<off_t>(edit.end - edit.begin);
}

// For a file a new one can't stand in for: other links point at it, its owner or attributes
// can't be given to a new file, or its folder takes no new file.
WriteResult edit_in_place(int dir_fd, const std::string &name, const std::string &target, const struct stat &old,
                          const VersionEdit &edit)
{
    const UniqueFd fd(::openat(dir_fd, name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat now { };
    if (!fd.valid())
        return system_failure("Can't write ", target);
    if (::fstat(fd.get(), &now) != 0 || now.st_ino != old.st_ino || now.st_dev != old.st_dev
        || now.st_size != old.st_size)
        return failure(kShrank, in_quotes(target));
    const off_t shift = shift_of(edit);
    const auto end = static_cast<off_t>(edit.end);
    int error = shift > 0 && ::ftruncate(fd.get(), old.st_size + shift) != 0 ? errno : 0;
    if (error == 0 && shift != 0)
        error = copy_range(fd.get(), fd.get(), end, old.st_size, shift);
    if (error == 0 && shift < 0 && ::ftruncate(fd.get(), old.st_size + shift) != 0)
        error = errno;
    if (error == 0)
        error = transfer(::pwrite, fd.get(), edit.replacement.data(), edit.replacement.size(),
                         static_cast<off_t>(edit.begin));
    if (error == 0 && ::fsync(fd.get()) != 0)
        error = errno;
    return error == 0 ? WriteResult {} : failure(error, "Can't write the new content of " + in_quotes(target));
}

WriteResult write_locked(int dir_fd, const std::string &dir, const std::string &name, const std::string &target,
                         std::string_view stamp)
{
    const UniqueFd old_fd(::openat(dir_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!old_fd.valid() && errno != ENOENT)
        return errno == ELOOP ? not_a_file(target) : system_failure("Can't read ", target);
    const bool exists = old_fd.valid();
    struct stat old { };
    if (exists && (::fstat(old_fd.get(), &old) != 0 || !S_ISREG(old.st_mode)))
        return not_a_file(target);

    const FdSource source(old_fd.get());
    const VersionEdit edit = plan_version_edit(source, stamp);
    if (edit.unchanged)
        return {};
    // Renaming would replace a file that may not be written, so the file's own say is asked.
    if (exists && (old.st_mode & kAnyWriteBit) == 0)
        return failure(WriteError::ReadOnly, in_quotes(target) + " is read-only; it was left as it is");
    if (exists && ::faccessat(dir_fd, name.c_str(), W_OK, AT_EACCESS) != 0)
        return system_failure("Can't write ", target);

    // A folder that takes no new file, in an installation that lets users change this file and
    // nothing else, leaves the file to be changed where it is.
    TempFile temp(dir_fd, dir, name);
    if (!temp.valid() && (!exists || errno != EACCES))
        return system_failure("Can't create a new file in the folder ", dir);
    if (exists && (!temp.valid() || old.st_nlink > 1 || !same_owner_and_xattrs(old_fd.get(), temp.fd(), old)))
        return edit_in_place(dir_fd, name, target, old, edit);
    if (::fchmod(temp.fd(), exists ? old.st_mode & kPermissionBits : kNewFileMode & ~process_umask()) != 0)
        return system_failure("Can't give the new ", target, " the permissions of the old one");

    const auto size = static_cast<off_t>(source.size());
    int error = exists ? copy_range(old_fd.get(), temp.fd(), 0, static_cast<off_t>(edit.begin), 0) : 0;
    if (error == 0)
        error = transfer(::pwrite, temp.fd(), edit.replacement.data(), edit.replacement.size(),
                         static_cast<off_t>(edit.begin));
    if (error == 0 && exists)
        error = copy_range(old_fd.get(), temp.fd(), static_cast<off_t>(edit.end), size, shift_of(edit));
    if (error == 0 && ::ftruncate(temp.fd(), size + shift_of(edit)) != 0)
        error = errno;
    struct stat after { };
    if (error == 0 && exists && (::fstat(old_fd.get(), &after) != 0 || after.st_size != size))
        error = kShrank;
    if (error != 0)
        return failure(error,
                       error == kShrank ? in_quotes(target) : "Can't write the new content of " + in_quotes(target));
    if (::fsync(temp.fd()) != 0)
        return system_failure("Can't save the new content of ", target, " to disk");
    if (!temp.rename_to(name))
        return system_failure("Can't put the new ", target, " in place");
    // The rename is done and visible; a failed flush only leaves it less certain to survive a
    // power cut, and reporting failure would claim the old value is still there.
    (void)::fsync(dir_fd);
    return {};
}

} // namespace

WriteResult write_installed_version(const std::string &path, std::string_view stamp,
                                    std::chrono::milliseconds lock_wait)
{
    std::string target;
    if (WriteResult resolved = resolve_links(path, target); !resolved)
        return resolved;
    const std::filesystem::path where(target);
    const std::string name = where.filename();
    if (name.empty() || name == "." || name == "..")
        return failure(WriteError::NotAFile, in_quotes(path) + " names a folder, not a file");
    const std::string dir = where.has_parent_path() ? where.parent_path().string() : ".";

    const UniqueFd dir_fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir_fd.valid())
        return system_failure("Can't open the folder ", dir);
    if (!lock_directory(dir_fd.get(), lock_wait))
        return failure(WriteError::Busy,
                       "Another program is writing in the folder " + in_quotes(dir) + "; try again later");
    remove_stale_temps(dir_fd.get(), name);
    return write_locked(dir_fd.get(), dir, name, target, stamp);
}

} // namespace kestrival::version

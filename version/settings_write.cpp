#include "version/settings_file.h"

#include "version/constants.h"
#include "version/fd_source.h"
#include "version/ini.h"
#include "version/unique_fd.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <sys/file.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

namespace kestrival::version {

namespace {

// As many links as the kernel follows before it gives up with ELOOP.
constexpr int kMaxSymlinkHops = 40;
constexpr std::size_t kCopyChunkBytes = kReadChunkBytes;
constexpr std::size_t kInitialLinkBytes = 256;
constexpr auto kLockPollInterval = std::chrono::milliseconds(5);
constexpr int kTempNameAttempts = 100;
constexpr std::size_t kTempSuffixLength = 6;
// Temporary files are named ".<name>.kestrival-XXXXXX" beside the file they replace.
constexpr std::string_view kTempMarker = ".kestrival-";
constexpr mode_t kNewFileMode = 0666;
constexpr mode_t kPrivateMode = 0600;
constexpr mode_t kPermissionBits = 07777;
constexpr mode_t kAnyWriteBit = S_IWUSR | S_IWGRP | S_IWOTH;

std::string quoted(const std::string &text) { return "\"" + text + "\""; }

WriteResult failure(const std::string &what, int error)
{
    return {false, what + ": " + std::error_code(error, std::generic_category()).message()};
}

// For a system call that just failed: errno is taken before anything else can change it.
WriteResult system_failure(std::string_view before, const std::string &subject, std::string_view after = {})
{
    const int error = errno;
    return failure(std::string(before) + quoted(subject) + std::string(after), error);
}

WriteResult failure(const std::string &what) { return {false, what}; }

std::string directory_of(const std::string &path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string name_of(const std::string &path) { return path.substr(path.rfind('/') + 1); }

bool read_link(const std::string &path, std::string &target)
{
    target.assign(kInitialLinkBytes, '\0');
    for (;;) {
        const ssize_t got = ::readlink(path.c_str(), target.data(), target.size());
        if (got < 0)
            return false;
        if (static_cast<std::size_t>(got) < target.size()) {
            target.resize(static_cast<std::size_t>(got));
            return true;
        }
        target.resize(target.size() * 2);
    }
}

// Follows a chain of links at `path` to the file to replace, which need not exist yet but
// must be a regular file if it does.
WriteResult resolve_links(const std::string &path, std::string &target)
{
    target = path;
    for (int hops = 0;; ++hops) {
        struct stat st { };
        if (::lstat(target.c_str(), &st) != 0) {
            if (errno == ENOENT || errno == ENOTDIR)
                return {true, {}};
            return system_failure("Can't look at ", target);
        }
        if (S_ISREG(st.st_mode))
            return {true, {}};
        if (!S_ISLNK(st.st_mode))
            return failure(quoted(target) + " is not a regular file; it was left as it is");
        if (hops == kMaxSymlinkHops)
            return failure("Can't follow the links at " + quoted(path), ELOOP);
        std::string next;
        if (!read_link(target, next))
            return system_failure("Can't follow the link ", target);
        if (next.empty())
            return failure("The link " + quoted(target) + " is empty", ENOENT);
        target = next.front() == '/' ? next : directory_of(target) + "/" + next;
    }
}

// Waits, boundedly, for other writers of this directory. Where the file system has no such
// locks, the write goes ahead unserialised rather than not at all.
WriteResult lock_directory(int dir_fd, const std::string &dir, std::chrono::milliseconds wait)
{
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        if (::flock(dir_fd, LOCK_EX | LOCK_NB) == 0)
            return {true, {}};
        if (errno != EWOULDBLOCK && errno != EINTR)
            return {true, {}};
        if (std::chrono::steady_clock::now() >= deadline)
            return failure("Another program is writing in the folder " + quoted(dir) + "; try again later");
        std::this_thread::sleep_for(kLockPollInterval);
    }
}

std::string temp_prefix(const std::string &name) { return "." + name + std::string(kTempMarker); }

// Removes what a writer killed between naming and renaming its file left; the lock we hold
// means no living writer owns such a file.
void remove_stale_temps(int dir_fd, const std::string &name)
{
    const int scan_fd = ::openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (scan_fd < 0)
        return;
    DIR *scan = ::fdopendir(scan_fd);
    if (scan == nullptr) {
        ::close(scan_fd);
        return;
    }
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

std::string random_temp_name(const std::string &name)
{
    static constexpr std::string_view kLetters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    thread_local std::mt19937 generator {std::random_device {}()};
    std::uniform_int_distribution<std::size_t> pick(0, kLetters.size() - 1);
    std::string temp = temp_prefix(name);
    for (std::size_t i = 0; i < kTempSuffixLength; ++i)
        temp += kLetters[pick(generator)];
    return temp;
}

// The copy's outcome: 0, an errno value, or kShrank when the old file ended early.
constexpr int kShrank = -1;

int write_all(int fd, const char *data, std::size_t size)
{
    while (size > 0) {
        const ssize_t done = ::write(fd, data, size);
        if (done < 0 && errno == EINTR)
            continue;
        if (done < 0)
            return errno;
        if (done == 0)
            return EIO;
        data += done;
        size -= static_cast<std::size_t>(done);
    }
    return 0;
}

// Appends [begin, end) of `from` to `to`, a buffer at a time.
int copy_range(int from, int to, std::uint64_t begin, std::uint64_t end, std::vector<char> &buffer)
{
    while (begin < end) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), end - begin));
        const ssize_t got = ::pread(from, buffer.data(), want, static_cast<off_t>(begin));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return errno;
        if (got == 0)
            return kShrank;
        if (const int error = write_all(to, buffer.data(), static_cast<std::size_t>(got)); error != 0)
            return error;
        begin += static_cast<std::uint64_t>(got);
    }
    return 0;
}

// The new file, until it takes the old one's place; a named one is removed if it never does.
class TempFile {
public:
    TempFile(int dir_fd, std::string name) : dir_fd_(dir_fd), name_(std::move(name)) { }
    ~TempFile()
    {
        if (!temp_name_.empty())
            ::unlinkat(dir_fd_, temp_name_.c_str(), 0);
    }
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;

    // Unnamed where the file system allows, so that a killed writer leaves nothing behind.
    bool create(mode_t mode)
    {
        fd_ = UniqueFd(::openat(dir_fd_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
        if (fd_.valid())
            return true;
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
            return false;
        for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
            std::string temp = random_temp_name(name_);
            fd_ = UniqueFd(::openat(dir_fd_, temp.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, mode));
            if (fd_.valid()) {
                temp_name_ = std::move(temp);
                return true;
            }
            if (errno != EEXIST)
                return false;
        }
        return false;
    }

    [[nodiscard]] int fd() const { return fd_.get(); }

    // Puts the file at its name, atomically replacing any file there; errno says why not.
    bool publish(bool replacing)
    {
        if (temp_name_.empty()) {
            // An unnamed file can only be linked to a free name: straight to its own when that
            // is free, else to a temporary one that is renamed over the old file at once.
            if (!replacing)
                return link_unnamed(name_);
            for (int attempt = 0; temp_name_.empty(); ++attempt) {
                std::string temp = random_temp_name(name_);
                if (link_unnamed(temp))
                    temp_name_ = std::move(temp);
                else if (errno != EEXIST || attempt + 1 == kTempNameAttempts)
                    return false;
            }
        }
        if (::renameat(dir_fd_, temp_name_.c_str(), dir_fd_, name_.c_str()) != 0)
            return false;
        temp_name_.clear();
        return true;
    }

private:
    bool link_unnamed(const std::string &name)
    {
        const std::string self = "/proc/self/fd/" + std::to_string(fd_.get());
        if (::linkat(AT_FDCWD, self.c_str(), dir_fd_, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
            return true;
        if (errno != ENOENT)
            return false;
        // Without /proc, only a caller allowed to read any file may link a descriptor directly.
        return ::linkat(fd_.get(), "", dir_fd_, name.c_str(), AT_EMPTY_PATH) == 0;
    }

    int dir_fd_;
    std::string name_;
    UniqueFd fd_;
    std::string temp_name_;
};

// Gives the new file the old one's owner, group and permission bits. A change of owner that
// isn't allowed leaves the writer's own; permission bits that can't be set fail the write.
bool copy_attributes(int fd, const struct stat &old)
{
    if (old.st_uid != ::geteuid() || old.st_gid != ::getegid()) {
        if (::fchown(fd, old.st_uid, old.st_gid) != 0)
            (void)::fchown(fd, static_cast<uid_t>(-1), old.st_gid);
    }
    return ::fchmod(fd, old.st_mode & kPermissionBits) == 0;
}

WriteResult replace_locked(int dir_fd, const std::string &dir, const std::string &name, const std::string &target,
                           std::string_view stamp)
{
    struct stat old { };
    bool exists = false;
    if (::fstatat(dir_fd, name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0)
        exists = true;
    else if (errno != ENOENT)
        return system_failure("Can't look at ", target);
    if (exists && !S_ISREG(old.st_mode))
        return failure(quoted(target) + " is not a regular file; it was left as it is");

    UniqueFd old_fd;
    if (exists) {
        old_fd = UniqueFd(::openat(dir_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        if (!old_fd.valid())
            return system_failure("Can't read ", target);
        struct stat opened { };
        if (::fstat(old_fd.get(), &opened) != 0 || opened.st_ino != old.st_ino || opened.st_dev != old.st_dev)
            return failure(quoted(target) + " changed while it was being written; try again");
    }

    const FdSource old_file(old_fd.get());
    const MemorySource no_file({});
    const ByteSource &source = exists ? static_cast<const ByteSource &>(old_file) : no_file;
    const VersionEdit edit = plan_version_edit(source, stamp);
    if (edit.unchanged)
        return {true, {}};
    // Renaming would replace a file that may not be written, so the file's own say is asked.
    if (exists && ::faccessat(dir_fd, name.c_str(), W_OK, AT_EACCESS) != 0)
        return system_failure("Can't write ", target);
    if (exists && (old.st_mode & kAnyWriteBit) == 0)
        return failure(quoted(target) + " is read-only; it was left as it is");

    TempFile temp(dir_fd, name);
    // A new file's mode is left to the kernel, which applies the umask or the directory's
    // default ACL; a replacement starts private and gets the old file's bits before it is named.
    if (!temp.create(exists ? kPrivateMode : kNewFileMode))
        return system_failure("Can't create a new file in the folder ", dir);

    std::vector<char> buffer(kCopyChunkBytes);
    int error = exists ? copy_range(old_fd.get(), temp.fd(), 0, edit.begin, buffer) : 0;
    if (error == 0)
        error = write_all(temp.fd(), edit.replacement.data(), edit.replacement.size());
    if (error == 0 && exists)
        error = copy_range(old_fd.get(), temp.fd(), edit.end, source.size(), buffer);
    if (error == kShrank)
        return failure(quoted(target) + " changed while it was being written; try again");
    if (error != 0)
        return failure("Can't write the new content of " + quoted(target), error);
    if (exists && !copy_attributes(temp.fd(), old))
        return system_failure("Can't give the new ", target, " the permissions of the old one");
    if (::fsync(temp.fd()) != 0)
        return system_failure("Can't save the new content of ", target, " to disk");
    if (!temp.publish(exists)) {
        if (errno == EEXIST)
            return failure(quoted(target) + " appeared while it was being written; try again");
        return system_failure("Can't put the new ", target, " in place");
    }

    // The rename is done and visible; a failed flush only leaves it less certain to survive a
    // power cut, and reporting failure would claim the old value is still there.
    (void)::fsync(dir_fd);
    return {true, {}};
}

} // namespace

WriteResult write_installed_version(const std::string &path, std::string_view stamp)
{
    return write_installed_version(path, stamp, kWriteLockWait);
}

WriteResult write_installed_version(const std::string &path, std::string_view stamp,
                                    std::chrono::milliseconds lock_wait)
{
    std::string target;
    if (WriteResult resolved = resolve_links(path, target); !resolved)
        return resolved;
    const std::string name = name_of(target);
    if (name.empty() || name == "." || name == "..")
        return failure(quoted(path) + " names a folder, not a file");
    const std::string dir = directory_of(target);

    const UniqueFd dir_fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir_fd.valid())
        return system_failure("Can't open the folder ", dir);
    if (WriteResult locked = lock_directory(dir_fd.get(), dir, lock_wait); !locked)
        return locked;
    remove_stale_temps(dir_fd.get(), name);
    return replace_locked(dir_fd.get(), dir, name, target, stamp);
}

} // namespace kestrival::version

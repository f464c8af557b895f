// The installed version in the settings file on disk.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace kestrival::version {

// Reads [DB] Version from the file at `path` (see read_version in ini.h for the rules).
// Opens without blocking and reads only a regular file (after following links), in chunks of
// kReadChunkBytes, so memory stays bounded whatever the file's size. A missing or unreadable
// file, a directory, FIFO or device: the empty string. Never changes the file, never blocks.
[[nodiscard]] std::string read_installed_version(const std::string &path);

// Outcome of a write: ok, or why not, in words a user can act on (with the system's reason).
struct WriteResult {
    bool ok = false;
    std::string error;
    explicit operator bool() const { return ok; }
};

// How long a write waits for another writer in the same directory before giving up.
inline constexpr std::chrono::milliseconds kWriteLockWait {10000};

// Records `stamp` as [DB] Version in the file at `path`, creating the file, the section or the
// key where missing; every other byte of an existing file stays (see plan_version_edit).
// Crash-safe: the new content is written to a temporary file in the same directory (unnamed
// where the file system allows), flushed, given the old file's permission bits (and owner and
// group where allowed; a new file gets 0666 less the umask), and renamed over the old one; then
// the directory is flushed. The old file is copied in chunks, so memory stays bounded.
// A symbolic link at `path` stays a link and the end of its chain is replaced (a dangling
// link's target is created). Writers in one directory are serialised by a lock on it, waited
// for at most kWriteLockWait, so two processes never interleave. When the value already reads
// as the stamp, nothing is written.
// Fails, with the system's reason, when the directory can't be opened or written, the path is
// a directory, FIFO, device or a loop of links (none of them is touched), the old file can't
// be read, or may not be written (no write bit for anyone counts as read-only even for root:
// the rename would otherwise replace it regardless), another writer holds the lock too long, or creating, writing,
// flushing, setting the permissions of or renaming the new file fails. On any failure the old file is byte-identical
// and no temporary file is left. A temporary file left by a killed writer (between naming the
// file and renaming it) is removed by the next write. A failure to flush the directory after
// the rename is not reported: the new file is complete and in place by then.
// Never leaves a partial or empty file at `path`.
[[nodiscard]] WriteResult write_installed_version(const std::string &path, std::string_view stamp);

// The same, waiting at most `lock_wait` for another writer.
[[nodiscard]] WriteResult write_installed_version(const std::string &path, std::string_view stamp,
                                                  std::chrono::milliseconds lock_wait);

} // namespace kestrival::version

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
// On Windows: opened sharing reading, writing and deletion, so a file another program holds
// with no sharing at all reads as empty.
[[nodiscard]] std::string read_installed_version(const std::string &path);

enum class WriteError {
    None,
    NotAFile, // a directory, FIFO, device or anything else that isn't a regular file
    ReadOnly, // no write bit for anyone (so for root too); on Windows, the read-only attribute
    Busy, // another writer held the folder longer than the wait
    Changed, // another program changed the file during the write
    System, // a system call failed; `system_error` is its errno (GetLastError() on Windows)
};

// Outcome of a write: true when written; else why not, as a kind and in words a user can act on.
struct WriteResult {
    WriteError kind = WriteError::None;
    int system_error = 0;
    std::string error;
    explicit operator bool() const { return kind == WriteError::None; }
};

inline constexpr std::chrono::milliseconds kWriteLockWait {10000};

// Records `stamp` as [DB] Version in the file at `path`, or at the end of the links at it,
// creating the file, section or key where missing (see plan_version_edit). Only the value
// changes: every other byte, the owner and group, the mode, the extended attributes (ACLs
// among them), the file's identity where other links point at it, and its holes. A new file
// gets mode 0666 less the umask. Nothing is written when the value already reads as the stamp.
// A reader sees the old file or the new one, never a mix, and a crash leaves one of them,
// except where the file is edited in place because a new file couldn't keep the above or its
// folder takes no new file: then a crash while the bytes after the value move can leave the
// file mixed.
// Writers of one folder take turns, waiting at most `lock_wait`. On failure the file is as it
// was (barring an in-place edit that failed midway). Memory stays bounded; safe on any thread.
// On Windows: the attributes, creation time and access rules are kept in place of owner, mode
// and extended attributes, a new file gets its folder's inherited rules, holes are not kept;
// a file another program holds without sharing deletion is a System failure, and one held
// with full sharing that still can't be renamed over, or that may be changed but not
// replaced, is edited in place.
[[nodiscard]] WriteResult write_installed_version(const std::string &path, std::string_view stamp,
                                                  std::chrono::milliseconds lock_wait = kWriteLockWait);

} // namespace kestrival::version

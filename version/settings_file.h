// The installed version in the settings file on disk.
#pragma once

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

// Records `stamp` as [DB] Version in the file at `path`, creating the file, the section or the
// key where missing; every other byte of an existing file stays (see plan_version_edit).
// Crash-safe: the new content is written to a temporary file in the same directory, flushed,
// given the old file's permission bits, and renamed over the old one; then the directory is
// flushed. A symbolic link at `path` stays a link and its target is replaced. Writers are
// serialised so two processes never interleave. When the value already reads as the stamp,
// nothing is written. On any failure the old file is byte-identical, no temporary file is
// left, and the result says why. Never leaves a partial or empty file at `path`.
[[nodiscard]] WriteResult write_installed_version(const std::string &path, std::string_view stamp);

} // namespace kestrival::version

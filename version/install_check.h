// The installation file check: can this file of the working directory be opened for update?
#pragma once

#include <string>

namespace kestrival::version {

// True when `name` (UTF-8), relative to the working directory, is a regular file (after
// following links) that opens for reading and writing and is not held by another program.
// On Linux: not read-only by its permission bits (no write bit for anyone counts as read-only
// even for root), and no lock of another process (a non-blocking exclusive lock of each kind is
// taken and released at once). On Windows: opens with no sharing, so any other open handle, a
// folder or a read-only attribute (also for administrators) fails it. Opens without blocking
// (a FIFO does not hang it), never creates or truncates, closes at once. Any failure: false.
[[nodiscard]] bool check_installation_file(const std::string &name);

} // namespace kestrival::version

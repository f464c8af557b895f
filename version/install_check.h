// The installation file check: can this file of the working directory be opened for update?
#pragma once

#include <string>

namespace kestrival::version {

// True when `name`, relative to the working directory, is a regular file (after following
// links) that opens for reading and writing, is not read-only by its permission bits (no
// write bit for anyone counts as read-only even for root), and holds no lock of another
// process (a non-blocking exclusive open-file-description lock is taken and released at once).
// Opens without blocking (a FIFO does not hang it), never creates or truncates, closes at once.
// Any failure: false.
[[nodiscard]] bool check_installation_file(const std::string &name);

} // namespace kestrival::version

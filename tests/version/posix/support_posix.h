// Test support only POSIX systems have: nodes other than plain files.
#pragma once

#include <string>
#include <sys/types.h>

namespace kestrival::version::testing {

// Puts at `path` a link to `link_to`, else a directory, FIFO or file (holding `bytes`) by the
// type and bits of `mode`; nothing when `mode` is 0. Throws when it can't.
void make_node(const std::string &path, const char *link_to, mode_t mode, const std::string &bytes = "content");

} // namespace kestrival::version::testing

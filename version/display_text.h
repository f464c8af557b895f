// Turning the version's raw bytes into text for the screen.
#pragma once

#include <string>
#include <string_view>

namespace kestrival::version {

// UTF-8 for display: bytes that are valid UTF-8 as they stand; otherwise decoded as GB18030
// (the superset of code page 936), each byte that can't be decoded shown as U+FFFD. Pure.
[[nodiscard]] std::string decode_for_display(std::string_view bytes);

} // namespace kestrival::version

// Is there a display to open windows on? Asked before the toolkit starts, which would abort.
#pragma once

#include <optional>
#include <string>

namespace kestrival::app {

// Empty when windows can be opened: QT_QPA_PLATFORM names a platform (the toolkit then
// decides), an X display accepts a connection, or a Wayland socket does (then the toolkit is
// pointed at Wayland through QT_QPA_PLATFORM). Otherwise one line saying why not. Leaves no
// connection open.
[[nodiscard]] std::optional<std::string> find_display_problem();

} // namespace kestrival::app

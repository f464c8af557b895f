// Where the settings file lives: beside the running executable.
#pragma once

#include <optional>
#include <string>

namespace kestrival::version {

// The directory of the running executable, as the system records it (not argv[0] and not the
// working directory), joined with kSettingsFileName, in UTF-8. Any length: there is no fixed
// buffer to overflow (on Windows: without the `\\?\` prefix of long paths). Empty when the
// executable's own path can't be had (on Linux: no /proc, or the executable was deleted).
// Touches no file.
[[nodiscard]] std::optional<std::string> build_settings_path();

} // namespace kestrival::version

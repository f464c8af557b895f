// Names and limits of the installation's version record.
#pragma once

#include <cstddef>
#include <string_view>

namespace kestrival::version {

// The installation files, by bare name.
inline constexpr std::string_view kSettingsFileName = "tsetting.ini";
inline constexpr std::string_view kPackageFileName = "HarrowglimmerPatch.dat";

// Where the version lives in the settings file.
inline constexpr std::string_view kSection = "DB";
inline constexpr std::string_view kKey = "Version";

// The longest version text a read returns, in bytes.
inline constexpr std::size_t kMaxVersionBytes = 63;

// Files are scanned through a window of this size, so reading never holds more than this of
// the settings file in memory, whatever the file's size.
inline constexpr std::size_t kReadChunkBytes = 64 * 1024;

} // namespace kestrival::version

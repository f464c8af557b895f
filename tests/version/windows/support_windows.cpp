#include "support.h"
#include "version/windows/win_file.h"

namespace kestrival::version::testing {

// File times count 100 ns from 1601; seconds since the epoch start 11644473600 s later.
constexpr std::int64_t kEpochOffsetSeconds = 11644473600;
constexpr std::int64_t kTicksPerSecond = 10'000'000;

// Windows files have no permission bits; a new file gets its folder's inheritable security.
ScopedUmask::ScopedUmask(unsigned) { }
ScopedUmask::~ScopedUmask() = default;
std::optional<unsigned> permission_bits(const std::string &) { return std::nullopt; }

// Wine shows the Unix root as Z:, and tmpfs there keeps times disk file systems can't.
std::string any_time_dir()
{
    std::error_code error;
    return std::filesystem::is_directory("Z:/dev/shm", error) ? "Z:/dev/shm" : std::string();
}

bool set_last_write(const std::string &path, std::int64_t seconds)
{
    if (seconds < -kEpochOffsetSeconds || seconds > INT64_MAX / kTicksPerSecond - kEpochOffsetSeconds)
        return false;
    const auto ticks = static_cast<std::uint64_t>((seconds + kEpochOffsetSeconds) * kTicksPerSecond);
    const FILETIME time {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    const UniqueHandle file = open_existing(long_path(path), FILE_WRITE_ATTRIBUTES, kShareAll, true);
    // A file system under the system's own, as under Wine, may clamp the time without a word.
    return file.valid() && ::SetFileTime(file.get(), nullptr, nullptr, &time) != 0 && last_write(path) == seconds;
}

std::int64_t last_write(const std::string &path)
{
    WIN32_FILE_ATTRIBUTE_DATA data {};
    if (::GetFileAttributesExW(long_path(path).c_str(), GetFileExInfoStandard, &data) == 0)
        return -1;
    const auto ticks = (std::uint64_t {data.ftLastWriteTime.dwHighDateTime} << 32) | data.ftLastWriteTime.dwLowDateTime;
    return static_cast<std::int64_t>(ticks) / kTicksPerSecond - kEpochOffsetSeconds;
}

CalendarDate local_today()
{
    SYSTEMTIME now {};
    ::GetLocalTime(&now);
    return {now.wYear, now.wMonth, now.wDay};
}

bool system_decodes_gb18030() { return ::IsValidCodePage(54936) != 0; }

} // namespace kestrival::version::testing

#include "support.h"

#include <cstdint>
#include <limits>
#include <windows.h>

namespace kestrival::version::testing {

namespace {

// File times count 100-nanosecond ticks from 1601-01-01 UTC.
constexpr std::int64_t kTicksPerSecond = 10'000'000;
constexpr std::int64_t kEpochInSeconds = 11'644'473'600;

} // namespace

ScopedUmask::ScopedUmask(unsigned) { }
ScopedUmask::~ScopedUmask() = default;

std::optional<unsigned> permission_bits(const std::string &) { return std::nullopt; }

// Wine shows the Unix root as Z:, and tmpfs there keeps times disk file systems can't.
std::string any_time_dir()
{
    std::error_code error;
    return std::filesystem::is_directory("Z:/dev/shm", error) ? "Z:/dev/shm"
                                                              : utf8(std::filesystem::temp_directory_path());
}

bool set_last_write(const std::string &path, std::int64_t seconds)
{
    if (seconds < -kEpochInSeconds
        || seconds > std::numeric_limits<std::int64_t>::max() / kTicksPerSecond - kEpochInSeconds)
        return false;
    const auto ticks = static_cast<std::uint64_t>((seconds + kEpochInSeconds) * kTicksPerSecond);
    const FILETIME time {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    const HANDLE file = ::CreateFileW(native(path).c_str(), FILE_WRITE_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const bool set = ::SetFileTime(file, nullptr, nullptr, &time) != 0;
    ::CloseHandle(file);
    // The file system may keep less than the call accepted.
    return set && last_write(path) == seconds;
}

std::int64_t last_write(const std::string &path)
{
    WIN32_FILE_ATTRIBUTE_DATA data {};
    if (::GetFileAttributesExW(native(path).c_str(), GetFileExInfoStandard, &data) == 0)
        return -1;
    const auto ticks = static_cast<std::int64_t>((static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32)
                                                 | data.ftLastWriteTime.dwLowDateTime);
    return ticks / kTicksPerSecond - kEpochInSeconds;
}

CalendarDate local_today()
{
    SYSTEMTIME now {};
    ::GetLocalTime(&now);
    return {now.wYear, now.wMonth, now.wDay};
}

bool system_decodes_gb18030() { return ::IsValidCodePage(54936) != 0; }

} // namespace kestrival::version::testing

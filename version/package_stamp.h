// The package date stamp: the upgrade package's last-write date as the new version.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kestrival::version {

struct CalendarDate {
    int year = 0;
    int month = 0;
    int day = 0;
    friend bool operator==(const CalendarDate &, const CalendarDate &) = default;
};

// The years a file time converts to a stamp; outside them the stamp is today's date.
inline constexpr int kMinConvertibleYear = 1601;
inline constexpr int kMaxConvertibleYear = 30827;

// The UTC calendar date of a time in seconds since the epoch, or empty when the date falls
// outside [kMinConvertibleYear, kMaxConvertibleYear]. Pure; never overflows.
[[nodiscard]] std::optional<CalendarDate> utc_date_of(std::int64_t seconds_since_epoch);

// "%04d%02d%02d" of the date: eight digits up to year 9999, five-digit years beyond.
[[nodiscard]] std::string format_stamp(const CalendarDate &date);

// Looks kPackageFileName up in the working directory (following links; on Windows a symbolic
// link's own time counts; its content is never read) and gives format_stamp of the UTC date of
// its last write; when it is missing or its time isn't convertible, today's local date. Never
// fails, never changes a file.
[[nodiscard]] std::string make_package_date_stamp();

} // namespace kestrival::version

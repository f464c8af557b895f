#include "version/package_stamp.h"

#include <chrono>
#include <cstdio>
#include <string>

namespace kestrival::version {

std::optional<CalendarDate> utc_date_of(std::int64_t seconds_since_epoch)
{
    using namespace std::chrono;
    constexpr sys_days kFirst {year {kMinConvertibleYear} / January / 1};
    constexpr sys_days kLast {year {kMaxConvertibleYear} / December / 31};
    // In days before any calendar type, whose years end at 32767.
    const sys_days day {floor<days>(seconds {seconds_since_epoch})};
    if (day < kFirst || day > kLast)
        return std::nullopt;
    const year_month_day date {day};
    return CalendarDate {static_cast<int>(date.year()), static_cast<int>(static_cast<unsigned>(date.month())),
                         static_cast<int>(static_cast<unsigned>(date.day()))};
}

std::string format_stamp(const CalendarDate &date)
{
    const int length = std::snprintf(nullptr, 0, "%04d%02d%02d", date.year, date.month, date.day);
    if (length <= 0)
        return {};
    std::string stamp(static_cast<std::size_t>(length), '\0');
    std::snprintf(stamp.data(), stamp.size() + 1, "%04d%02d%02d", date.year, date.month, date.day);
    return stamp;
}

} // namespace kestrival::version

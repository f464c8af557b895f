#include "version/package_stamp.h"

#include "version/constants.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <sys/stat.h>

namespace kestrival::version {

namespace {

CalendarDate local_today()
{
    const std::time_t now = std::time(nullptr);
    std::tm local {};
    if (::localtime_r(&now, &local) == nullptr)
        return utc_date_of(now).value_or(CalendarDate {1970, 1, 1});
    return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday};
}

} // namespace

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

std::string make_package_date_stamp()
{
    const std::string package(kPackageFileName);
    struct stat st { };
    if (::stat(package.c_str(), &st) == 0) {
        if (const auto date = utc_date_of(st.st_mtim.tv_sec))
            return format_stamp(*date);
    }
    return format_stamp(local_today());
}

} // namespace kestrival::version

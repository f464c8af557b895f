#include "version/package_stamp.h"

#include "version/constants.h"

#include <cstdio>
#include <ctime>
#include <string>
#include <sys/stat.h>

namespace kestrival::version {

namespace {

constexpr std::int64_t kSecondsPerDay = 86400;

// Days since 1970-01-01 to a proleptic Gregorian date (H. Hinnant's civil_from_days), in
// 64-bit arithmetic: every int64 second count gives a day count whose year fits easily.
struct WideDate {
    std::int64_t year;
    int month;
    int day;
};

WideDate civil_from_days(std::int64_t days)
{
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const std::int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const std::int64_t m = mp < 10 ? mp + 3 : mp - 9;
    return {yoe + era * 400 + (m <= 2 ? 1 : 0), static_cast<int>(m), static_cast<int>(d)};
}

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
    std::int64_t days = seconds_since_epoch / kSecondsPerDay;
    if (seconds_since_epoch % kSecondsPerDay < 0)
        --days;
    const WideDate date = civil_from_days(days);
    if (date.year < kMinConvertibleYear || date.year > kMaxConvertibleYear)
        return std::nullopt;
    return CalendarDate {static_cast<int>(date.year), date.month, date.day};
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

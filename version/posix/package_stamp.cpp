#include "version/package_stamp.h"

#include "version/constants.h"

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

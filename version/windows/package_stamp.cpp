#include "version/package_stamp.h"

#include "version/constants.h"
#include "version/windows/win_file.h"

namespace kestrival::version {

std::string make_package_date_stamp()
{
    WIN32_FILE_ATTRIBUTE_DATA package {};
    SYSTEMTIME date {};
    if (::GetFileAttributesExW(long_path(std::string(kPackageFileName)).c_str(), GetFileExInfoStandard, &package) == 0
        || ::FileTimeToSystemTime(&package.ftLastWriteTime, &date) == 0 || date.wYear < kMinConvertibleYear
        || date.wYear > kMaxConvertibleYear)
        ::GetLocalTime(&date);
    return format_stamp({date.wYear, date.wMonth, date.wDay});
}

} // namespace kestrival::version

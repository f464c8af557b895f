#include "version/install_check.h"

#include "version/windows/win_file.h"

namespace kestrival::version {

bool check_installation_file(const std::string &name)
{
    // No sharing: any other open handle, a read-only attribute or a folder makes the open fail.
    const UniqueHandle file = open_existing(long_path(name), GENERIC_READ | GENERIC_WRITE, 0);
    BY_HANDLE_FILE_INFORMATION info {};
    // An administrator may open a read-only file for writing all the same; the attribute still says no.
    return file.valid() && is_disk_file(file.get(), &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) == 0;
}

} // namespace kestrival::version

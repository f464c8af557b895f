#include "version/settings_file.h"

#include "version/windows/win_file.h"

namespace kestrival::version {

std::string read_installed_version(const std::string &path)
{
    // Sharing everything, so that neither this read nor a program that holds the file waits on
    // the other; a file held with no sharing at all reads as empty.
    const UniqueHandle file = open_existing(long_path(path), GENERIC_READ, kShareAll);
    if (!file.valid() || !is_disk_file(file.get()))
        return {};
    return read_version(HandleSource(file.get()));
}

} // namespace kestrival::version

#include "version/settings_path.h"

#include "version/constants.h"
#include "version/windows/win_file.h"

#include <string_view>

namespace kestrival::version {

std::optional<std::string> build_settings_path()
{
    // The name is cut short, not refused, when the buffer is too small; so grow until it fits.
    std::wstring module(MAX_PATH, L'\0');
    DWORD got = 0;
    while ((got = ::GetModuleFileNameW(nullptr, module.data(), static_cast<DWORD>(module.size()))) >= module.size())
        module.resize(module.size() * 2);
    module.resize(got);
    // Users know the path without the prefix that lifts the length limit.
    if (module.starts_with(L"\\\\?\\UNC\\"))
        module = L"\\" + module.substr(7);
    else if (module.starts_with(L"\\\\?\\"))
        module = module.substr(4);
    const std::size_t cut = module.rfind(L'\\');
    if (got == 0 || cut == std::wstring::npos)
        return std::nullopt;
    return to_utf8(std::wstring_view(module).substr(0, cut + 1)) + std::string(kSettingsFileName);
}

} // namespace kestrival::version

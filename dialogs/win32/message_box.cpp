// The program's message box.
#include "dialogs/win32/message_box.h"

#include "version/windows/win_file.h"

namespace kestrival::dialogs {

void show_message_box(std::string_view utf8, HWND owner)
{
    MessageBoxW(owner, version::to_wide(utf8).c_str(), L"升级", MB_OK | MB_ICONINFORMATION);
}

} // namespace kestrival::dialogs

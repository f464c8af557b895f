// The program's one form of message box, and the seam through which the dialogs use it.
#pragma once

#include <windows.h>

#include <functional>
#include <string_view>

namespace kestrival::dialogs {

// Shows a message and returns once the user has dismissed it.
using Notifier = std::function<void(std::string_view utf8, HWND owner)>;

// `utf8` under the caption "升级" with the information icon and an OK button. Without an owner
// every other window keeps taking input meanwhile; with one, the owner is blocked.
void show_message_box(std::string_view utf8, HWND owner = nullptr);

} // namespace kestrival::dialogs

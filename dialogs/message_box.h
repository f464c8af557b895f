// The program's one form of message box, and the seam through which the dialogs use it.
#pragma once

#include <QString>

#include <functional>

namespace kestrival::dialogs {

// Shows a message and returns once the user has dismissed it.
using Notifier = std::function<void(const QString &text)>;

inline constexpr const char *kMessageCaption = "升级";
inline constexpr const char *kMessageButtonText = "确定";

// `text` as plain text in a box with no owner, the caption kMessageCaption, the information
// icon and the one button kMessageButtonText (also taken by Esc and the close box). Returns
// once the box is dismissed. The box is not modal: meanwhile every other window keeps taking
// input, handled by the local event loop this waits in.
void show_message_box(const QString &text);

} // namespace kestrival::dialogs

// The program's one form of message box, and the seam through which the dialogs use it.
#pragma once

#include <QString>

#include <functional>

QT_BEGIN_NAMESPACE
class QWidget;
QT_END_NAMESPACE

namespace kestrival::dialogs {

// Shows a message and returns once the user has dismissed it.
using Notifier = std::function<void(const QString &text, QWidget *owner)>;

inline constexpr const char *kMessageCaption = "升级";
inline constexpr const char *kMessageButtonText = "确定";

// `text` as plain text under the caption kMessageCaption, with the information icon and the
// one button kMessageButtonText (also taken by Esc and the close box), wide enough for the
// window manager to show the whole caption. Returns once the box is dismissed. Without an
// owner the box is not modal: meanwhile every other window keeps taking input, handled by
// the local event loop this waits in. With one, it is centred over it and blocks it.
void show_message_box(const QString &text, QWidget *owner = nullptr);

} // namespace kestrival::dialogs

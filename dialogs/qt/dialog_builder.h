// Dialogs made from their templates: one builder and one unit mapping for both.
#pragma once

#include "dialogs/qt/dialog_units.h"
#include "dialogs/upgrade_run.h"
#include "resources/dialog_templates.h"

#include <QFont>
#include <QIcon>
#include <QString>

#include <string_view>

QT_BEGIN_NAMESPACE
class QDialog;
QT_END_NAMESPACE

namespace kestrival::dialogs {

// A fixed-size dialog frame: title, window menu and close button, no minimise or maximise.
inline constexpr Qt::WindowFlags kDialogWindowFlags
    = Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;

// The size an icon control shows IDR_MAINFRAME at, whatever its rectangle says.
inline constexpr int kLargeIconPx = 32;
inline constexpr int kSmallIconPx = 16;

// A progress control's range when it is made, and the one the upgrade run gives it.

// The dynamic property that holds each built control's id.
inline constexpr const char *kControlIdProperty = "controlId";

[[nodiscard]] QString to_qstring(std::string_view utf8);

// IDR_MAINFRAME with its 32 and 16 pixel images. Empty only if the resources weren't linked.
[[nodiscard]] QIcon load_app_icon();

[[nodiscard]] QFont template_font(const resources::DialogTemplate &tpl);

// Gives `dialog` the template's caption, font, frame and fixed client size, and one child per
// control in template order, which is also the tab order: object name and id as the template
// says, geometry mapped from dialog units with the font's base units, focus only for tab
// stops. Position is left to the toolkit, which centres a dialog when it is first shown.
// Returns the base units it used.
DialogBaseUnits build_dialog(QDialog &dialog, const resources::DialogTemplate &tpl);

} // namespace kestrival::dialogs

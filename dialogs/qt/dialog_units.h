// Dialog units to pixels, from the dialog font's metrics, the way the platform does it.
#pragma once

#include "resources/dialog_templates.h"

#include <QRect>

QT_BEGIN_NAMESPACE
class QFont;
QT_END_NAMESPACE

namespace kestrival::dialogs {

// Pixels per 4 horizontal and per 8 vertical dialog units.
struct DialogBaseUnits {
    int x = 0; // the font's average character width
    int y = 0; // the font's character height
    friend bool operator==(const DialogBaseUnits &, const DialogBaseUnits &) = default;
};

// The Latin letters whose mean advance is the average character width.
inline constexpr const char *kAverageWidthSample = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

// The average width is the advance of kAverageWidthSample over its 52 letters, rounded half
// up; the height is ascent plus descent. Never zero for a font the system can render.
[[nodiscard]] DialogBaseUnits base_units_of(const QFont &font);

[[nodiscard]] int du_to_px_x(int du, DialogBaseUnits units);
[[nodiscard]] int du_to_px_y(int du, DialogBaseUnits units);
[[nodiscard]] QRect du_to_px(const resources::DuRect &rect, DialogBaseUnits units);

} // namespace kestrival::dialogs

// Dialog units to pixels.
#include "dialogs/qt/dialog_units.h"

#include <QFont>
#include <QFontMetrics>
#include <QString>

#include <cstring>

namespace kestrival::dialogs {

namespace {

constexpr int kHorizontalUnitsPerBase = 4;
constexpr int kVerticalUnitsPerBase = 8;

// value * numerator / denominator, rounded half up; all three are positive here.
int mul_div(int value, int numerator, int denominator) { return (value * numerator + denominator / 2) / denominator; }

} // namespace

DialogBaseUnits base_units_of(const QFont &font)
{
    const QFontMetrics metrics(font);
    const int letters = static_cast<int>(std::strlen(kAverageWidthSample));
    const int total = metrics.horizontalAdvance(QString::fromLatin1(kAverageWidthSample));
    // Twice the mean, halved with rounding: the platform's own integer arithmetic.
    return {(total / (letters / 2) + 1) / 2, metrics.height()};
}

int du_to_px_x(int du, DialogBaseUnits units) { return mul_div(du, units.x, kHorizontalUnitsPerBase); }

int du_to_px_y(int du, DialogBaseUnits units) { return mul_div(du, units.y, kVerticalUnitsPerBase); }

QRect du_to_px(const resources::DuRect &rect, DialogBaseUnits units)
{
    return {du_to_px_x(rect.x, units), du_to_px_y(rect.y, units), du_to_px_x(rect.width, units),
            du_to_px_y(rect.height, units)};
}

} // namespace kestrival::dialogs

// SPDX-License-Identifier: Apache-2.0
// Places widgets by dialog units, as the row and dialog layouts are given: one
// horizontal unit is a quarter of the font's average character width, one vertical
// unit an eighth of its height. The average is taken over the letters a-z and A-Z, as
// dialog layouts have always measured it; a font's own "average" width is often much
// narrower than its text, and would cut the layouts' titles short.
#pragma once

#include <QFontMetrics>
#include <QRect>
#include <cmath>

namespace kelbos {

class DialogUnits {
public:
    explicit DialogUnits(const QFontMetrics& metrics)
        : x_(metrics.horizontalAdvance(
                 QStringLiteral("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ")) /
             52.0 / 4.0),
          y_(metrics.height() / 8.0) {}
    DialogUnits(double x_unit, double y_unit) : x_(x_unit), y_(y_unit) {}

    int x(int units) const { return static_cast<int>(std::lround(units * x_)); }
    int y(int units) const { return static_cast<int>(std::lround(units * y_)); }
    QRect rect(int x_units, int y_units, int width_units, int height_units) const {
        return QRect(x(x_units), y(y_units), x(x_units + width_units) - x(x_units),
                     y(y_units + height_units) - y(y_units));
    }

private:
    double x_;
    double y_;
};

}  // namespace kelbos

// Dialog units: the window's layout is given in them, so it scales with the dialog's font.
// One horizontal unit is a quarter of the font's average character width, one vertical unit
// an eighth of its line height.
#pragma once

#include <QFontMetrics>
#include <QRect>

// A rectangle in dialog units.
struct DialogUnitRect {
  int x;
  int y;
  int width;
  int height;
};

// The same rectangle in pixels for a font with `metrics`, each value rounded to the nearest
// pixel.
QRect DialogUnitsToPixels(const QFontMetrics& metrics, DialogUnitRect units);

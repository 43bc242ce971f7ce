// SPDX-License-Identifier: GPL-3.0-or-later
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

// The average character width of a font as the template's platform measures it: the
// advance of the 52 Latin letters over 52, rounded. (A font's own average, its OS/2
// xAvgCharWidth, is narrower for most fonts and would clip the texts the layout was made for.)
int AverageCharWidth(const QFontMetrics& metrics);

// The same rectangle in pixels for a font with `metrics`, each value rounded to the nearest
// pixel.
QRect DialogUnitsToPixels(const QFontMetrics& metrics, DialogUnitRect units);

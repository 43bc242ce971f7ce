// SPDX-License-Identifier: GPL-3.0-or-later
#include "dialog_units.h"

namespace {

// value * base / divisor rounded to the nearest integer; layout values are never negative.
int Scale(int value, int base, int divisor) {
  return (value * base + divisor / 2) / divisor;
}

}  // namespace

int AverageCharWidth(const QFontMetrics& metrics) {
  const int letters = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  return Scale(letters, 1, 52);
}

QRect DialogUnitsToPixels(const QFontMetrics& metrics, DialogUnitRect units) {
  const int baseX = AverageCharWidth(metrics);
  const int baseY = metrics.height();
  return {Scale(units.x, baseX, 4), Scale(units.y, baseY, 8), Scale(units.width, baseX, 4),
          Scale(units.height, baseY, 8)};
}

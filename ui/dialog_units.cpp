#include "ui/dialog_units.h"

namespace {

// value * base / divisor rounded to the nearest integer; layout values are never negative.
int Scale(int value, int base, int divisor) {
  return (value * base + divisor / 2) / divisor;
}

}  // namespace

QRect DialogUnitsToPixels(const QFontMetrics& metrics, DialogUnitRect units) {
  const int baseX = metrics.averageCharWidth();
  const int baseY = metrics.height();
  return {Scale(units.x, baseX, 4), Scale(units.y, baseY, 8), Scale(units.width, baseX, 4),
          Scale(units.height, baseY, 8)};
}

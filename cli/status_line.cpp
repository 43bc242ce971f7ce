// SPDX-License-Identifier: GPL-3.0-or-later
#include "status_line.h"

#include <cstdio>

namespace {

std::string Describe(const AudioFormatSummary& format) {
  char text[80];
  const char* layout = format.channels == 1 ? "mono" : format.channels == 2 ? "stereo" : nullptr;
  char channels[16];
  if (layout == nullptr) {
    std::snprintf(channels, sizeof channels, "%uch", format.channels);
    layout = channels;
  }
  if (format.formatTag == 1) {
    std::snprintf(text, sizeof text, "PCM %u-bit %u Hz %s", format.bitsPerSample,
                  format.samplesPerSecond, layout);
  } else {
    std::snprintf(text, sizeof text, "format 0x%04X %u Hz %s", format.formatTag,
                  format.samplesPerSecond, layout);
  }
  return text;
}

// Counts UTF-8 code points, so Cyrillic file names are cut by columns, not bytes.
size_t Columns(const std::string& text) {
  size_t n = 0;
  for (unsigned char c : text) n += (c & 0xC0) != 0x80;
  return n;
}

std::string CutToColumns(const std::string& text, size_t width) {
  size_t n = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && n++ == width) {
      return text.substr(0, i);
    }
  }
  return text;
}

}  // namespace

std::string FormatClock(double seconds) {
  const long whole = seconds > 0 ? static_cast<long>(seconds) : 0;
  char text[32];
  if (whole >= 3600) {
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", whole / 3600, whole / 60 % 60, whole % 60);
  } else {
    std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
  }
  return text;
}

std::string FormatStatusLine(const std::string& file, const AudioFormatSummary& source,
                             const AudioFormatSummary& output, double elapsedSeconds,
                             double totalSeconds, size_t width) {
  if (width < 20) width = 20;
  const std::string tail = "  " + Describe(source) + " -> " + Describe(output) + "  " +
                           FormatClock(elapsedSeconds) + " / " + FormatClock(totalSeconds);
  const size_t tailColumns = Columns(tail);
  if (tailColumns + 1 >= width) return CutToColumns(file + tail, width);
  // The file name gives way first: its start is kept, the formats and times stay whole.
  return CutToColumns(file, width - tailColumns) + tail;
}

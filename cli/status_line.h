// SPDX-License-Identifier: GPL-3.0-or-later
// The one status line the terminal front end shows while a file plays.
#pragma once

#include <string>

#include "engine/engine.h"

// "file  [source] -> [output]  elapsed / total", cut to `width` columns (at least 20).
std::string FormatStatusLine(const std::string& file, const AudioFormatSummary& source,
                             const AudioFormatSummary& output, double elapsedSeconds,
                             double totalSeconds, size_t width);

// "m:ss", or "h:mm:ss" from an hour on.
std::string FormatClock(double seconds);

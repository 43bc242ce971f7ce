// SPDX-License-Identifier: GPL-3.0-or-later
// The files of a batch, from its command line: a folder is searched for WAV files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct BatchEntry {
  std::string path;     // as given, or the folder as given joined with the names under it
  uint64_t size = 0;    // bytes, where known: the batch's measure of the work left
  int folderError = 0;  // an errno: a folder that could not be read, not a file
};

// Each argument in the order given. A folder (a symbolic link to one included) is searched
// recursively for names ending in .wav, .wave, .bwf or .rf64, in any case, which are regular
// files, symbolic links to them, or symbolic links that lead nowhere (which then fail as a
// file that cannot be opened); folders and other files under it reached through symbolic links
// are passed over, so no folder is searched twice and no search loops. What one folder gives
// is sorted by path, byte by byte; a folder under it that cannot be read is an entry of its
// own in that order. Anything else (a file, a name that does not exist) is a file to play, as
// given, whatever its name.
std::vector<BatchEntry> CollectFiles(const std::vector<std::string>& arguments);

// True for the names a folder search takes.
bool IsWaveFileName(const std::string& name);

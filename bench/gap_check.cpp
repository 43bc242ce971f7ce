// SPDX-License-Identifier: GPL-3.0-or-later
// Finds the gaps in a recording of a sound that never falls silent (a square wave), for
// scripts/bench's playback under load:
//   gap_check RECORDING.raw RATE
// RECORDING is 16-bit mono PCM. Prints "longest_gap_ms gap_count": the runs of at least 1 ms of
// quiet samples between the first and the last loud one. A sink that is not fed in time plays
// exact silence, so every underrun shows as a gap.
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr int kLoud = 2000;  // of 32767

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: gap_check RECORDING.raw RATE\n");
    return 2;
  }
  std::FILE* in = std::fopen(argv[1], "rb");
  if (in == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  std::vector<short> samples;
  short block[4096];
  for (size_t n; (n = std::fread(block, sizeof block[0], 4096, in)) > 0;) {
    samples.insert(samples.end(), block, block + n);
  }
  std::fclose(in);
  const long rate = std::atol(argv[2]);
  if (rate <= 0) return 2;

  size_t first = samples.size();
  size_t last = 0;
  for (size_t i = 0; i < samples.size(); ++i) {
    if (std::abs(samples[i]) < kLoud) continue;
    if (first == samples.size()) first = i;
    last = i;
  }
  size_t longest = 0;
  size_t gaps = 0;
  size_t run = 0;
  for (size_t i = first; i <= last && first < samples.size(); ++i) {
    if (std::abs(samples[i]) < kLoud) {
      ++run;
      continue;
    }
    if (run * 1000 >= static_cast<size_t>(rate)) ++gaps;
    if (run > longest) longest = run;
    run = 0;
  }
  // A square wave's edges pass through quiet samples, so runs shorter than 1 ms are edges.
  const double longestMs =
      longest * 1000 >= static_cast<size_t>(rate) ? longest * 1000.0 / rate : 0;
  std::printf("%.1f %zu\n", longestMs, gaps);
  return 0;
}

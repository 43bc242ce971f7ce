// SPDX-License-Identifier: GPL-3.0-or-later
// Converts a whole file through the wave file reader and the decompression stage, filling
// device-sized buffers with the playback thread's own function, as fast as it can go.
// The file is RTPLAYER_BENCH_FILE (scripts/bench makes 10-minute IMA ADPCM and MS ADPCM 44.1 kHz
// stereo ones); without it the benchmark makes the IMA ADPCM one itself with sox in a temporary
// folder.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/buffer_fill.h"
#include "engine/player_state.h"
#include "engine/start_and_teardown.h"

namespace {

void PrintError(void*, const char* text) {
  std::fprintf(stderr, "%s\n", text);
}

const FrontEnd kFrontEnd{nullptr,      PrintError,   [](void*) { return 0; },
                         [](void*) {}, [](void*) {}, [](void*, uint32_t) {}};

void Release() {
  CloseHandles();
  ReleaseBuffers();
  player = PlayerState{};
  player.frontEndPort = &kFrontEnd;
}

// One playback of the whole file; returns the PCM bytes produced, 0 on any failure.
uint64_t PlayOnce(const std::string& path, std::vector<uint8_t>& device) {
  Release();
  std::snprintf(player.fileName, sizeof player.fileName, "%s", path.c_str());
  if (!OpenSource()) return 0;
  device.resize(BytesForDuration(player.outputFormat, 125));
  uint64_t total = 0;
  for (;;) {
    uint32_t fill = 0;
    if (!FillBuffer(device.data(), static_cast<uint32_t>(device.size()), &fill)) return 0;
    benchmark::DoNotOptimize(device.data());
    total += fill;
    if (fill == 0 && player.dataRemaining == 0 && player.convertedPending == 0) return total;
  }
}

std::string BenchFile() {
  if (const char* given = std::getenv("RTPLAYER_BENCH_FILE")) return given;
  static const std::string made = [] {
    const auto dir = std::filesystem::temp_directory_path() / "rtplayer-convert-bench";
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "ima-10min.wav").string();
    const std::string command = "sox -R -r 44100 -c 2 -n -e ima-adpcm '" + path +
                                "' synth 600 sine 60-7000 pinknoise gain -n -1";
    if (std::system(command.c_str()) != 0) return std::string();
    return path;
  }();
  return made;
}

void ConvertWholeFile(benchmark::State& state) {
  const std::string path = BenchFile();
  std::vector<uint8_t> device;
  uint64_t pcm = 0;
  for (auto _ : state) {
    pcm = PlayOnce(path, device);
    if (pcm == 0) {
      state.SkipWithError("the file did not play");
      break;
    }
  }
  const double seconds = player.outputFormat.nAvgBytesPerSec > 0
                             ? static_cast<double>(pcm) / player.outputFormat.nAvgBytesPerSec
                             : 0;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * pcm));
  // Seconds of audio converted per second of wall time.
  state.counters["realtime"] = benchmark::Counter(seconds * static_cast<double>(state.iterations()),
                                                  benchmark::Counter::kIsRate);
  Release();
}

}  // namespace

BENCHMARK(ConvertWholeFile)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

BENCHMARK_MAIN();

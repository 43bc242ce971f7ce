// SPDX-License-Identifier: GPL-3.0-or-later
// What the playback thread pays the platform per buffer: a message from one thread to
// another and back (the device's MM_WOM_DONE, the engine's WM_QUIT), and a buffer written to
// the file device and handed back, 125 ms of 44.1 kHz 16-bit stereo at a time.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/thread.h"
#include "platform/waveout.h"

namespace {

constexpr uint32_t WM_PING = 0x0400;

uint32_t Echo(void* param) {
  const uint32_t replyTo = *static_cast<uint32_t*>(param);
  MSG message{};
  while (GetMessageA(&message) == 1) PostThreadMessageA(replyTo, WM_PING, 0, 0);
  return 0;
}

void BM_MessageRoundTrip(benchmark::State& state) {
  uint32_t self = CreateMessageQueue();
  uint32_t echoId = 0;
  HTHREAD echo = CreateThread(&Echo, &self, &echoId);
  MSG message{};
  for (auto _ : state) {
    PostThreadMessageA(echoId, WM_PING, 0, 0);
    GetMessageA(&message);
  }
  PostThreadMessageA(echoId, WM_QUIT, 0, 0);
  CloseHandle(echo);
}
BENCHMARK(BM_MessageRoundTrip)->UseRealTime();

void BM_FileDeviceBuffer(benchmark::State& state) {
  const std::string path = "/tmp/rtplayer-bench-" + std::to_string(getpid()) + ".wav";
  const uint32_t self = CreateMessageQueue();
  const WAVEFORMATEX format{WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
  HWAVEOUT device = nullptr;
  if (OpenFileDevice(&device, path.c_str(), &format, self, CALLBACK_THREAD) != MMSYSERR_NOERROR) {
    state.SkipWithError("the file device did not open");
    return;
  }
  std::vector<uint8_t> data(22052, 0x11);
  WAVEHDR header{};
  header.lpData = data.data();
  header.dwBufferLength = static_cast<uint32_t>(data.size());
  waveOutPrepareHeader(device, &header, sizeof header);
  MSG message{};
  GetMessageA(&message);  // MM_WOM_OPEN
  for (auto _ : state) {
    waveOutWrite(device, &header, sizeof header);
    GetMessageA(&message);  // MM_WOM_DONE
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 22052);
  waveOutUnprepareHeader(device, &header, sizeof header);
  waveOutClose(device);
  GetMessageA(&message);  // MM_WOM_CLOSE
  std::remove(path.c_str());
}
BENCHMARK(BM_FileDeviceBuffer);

}  // namespace

BENCHMARK_MAIN();

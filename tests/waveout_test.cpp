// SPDX-License-Identifier: GPL-3.0-or-later
// Wave output on real devices (the sound server's, on the test daemon's two null sinks,
// listened to through their monitors; ALSA's when no server answers) and the buffer queue's
// contract on every device: what a reset returns and when, headers misused, formats refused,
// and writes racing resets from two threads.
#include "platform/waveout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine.h"
#include "platform/faults.h"
#include "support/callback_thread.h"
#include "support/child_process.h"
#include "support/expected_texts.h"
#include "support/monitor_recorder.h"
#include "support/recording_front_end.h"
#include "support/scratch_dir.h"
#include "support/sound_stack.h"
#include "support/wav_writer.h"

namespace {

using namespace std::chrono_literals;

WAVEFORMATEX Pcm(uint32_t rate, uint16_t channels, uint16_t bits) {
  const auto block = static_cast<uint16_t>(channels * bits / 8);
  return {WAVE_FORMAT_PCM, channels, rate, rate * block, block, bits, 0};
}

struct Buffer {
  explicit Buffer(size_t size, uint8_t fill = 0) : data(size, fill) {
    header.lpData = data.data();
    header.dwBufferLength = static_cast<uint32_t>(size);
  }
  std::vector<uint8_t> data;
  WAVEHDR header{};
};

constexpr uint32_t kRate = MonitorRecorder::kRate;
constexpr uint32_t kBufferFrames = 5513;  // 125 ms at 44 100 Hz, as the engine sizes it

// Buffers of 1 kHz, 16-bit stereo at 44 100 Hz, `frames` frames each, one continuous tone
// through them all: at half scale, the last buffer at `lastScale`.
std::vector<Buffer> Tone(const std::vector<uint32_t>& frames, double lastScale = 16384) {
  std::vector<Buffer> buffers;
  uint32_t at = 0;
  for (const uint32_t count : frames) {
    const double scale = buffers.size() + 1 == frames.size() ? lastScale : 16384;
    Buffer buffer(count * 4);
    for (uint32_t frame = 0; frame < count; ++frame, ++at) {
      const auto value = static_cast<int16_t>(scale * std::sin(2 * M_PI * 1000 * at / kRate));
      for (int channel = 0; channel < 2; ++channel) {
        buffer.data[frame * 4 + channel * 2] = static_cast<uint8_t>(value);
        buffer.data[frame * 4 + channel * 2 + 1] = static_cast<uint8_t>(value >> 8);
      }
    }
    buffers.push_back(std::move(buffer));
  }
  return buffers;
}

void WriteAll(HWAVEOUT device, std::vector<Buffer>& buffers) {
  for (auto& buffer : buffers) {
    waveOutPrepareHeader(device, &buffer.header, sizeof(WAVEHDR));
    ASSERT_EQ(waveOutWrite(device, &buffer.header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  }
}

constexpr int kLoud = 1000;  // of 32767; the null sinks' silence is exact zeros

struct Heard {
  size_t first = 0, last = 0;  // the first and the last loud sample; first > last for none
  int peak = 0;
  size_t span() const { return first <= last ? last - first + 1 : 0; }
};

Heard Listen(const std::vector<int16_t>& samples, size_t from = 0) {
  Heard heard{samples.size(), 0, 0};
  for (size_t i = from; i < samples.size(); ++i) {
    const int level = std::abs(static_cast<int>(samples[i]));
    heard.peak = std::max(heard.peak, level);
    if (level > kLoud) {
      heard.first = std::min(heard.first, i);
      heard.last = i;
    }
  }
  return heard;
}

// The frequency of the longest stretch of the tone played without a gap (a gap being 20
// samples in a row below the loud level: a 1 kHz sine at half scale has at most one), so a
// gap that a loaded machine leaves cannot pass for a wrong pitch.
double Frequency(const std::vector<int16_t>& samples, const Heard& heard, size_t* stretch) {
  size_t bestFrom = heard.first, bestTo = heard.first, from = heard.first, quiet = 0;
  for (size_t i = heard.first; i <= heard.last; ++i) {
    quiet = std::abs(static_cast<int>(samples[i])) > kLoud ? 0 : quiet + 1;
    if (quiet == 20) from = i + 1;
    if (quiet == 0 && i - from > bestTo - bestFrom) {
      bestFrom = from;
      bestTo = i;
    }
  }
  *stretch = bestTo - bestFrom;
  size_t crossings = 0;
  for (size_t i = bestFrom + 1; i <= bestTo; ++i) {
    crossings += (samples[i - 1] < 0) != (samples[i] < 0) ? 1 : 0;
  }
  return *stretch == 0 ? 0 : crossings / 2.0 / (static_cast<double>(*stretch) / kRate);
}

// The device tests run on each sound stack (support/sound_stack.h) that scripts/test starts;
// run by hand without it, they are skipped.
class DeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!UseTestSoundStack()) {
      GTEST_SKIP() << "no " << TestSoundStack() << " test daemon: run scripts/test";
    }
  }
};

TEST_F(DeviceTest, ListsTheDefaultDeviceByNameThenBothSinks) {
  ASSERT_EQ(waveOutGetNumDevs(), 2u);
  WAVEOUTCAPSA caps{};
  ASSERT_EQ(waveOutGetDevCapsA(WAVE_MAPPER, &caps, sizeof caps), MMSYSERR_NOERROR);
  EXPECT_EQ(caps.szPname, DefaultEntryName());
  ASSERT_EQ(waveOutGetDevCapsA(0, &caps, sizeof caps), MMSYSERR_NOERROR);
  EXPECT_STREQ(caps.szPname, "rtplayer_a");
  ASSERT_EQ(waveOutGetDevCapsA(1, &caps, sizeof caps), MMSYSERR_NOERROR);
  EXPECT_STREQ(caps.szPname, "rtplayer_b");
  EXPECT_EQ(waveOutGetDevCapsA(2, &caps, sizeof caps), MMSYSERR_BADDEVICEID);
}

// Four whole buffers and a short last one, quieter, on list entry 2: each comes back in order,
// and only once it has been heard (give or take one buffer for the monitor's own delay); the
// close right after the last one cuts nothing of it off; the other sink hears nothing. (The
// null sink's monitor may miss the first few ms of a stream, never its end.)
TEST_F(DeviceTest, ToneOnEntryTwoIsHeardWholeOnTheSecondSinkOnlyEachBufferBackOnceHeard) {
  MonitorRecorder first("rtplayer_a");
  MonitorRecorder second("rtplayer_b");
  ASSERT_TRUE(first.running() && second.running()) << "parec could not be started";
  // Whatever an earlier test played has ended once both sinks give a tenth of a second of
  // silence.
  ASSERT_TRUE(first.waitForQuiet(kRate / 10) && second.waitForQuiet(kRate / 10))
      << "a sink does not fall silent";

  const std::vector<uint32_t> frames = {kBufferFrames, kBufferFrames, kBufferFrames, kBufferFrames,
                                        2646};
  constexpr double kTailScale = 4096;
  std::vector<Buffer> buffers = Tone(frames, kTailScale);
  CallbackThread callback;
  HWAVEOUT device = nullptr;
  const WAVEFORMATEX format = Pcm(kRate, 2, 16);
  const uint32_t entry = 2;  // the device list's entry 2 is device 1
  ASSERT_EQ(waveOutOpen(&device, entry - 1, &format, callback.id(), 0, CALLBACK_THREAD),
            MMSYSERR_NOERROR);
  WriteAll(device, buffers);
  size_t end = 0;
  for (size_t i = 0; i < buffers.size(); ++i) {
    ASSERT_TRUE(callback.waitFor(MM_WOM_DONE, i + 1)) << "buffer " << i << " never came back";
    EXPECT_EQ(callback.done()[i], &buffers[i].header) << "out of queue order at " << i;
    end += frames[i];
    EXPECT_GE(Listen(second.samples()).span() + kBufferFrames, end)
        << "buffer " << i << " came back before it was heard";
  }
  // When the last buffer is back, the sink has played no more than half a second past it.
  const size_t atTheEnd = second.count();
  for (auto& buffer : buffers) waveOutUnprepareHeader(device, &buffer.header, sizeof(WAVEHDR));
  EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
  // Whatever the sink still had to play has reached the monitor after a further half second.
  ASSERT_TRUE(second.waitFor(second.count() + kRate / 2));
  ASSERT_TRUE(first.waitFor(first.count() + kRate / 2));

  const std::vector<int16_t> samples = second.samples();
  const Heard heard = Listen(samples);
  EXPECT_NEAR(static_cast<double>(heard.span()), static_cast<double>(end), kRate * 0.03)
      << "the tone was not heard whole";
  size_t tail = heard.last;
  while (tail > heard.first && std::abs(static_cast<int>(samples[tail])) < kTailScale * 1.5) --tail;
  // Within one period of the tone at either end.
  EXPECT_NEAR(static_cast<double>(heard.last - tail), static_cast<double>(frames.back()), 50)
      << "the last buffer was not heard whole";
  size_t stretch = 0;
  EXPECT_NEAR(Frequency(samples, heard, &stretch), 1000.0, 20.0);
  EXPECT_GT(stretch, kRate * 4 / 10) << "no stretch of 0.4 s played without a gap";
  EXPECT_NEAR(heard.peak, 16384, 400);
  EXPECT_EQ(Listen(first.samples()).peak, 0) << "rtplayer_a heard something";
  EXPECT_LT(atTheEnd, heard.last + kRate / 2) << "the end came late after the sound's";
}

// Started as the dialog starts a file, from the front end's thread, which then stays busy (a
// window drawing itself after the file chooser) while the playback begins: the tone is heard
// whole, its first buffer too.
TEST_F(DeviceTest, AFileStartedAsTheDialogStartsItIsHeardWholeWhileTheFrontEndIsBusy) {
  MonitorRecorder sink("rtplayer_b");
  ASSERT_TRUE(sink.running() && sink.waitForQuiet(kRate / 10)) << "the sink does not fall silent";
  const ScratchDir scratch;
  const std::string path = scratch.path("tone.wav");
  const std::vector<Buffer> tone = Tone({kRate * 3 / 4});
  ASSERT_TRUE(WriteFileBytes(path, WaveFile(PcmFormat(kRate, 2, 16), tone[0].data)));

  RecordingFrontEnd frontEnd;
  ResetPlayerState(frontEnd);
  frontEnd.selectEntry(2);
  ASSERT_TRUE(SetFileToPlay(path));
  ASSERT_TRUE(LaunchPlayback());
  // Busy, never waiting, until the sound is heard (or for five seconds at most).
  const auto busyUntil = std::chrono::steady_clock::now() + 5s;
  while (Listen(sink.samples()).span() == 0 && std::chrono::steady_clock::now() < busyUntil) {
  }
  ASSERT_TRUE(frontEnd.waitFinished());
  FinishPlayback();
  EXPECT_TRUE(frontEnd.errors().empty());
  ASSERT_TRUE(sink.waitForSilence(kRate / 10));
  EXPECT_NEAR(static_cast<double>(Listen(sink.samples()).span()), kRate * 3 / 4.0, kRate * 0.03)
      << "the tone was not heard whole";
}

TEST_F(DeviceTest, PauseHoldsResetSilencesAtOnceAndReturnsEveryBufferInOrder) {
  MonitorRecorder sink("rtplayer_a");
  ASSERT_TRUE(sink.running() && sink.waitForQuiet(kRate / 10)) << "the sink does not fall silent";
  CallbackThread callback;
  HWAVEOUT device = nullptr;
  const WAVEFORMATEX format = Pcm(kRate, 2, 16);
  ASSERT_EQ(waveOutOpen(&device, WAVE_MAPPER, &format, callback.id(), 0, CALLBACK_THREAD),
            MMSYSERR_NOERROR);
  uint32_t id = 0;
  EXPECT_EQ(waveOutGetID(device, &id), MMSYSERR_NOERROR);
  EXPECT_EQ(id, WAVE_MAPPER);

  // Paused: queued, not played, for 2.4 buffers' time.
  waveOutPause(device);
  std::vector<Buffer> buffers = Tone({kBufferFrames, kBufferFrames, kBufferFrames, kBufferFrames});
  WriteAll(device, buffers);
  for (auto& buffer : buffers) EXPECT_EQ(buffer.header.dwFlags, WHDR_PREPARED | WHDR_INQUEUE);
  ASSERT_TRUE(sink.waitFor(sink.count() + kRate * 3 / 10));
  EXPECT_TRUE(callback.done().empty()) << "a paused device gave a buffer back";
  EXPECT_EQ(Listen(sink.samples()).peak, 0) << "a paused device played";

  waveOutReset(device);
  ASSERT_TRUE(callback.waitFor(MM_WOM_DONE, 4));
  std::vector<WAVEHDR*> returned = callback.done();
  ASSERT_EQ(returned.size(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(returned[i], &buffers[i].header) << "out of queue order at " << i;
    EXPECT_EQ(buffers[i].header.dwFlags, WHDR_PREPARED | WHDR_DONE);
  }

  // No longer paused: written again, they play; a reset silences the sink at once (within the
  // monitor's delay) although the server held most of the tone.
  const size_t before = sink.count();
  WriteAll(device, buffers);
  while (Listen(sink.samples(), before).span() == 0) {
    ASSERT_TRUE(sink.waitFor(sink.count() + 441)) << "the tone was never heard";
  }
  waveOutReset(device);
  ASSERT_TRUE(callback.waitFor(MM_WOM_DONE, 8));
  returned = callback.done();
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(returned[4 + i], &buffers[i].header);
  // The sink falls silent, and the tone stops well short of the half second that was queued
  // (the monitor's own delay comes on top of the time the tone took to be heard).
  ASSERT_TRUE(sink.waitForSilence(kRate / 10)) << "the sink played on after the reset";
  // Without the server's flush, what it held plays on: about a quarter of a second here.
  EXPECT_LT(Listen(sink.samples(), before).span(), kRate * 15 / 100)
      << "the reset did not cut the tone short";

  // A buffer written now plays and comes back; then the queue runs dry.
  const uint32_t underrunsBefore = WaveOutUnderruns(device);
  buffers[0].header.dwBufferLength = 400;
  ASSERT_EQ(waveOutWrite(device, &buffers[0].header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  ASSERT_TRUE(callback.waitFor(MM_WOM_DONE, 9)) << "the reset left the device paused";
  EXPECT_EQ(callback.done().back(), &buffers[0].header);
  ASSERT_TRUE(sink.waitFor(sink.count() + kRate * 3 / 10));
  EXPECT_GT(WaveOutUnderruns(device), underrunsBefore) << "an empty queue counted no underrun";

  for (auto& buffer : buffers) waveOutUnprepareHeader(device, &buffer.header, sizeof(WAVEHDR));
  EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
  ASSERT_TRUE(callback.waitFor(MM_WOM_CLOSE, 1));
  const std::vector<MSG> opened = callback.received(MM_WOM_OPEN);
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0].wParam, reinterpret_cast<uintptr_t>(device));
}

TEST_F(DeviceTest, RefusesFormatsTheDeviceCannotTake) {
  CallbackThread callback;
  std::vector<WAVEFORMATEX> refused = {
      Pcm(44100, 0, 16), Pcm(44100, 33, 16), Pcm(1000000, 2, 16),  // the server refuses the rate
      Pcm(44100, 2, 24), Pcm(0, 2, 16),      Pcm(44100, 2, 12),
  };
  WAVEFORMATEX notPcm = Pcm(44100, 2, 16);
  notPcm.wFormatTag = 3;
  WAVEFORMATEX badBlock = Pcm(44100, 2, 16);
  badBlock.nBlockAlign = 2;
  WAVEFORMATEX badRate = Pcm(44100, 2, 16);
  badRate.nAvgBytesPerSec = 1;
  refused.insert(refused.end(), {notPcm, badBlock, badRate});
  for (const WAVEFORMATEX& format : refused) {
    HWAVEOUT device = reinterpret_cast<HWAVEOUT>(&callback);
    EXPECT_EQ(waveOutOpen(&device, WAVE_MAPPER, &format, callback.id(), 0, CALLBACK_THREAD),
              WAVERR_BADFORMAT)
        << uint32_t{format.nChannels} << " channels, " << uint32_t{format.nSamplesPerSec} << " Hz, "
        << uint32_t{format.wBitsPerSample} << " bits";
    EXPECT_EQ(device, nullptr);
  }
  const WAVEFORMATEX good = Pcm(44100, 2, 16);
  HWAVEOUT device = nullptr;
  {
    // The server takes up to 32 channels, more than the eight the old cards had.
    CallbackThread wideCallback;
    const WAVEFORMATEX wide = Pcm(44100, 20, 16);
    ASSERT_EQ(waveOutOpen(&device, 1, &wide, wideCallback.id(), 0, CALLBACK_THREAD),
              MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
    device = nullptr;
  }
  EXPECT_EQ(waveOutOpen(&device, 2, &good, callback.id(), 0, CALLBACK_THREAD),
            MMSYSERR_BADDEVICEID);
  EXPECT_EQ(device, nullptr);
  EXPECT_TRUE(callback.received(MM_WOM_OPEN).empty());
}

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

// A sink of its own, which the test unloads while it plays there: the server moves the stream
// to its fallback sink, or the device fails and every later write is refused. Either way every
// buffer comes back and nothing hangs.
TEST_F(DeviceTest, ASinkUnloadedWhilePlayingEndsThePlaybackOrPlaysOnLosingNoBuffer) {
  if (!StackIsSoundServer()) GTEST_SKIP() << "ALSA's devices are its configuration's";
  const ScratchDir scratch;
  const std::string server = "--server=" + MonitorServer();
  ChildProcess load({"/usr/bin/pactl", server, "load-module", "module-null-sink",
                     "sink_name=rtplayer_gone", "sink_properties=device.description=rtplayer_gone"},
                    scratch.path("load"));
  ASSERT_EQ(load.wait(), 0) << load.errors();
  const std::string module = Trimmed(load.output());
  uint32_t id = 0;
  const uint32_t count = waveOutGetNumDevs();
  for (WAVEOUTCAPSA caps{}; id < count; ++id) {
    waveOutGetDevCapsA(id, &caps, sizeof caps);
    if (std::string(caps.szPname) == "rtplayer_gone") break;
  }
  ASSERT_LT(id, count) << "the new sink is not listed";

  CallbackThread callback;
  HWAVEOUT device = nullptr;
  const WAVEFORMATEX format = Pcm(kRate, 2, 16);
  ASSERT_EQ(waveOutOpen(&device, id, &format, callback.id(), 0, CALLBACK_THREAD), MMSYSERR_NOERROR);
  std::vector<Buffer> buffers;
  for (int i = 0; i < 4; ++i) buffers.emplace_back(kBufferFrames * 4);
  WriteAll(device, buffers);
  // Each buffer that comes back is written again, up to sixteen writes; the sink goes after
  // the second has come back.
  size_t written = buffers.size();
  bool refused = false;
  for (size_t back = 1; back <= written; ++back) {
    ASSERT_TRUE(callback.waitFor(MM_WOM_DONE, back)) << "a buffer was lost with the sink";
    if (back == 2) {
      ChildProcess unload({"/usr/bin/pactl", server, "unload-module", module},
                          scratch.path("unload"));
      ASSERT_EQ(unload.wait(), 0) << unload.errors();
    }
    if (refused || written == 16) continue;
    if (waveOutWrite(device, callback.done()[back - 1], sizeof(WAVEHDR)) == MMSYSERR_NOERROR) {
      ++written;
    } else {
      refused = true;
    }
  }
  RecordProperty("outcome", refused ? "the device failed" : "played on elsewhere");
  EXPECT_EQ(callback.done().size(), written);
  for (auto& buffer : buffers) {
    EXPECT_EQ(waveOutUnprepareHeader(device, &buffer.header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  }
  EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
  EXPECT_EQ(waveOutGetNumDevs(), 2u);
}

// With no sound server to answer, the ALSA module serves: its default entry heads the list,
// and a short file plays on ALSA's default device or, on a machine without one, fails to open
// with the fixed message. Run as the command-line player, in a process of its own.
TEST(NoSoundServer, AlsaServesTheListAndTheDefaultDevice) {
  const ScratchDir scratch;
  const std::string cli = std::string(RTPLAYER_BINARY_DIR) + "/bin/rtplayer-cli";
  const std::string nowhere = "PULSE_SERVER=unix:" + scratch.path("no-server");
  ChildProcess list({"/usr/bin/env", nowhere, cli, "--list-devices"}, scratch.path("list"));
  ASSERT_EQ(list.wait(), 0) << list.errors();
  EXPECT_EQ(list.output().substr(0, 16), "0\tDefault: ALSA\n");
  EXPECT_EQ(list.errors(), "");

  const std::string file = scratch.path("short.wav");
  ASSERT_TRUE(WriteFileBytes(file, WaveFile(PcmFormat(8000, 1, 8), Pattern(400))));
  ChildProcess play({"/usr/bin/env", nowhere, cli, file}, scratch.path("play"));
  const int status = play.wait();
  if (status != 0) {
    EXPECT_EQ(status, 1);
    EXPECT_EQ(play.errors(),
              "rtplayer-cli: " + file + ": " + std::string(expected::kCannotOpenDevice) + "\n");
  }
}

// Misuse of the queue gives the platform's errors, on any device (here the file device).
TEST(WaveOutQueue, RefusesMisusedHeadersAndInjectedFailures) {
  const ScratchDir scratch;  // its files go with it
  const std::string path = scratch.path("misuse.wav");
  CallbackThread callback;
  const WAVEFORMATEX format = Pcm(8000, 1, 8);
  HWAVEOUT device = nullptr;
  InjectServiceFault("waveOutOpen", 1);
  EXPECT_NE(OpenFileDevice(&device, path.c_str(), &format, callback.id(), CALLBACK_THREAD),
            MMSYSERR_NOERROR);
  EXPECT_EQ(device, nullptr);
  ASSERT_EQ(OpenFileDevice(&device, path.c_str(), &format, callback.id(), CALLBACK_THREAD),
            MMSYSERR_NOERROR);
  waveOutPause(device);

  Buffer buffer(100);
  ASSERT_EQ(waveOutPrepareHeader(device, &buffer.header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  InjectServiceFault("waveOutWrite", 1);
  EXPECT_NE(waveOutWrite(device, &buffer.header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  EXPECT_EQ(buffer.header.dwFlags, WHDR_PREPARED) << "a refused buffer was queued";
  ASSERT_EQ(waveOutWrite(device, &buffer.header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  EXPECT_EQ(waveOutWrite(device, &buffer.header, sizeof(WAVEHDR)), WAVERR_STILLPLAYING);
  EXPECT_EQ(waveOutClose(device), WAVERR_STILLPLAYING);

  waveOutReset(device);
  ASSERT_TRUE(callback.waitFor(MM_WOM_DONE, 1));
  EXPECT_EQ(callback.done().size(), 1u) << "returned more than once";
  EXPECT_EQ(waveOutUnprepareHeader(device, &buffer.header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  EXPECT_EQ(buffer.header.dwFlags, WHDR_DONE);
  EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
  ClearServiceFaults();
}

// Two threads on one device, as the engine uses it: the callback thread writes every buffer
// again as soon as it comes back, while another thread resets (and sometimes pauses) the
// device as fast as it can. Every write must come back exactly once.
constexpr uint32_t WM_RACE_START = 0x0401;
constexpr uint32_t WM_RACE_END = 0x0402;

constexpr int kRacingResets = 100;

struct Race {
  HWAVEOUT device = nullptr;
  std::vector<Buffer> buffers;
  int target = 0;
  // The writer thread's own.
  std::vector<bool> queued;
  int writes = 0, returns = 0, returnedTwice = 0, unknown = 0, refused = 0;
  // The writes go on until this many resets have raced them, however the threads are
  // scheduled.
  std::atomic<int> resets{0};
  std::atomic<bool> finished{false};
  std::mutex lock;
  std::condition_variable ended;
};

void Finish(Race* race) {
  std::lock_guard lock(race->lock);
  race->finished = true;
  race->ended.notify_all();
}

void WriteAgain(Race* race, size_t i) {
  if (waveOutWrite(race->device, &race->buffers[i].header, sizeof(WAVEHDR)) != MMSYSERR_NOERROR) {
    ++race->refused;
    Finish(race);  // the device has failed: the race cannot go on
    return;
  }
  race->queued[i] = true;
  ++race->writes;
}

uint32_t RaceWriter(void* param) {
  auto* race = static_cast<Race*>(param);
  MSG message{};
  while (GetMessageA(&message) == 1 && message.message != WM_RACE_END) {
    if (message.message == WM_RACE_START) {
      for (size_t i = 0; i < race->buffers.size(); ++i) WriteAgain(race, i);
      continue;
    }
    if (message.message != MM_WOM_DONE) continue;
    size_t i = 0;
    while (i < race->buffers.size() &&
           &race->buffers[i].header != reinterpret_cast<WAVEHDR*>(message.lParam))
      ++i;
    if (i == race->buffers.size()) {
      ++race->unknown;
      continue;
    }
    if (!race->queued[i]) {
      ++race->returnedTwice;
      continue;
    }
    race->queued[i] = false;
    ++race->returns;
    if (race->writes < race->target || race->resets.load() < kRacingResets) {
      WriteAgain(race, i);
    } else if (race->returns == race->writes) {
      Finish(race);
    }
  }
  return 0;
}

// On the default device, or on the file device when `file` is given.
void RunRace(const WAVEFORMATEX& format, uint32_t bufferBytes, uint8_t silence, int writes,
             const char* file = nullptr) {
  Race race;
  race.target = writes;
  // Silence, so that a tone test running beside this one hears nothing from it.
  for (int i = 0; i < 4; ++i) race.buffers.emplace_back(bufferBytes, silence);
  race.queued.assign(race.buffers.size(), false);
  uint32_t writerId = 0;
  HTHREAD writer = CreateThread(&RaceWriter, &race, &writerId);
  ASSERT_EQ(file != nullptr
                ? OpenFileDevice(&race.device, file, &format, writerId, CALLBACK_THREAD)
                : waveOutOpen(&race.device, WAVE_MAPPER, &format, writerId, 0, CALLBACK_THREAD),
            MMSYSERR_NOERROR);
  for (auto& buffer : race.buffers)
    waveOutPrepareHeader(race.device, &buffer.header, sizeof(WAVEHDR));
  PostThreadMessageA(writerId, WM_RACE_START, 0, 0);

  std::thread resetter([&] {
    while (!race.finished.load()) {
      if (race.resets.fetch_add(1) % 5 == 4) waveOutPause(race.device);
      waveOutReset(race.device);
    }
  });
  {
    std::unique_lock lock(race.lock);
    race.ended.wait_for(lock, 240s, [&] { return race.finished.load(); });
  }
  Finish(&race);
  resetter.join();
  // Whatever is still queued comes back now, before the end message.
  waveOutReset(race.device);
  PostThreadMessageA(writerId, WM_RACE_END, 0, 0);
  CloseHandle(writer);

  EXPECT_EQ(race.returnedTwice, 0);
  EXPECT_EQ(race.unknown, 0);
  EXPECT_EQ(race.refused, 0);
  EXPECT_GE(race.writes, writes);
  EXPECT_EQ(race.returns, race.writes) << race.writes - race.returns << " buffers lost";
  ::testing::Test::RecordProperty("writes", race.writes);
  ::testing::Test::RecordProperty("resets", race.resets.load());
  for (auto& buffer : race.buffers) {
    EXPECT_EQ(waveOutUnprepareHeader(race.device, &buffer.header, sizeof(WAVEHDR)),
              MMSYSERR_NOERROR);
  }
  EXPECT_EQ(waveOutClose(race.device), MMSYSERR_NOERROR);
}

TEST_F(DeviceTest, WritesRacingResetsAreNeverLostNorReturnedTwice) {
  // Thousands of corks and flushes a second break PipeWire 0.3.65's PulseAudio service now and
  // then: its client node fails to map its memory ("port_set_io failed: Bad file descriptor"),
  // and it drops the connection. The queue's contract is the same on every stack.
  if (TestSoundStack() == "pipewire") GTEST_SKIP() << "PipeWire's service fails under this load";
  RunRace(Pcm(44100, 2, 16), 64, 0, 20000);
}

TEST(FileDeviceRace, WritesRacingResetsAreNeverLostNorReturnedTwice) {
  const ScratchDir scratch;  // its files go with it
  const std::string path = scratch.path("race.wav");
  RunRace(Pcm(8000, 1, 8), 7, 0x80, 20000, path.c_str());
}

}  // namespace

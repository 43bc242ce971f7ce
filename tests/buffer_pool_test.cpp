// SPDX-License-Identifier: GPL-3.0-or-later
// The buffer pool on the file device: which device an entry opens, the buffers' sizes, every
// failure of the creation with what it leaves queued, and the frees that end the playback
// thread, with failures injected where no real input provokes them.
#include "engine/buffer_pool.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "platform/faults.h"
#include "support/expected_texts.h"
#include "support/recording_front_end.h"

namespace {

WAVEFORMATEX Pcm(uint32_t rate, uint16_t channels, uint16_t bits) {
  const auto block = static_cast<uint16_t>(channels * bits / 8);
  return {WAVE_FORMAT_PCM, channels, rate, rate * block, block, bits, 0};
}

constexpr uint32_t WM_PROBE = 0x0400;

// What the stand-in playback thread saw. Its own until it has been joined.
struct Drain {
  std::vector<int32_t> liveAfterFree;  // deviceBuffersLive after each free
  std::vector<uint32_t> lengths;       // dwBufferLength of each returned buffer
  size_t freesBeforeQuit = 0;
  bool quitTwice = false;
};

// The playback thread's draining: every returned buffer is unprepared and freed. After
// WM_QUIT it looks once more at its queue, so a second quit would be seen.
uint32_t DrainThread(void* param) {
  auto* drain = static_cast<Drain*>(param);
  MSG message{};
  while (GetMessageA(&message) == 1) {
    if (message.message != MM_WOM_DONE) continue;
    auto* header = reinterpret_cast<WAVEHDR*>(message.lParam);
    drain->lengths.push_back(header->dwBufferLength);
    waveOutUnprepareHeader(player.waveOutHandle, header, sizeof(WAVEHDR));
    FreeDeviceBuffer(header);
    drain->liveAfterFree.push_back(LoadBuffersLive());
  }
  drain->freesBeforeQuit = drain->liveAfterFree.size();
  PostThreadMessageA(GetCurrentThreadId(), WM_PROBE, 0, 0);
  drain->quitTwice = GetMessageA(&message) == 0;
  return 0;
}

class BufferPoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetPlayerState(frontEnd_);
    ClearServiceFaults();
    SetOutputFile(path_);
    player.outputFormat = Pcm(44100, 2, 16);
  }

  static void StartPlaybackThread(Drain* drain) {
    player.playbackThread = CreateThread(&DrainThread, drain, &player.playbackThreadId);
    ASSERT_NE(player.playbackThread, nullptr);
  }

  void TearDown() override {
    ClearServiceFaults();
    std::remove(path_.c_str());
  }

  // The teardown of a start: the stop's reset sends queued buffers back to be freed, and
  // with none live the quit is posted here. Then the thread is joined and the device closed.
  void TearDownStart() {
    // Read before the reset: afterwards the thread may free the last buffer and quit by
    // itself, and a second quit here would be harmless but would hide a double quit there.
    const bool noneLive = LoadBuffersLive() == 0;
    if (player.waveOutHandle != nullptr) RequestStop();
    if (noneLive) PostThreadMessageA(player.playbackThreadId, WM_QUIT, 0, 0);
    CloseHandle(player.playbackThread);
    player.playbackThread = nullptr;
    if (player.waveOutHandle != nullptr) {
      EXPECT_EQ(waveOutClose(player.waveOutHandle), MMSYSERR_NOERROR) << "buffers left queued";
      player.waveOutHandle = nullptr;
    }
  }

  uint32_t OpenedId() const {
    uint32_t id = 0;
    EXPECT_EQ(waveOutGetID(player.waveOutHandle, &id), MMSYSERR_NOERROR);
    return id;
  }

  using Errors = std::vector<std::string>;

  const std::string path_ =
      ::testing::TempDir() + "rtplayer-pool-" + std::to_string(getpid()) + ".wav";
  RecordingFrontEnd frontEnd_;
  Drain drain_;
};

// On the test daemon's two sinks: entry 3 names a device that is not there.
TEST_F(BufferPoolTest, EntryZeroOpensTheDefaultDeviceAndEntryKDeviceKMinusOne) {
  if (std::getenv("RTPLAYER_PULSE_DIR") == nullptr) GTEST_SKIP() << "no test daemon";
  SetOutputFile("");
  StartPlaybackThread(&drain_);
  for (const auto& [entry, id] : {std::pair{0, WAVE_MAPPER}, {1, 0u}, {2, 1u}}) {
    frontEnd_.selectEntry(entry);
    ASSERT_NE(OpenOutputDevice(), 0);
    EXPECT_EQ(OpenedId(), id) << "entry " << entry;
    EXPECT_EQ(waveOutClose(player.waveOutHandle), MMSYSERR_NOERROR);
    player.waveOutHandle = nullptr;
  }
  EXPECT_TRUE(frontEnd_.errors().empty());
  frontEnd_.selectEntry(3);
  EXPECT_EQ(OpenOutputDevice(), 0);
  EXPECT_EQ(player.waveOutHandle, nullptr);
  TearDownStart();
  EXPECT_EQ(frontEnd_.errors(), Errors{expected::kCannotOpenDevice});
}

TEST_F(BufferPoolTest, QueuesFourBuffersOf125msOnThePausedDevice) {
  for (const auto& [format, size] :
       {std::pair{Pcm(44100, 2, 16), 22052u}, std::pair{Pcm(8000, 1, 8), 1000u}}) {
    Drain drain;
    StartPlaybackThread(&drain);
    player.outputFormat = format;
    ASSERT_NE(OpenOutputDevice(), 0);
    ASSERT_NE(CreateDeviceBuffers(), 0);
    EXPECT_EQ(player.deviceBufferSize, size);
    EXPECT_EQ(LoadBuffersLive(), 4);
    // A stop returns all four, unplayed (the device was paused), at their full length; the
    // fourth free, and only it, posts the quit.
    TearDownStart();
    EXPECT_EQ(drain.lengths, std::vector<uint32_t>(4, size));
    EXPECT_EQ(drain.liveAfterFree, (std::vector<int32_t>{3, 2, 1, 0}));
    EXPECT_EQ(drain.freesBeforeQuit, 4u);
    EXPECT_FALSE(drain.quitTwice) << "a free before the fourth posted a quit";
    EXPECT_TRUE(frontEnd_.errors().empty());
  }
  // Nothing was played, and a start that failed keeps no file.
  EXPECT_FALSE(std::filesystem::exists(path_));
}

TEST_F(BufferPoolTest, ADeviceThatCannotBeOpenedShowsItsMessage) {
  StartPlaybackThread(&drain_);
  InjectServiceFault("waveOutOpen", 1);
  EXPECT_EQ(OpenOutputDevice(), 0);
  EXPECT_EQ(player.waveOutHandle, nullptr);
  player.outputFormat = Pcm(44100, 2, 24);
  EXPECT_EQ(OpenOutputDevice(), 0) << "24-bit samples, which no device takes";
  EXPECT_EQ(player.waveOutHandle, nullptr);
  EXPECT_EQ(frontEnd_.errors(), Errors(2, expected::kCannotOpenDevice));
  TearDownStart();
  EXPECT_EQ(drain_.freesBeforeQuit, 0u);
}

// A failure in pass `failingPass` leaves the earlier passes' buffers queued and counted; the
// teardown's reset brings them back, and the last free ends the thread.
void ExpectEarlierPassesDrained(const Drain& drain, size_t queued) {
  EXPECT_EQ(drain.liveAfterFree.size(), queued);
  EXPECT_EQ(drain.freesBeforeQuit, queued);
  if (queued > 0) {
    EXPECT_EQ(drain.liveAfterFree.back(), 0);
  }
  EXPECT_FALSE(drain.quitTwice);
  EXPECT_EQ(LoadBuffersLive(), 0);
}

TEST_F(BufferPoolTest, ThirdDataBlockMissingLeavesTwoQueuedThatTheTeardownFrees) {
  StartPlaybackThread(&drain_);
  ASSERT_NE(OpenOutputDevice(), 0);
  InjectServiceFault("LocalAlloc", 5);  // passes take two blocks each: data, then header
  EXPECT_EQ(CreateDeviceBuffers(), 0);
  EXPECT_EQ(frontEnd_.errors(), Errors{expected::kNoDeviceBufferMemory});
  EXPECT_EQ(LoadBuffersLive(), 2);
  TearDownStart();
  ExpectEarlierPassesDrained(drain_, 2);
  EXPECT_EQ(drain_.liveAfterFree, (std::vector<int32_t>{1, 0})) << "the second free posts the quit";
}

TEST_F(BufferPoolTest, ThirdHeaderMissingReleasesItsDataBlock) {
  StartPlaybackThread(&drain_);
  ASSERT_NE(OpenOutputDevice(), 0);
  InjectServiceFault("LocalAlloc", 6);
  EXPECT_EQ(CreateDeviceBuffers(), 0);
  EXPECT_EQ(frontEnd_.errors(), Errors{expected::kNoDeviceBufferMemory});
  EXPECT_EQ(LoadBuffersLive(), 2);
  TearDownStart();
  ExpectEarlierPassesDrained(drain_, 2);
}

TEST_F(BufferPoolTest, FirstPassFailingLeavesTheQuitToTheTeardown) {
  StartPlaybackThread(&drain_);
  ASSERT_NE(OpenOutputDevice(), 0);
  InjectServiceFault("LocalAlloc", 2);
  EXPECT_EQ(CreateDeviceBuffers(), 0);
  EXPECT_EQ(LoadBuffersLive(), 0);
  TearDownStart();
  ExpectEarlierPassesDrained(drain_, 0);
}

TEST_F(BufferPoolTest, ARefusedWriteReleasesItsBufferAndKeepsTheEarlierOnes) {
  StartPlaybackThread(&drain_);
  ASSERT_NE(OpenOutputDevice(), 0);
  InjectServiceFault("waveOutWrite", 3);
  EXPECT_EQ(CreateDeviceBuffers(), 0);
  EXPECT_EQ(frontEnd_.errors(), Errors{expected::kCannotQueueBuffer});
  EXPECT_EQ(LoadBuffersLive(), 2);
  TearDownStart();
  ExpectEarlierPassesDrained(drain_, 2);
}

}  // namespace

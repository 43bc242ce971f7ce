// SPDX-License-Identifier: GPL-3.0-or-later
// Whole playbacks through the engine on the file device: the start sequence with each of its
// failures, failures while playing, the end of the data, and stops at any moment.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>
#include <thread>

#include "codec_fixtures.h"
#include "engine/engine.h"
#include "platform/faults.h"
#include "support/expected_texts.h"
#include "support/recording_front_end.h"
#include "support/scratch_dir.h"
#include "support/wav_reading.h"
#include "support/wav_writer.h"

namespace {

using Errors = std::vector<std::string>;

class PlaybackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetPlayerState(frontEnd_);
    player.savedPriorityClass = GetPriorityClass();
    ClearServiceFaults();
    SetOutputFile(output());
  }

  void TearDown() override { ClearServiceFaults(); }

  std::string output() const { return dir_.path("out.wav"); }

  void Use(const Bytes& bytes) { UsePath(dir_.path("in.wav"), bytes); }

  void UsePath(const std::string& path, const Bytes& bytes) {
    ASSERT_TRUE(WriteFileBytes(path, bytes));
    std::strcpy(player.fileName, path.c_str());
  }

  // Launches a playback and, unless `stop` asks for an early stop, lets it run to its finish;
  // then handles the finish as a front end does. Each playback must end with one finish.
  void Play(const std::function<void()>& stop = {}) {
    const int finishes = frontEnd_.finishedPosted();
    ASSERT_TRUE(LaunchPlayback());
    if (stop) stop();
    ASSERT_TRUE(frontEnd_.waitFinished(finishes + 1)) << "no finish: the playback hangs";
    FinishPlayback();
    EXPECT_EQ(frontEnd_.finishedPosted(), finishes + 1);
  }

  static void ExpectIdle() {
    EXPECT_EQ(player.fileHandle, nullptr);
    EXPECT_EQ(player.streamHandle, nullptr);
    EXPECT_EQ(player.waveOutHandle, nullptr);
    EXPECT_EQ(player.sourceBuffer, nullptr);
    EXPECT_EQ(player.convertedBuffer, nullptr);
    EXPECT_EQ(player.playbackThread, nullptr);
    EXPECT_EQ(player.playbackThreadId, 0u);
    EXPECT_EQ(LoadFlags(), 0u);
    EXPECT_EQ(LoadBuffersLive(), 0) << "device buffers abandoned";
    EXPECT_EQ(TimerResolutionRequests(), 0);
  }

  Bytes Played() const {
    const auto wav = ReadWav(output());
    EXPECT_TRUE(wav.has_value()) << "the file device wrote no valid WAV file";
    return wav ? wav->data : Bytes{};
  }

  RecordingFrontEnd frontEnd_;
  ScratchDir dir_;
};

// Compares PCM without printing megabytes: the first differing byte is enough.
void ExpectSame(const Bytes& played, const Bytes& expected) {
  ASSERT_EQ(played.size(), expected.size());
  const auto mismatch = std::mismatch(played.begin(), played.end(), expected.begin());
  EXPECT_TRUE(mismatch.first == played.end())
      << "first difference at byte " << (mismatch.first - played.begin());
}

// Two seconds of 16-bit stereo at 22 050 Hz: about 22 device buffers.
Bytes TwoSecondsOfPcm() {
  return WaveFile(PcmFormat(22050, 2, 16), Pattern(2 * 88200));
}

TEST_F(PlaybackTest, PcmPlaysToItsEndExactlyAsStored) {
  const Bytes data = Pattern(2 * 88200 + 8);
  Use(WaveFile(PcmFormat(22050, 2, 16), data));
  Play();
  EXPECT_EQ(frontEnd_.errors(), Errors{});
  EXPECT_EQ(frontEnd_.playingShown(), 1);
  ExpectSame(Played(), data);
  ExpectIdle();
}

TEST_F(PlaybackTest, TheEndOfTheDataIsFoundInEveryShapeOfFile) {
  struct Case {
    const char* name;
    Bytes file;
    Bytes expected;
  };
  const WAVEFORMATEX format = PcmFormat(8000, 1, 16);
  const Bytes small = Pattern(1000);
  const Bytes large = Pattern(40000);
  Bytes truncated = RiffForm(
      "WAVE", {Chunk("fmt ", FormatBytes(format)), ChunkClaiming("data", 100000, Pattern(30000))});
  const std::vector<Case> cases{
      {"one block", WaveFile(format, small), small},
      {"no data", WaveFile(format, {}), {}},
      {"chunks after the data",
       RiffForm("WAVE", {Chunk("fmt ", FormatBytes(format)), Chunk("data", large),
                         Chunk("LIST", Pattern(3000, 9))}),
       large},
      {"a data chunk longer than the file", truncated, Pattern(30000)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Use(c.file);
    Play();
    EXPECT_EQ(frontEnd_.errors(), Errors{});
    ExpectSame(Played(), c.expected);
    ExpectIdle();
  }
}

struct StartFailure {
  const char* name;
  const char* message;
  const char* service;  // the call made to fail, or null for a bad file
  uint32_t nth;
  friend void PrintTo(const StartFailure& f, std::ostream* out) { *out << f.name; }
};

class StartFailureTest : public PlaybackTest, public ::testing::WithParamInterface<StartFailure> {};

TEST_P(StartFailureTest, ShowsItsMessageOnceAndEndsIdle) {
  const StartFailure& failure = GetParam();
  const WAVEFORMATEX pcm = PcmFormat(22050, 2, 16);
  const std::string name = failure.name;
  if (name == "missing file") {
    std::strcpy(player.fileName, dir_.path("nowhere.wav").c_str());
  } else if (name == "not WAVE") {
    Use(RiffForm("AVI ", {Chunk("fmt ", FormatBytes(pcm)), Chunk("data", Pattern(100))}));
  } else if (name == "no fmt") {
    Use(RiffForm("WAVE", {Chunk("data", Pattern(100))}));
  } else if (name == "fmt too large") {
    Use(RiffForm("WAVE", {Chunk("fmt ", Pattern(147)), Chunk("data", Pattern(100))}));
  } else if (name == "fmt cut short") {
    Use(RiffForm("WAVE", {ChunkClaiming("fmt ", 40, FormatBytes(pcm))}));
  } else if (name == "no data") {
    Use(RiffForm("WAVE", {Chunk("fmt ", FormatBytes(pcm)), Chunk("LIST", Pattern(10))}));
  } else if (name == "unknown format") {
    WAVEFORMATEX unknown = pcm;
    unknown.wFormatTag = 0x7A7A;
    Use(WaveFile(unknown, Pattern(100)));
  } else if (name == "device buffers of no bytes") {
    WAVEFORMATEX slow = PcmFormat(3, 1, 8);  // 125 ms is less than a byte, whatever the byte rate
    slow.nAvgBytesPerSec = 8000;
    Use(WaveFile(slow, Pattern(100)));
  } else if (name == "no output size") {
    WAVEFORMATEX silent = pcm;
    silent.nAvgBytesPerSec = 0;
    Use(WaveFile(silent, Pattern(100)));
  } else {
    Use(TwoSecondsOfPcm());
  }
  if (failure.service != nullptr) InjectServiceFault(failure.service, failure.nth);

  Play();
  EXPECT_EQ(frontEnd_.errors(), Errors{failure.message});
  EXPECT_EQ(frontEnd_.playingShown(), 0);
  ExpectIdle();
  // Nothing was played: the device buffers' undefined contents never reach the output.
  if (const auto wav = ReadWav(output())) {
    EXPECT_TRUE(wav->data.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    EveryStep, StartFailureTest,
    ::testing::Values(
        StartFailure{"missing file", expected::kCannotOpenFile, nullptr, 0},
        StartFailure{"not WAVE", expected::kNotRiffWave, nullptr, 0},
        StartFailure{"no fmt", expected::kNoFormatChunk, nullptr, 0},
        StartFailure{"fmt too large", expected::kFormatChunkTooLarge, nullptr, 0},
        StartFailure{"fmt cut short", expected::kFormatChunkReadError, nullptr, 0},
        StartFailure{"no data", expected::kNoDataChunk, nullptr, 0},
        StartFailure{"unknown format", expected::kNoOutputFormat, nullptr, 0},
        StartFailure{"stream refused", expected::kCannotOpenStream, "acmStreamOpen", 1},
        StartFailure{"no source memory", expected::kNoSourceMemory, "LocalAlloc", 1},
        StartFailure{"no output size from the stream", expected::kNoResultSize, "acmStreamSize", 1},
        StartFailure{"no output size", expected::kSourceBufferTooSmall, nullptr, 0},
        StartFailure{"no result memory", expected::kNoResultMemory, "LocalAlloc", 2},
        StartFailure{"buffer refused", expected::kCannotSetFileBuffer, "mmioSetBuffer", 1},
        StartFailure{"no buffer state", expected::kCannotGetFileInfo, "mmioGetInfo", 1},
        StartFailure{"device refused", expected::kCannotOpenDevice, "waveOutOpen", 1},
        StartFailure{"no memory for the first device buffer", expected::kNoDeviceBufferMemory,
                     "LocalAlloc", 3},
        StartFailure{"no memory for the third device buffer's header",
                     expected::kNoDeviceBufferMemory, "LocalAlloc", 8},
        StartFailure{"device buffers of no bytes", expected::kCannotQueueBuffer, nullptr, 0},
        StartFailure{"first device buffer refused", expected::kCannotQueueBuffer, "waveOutWrite",
                     1},
        StartFailure{"third device buffer refused", expected::kCannotQueueBuffer, "waveOutWrite",
                     3}),
    [](const ::testing::TestParamInfo<StartFailure>& test) {
      std::string name = test.param.name;
      for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      return name;
    });

struct PlayingFailure {
  const char* name;
  const char* message;
  const char* service;
  uint32_t nth;
  friend void PrintTo(const PlayingFailure& f, std::ostream* out) { *out << f.name; }
};

class PlayingFailureTest : public PlaybackTest,
                           public ::testing::WithParamInterface<PlayingFailure> {};

// A playback that fails keeps nothing of its output: a file that was at the output's place
// stays as it was, and nothing is left beside it.
TEST_P(PlayingFailureTest, StopsShowsItsMessageOnceFreesEveryBufferAndKeepsNoOutput) {
  Use(TwoSecondsOfPcm());
  const Bytes old = {'o', 'l', 'd'};
  ASSERT_TRUE(WriteFileBytes(output(), old));
  InjectServiceFault(GetParam().service, GetParam().nth);
  Play();
  EXPECT_EQ(frontEnd_.errors(), Errors{GetParam().message});
  ExpectIdle();
  EXPECT_EQ(ReadFileBytes(output()), old);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.root()),
                          std::filesystem::directory_iterator()),
            2)
      << "something was left beside the output";
}

INSTANTIATE_TEST_SUITE_P(
    EveryKind, PlayingFailureTest,
    ::testing::Values(
        // The first refill is the first buffer's; the fourth comes mid-file.
        PlayingFailure{"FirstRefill", expected::kFileReadError, "mmioAdvance", 1},
        PlayingFailure{"LaterRefill", expected::kFileReadError, "mmioAdvance", 4},
        PlayingFailure{"Conversion", expected::kCannotConvert, "acmStreamConvert", 3},
        // The start queues four buffers; the fifth write is the first refilled one.
        PlayingFailure{"RequeueFirst", expected::kCannotQueueBuffer, "waveOutWrite", 5},
        PlayingFailure{"RequeueLater", expected::kCannotQueueBuffer, "waveOutWrite", 12}),
    [](const ::testing::TestParamInfo<PlayingFailure>& test) {
      return std::string(test.param.name);
    });

TEST_F(PlaybackTest, AnOutputThatCannotBeWrittenIsReportedOnceWhereverItFails) {
  SetOutputFile("/dev/full");
  // Data that fits one buffer: the only write fails, and so does the header at the close.
  Use(WaveFile(PcmFormat(8000, 1, 16), Pattern(800)));
  Play();
  EXPECT_EQ(frontEnd_.errors(), Errors{expected::kCannotCloseDevice});
  ExpectIdle();
  // Longer data: the write after the failed one is refused, and that is the only message.
  Use(TwoSecondsOfPcm());
  Play();
  EXPECT_EQ(frontEnd_.errors(),
            (Errors{expected::kCannotCloseDevice, expected::kCannotQueueBuffer}));
  ExpectIdle();
}

// The MP3 codec fixture with `zeros` bytes of nothing in the middle of its data, as a damaged
// copy has them; its source buffers hold 4096 bytes.
Bytes Mp3WithZeros(size_t zeros, Bytes* reference) {
  const CodecFixture fixture = LoadCodecFixture("ffmpeg-mp3-mono");
  Bytes data = fixture.data;
  data.insert(data.begin() + static_cast<ptrdiff_t>(data.size() / 2), zeros, 0);
  *reference = fixture.reference;
  return RiffForm("WAVE", {Chunk("fmt ", fixture.format), Chunk("data", data)});
}

TEST_F(PlaybackTest, ADamagedStretchIsSkippedWithEveryBufferKept) {
  // Seven source buffers without sound: were each to end a fill, the four device buffers
  // would be freed one by one and the playback would end, quietly, at the damage.
  Bytes reference;
  Use(Mp3WithZeros(7 * 4096, &reference));
  Play();
  EXPECT_EQ(frontEnd_.errors(), Errors{});
  const Bytes played = Played();
  // The decoder resyncs within a few frames; the last half second is as without the damage.
  const size_t tail = 16000;
  ASSERT_GE(played.size(), tail);
  EXPECT_TRUE(std::equal(played.end() - tail, played.end(), reference.end() - tail))
      << played.size() << " bytes played of " << reference.size();
  ExpectIdle();
}

TEST_F(PlaybackTest, ADamagedStretchTooLongToSkipEndsThePlaybackWithAMessage) {
  Bytes reference;
  Use(Mp3WithZeros(20 * 4096, &reference));
  Play();
  EXPECT_EQ(frontEnd_.errors(), Errors{expected::kCannotConvert});
  ExpectIdle();
}

// What a stop leaves is kept: a valid WAV file of what was played, the start of the data.
TEST_F(PlaybackTest, AStopAtAnyMomentEndsWithOneFinishNothingHeldAndWhatWasPlayedKept) {
  Use(TwoSecondsOfPcm());
  const Bytes data = Pattern(2 * 88200);
  std::mt19937 random(20261207);
  std::uniform_int_distribution<int> delayMicroseconds(0, 3000);
  for (int i = 0; i < 1000; ++i) {
    const int delay = i % 4 == 0 ? 0 : delayMicroseconds(random);
    Play([delay] {
      if (delay > 0) std::this_thread::sleep_for(std::chrono::microseconds(delay));
      if ((LoadFlags() & FLAG_PLAYING) != 0) RequestStop();
    });
    if (HasFailure()) {
      ADD_FAILURE() << "after " << i << " stops";
      return;
    }
    EXPECT_EQ(frontEnd_.errors(), Errors{});
    ExpectIdle();
    const Bytes played = Played();
    ASSERT_TRUE(played.size() <= data.size() && played.size() % 4 == 0 &&
                std::equal(played.begin(), played.end(), data.begin()))
        << played.size() << " bytes kept after stop " << i;
  }
}

TEST_F(PlaybackTest, EveryStartBeginsFromAClearedPool) {
  Use(TwoSecondsOfPcm());
  InjectServiceFault("waveOutWrite", 5);
  Play();
  ASSERT_EQ(frontEnd_.errors().size(), 1u);
  // Whatever the failed playback left, the next one starts clean and plays whole.
  Play();
  EXPECT_EQ(frontEnd_.errors().size(), 1u);
  ExpectSame(Played(), Pattern(2 * 88200));
  ExpectIdle();
}

}  // namespace

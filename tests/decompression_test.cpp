// SPDX-License-Identifier: GPL-3.0-or-later
// The decompression stage with the real reader and conversion service: whole files converted
// with the playback thread's own step, the flag sequence, and every failure row with its message.
#include "engine/decompression.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "codec_fixtures.h"
#include "engine/buffer_fill.h"
#include "engine/player_state.h"
#include "engine/start_and_teardown.h"
#include "engine/wave_reader.h"
#include "platform/faults.h"
#include "platform/memory.h"
#include "support/expected_texts.h"
#include "support/scratch_dir.h"
#include "support/wav_writer.h"

namespace {

constexpr uint32_t kBlockAlignStart = ACM_STREAMCONVERTF_BLOCKALIGN | ACM_STREAMCONVERTF_START;

// Records each message, and whether the stop had been requested when it was shown.
struct StageFrontEnd {
  std::vector<std::string> errors;
  std::vector<bool> stoppingFirst;
  FrontEnd port{this,
                [](void* self, const char* text) {
                  auto* me = static_cast<StageFrontEnd*>(self);
                  me->errors.emplace_back(text);
                  me->stoppingFirst.push_back((LoadFlags() & FLAG_STOPPING) != 0);
                },
                [](void*) { return 0; },
                [](void*) {},
                [](void*) {},
                [](void*, uint32_t) {}};
};

struct Played {
  bool ok = false;
  std::vector<uint8_t> pcm;
  std::vector<uint32_t> flags;  // as passed to each conversion
};

class Decompression : public testing::Test {
 protected:
  void SetUp() override {
    player = PlayerState{};
    player.frontEndPort = &frontEnd_.port;
  }

  void TearDown() override { Release(); }

  // Takes apart what a start made with the engine's own teardown, and begins afresh.
  void Release() {
    CloseHandles();
    ReleaseBuffers();
    player = PlayerState{};
    player.frontEndPort = &frontEnd_.port;
    frontEnd_.errors.clear();
    frontEnd_.stoppingFirst.clear();
    ClearServiceFaults();
  }

  bool OpenFile(const std::string& path) {
    std::snprintf(player.fileName, sizeof player.fileName, "%s", path.c_str());
    player.convertFlags = kBlockAlignStart;
    player.convertedPending = 0;
    return OpenWaveFile() != 0;
  }

  // The start's steps up to the bound file buffer.
  static bool Start(const std::string& path) {
    std::snprintf(player.fileName, sizeof player.fileName, "%s", path.c_str());
    return OpenSource() != 0;
  }

  std::string Write(const std::string& name, const Bytes& bytes) {
    const std::string path = scratch_.path(name);
    EXPECT_TRUE(WriteFileBytes(path, bytes));
    return path;
  }

  // Converts the data chunk portion by portion with the playback thread's own step, taking
  // all the PCM of each, and notes the flags each conversion was given.
  static Played Play() {
    Played played;
    for (int portions = 0; portions < 100000; ++portions) {
      played.pcm.insert(played.pcm.end(), player.convertedNext,
                        player.convertedNext + player.convertedPending);
      player.convertedPending = 0;
      if (player.dataRemaining == 0) {
        played.ok = true;
        return played;
      }
      const uint32_t before = player.convertFlags;
      if (!ConvertNextPortion()) return played;
      played.flags.push_back(player.convertFlags | (before & ACM_STREAMCONVERTF_START));
    }
    ADD_FAILURE() << "the playback never ended";
    return played;
  }

  // Every conversion's flags: start and block alignment first, then block alignment, and from
  // the portion that reaches the end on, the end flag alone (start and end when that is the
  // first).
  static void ExpectFlagSequence(const std::vector<uint32_t>& flags) {
    ASSERT_FALSE(flags.empty());
    const uint32_t end = ACM_STREAMCONVERTF_END;
    const uint32_t first = flags.size() == 1 || flags[0] == (ACM_STREAMCONVERTF_START | end)
                               ? ACM_STREAMCONVERTF_START | end
                               : kBlockAlignStart;
    EXPECT_EQ(flags[0], first);
    bool ended = flags[0] & end;
    for (size_t i = 1; i < flags.size(); ++i) {
      if (!ended && flags[i] == end) ended = true;
      EXPECT_EQ(flags[i], ended ? end : ACM_STREAMCONVERTF_BLOCKALIGN) << "conversion " << i;
    }
    EXPECT_TRUE(ended);
  }

  std::vector<std::string> errors() const { return frontEnd_.errors; }
  bool stoppedBeforeShown() const {
    return !frontEnd_.stoppingFirst.empty() && frontEnd_.stoppingFirst.back();
  }

  StageFrontEnd frontEnd_;
  ScratchDir scratch_;
};

class EveryFile : public Decompression, public testing::WithParamInterface<std::string> {};

TEST_P(EveryFile, PlaysToTheReferencePcm) {
  ASSERT_TRUE(Start(CodecFixturePath(GetParam() + ".wav"))) << testing::PrintToString(errors());
  const uint64_t size = player.dataChunk.cksize;
  const Played played = Play();
  ASSERT_TRUE(played.ok) << testing::PrintToString(errors());
  EXPECT_TRUE(errors().empty());
  EXPECT_EQ(played.pcm, LoadCodecFixture(GetParam()).reference);
  EXPECT_EQ(player.dataRemaining, 0u);
  ExpectFlagSequence(played.flags);
  // About one conversion a fill: a carried remainder costs one more at most.
  EXPECT_LE(played.flags.size(), 2 * (size / player.sourceBufferSize + 1) + 1);
}

std::vector<std::string> EveryFileAndItsListCopy() {
  std::vector<std::string> names;
  for (const std::string& name : CodecFixtureNames()) {
    names.push_back(name);
    names.push_back(name + "-list");
  }
  return names;
}

INSTANTIATE_TEST_SUITE_P(Codecs, EveryFile, testing::ValuesIn(EveryFileAndItsListCopy()),
                         CodecFixtureTestName);

TEST_F(Decompression, AChunkThatFitsOneFillConvertsInOnePortionWithStartAndEnd) {
  const Bytes data = Pattern(1001);
  ASSERT_TRUE(Start(Write("one.wav", WaveFile(PcmFormat(8000, 1, 8), data))));
  const Played played = Play();
  ASSERT_TRUE(played.ok);
  EXPECT_EQ(played.pcm, data);
  EXPECT_EQ(played.flags,
            (std::vector<uint32_t>{ACM_STREAMCONVERTF_START | ACM_STREAMCONVERTF_END}));
}

TEST_F(Decompression, BytesAfterTheDataChunkAreNeverConverted) {
  // 8-bit PCM with an odd data chunk: the pad byte and a LIST chunk follow it, in the same fill.
  const Bytes data = Pattern(999);
  Bytes file = RiffForm("WAVE", {Chunk("fmt ", FormatBytes(PcmFormat(8000, 1, 8))),
                                 Chunk("data", data), Chunk("LIST", Pattern(300, 7))});
  ASSERT_TRUE(Start(Write("list.wav", file)));
  const Played played = Play();
  ASSERT_TRUE(played.ok);
  EXPECT_EQ(played.pcm, data);
  EXPECT_EQ(player.dataRemaining, 0u);
  // The pad byte and the LIST chunk stay in the file buffer, unconsumed.
  EXPECT_EQ(player.fileInfo.pchEndRead - player.fileInfo.pchNext, 1 + 8 + 300);
  // A conversion asked for after the end converts nothing and fails nothing.
  ASSERT_TRUE(ConvertNextBlock());
  EXPECT_EQ(player.convertedPending, 0u);
  EXPECT_EQ(player.dataRemaining, 0u);
  EXPECT_TRUE(errors().empty());
}

TEST_F(Decompression, ARemainderOfLessThanABlockIsRefilledAndCarried) {
  // GSM 6.10: 65-byte blocks in a 4096-byte buffer leave one byte after 63 blocks.
  const std::string path = CodecFixturePath("sox-gsm-mono.wav");
  const CodecFixture gsm = LoadCodecFixture("sox-gsm-mono");
  ASSERT_TRUE(Start(path));
  ASSERT_EQ(player.sourceBufferSize, 4096u);
  EXPECT_TRUE(NeedsRefill());
  ASSERT_TRUE(RefillFileBuffer());
  EXPECT_FALSE(NeedsRefill());
  ASSERT_TRUE(ConvertNextBlock());
  EXPECT_EQ(player.convertedPending, 63u * 640);
  ASSERT_EQ(player.fileInfo.pchEndRead - player.fileInfo.pchNext, 1);
  EXPECT_TRUE(NeedsRefill());
  ASSERT_TRUE(RefillFileBuffer());
  EXPECT_EQ(player.fileInfo.pchNext, player.sourceBuffer);
  EXPECT_EQ(player.fileInfo.pchNext[0], gsm.data[63 * 65]);
  player.convertedPending = 0;
  ASSERT_TRUE(ConvertNextBlock());
  EXPECT_EQ(player.convertFlags, ACM_STREAMCONVERTF_END);  // the rest of the data fits this fill
  EXPECT_EQ(player.dataRemaining, 0u);
}

TEST_F(Decompression, ATruncatedFilePlaysWhatItHoldsWithTheTailFlushed) {
  // The data chunk claims more than the file holds; the file ends inside a fill, mid-block.
  const CodecFixture gsm = LoadCodecFixture("sox-gsm-mono");
  Bytes file = ReadFileBytes(CodecFixturePath("sox-gsm-mono.wav"));
  const size_t dataStart = file.size() - gsm.data.size();
  file.resize(dataStart + 4096 + 1000 + 30);
  ASSERT_TRUE(Start(Write("cut.wav", file)));
  const Played played = Play();
  ASSERT_TRUE(played.ok) << testing::PrintToString(errors());
  EXPECT_EQ(player.dataRemaining, 0u);
  // The partial block at the end holds no whole GSM frame: 78 blocks play.
  EXPECT_EQ(played.pcm, Bytes(gsm.reference.begin(), gsm.reference.begin() + 78 * 640));
  EXPECT_EQ(played.flags.back(), ACM_STREAMCONVERTF_END);
  EXPECT_TRUE(errors().empty());
}

TEST_F(Decompression, AFileThatEndsAtAFillsEndFlushesWithAnEmptyBuffer) {
  const CodecFixture pcm = LoadCodecFixture("sox-pcm-s16-stereo");
  Bytes file = ReadFileBytes(CodecFixturePath("sox-pcm-s16-stereo.wav"));
  const size_t dataStart = file.size() - pcm.data.size();
  ASSERT_TRUE(Start(Write("cut.wav", file)));
  const uint32_t fill = player.sourceBufferSize;
  Release();
  file.resize(dataStart + 2 * fill);
  ASSERT_TRUE(Start(Write("cut.wav", file)));
  const Played played = Play();
  ASSERT_TRUE(played.ok);
  EXPECT_EQ(played.pcm, Bytes(pcm.reference.begin(), pcm.reference.begin() + 2 * fill));
  EXPECT_EQ(played.flags, (std::vector<uint32_t>{kBlockAlignStart, ACM_STREAMCONVERTF_BLOCKALIGN,
                                                 ACM_STREAMCONVERTF_END}));
  EXPECT_EQ(player.dataRemaining, 0u);
}

TEST_F(Decompression, AFormatNoDriverDecodesHasNoOutputFormat) {
  WAVEFORMATEX format = PcmFormat(8000, 1, 8);
  format.wFormatTag = 0x7A7A;
  ASSERT_TRUE(OpenFile(Write("unknown.wav", WaveFile(format, Pattern(100)))));
  EXPECT_FALSE(OpenConversionStream());
  EXPECT_EQ(errors(), std::vector<std::string>{expected::kNoOutputFormat});
  EXPECT_EQ(player.streamHandle, nullptr);
}

TEST_F(Decompression, HeadersThatBreakTheSizingAreRefusedBeforeAnyAllocation) {
  auto refused = [this](const std::string& name, const Bytes& file) {
    EXPECT_TRUE(OpenFile(Write(name, file))) << name;
    EXPECT_FALSE(OpenConversionStream()) << name;
    EXPECT_EQ(errors(), std::vector<std::string>{expected::kNoOutputFormat}) << name;
    EXPECT_EQ(player.streamHandle, nullptr) << name;
    Release();
  };
  WAVEFORMATEX format = PcmFormat(8000, 1, 8);
  format.nBlockAlign = 0;
  refused("align0.wav", WaveFile(format, Pattern(100)));
  // 100 ms of these bytes per second do not count in 32 bits.
  format = PcmFormat(8000, 1, 8);
  format.nAvgBytesPerSec = 0xFFFFFFF0;
  refused("avg.wav", WaveFile(format, Pattern(100)));
  // 125 ms of its PCM do not: 40 000 000 bytes a second of 16-bit mono.
  refused("rate.wav", WaveFile(PcmFormat(20000000, 1, 16), Pattern(100)));
  // Extra bytes claimed beyond the format chunk's 146 bytes, by a format that has some (mu-law;
  // PCM's and float's count is ignored).
  const Bytes formatBytes = FormatBytes({0x0007, 1, 8000, 8000, 1, 8, 200});
  refused("extra.wav", RiffForm("WAVE", {Chunk("fmt ", formatBytes), Chunk("data", Pattern(9))}));
}

TEST_F(Decompression, AStreamThatCannotBeOpenedSaysSo) {
  // GSM 6.10 with 66-byte blocks: a PCM format is suggested, but no decoder takes it.
  Bytes file = ReadFileBytes(CodecFixturePath("sox-gsm-mono.wav"));
  file[20 + 12] = 66;
  ASSERT_TRUE(OpenFile(Write("gsm66.wav", file)));
  EXPECT_FALSE(OpenConversionStream());
  EXPECT_EQ(errors(), std::vector<std::string>{expected::kCannotOpenStream});

  Release();
  InjectServiceFault("acmStreamOpen", 1);
  ASSERT_TRUE(OpenFile(CodecFixturePath("sox-pcm-s16-stereo.wav")));
  EXPECT_FALSE(OpenConversionStream());
  EXPECT_EQ(errors(), std::vector<std::string>{expected::kCannotOpenStream});
  EXPECT_EQ(player.streamHandle, nullptr);
}

TEST_F(Decompression, AllocationFailuresLeaveWhatWasAllocatedForTheTeardown) {
  const std::string path = CodecFixturePath("sox-pcm-s16-stereo.wav");
  ASSERT_TRUE(OpenFile(path) && OpenConversionStream());
  InjectServiceFault("LocalAlloc", 1);
  EXPECT_FALSE(AllocateConversionBuffers());
  EXPECT_EQ(errors(), std::vector<std::string>{expected::kNoSourceMemory});
  EXPECT_EQ(player.sourceBuffer, nullptr);

  Release();
  ASSERT_TRUE(OpenFile(path) && OpenConversionStream());
  InjectServiceFault("acmStreamSize", 1);
  EXPECT_FALSE(AllocateConversionBuffers());
  EXPECT_EQ(errors(), std::vector<std::string>{expected::kNoResultSize});
  EXPECT_NE(player.sourceBuffer, nullptr);
  EXPECT_EQ(player.convertedBuffer, nullptr);

  Release();
  ASSERT_TRUE(OpenFile(path) && OpenConversionStream());
  InjectServiceFault("LocalAlloc", 2);
  EXPECT_FALSE(AllocateConversionBuffers());
  EXPECT_EQ(errors(), std::vector<std::string>{expected::kNoResultMemory});
  EXPECT_NE(player.sourceBuffer, nullptr);
  EXPECT_EQ(player.convertedBuffer, nullptr);
}

TEST_F(Decompression, BuffersAreSizedFromTheSourceAndTheService) {
  // 16-bit stereo at 22 050 Hz: 8 820 bytes in 100 ms, 12 288 after rounding to pages.
  ASSERT_TRUE(Start(CodecFixturePath("sox-pcm-s16-stereo.wav")));
  EXPECT_EQ(player.sourceBufferSize, 12288u);
  EXPECT_EQ(player.convertedBufferSize, 12288u);
  EXPECT_EQ(player.outputFormat.wBitsPerSample, 16);
}

TEST_F(Decompression, NoBytesPerSecondGiveAnOutputSizeOfZero) {
  WAVEFORMATEX format = PcmFormat(8000, 1, 8);
  format.nAvgBytesPerSec = 0;
  ASSERT_TRUE(OpenFile(Write("avg0.wav", WaveFile(format, Pattern(100)))));
  ASSERT_TRUE(OpenConversionStream());
  EXPECT_FALSE(AllocateConversionBuffers());
  EXPECT_EQ(errors(), std::vector<std::string>{expected::kSourceBufferTooSmall});
  EXPECT_EQ(player.convertedBuffer, nullptr);
}

TEST_F(Decompression, AVariableRateMp3WithoutARateIsSizedForItsHighestAndPlaysToItsEnd) {
  // The writer left bytes per second 0: 100 ms at 320 kb/s, 4 000 bytes, to whole pages.
  const CodecFixture vbr = LoadCodecFixture("ffmpeg-mp3vbr-mono");
  Bytes file = ReadFileBytes(CodecFixturePath("ffmpeg-mp3vbr-mono.wav"));
  ASSERT_TRUE(Start(Write("vbr.wav", file))) << testing::PrintToString(errors());
  EXPECT_EQ(player.sourceFormat.format.nAvgBytesPerSec, 0u);
  EXPECT_EQ(player.sourceBufferSize, 4096u);
  Played played = Play();
  ASSERT_TRUE(played.ok) << testing::PrintToString(errors());
  EXPECT_EQ(played.pcm, vbr.reference);

  // The same stream with a rate in its header (an average of 160 kb/s) plays the same.
  Release();
  file[20 + 8] = 0x20;
  file[20 + 9] = 0x4E;
  ASSERT_TRUE(Start(Write("filled.wav", file)));
  EXPECT_EQ(player.sourceFormat.format.nAvgBytesPerSec, 20000u);
  played = Play();
  ASSERT_TRUE(played.ok) << testing::PrintToString(errors());
  EXPECT_EQ(played.pcm, vbr.reference);
}

class ConversionFailure : public Decompression {
 protected:
  void SetUp() override {
    Decompression::SetUp();
    ASSERT_TRUE(Start(CodecFixturePath("sox-gsm-mono.wav")));
    ASSERT_TRUE(RefillFileBuffer());
  }
};

TEST_F(ConversionFailure, AHeaderThatCannotBePreparedStopsAndKeepsTheFlags) {
  InjectServiceFault("acmStreamPrepareHeader", 1);
  EXPECT_FALSE(ConvertNextBlock());
  EXPECT_EQ(errors(), std::vector<std::string>{expected::kCannotPrepareStreamHeader});
  EXPECT_TRUE(stoppedBeforeShown());
  EXPECT_EQ(player.convertFlags, kBlockAlignStart);
}

TEST_F(ConversionFailure, AFailedConversionStopsBeforeItShowsAndDropsTheStartFlag) {
  const uint8_t* next = player.fileInfo.pchNext;
  const uint64_t remaining = player.dataRemaining;
  InjectServiceFault("acmStreamConvert", 1);
  EXPECT_FALSE(ConvertNextBlock());
  EXPECT_EQ(errors(), std::vector<std::string>{expected::kCannotConvert});
  EXPECT_TRUE(stoppedBeforeShown());
  EXPECT_EQ(player.convertFlags, ACM_STREAMCONVERTF_BLOCKALIGN);
  EXPECT_EQ(player.fileInfo.pchNext, next);
  EXPECT_EQ(player.dataRemaining, remaining);
}

TEST_F(ConversionFailure, APortionThatGivesNothingAndTakesNothingStops) {
  // Less than one block, with more of the data in the file: the playback refills first, so
  // only a caller that skipped the refill gets here.
  player.fileInfo.pchNext = player.fileInfo.pchEndRead - 10;
  EXPECT_FALSE(ConvertNextBlock());
  EXPECT_EQ(errors(), std::vector<std::string>{expected::kSourcePortionTooShort});
  EXPECT_TRUE(stoppedBeforeShown());
  EXPECT_EQ(player.convertFlags, ACM_STREAMCONVERTF_BLOCKALIGN);
}

}  // namespace

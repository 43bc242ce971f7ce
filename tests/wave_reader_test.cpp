// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/wave_reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "engine/player_state.h"
#include "platform/faults.h"
#include "support/expected_texts.h"
#include "support/recording_front_end.h"
#include "support/scratch_dir.h"
#include "support/wav_writer.h"
#include "support/write_holder.h"

namespace {

using Errors = std::vector<std::string>;

Bytes PcmFormatBytes() {
  return FormatBytes(PcmFormat(8000, 1, 8));
}

class WaveReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetPlayerState(frontEnd_);
    ClearServiceFaults();
  }

  void TearDown() override {
    CloseFile();
    ClearServiceFaults();
  }

  void CloseFile() {
    if (player.fileHandle != nullptr) mmioClose(player.fileHandle, 0);
    player.fileHandle = nullptr;
  }

  std::string Use(const Bytes& bytes, const char* name = "in.wav") {
    const std::string path = dir_.path(name);
    EXPECT_TRUE(WriteFileBytes(path, bytes));
    std::strcpy(player.fileName, path.c_str());
    return path;
  }

  // Opens, binds a buffer of `bufferSize` bytes and checks both went without a message.
  void OpenAndBind(uint32_t bufferSize) {
    ASSERT_NE(OpenWaveFile(), 0) << testing::PrintToString(frontEnd_.errors());
    buffer_.assign(bufferSize, 0xEE);
    player.sourceBuffer = buffer_.data();
    player.sourceBufferSize = bufferSize;
    ASSERT_NE(BindFileBuffer(), 0);
    EXPECT_EQ(frontEnd_.errors(), Errors{});
  }

  Bytes Buffered() const { return Bytes(player.fileInfo.pchNext, player.fileInfo.pchEndRead); }

  // Refills and consumes everything until a refill brings nothing.
  Bytes ReadToTheEnd() {
    Bytes seen;
    for (int fills = 0; fills < 100; ++fills) {
      EXPECT_NE(RefillFileBuffer(), 0);
      if (player.fileInfo.pchNext == player.fileInfo.pchEndRead) break;
      Append(seen, Buffered());
      player.fileInfo.pchNext = player.fileInfo.pchEndRead;
    }
    return seen;
  }

  RecordingFrontEnd frontEnd_;
  ScratchDir dir_;
  Bytes buffer_;
};

TEST_F(WaveReaderTest, OpensAFileAtItsDataChunkAndServesItThroughTheBoundBuffer) {
  WAVEFORMATEX withExtra = PcmFormat(8000, 1, 8);
  withExtra.cbSize = 2;
  const Bytes format = FormatBytes(withExtra, Pattern(2));
  const Bytes data = Pattern(1000, 9);
  Use(RiffForm("WAVE", {Chunk("fmt ", format), Chunk("data", data)}));
  OpenAndBind(4096);

  EXPECT_EQ(player.riffChunk.fccType, MakeFourCC('W', 'A', 'V', 'E'));
  EXPECT_EQ(player.dataChunk.cksize, 1000u);
  EXPECT_EQ(player.dataRemaining, 1000u);
  EXPECT_EQ(Bytes(player.sourceFormat.bytes, player.sourceFormat.bytes + 20), format);
  // Bound and empty: the first need for data brings the data chunk's first bytes.
  EXPECT_EQ(player.fileInfo.pchBuffer, buffer_.data());
  EXPECT_EQ(player.fileInfo.cchBuffer, 4096);
  EXPECT_EQ(player.fileInfo.pchNext, player.fileInfo.pchEndRead);
  ASSERT_NE(RefillFileBuffer(), 0);
  EXPECT_EQ(player.fileInfo.pchNext, buffer_.data());
  EXPECT_EQ(Buffered(), data);
}

TEST_F(WaveReaderTest, AMissingFileCannotBeOpened) {
  std::strcpy(player.fileName, dir_.path("missing.wav").c_str());
  EXPECT_EQ(OpenWaveFile(), 0);
  EXPECT_EQ(frontEnd_.errors(), Errors{expected::kCannotOpenFile});
  EXPECT_EQ(player.fileHandle, nullptr);
}

TEST_F(WaveReaderTest, AFileAnotherProcessHoldsOpenForWritingCannotBeOpened) {
  const std::string path = Use(WaveFile(PcmFormat(8000, 1, 8), Pattern(100)));
  if (!LeasesAvailable(path)) GTEST_SKIP() << "the kernel grants no read lease here";
  WriteHolder writer(path);
  ASSERT_TRUE(writer.holding());
  EXPECT_EQ(OpenWaveFile(), 0);
  EXPECT_EQ(frontEnd_.errors(), Errors{expected::kCannotOpenFile});
  EXPECT_EQ(player.fileHandle, nullptr);
}

struct BadFile {
  const char* name;
  Bytes bytes;
  const char* message;
};

// Every file here opens, and fails the walk with its one message, leaving the file open.
std::vector<BadFile> BadFiles() {
  const Bytes fmt = Chunk("fmt ", PcmFormatBytes());
  const Bytes data = Chunk("data", Pattern(40));
  const auto asBytes = [](const char* text) { return Bytes(text, text + std::strlen(text)); };
  return {
      {"Empty", {}, expected::kNotRiffWave},
      {"NotRiff", asBytes("ID3\x04 this is an MP3 file, not a RIFF one......"),
       expected::kNotRiffWave},
      {"OtherFormType", RiffForm("AVI ", {fmt, data}), expected::kNotRiffWave},
      {"TruncatedRiffHeader", Bytes{'R', 'I', 'F', 'F', 40, 0, 0, 0, 'W', 'A'},
       expected::kNotRiffWave},
      {"NoFormatChunk", RiffForm("WAVE", {data}), expected::kNoFormatChunk},
      {"FormatChunkOutsideTheRiffChunk", RiffFormClaiming("WAVE", 4, {fmt, data}),
       expected::kNoFormatChunk},
      {"FormatChunkOf147Bytes", RiffForm("WAVE", {Chunk("fmt ", Pattern(147)), data}),
       expected::kFormatChunkTooLarge},
      {"FormatChunkOf4GiB", RiffForm("WAVE", {ChunkClaiming("fmt ", 0xFFFFFFFF, PcmFormatBytes())}),
       expected::kFormatChunkTooLarge},
      {"FormatChunkLongerThanTheFile",
       RiffForm("WAVE", {ChunkClaiming("fmt ", 40, PcmFormatBytes())}),
       expected::kFormatChunkReadError},
      {"NoDataChunk", RiffForm("WAVE", {fmt, Chunk("LIST", Pattern(12))}), expected::kNoDataChunk},
      {"DataBeforeFormat", RiffForm("WAVE", {data, fmt}), expected::kNoDataChunk},
      {"DataAfterTheRiffChunk",
       RiffFormClaiming("WAVE", static_cast<uint32_t>(4 + fmt.size()), {fmt, data}),
       expected::kNoDataChunk},
      {"DataInsideAChunkClaiming4GiB",
       RiffForm("WAVE", {fmt, ChunkClaiming("junk", 0xFFFFFFFF, data)}), expected::kNoDataChunk},
      // RF64: the ds64 chunk is the form's header; without a sound one there is no RIFF/WAVE.
      {"Rf64WithoutDs64", LargeForm("RF64", "WAVE", {fmt, data}), expected::kNotRiffWave},
      {"Rf64WithDs64Later", LargeForm("RF64", "WAVE", {fmt, Ds64Chunk(1000, 40, 40), data}),
       expected::kNotRiffWave},
      {"Rf64Ds64ShorterThan28Bytes",
       LargeForm("RF64", "WAVE", {Chunk("ds64", Bytes(24, 0)), fmt, data}), expected::kNotRiffWave},
      {"Rf64Ds64TableLongerThanTheChunk",
       LargeForm("RF64", "WAVE",
                 {[] {
                    Bytes ds64 = Ds64Chunk(1000, 40, 40);
                    ds64[8 + 24] = 1;  // one entry announced, none there
                    return ds64;
                  }(),
                  fmt, data}),
       expected::kNotRiffWave},
      {"Rf64Ds64CutByTheEndOfTheFile",
       [] {
         const Bytes form = LargeForm("RF64", "WAVE", {Ds64Chunk(1000, 40, 40)});
         return Bytes(form.begin(), form.end() - 6);
       }(),
       expected::kNotRiffWave},
      {"Bw64Ds64RiffSizeTooSmallForTheDs64",
       LargeForm("BW64", "WAVE", {Ds64Chunk(4 + 8 + 27, 40, 40), fmt, data}),
       expected::kNotRiffWave},
      {"Rf64OtherFormType", LargeForm("RF64", "AVI ", {Ds64Chunk(1000, 40, 40), fmt, data}),
       expected::kNotRiffWave},
      // Sizes from a sound ds64 chunk bound the search as a RIFF header's would.
      {"Rf64RiffSizeEndsBeforeTheFormat",
       LargeForm("RF64", "WAVE", {Ds64Chunk(4 + 36, 40, 40), fmt, data}), expected::kNoFormatChunk},
      {"Rf64RiffSizeEndsBeforeTheData",
       LargeForm("RF64", "WAVE", {Ds64Chunk(4 + 36 + fmt.size(), 40, 40), fmt, data}),
       expected::kNoDataChunk},
      {"Rf64LargeChunkMissingFromTheTable",
       LargeForm("RF64", "WAVE",
                 {Ds64Chunk(1000, 40, 40, {{"LIST", 4}}), fmt,
                  ChunkClaiming("junk", 0xFFFFFFFF, Pattern(4)), data}),
       expected::kNoDataChunk},
  };
}

void PrintTo(const BadFile& file, std::ostream* out) {
  *out << file.name;
}

class WaveReaderBadFileTest : public WaveReaderTest,
                              public ::testing::WithParamInterface<BadFile> {};

TEST_P(WaveReaderBadFileTest, ShowsItsMessageOnceAndLeavesTheFileOpen) {
  Use(GetParam().bytes);
  EXPECT_EQ(OpenWaveFile(), 0);
  EXPECT_EQ(frontEnd_.errors(), Errors{GetParam().message});
  EXPECT_NE(player.fileHandle, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Walk, WaveReaderBadFileTest, ::testing::ValuesIn(BadFiles()),
                         [](const auto& param) { return std::string(param.param.name); });

TEST_F(WaveReaderTest, AFormatChunkOf146BytesIsAcceptedWhole) {
  const Bytes format = FormatBytes(PcmFormat(8000, 1, 8), Pattern(128, 1));
  ASSERT_EQ(format.size(), 146u);
  Use(RiffForm("WAVE", {Chunk("fmt ", format), Chunk("data", Pattern(8))}));
  ASSERT_NE(OpenWaveFile(), 0);
  EXPECT_EQ(Bytes(player.sourceFormat.bytes, player.sourceFormat.bytes + 146), format);
  EXPECT_EQ(player.dataRemaining, 8u);
}

TEST_F(WaveReaderTest, ATooLargeFormatChunkLeavesTheSourceFormatUntouched) {
  std::memset(player.sourceFormat.bytes, 0xAB, sizeof player.sourceFormat.bytes);
  Use(RiffForm("WAVE", {Chunk("fmt ", Pattern(147)), Chunk("data", Pattern(8))}));
  EXPECT_EQ(OpenWaveFile(), 0);
  EXPECT_EQ(Bytes(std::begin(player.sourceFormat.bytes), std::end(player.sourceFormat.bytes)),
            Bytes(sizeof player.sourceFormat.bytes, 0xAB));
}

TEST_F(WaveReaderTest, AShortFormatChunkLeavesNothingOfThePreviousFile) {
  // A format with 22 extra bytes first, as a previous playback would leave it.
  Use(WaveFile(PcmFormat(44100, 2, 16), Pattern(16), Pattern(22, 7)), "previous.wav");
  ASSERT_NE(OpenWaveFile(), 0);
  ASSERT_EQ(player.sourceFormat.format.cbSize, 22);
  CloseFile();

  // A 16-byte chunk: plain PCM without the extra-byte count. No minimum size is set.
  const Bytes pcm = PcmFormatBytes();
  const Bytes format(pcm.begin(), pcm.begin() + 16);
  const Bytes data = Pattern(30, 2);
  Use(RiffForm("WAVE", {Chunk("fmt ", format), Chunk("data", data)}));
  OpenAndBind(4096);
  EXPECT_EQ(Bytes(player.sourceFormat.bytes, player.sourceFormat.bytes + 16), format);
  EXPECT_EQ(Bytes(player.sourceFormat.bytes + 16, std::end(player.sourceFormat.bytes)),
            Bytes(sizeof player.sourceFormat.bytes - 16, 0));
  EXPECT_EQ(player.sourceFormat.format.cbSize, 0);
  EXPECT_EQ(ReadToTheEnd(), data);
}

TEST_F(WaveReaderTest, AnOddChunksPadByteIsSkippedAndAMissingOneTolerated) {
  WAVEFORMATEX withExtra = PcmFormat(8000, 1, 8);
  withExtra.cbSize = 1;
  const Bytes format = FormatBytes(withExtra, Pattern(1, 3));  // 19 bytes
  // The size's low byte, 0x40, is printable and the samples start with 0: one byte on from
  // where the unpadded header starts, "ata@" seems to declare a chunk of 6 bytes.
  const Bytes data = Pattern(0x640);
  const Bytes unpaddedFormat = ChunkClaiming("fmt ", 19, format);
  const Bytes unpaddedList = ChunkClaiming("LIST", 7, Pattern(7, 1));
  struct Case {
    const char* what;
    Bytes file;
    uint64_t dataSize;
  } cases[] = {
      {"format padded", RiffForm("WAVE", {Chunk("fmt ", format), Chunk("data", data)}),
       data.size()},
      {"format unpadded", RiffForm("WAVE", {unpaddedFormat, Chunk("data", data)}), data.size()},
      {"list unpadded",
       RiffForm("WAVE", {Chunk("fmt ", PcmFormatBytes()), unpaddedList, Chunk("data", data)}),
       data.size()},
      {"format unpadded in RF64",
       LargeForm("RF64", "WAVE",
                 {Ds64Chunk(4 + 36 + 27 + 8 + data.size(), data.size(), data.size()),
                  unpaddedFormat, ChunkClaiming("data", 0xFFFFFFFF, data)}),
       data.size()},
      // A data chunk claiming more than the RIFF chunk holds is no plausible header, but the
      // pad byte, 0, starts none either: the padded place is taken, as ever.
      {"format padded, data claiming more than the RIFF chunk",
       RiffFormClaiming("WAVE", 4 + 28 + 8 + 100,
                        {Chunk("fmt ", format), ChunkClaiming("data", 0x10000, data)}),
       0x10000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ResetPlayerState(frontEnd_);
    Use(c.file);
    OpenAndBind(4096);
    EXPECT_EQ(player.dataRemaining, c.dataSize);
    EXPECT_EQ(ReadToTheEnd(), data);
    CloseFile();
  }
  // The pad byte is not part of the format.
  EXPECT_EQ(player.sourceFormat.bytes[19], 0);
}

TEST_F(WaveReaderTest, ReadsRf64AndBw64FilesWithTheSizesTheirDs64ChunkGives) {
  const Bytes fmt = Chunk("fmt ", PcmFormatBytes());
  const Bytes data = Pattern(1000, 2);
  const Bytes large = Pattern(12, 3);  // a chunk whose size only the table gives
  const uint64_t riff = 4 + 36 + 12 + fmt.size() + 8 + large.size() + 8 + data.size();
  for (const char* id : {"RF64", "BW64"}) {
    SCOPED_TRACE(id);
    ResetPlayerState(frontEnd_);
    Use(LargeForm(
        id, "WAVE",
        {Ds64Chunk(riff, data.size(), data.size(), {{"axml", large.size()}}), fmt,
         ChunkClaiming("axml", 0xFFFFFFFF, large), ChunkClaiming("data", 0xFFFFFFFF, data)}));
    OpenAndBind(4096);
    EXPECT_EQ(player.riffChunk.ckid, MakeFourCC(id[0], id[1], id[2], id[3]));
    EXPECT_EQ(player.riffChunk.cksize, riff);
    EXPECT_EQ(player.dataRemaining, data.size());
    EXPECT_EQ(ReadToTheEnd(), data);
    CloseFile();
  }

  // Past 4 GiB in 64 bits, not cut to 32; the file ends first and the rest is never read. A
  // data chunk declaring its own size keeps it.
  const uint64_t sixGiB = uint64_t{6} << 30;
  for (const uint32_t declared : {0xFFFFFFFFu, 600u}) {
    SCOPED_TRACE(declared);
    ResetPlayerState(frontEnd_);
    Use(LargeForm(
        "RF64", "WAVE",
        {Ds64Chunk(sixGiB + 100, sixGiB, sixGiB), fmt, ChunkClaiming("data", declared, data)}));
    OpenAndBind(4096);
    EXPECT_EQ(player.riffChunk.cksize, sixGiB + 100);
    EXPECT_EQ(player.dataChunk.cksize, declared == 600 ? 600 : sixGiB);
    EXPECT_EQ(player.dataRemaining, player.dataChunk.cksize);
    CloseFile();
  }
}

TEST_F(WaveReaderTest, OtherChunksBetweenFormatAndDataArePassedOver) {
  const Bytes data = Pattern(64, 5);
  Use(RiffForm("WAVE", {Chunk("fmt ", PcmFormatBytes()), Chunk("LIST", Pattern(7)),
                        Chunk("fact", Pattern(4)), Chunk("data", data)}));
  OpenAndBind(4096);
  EXPECT_EQ(player.dataRemaining, 64u);
  EXPECT_EQ(ReadToTheEnd(), data);
}

TEST_F(WaveReaderTest, TheFormatIsNotJudgedHere) {
  // An unknown tag with every other field 0 passes; the conversion service decides.
  const WAVEFORMATEX unknown{0xFFFF, 0, 0, 0, 0, 0, 0};
  Use(WaveFile(unknown, Pattern(10)));
  ASSERT_NE(OpenWaveFile(), 0);
  EXPECT_EQ(player.sourceFormat.format.wFormatTag, 0xFFFF);
  EXPECT_EQ(frontEnd_.errors(), Errors{});
}

TEST_F(WaveReaderTest, AnEmptyDataChunkIsAcceptedAndWhatFollowsIsStillRead) {
  const Bytes list = Chunk("LIST", Pattern(9, 6));
  Use(RiffForm("WAVE", {Chunk("fmt ", PcmFormatBytes()), Chunk("data", {}), list}));
  OpenAndBind(4096);
  EXPECT_EQ(player.dataRemaining, 0u);
  EXPECT_EQ(ReadToTheEnd(), list);
}

TEST_F(WaveReaderTest, APathLongerThan260BytesOpens) {
  std::string directory = dir_.root();
  while (directory.size() < 400) {
    directory += "/" + std::string(60, 'd');
    ASSERT_EQ(mkdir(directory.c_str(), 0700), 0);
  }
  const std::string path = directory + "/in.wav";
  ASSERT_LT(path.size(), sizeof player.fileName);
  ASSERT_TRUE(WriteFileBytes(path, WaveFile(PcmFormat(8000, 1, 8), Pattern(10))));
  std::strcpy(player.fileName, path.c_str());
  EXPECT_NE(OpenWaveFile(), 0);
  EXPECT_EQ(frontEnd_.errors(), Errors{});
}

TEST_F(WaveReaderTest, ABindingTheServiceRefusesShowsItsMessageAndKeepsTheFile) {
  const struct {
    const char* call;
    const char* message;
  } refusals[] = {{"mmioSetBuffer", expected::kCannotSetFileBuffer},
                  {"mmioGetInfo", expected::kCannotGetFileInfo}};
  buffer_.resize(4096);
  for (const auto& refusal : refusals) {
    SCOPED_TRACE(refusal.call);
    RecordingFrontEnd frontEnd;
    ResetPlayerState(frontEnd);
    Use(WaveFile(PcmFormat(8000, 1, 8), Pattern(10)));
    ASSERT_NE(OpenWaveFile(), 0);
    player.sourceBuffer = buffer_.data();
    player.sourceBufferSize = 4096;
    InjectServiceFault(refusal.call, 1);
    EXPECT_EQ(BindFileBuffer(), 0);
    EXPECT_EQ(frontEnd.errors(), Errors{refusal.message});
    EXPECT_NE(player.fileHandle, nullptr);
    CloseFile();
  }
}

TEST_F(WaveReaderTest, RefillsWalkTheRestOfTheFileInOrderThenStayEmpty) {
  const Bytes data = Pattern(10000, 8);
  const Bytes list = Chunk("LIST", Pattern(301, 9));
  const Bytes file = RiffForm("WAVE", {Chunk("fmt ", PcmFormatBytes()), Chunk("data", data), list});
  Use(file);
  OpenAndBind(4096);
  Bytes expected = data;
  Append(expected, list);
  EXPECT_EQ(ReadToTheEnd(), expected);
  for (int again = 0; again < 3; ++again) {
    EXPECT_NE(RefillFileBuffer(), 0);
    EXPECT_EQ(player.fileInfo.pchNext, player.fileInfo.pchEndRead);
  }
  EXPECT_EQ(frontEnd_.errors(), Errors{});
}

TEST_F(WaveReaderTest, AFailedRefillShowsNoMessage) {
  Use(WaveFile(PcmFormat(8000, 1, 8), Pattern(10)));
  OpenAndBind(4096);
  InjectServiceFault("mmioAdvance", 1);
  EXPECT_EQ(RefillFileBuffer(), 0);
  EXPECT_EQ(frontEnd_.errors(), Errors{});
}

}  // namespace

// SPDX-License-Identifier: GPL-3.0-or-later
// Malformed wave files, written byte by byte and played through `rtplayer-cli --output` as a
// user would play them: each plays (exit 0, nothing said) or shows exactly one of the fixed
// messages (exit 1). None may crash, hang, or draw a sanitizer report, which would show up on
// standard error next to the message.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "support/expected_texts.h"
#include "support/scratch_dir.h"
#include "support/wav_writer.h"

extern char** environ;

namespace {

// Every text the engine and the terminal front end may show.
const std::set<std::string> kFixedMessages = {
    expected::kCannotOpenFile,
    expected::kNotRiffWave,
    expected::kNoFormatChunk,
    expected::kFormatChunkTooLarge,
    expected::kFormatChunkReadError,
    expected::kNoDataChunk,
    expected::kNoOutputFormat,
    expected::kCannotOpenStream,
    expected::kNoSourceMemory,
    expected::kNoResultSize,
    expected::kSourceBufferTooSmall,
    expected::kNoResultMemory,
    expected::kCannotSetFileBuffer,
    expected::kCannotGetFileInfo,
    expected::kCannotOpenDevice,
    expected::kNoDeviceBufferMemory,
    expected::kCannotQueueBuffer,
    expected::kFileReadError,
    expected::kCannotPrepareStreamHeader,
    expected::kCannotConvert,
    expected::kSourcePortionTooShort,
    expected::kCannotCreateThread,
};

// Generous: a sanitizer build on a busy machine plays these few milliseconds of audio slowly.
constexpr auto kHangAfter = std::chrono::seconds(60);

struct CliRun {
  int status = -1;  // exit status; -1 when killed by a signal or timed out
  bool hung = false;
  std::string errors;  // standard error
};

CliRun PlayWithCli(const std::string& file, const std::string& output) {
  CliRun run;
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return run;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
  const std::string cli = RTPLAYER_BINARY_DIR "/bin/rtplayer-cli";
  std::vector<std::string> args = {cli, "--output", output, file};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t child = -1;
  const int spawned = posix_spawn(&child, cli.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  if (spawned != 0) {
    close(pipeFds[0]);
    run.errors = "cannot start " + cli;
    return run;
  }

  const auto deadline = std::chrono::steady_clock::now() + kHangAfter;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd readable{pipeFds[0], POLLIN, 0};
    if (left.count() <= 0 || poll(&readable, 1, static_cast<int>(left.count())) == 0) {
      run.hung = true;
      kill(child, SIGKILL);
      break;
    }
    char chunk[4096];
    const ssize_t n = read(pipeFds[0], chunk, sizeof chunk);
    if (n <= 0) break;
    run.errors.append(chunk, static_cast<size_t>(n));
  }
  close(pipeFds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (!run.hung && WIFEXITED(status)) run.status = WEXITSTATUS(status);
  return run;
}

// What a case must do. An empty `message` with `plays` false accepts either outcome: the file is
// broken in a way where playing what can be played and refusing it are both sound.
struct Outcome {
  bool plays = false;
  std::string message;
};

const Outcome kPlays{true, ""};
const Outcome kEither{false, ""};
Outcome Shows(const char* message) {
  return {false, message};
}

struct MalformedFile {
  std::string name;
  Bytes bytes;
  Outcome outcome;
};

std::ostream& operator<<(std::ostream& out, const MalformedFile& file) {
  return out << file.name;
}

// --- Building blocks -------------------------------------------------------------------------

WAVEFORMATEX Pcm16Mono() {
  return PcmFormat(8000, 1, 16);
}

Bytes Fmt(const WAVEFORMATEX& format, const Bytes& extra = {}) {
  return Chunk("fmt ", FormatBytes(format, extra));
}

Bytes Data(size_t size = 1600) {
  return Chunk("data", Pattern(size));
}

Bytes Wave(const std::vector<Bytes>& chunks) {
  return RiffForm("WAVE", chunks);
}

Bytes PcmWith(void (*change)(WAVEFORMATEX&)) {
  WAVEFORMATEX format = Pcm16Mono();
  change(format);
  return Wave({Fmt(format), Data()});
}

// A 16-bit mono PCM file with its `fmt ` chunk's contents cut or padded to `size` bytes.
Bytes PcmFormatChunkOf(size_t size) {
  Bytes contents = FormatBytes(Pcm16Mono());
  contents.resize(size, 0);
  return Wave({Chunk("fmt ", contents), Data()});
}

Bytes Le16(uint16_t value) {
  Bytes out;
  AppendLe16(out, value);
  return out;
}

// IMA ADPCM, mono, 8 kHz, 256-byte blocks of 505 samples; `data` as given.
WAVEFORMATEX ImaFormat() {
  return {0x0011, 1, 8000, 4055, 256, 4, 2};
}

Bytes ImaBlocks(int count, uint8_t stepIndex = 0) {
  Bytes data;
  for (int i = 0; i < count; ++i) {
    AppendLe16(data, 0);
    data.push_back(stepIndex);
    data.push_back(0);
    Append(data, Pattern(252, static_cast<uint8_t>(i)));
  }
  return data;
}

// MS ADPCM, mono, 8 kHz, 256-byte blocks of 500 samples, with the standard coefficient set.
WAVEFORMATEX MsAdpcmFormat(uint16_t extraBytes) {
  return {0x0002, 1, 8000, 4096, 256, 4, extraBytes};
}

Bytes MsAdpcmExtra(uint16_t coefficientCount) {
  static const int16_t kStandard[7][2] = {{256, 0}, {512, -256}, {0, 0},     {192, 64},
                                          {240, 0}, {460, -208}, {392, -232}};
  Bytes extra = Le16(500);
  AppendLe16(extra, coefficientCount);
  for (const auto& pair : kStandard) {
    AppendLe16(extra, static_cast<uint16_t>(pair[0]));
    AppendLe16(extra, static_cast<uint16_t>(pair[1]));
  }
  return extra;
}

Bytes MsAdpcmBlocks(int count, uint8_t predictor = 0) {
  Bytes data;
  for (int i = 0; i < count; ++i) {
    data.push_back(predictor);
    AppendLe16(data, 16);  // delta
    AppendLe16(data, 0);   // second sample
    AppendLe16(data, 0);   // first sample
    Append(data, Pattern(249, static_cast<uint8_t>(i)));
  }
  return data;
}

// The subformat GUID of WAVE_FORMAT_EXTENSIBLE with the given leading tag.
Bytes ExtensibleExtra(uint16_t subTag) {
  Bytes extra = Le16(16);       // valid bits
  Append(extra, {4, 0, 0, 0});  // channel mask: front centre
  AppendLe16(extra, subTag);
  Append(extra, {0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xaa, 0, 0x38, 0x9b, 0x71});
  return extra;
}

// --- The cases -------------------------------------------------------------------------------

std::vector<MalformedFile> TruncatedHeaders() {
  // RIFF header 12, `fmt ` header 8 + 18, `data` header 8: the data starts at 46.
  const Bytes whole = Wave({Fmt(Pcm16Mono()), Data()});
  std::vector<MalformedFile> cases;
  for (size_t cut = 0; cut <= 46; ++cut) {
    Outcome outcome = kPlays;  // at 46 the data chunk claims bytes the file does not hold
    if (cut < 12) {
      outcome = Shows(expected::kNotRiffWave);
    } else if (cut < 20) {
      outcome = Shows(expected::kNoFormatChunk);
    } else if (cut < 38) {
      outcome = Shows(expected::kFormatChunkReadError);
    } else if (cut < 46) {
      outcome = Shows(expected::kNoDataChunk);
    }
    cases.push_back(
        {"CutAt" + std::to_string(cut), Bytes(whole.begin(), whole.begin() + cut), outcome});
  }
  cases.push_back({"CutInFirstSample", Bytes(whole.begin(), whole.begin() + 47), kPlays});
  return cases;
}

std::vector<MalformedFile> BrokenStructure() {
  const Bytes fmt = Fmt(Pcm16Mono());
  Bytes text(64, 'x');
  Bytes rifx = Wave({fmt, Data()});
  rifx[3] = 'X';
  Bytes waveAfterJunk = Chunk("JUNK", {});
  Append(waveAfterJunk, Wave({fmt, Data()}));
  Bytes oddFormat = FormatBytes(Pcm16Mono());
  oddFormat.push_back(0);  // 19 bytes
  Bytes oddFormatUnpadded = ChunkClaiming("fmt ", 19, oddFormat);
  Append(oddFormatUnpadded, Data());
  return {
      {"NotRiff", text, Shows(expected::kNotRiffWave)},
      // RIFX reads sizes big-endian: the format chunk's 18 becomes 0x12000000.
      {"LittleEndianSizesUnderRifx", rifx, Shows(expected::kFormatChunkTooLarge)},
      {"Zeros", Bytes(65536, 0), Shows(expected::kNotRiffWave)},
      {"WaveAfterAJunkChunk", waveAfterJunk, Shows(expected::kNotRiffWave)},
      {"AviForm", RiffForm("AVI ", {fmt, Data()}), Shows(expected::kNotRiffWave)},
      {"RiffSizeAllOnes", RiffFormClaiming("WAVE", 0xFFFFFFFF, {fmt, Data()}), kPlays},
      {"RiffSizeZero", RiffFormClaiming("WAVE", 0, {fmt, Data()}), Shows(expected::kNotRiffWave)},
      {"FormatPastTheRiffEnd", RiffFormClaiming("WAVE", 4 + 8 + 4, {fmt, Data()}),
       Shows(expected::kNoDataChunk)},
      {"DataPastTheRiffEnd", RiffFormClaiming("WAVE", 4 + 26, {fmt, Data()}),
       Shows(expected::kNoDataChunk)},
      {"DataLargerThanTheRiff", RiffFormClaiming("WAVE", 4 + 26 + 8 + 100, {fmt, Data()}), kPlays},
      {"DataLargerThanTheFile", Wave({fmt, ChunkClaiming("data", 1000000, Pattern(1600))}), kPlays},
      {"DataSizeAllOnes", Wave({fmt, ChunkClaiming("data", 0xFFFFFFFF, Pattern(1600))}), kPlays},
      {"DataOfZeroBytes", Wave({fmt, Data(0)}), kPlays},
      {"DataOfOddSizeAtTheEnd", Wave({fmt, ChunkClaiming("data", 1601, Pattern(1601))}), kPlays},
      {"FormatLargerThanTheFile", Wave({ChunkClaiming("fmt ", 40, FormatBytes(Pcm16Mono()))}),
       Shows(expected::kFormatChunkReadError)},
      {"FormatSizeAllOnes", Wave({ChunkClaiming("fmt ", 0xFFFFFFFF, FormatBytes(Pcm16Mono()))}),
       Shows(expected::kFormatChunkTooLarge)},
      {"FormatOf147Bytes", PcmFormatChunkOf(147), Shows(expected::kFormatChunkTooLarge)},
      {"FormatOf146Bytes", PcmFormatChunkOf(146), kPlays},
      {"FormatOf16Bytes", PcmFormatChunkOf(16), kPlays},
      {"FormatOf14Bytes", PcmFormatChunkOf(14), kEither},
      {"FormatOfZeroBytes", PcmFormatChunkOf(0), Shows(expected::kNoOutputFormat)},
      {"FormatOfOddSizePadded", Wave({Chunk("fmt ", oddFormat), Data()}), kPlays},
      {"FormatOfOddSizeUnpadded", Wave({oddFormatUnpadded}), kPlays},
      {"FormatAfterData", Wave({Data(), fmt}), Shows(expected::kNoDataChunk)},
      {"NoFormat", Wave({Data()}), Shows(expected::kNoFormatChunk)},
      {"NoData", Wave({fmt}), Shows(expected::kNoDataChunk)},
      {"RiffInsideTheRiff", Wave({Wave({fmt, Data()})}), Shows(expected::kNoFormatChunk)},
      {"DataInANestedRiff", Wave({fmt, Wave({Data()})}), Shows(expected::kNoDataChunk)},
      {"ListPastTheEndBeforeData", Wave({fmt, ChunkClaiming("LIST", 0xFFFFFFF0, {}), Data()}),
       Shows(expected::kNoDataChunk)},
      {"ListOfOddSizeAfterData", Wave({fmt, Data(), Chunk("LIST", Pattern(33))}), kPlays},
      {"ListOfOddSizeUnpaddedBeforeData",
       Wave({fmt, ChunkClaiming("LIST", 33, Pattern(33)), Data()}), kPlays},
      {"Rf64",
       LargeForm("RF64", "WAVE",
                 {Ds64Chunk(4 + 36 + 26 + 8 + 1600, 1600, 800), fmt,
                  ChunkClaiming("data", 0xFFFFFFFF, Pattern(1600))}),
       kPlays},
      {"Bw64DataPastTheFile",
       LargeForm("BW64", "WAVE",
                 {Ds64Chunk(uint64_t{6} << 30, uint64_t{6} << 30, 0), fmt,
                  ChunkClaiming("data", 0xFFFFFFFF, Pattern(1600))}),
       kPlays},
      {"Rf64Ds64AllOnes",
       LargeForm(
           "RF64", "WAVE",
           {Ds64Chunk(~0ull, ~0ull, ~0ull), fmt, ChunkClaiming("data", 0xFFFFFFFF, Pattern(1600))}),
       kPlays},
      {"Rf64WithoutDs64", LargeForm("RF64", "WAVE", {fmt, Data()}), Shows(expected::kNotRiffWave)},
      {"JunkBeforeFormat", Wave({Chunk("JUNK", Pattern(28)), fmt, Data()}), kPlays},
      {"SecondFormatIgnored", Wave({Fmt({WAVE_FORMAT_PCM, 0, 8000, 16000, 2, 16, 0}), fmt, Data()}),
       Shows(expected::kNoOutputFormat)},
  };
}

std::vector<MalformedFile> BrokenFormats() {
  WAVEFORMATEX ima = ImaFormat();
  WAVEFORMATEX imaTinyBlocks = ima;
  imaTinyBlocks.nBlockAlign = 2;
  WAVEFORMATEX extensible = {0xFFFE, 1, 8000, 16000, 2, 16, 22};
  WAVEFORMATEX extensibleShort = extensible;
  extensibleShort.cbSize = 0;
  return {
      {"NoChannels", PcmWith([](WAVEFORMATEX& f) { f.nChannels = 0; }),
       Shows(expected::kNoOutputFormat)},
      {"RateOfZero", PcmWith([](WAVEFORMATEX& f) { f.nSamplesPerSec = 0; }),
       Shows(expected::kNoOutputFormat)},
      {"BlockAlignOfZero", PcmWith([](WAVEFORMATEX& f) { f.nBlockAlign = 0; }),
       Shows(expected::kNoOutputFormat)},
      {"AbsurdRate", PcmWith([](WAVEFORMATEX& f) { f.nSamplesPerSec = 0xFFFFFFFF; }), kEither},
      {"AverageBytesOfZero", PcmWith([](WAVEFORMATEX& f) { f.nAvgBytesPerSec = 0; }), kEither},
      {"AverageBytesAllOnes", PcmWith([](WAVEFORMATEX& f) { f.nAvgBytesPerSec = 0xFFFFFFFF; }),
       kEither},
      {"BlockAlignAllOnes", PcmWith([](WAVEFORMATEX& f) { f.nBlockAlign = 0xFFFF; }), kEither},
      {"ChannelsAllOnes", PcmWith([](WAVEFORMATEX& f) { f.nChannels = 0xFFFF; }), kEither},
      {"BlockAlignNotAFrame", PcmWith([](WAVEFORMATEX& f) { f.nBlockAlign = 3; }), kEither},
      {"BitsOfZero", PcmWith([](WAVEFORMATEX& f) { f.wBitsPerSample = 0; }), kEither},
      {"BitsOf7", PcmWith([](WAVEFORMATEX& f) { f.wBitsPerSample = 7; }), kEither},
      {"BitsOf64", PcmWith([](WAVEFORMATEX& f) { f.wBitsPerSample = 64; }), kEither},
      // PCM and float have no extra bytes: what the count says means nothing to them.
      {"ExtraBytesClaimedAllOnes", PcmWith([](WAVEFORMATEX& f) { f.cbSize = 0xFFFF; }), kPlays},
      {"FloatExtraBytesClaimed196", Wave({Fmt({0x0003, 1, 8000, 32000, 4, 32, 196}), Data()}),
       kPlays},
      {"UnknownTag", PcmWith([](WAVEFORMATEX& f) { f.wFormatTag = 0x7A5C; }),
       Shows(expected::kNoOutputFormat)},
      {"FloatOf16Bits", PcmWith([](WAVEFORMATEX& f) { f.wFormatTag = 0x0003; }), kEither},
      {"NineChannels", Wave({Fmt(PcmFormat(8000, 9, 8)), Data(900)}), kPlays},
      {"ExtensibleWithoutItsExtra", Wave({Fmt(extensibleShort), Data()}), kEither},
      {"ExtensibleOfUnknownSubformat", Wave({Fmt(extensible, ExtensibleExtra(0x7A5C)), Data()}),
       kEither},
      {"ExtensiblePcm", Wave({Fmt(extensible, ExtensibleExtra(0x0001)), Data()}), kPlays},
      {"ImaAdpcmNoise", Wave({Fmt(ima, Le16(505)), Chunk("data", Pattern(1024))}), kPlays},
      {"ImaAdpcmStepIndexOutOfRange", Wave({Fmt(ima, Le16(505)), Chunk("data", ImaBlocks(4, 200))}),
       kPlays},
      {"ImaAdpcmSamplesPerBlockZero", Wave({Fmt(ima, Le16(0)), Chunk("data", ImaBlocks(4))}),
       kPlays},
      {"ImaAdpcmExtraClaimedAllOnes",
       [&] {
         WAVEFORMATEX f = ima;
         f.cbSize = 0xFFFF;
         return Wave({Fmt(f, Le16(505)), Chunk("data", ImaBlocks(2))});
       }(),
       kEither},
      {"ImaAdpcmBlockSmallerThanItsHeader", Wave({Fmt(imaTinyBlocks, Le16(505)), Data(64)}),
       kEither},
      {"ImaAdpcmPartialLastBlock", Wave({Fmt(ima, Le16(505)), Chunk("data", Pattern(300))}),
       kPlays},
      {"MsAdpcmStandardSet",
       Wave({Fmt(MsAdpcmFormat(32), MsAdpcmExtra(7)), Chunk("data", MsAdpcmBlocks(4))}), kPlays},
      {"MsAdpcmWithoutCoefficients",
       Wave({Fmt(MsAdpcmFormat(2), Le16(500)), Chunk("data", MsAdpcmBlocks(4))}), kPlays},
      {"MsAdpcmCoefficientCountAllOnes",
       [] {
         Bytes extra = MsAdpcmExtra(0xFFFF);
         extra.resize(4);
         return Wave({Fmt(MsAdpcmFormat(4), extra), Chunk("data", MsAdpcmBlocks(4))});
       }(),
       kEither},
      {"MsAdpcmPredictorOutOfRange",
       Wave({Fmt(MsAdpcmFormat(32), MsAdpcmExtra(7)), Chunk("data", MsAdpcmBlocks(4, 200))}),
       kPlays},
      {"MsAdpcmBlockSmallerThanItsHeader",
       Wave({Fmt({0x0002, 1, 8000, 4096, 4, 4, 32}, MsAdpcmExtra(7)), Data(64)}), kEither},
      {"MsAdpcmExtraShorterThanItClaims",
       [] {
         Bytes extra = MsAdpcmExtra(7);
         extra.resize(10);
         return Wave({Chunk("fmt ", FormatBytes(MsAdpcmFormat(32), extra)),
                      Chunk("data", MsAdpcmBlocks(4))});
       }(),
       kEither},
      {"ImaAdpcmSixChannelsCutMidBlock",
       Wave({Fmt({0x0011, 6, 8000, 24330, 1536, 4, 2}, Le16(505)), Chunk("data", Pattern(2000))}),
       kPlays},
      {"Gsm610OneByteBlocks", Wave({Fmt({0x0031, 1, 8000, 1625, 1, 0, 2}, Le16(320)), Data(650)}),
       kEither},
      {"Mp3Of256ChannelsAt85BytesASecond",
       Wave({Fmt({0x0055, 256, 32830, 85, 576, 0, 12}, Pattern(12)), Data(2000)}),
       Shows(expected::kNoResultSize)},
      {"G7231At16Megahertz",
       Wave({Fmt({0x0042, 1, 16588352, 800, 2537, 0, 10}, Pattern(10)), Data(3000)}),
       Shows(expected::kNoResultSize)},
      {"Mp3OfNoise", Wave({Fmt({0x0055, 1, 8000, 1000, 1, 0, 12}, Pattern(12)), Data(4000)}),
       kEither},
  };
}

std::vector<MalformedFile> AllCases() {
  std::vector<MalformedFile> all = TruncatedHeaders();
  for (auto more : {BrokenStructure(), BrokenFormats()}) {
    all.insert(all.end(), more.begin(), more.end());
  }
  return all;
}

class MalformedFileTest : public ::testing::TestWithParam<MalformedFile> {
 protected:
  ScratchDir dir_;
};

TEST_P(MalformedFileTest, PlaysOrShowsExactlyOneFixedMessage) {
  const MalformedFile& file = GetParam();
  const std::string path = dir_.path("in.wav");
  ASSERT_TRUE(WriteFileBytes(path, file.bytes));
  const CliRun run = PlayWithCli(path, dir_.path("out.wav"));

  ASSERT_FALSE(run.hung) << "no end within the time limit; said:\n" << run.errors;
  ASSERT_TRUE(run.status == 0 || run.status == 1)
      << "status " << run.status << " (a crash or a sanitizer report); said:\n"
      << run.errors;
  if (run.status == 0) {
    EXPECT_EQ(run.errors, "") << "a file that played showed something";
    EXPECT_TRUE(file.outcome.plays || file.outcome.message.empty())
        << "played; expected: " << file.outcome.message;
    return;
  }
  ASSERT_FALSE(run.errors.empty()) << "failed without a message";
  // Each message names the program and the file.
  const std::string prefix = "rtplayer-cli: " + path + ": ";
  ASSERT_EQ(run.errors.rfind(prefix, 0), 0u) << run.errors;
  const std::string line = run.errors.substr(prefix.size(), run.errors.size() - prefix.size() - 1);
  EXPECT_EQ(run.errors.back(), '\n');
  EXPECT_TRUE(kFixedMessages.count(line) == 1) << "not exactly one fixed message:\n" << run.errors;
  EXPECT_FALSE(file.outcome.plays) << "refused with: " << line;
  if (!file.outcome.message.empty()) {
    EXPECT_EQ(line, file.outcome.message);
  }
}

INSTANTIATE_TEST_SUITE_P(Files, MalformedFileTest, ::testing::ValuesIn(AllCases()),
                         [](const auto& test) { return test.param.name; });

}  // namespace

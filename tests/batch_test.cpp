// SPDX-License-Identifier: GPL-3.0-or-later
// rtplayer-cli --check and --output-dir from the outside: the verdicts of a searched folder in
// file order whatever order its workers end in, outputs identical to one-file --output, and a
// signal that stops every worker mid-batch.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>

#include "codec_fixtures.h"
#include "support/child_process.h"
#include "support/expected_texts.h"
#include "support/scratch_dir.h"
#include "support/wav_reading.h"
#include "support/wav_writer.h"

namespace {

const std::string kCli = std::string(RTPLAYER_BINARY_DIR) + "/bin/rtplayer-cli";
// The summary: `expected`, then " in " and the wall time, M:SS.d, whose form alone is checked
// (it is the clock's).
::testing::AssertionResult IsSummary(const std::string& output, const std::string& expected) {
  const auto digit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
  const std::string wall = output.substr(std::min(output.size(), expected.size()));
  size_t minutes = 0;
  while (minutes < wall.size() && digit(wall[minutes])) ++minutes;
  const std::string rest = wall.substr(minutes);
  const bool formed = minutes > 0 && rest.size() == 6 && rest[0] == ':' && digit(rest[1]) &&
                      digit(rest[2]) && rest[3] == '.' && digit(rest[4]) && rest[5] == '\n';
  if (output.rfind(expected, 0) == 0 && formed) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << output;
}

class BatchTest : public ::testing::Test {
 protected:
  int Run(std::vector<std::string> args, std::string* output, std::string* errors) {
    args.insert(args.begin(), kCli);
    ChildProcess program(args, dir_.path("cli"));
    const int status = program.wait();
    *output = program.output();
    *errors = program.errors();
    return status;
  }

  // 16-bit PCM at 8 kHz, mono, of `seconds`.
  void WriteGood(const std::string& name, uint32_t seconds) {
    ASSERT_TRUE(WriteFileBytes(
        dir_.path(name), WaveFile(PcmFormat(8000, 1, 16), Pattern(16000 * seconds, seconds))));
  }

  std::set<std::string> Listing(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      names.insert(entry.path().filename().string());
    }
    return names;
  }

  ScratchDir dir_;
};

// MP3 in WAV whose data no decoder takes: it fails only once FFmpeg has loaded, long after
// the files behind it have failed.
Bytes GarbledMp3() {
  WAVEFORMATEX format = PcmFormat(8000, 1, 0);
  format.wFormatTag = 0x0055;
  format.nAvgBytesPerSec = 2000;
  format.nBlockAlign = 1;
  Bytes extra;  // MPEGLAYER3WAVEFORMAT's own fields
  AppendLe16(extra, 1);
  AppendLe32(extra, 2);
  AppendLe16(extra, 144);
  AppendLe16(extra, 1);
  AppendLe16(extra, 1393);
  return WaveFile(format, Pattern(20000), extra);
}

TEST_F(BatchTest, ChecksAFolderAndGivesTheVerdictsInFileOrder) {
  const std::string top = dir_.path("top");
  std::filesystem::create_directories(top + "/d-sub");
  ASSERT_TRUE(WriteFileBytes(top + "/a-garbled.wav", GarbledMp3()));
  WriteGood("top/b-good.wav", 2);
  ASSERT_TRUE(WriteFileBytes(top + "/c-not-riff.WAV", Pattern(100)));
  ASSERT_TRUE(
      WriteFileBytes(top + "/d-sub/e-good.Wave", WaveFile(PcmFormat(22050, 2, 8), Pattern(44100))));
  ASSERT_TRUE(
      WriteFileBytes(top + "/d-sub/f-no-data.bwf",
                     RiffForm("WAVE", {Chunk("fmt ", FormatBytes(PcmFormat(8000, 1, 16)))})));
  ASSERT_TRUE(WriteFileBytes(top + "/d-sub/g-notes.txt", Pattern(100)));
  std::filesystem::create_symlink("../b-good.wav", top + "/d-sub/h-link.wav");
  std::filesystem::create_symlink("nowhere.wav", top + "/d-sub/i-dangling.rf64");
  // A folder reached through a link is not searched again.
  std::filesystem::create_directory_symlink("d-sub", top + "/j-linked-folder");
  ASSERT_TRUE(WriteFileBytes(top + "/k-no-format.wav", RiffForm("WAVE", {Chunk("data", {1, 2})})));
  WriteGood("top/l-good.rf64", 1);
  // Named on the command line, a file plays whatever its name.
  WriteGood("explicit.dat", 3);
  const std::string missing = dir_.path("missing.wav");

  std::string output;
  std::string errors;
  EXPECT_EQ(Run({"--check", "-j", "3", top, missing, dir_.path("explicit.dat")}, &output, &errors),
            1);
  // In file order, each failure once, though three workers end in any order.
  const std::string said = "rtplayer-cli: " + top;
  EXPECT_EQ(errors, said + "/a-garbled.wav: " + expected::kCannotConvert + "\n" + said +
                        "/c-not-riff.WAV: " + expected::kNotRiffWave + "\n" + said +
                        "/d-sub/f-no-data.bwf: " + expected::kNoDataChunk + "\n" + said +
                        "/d-sub/i-dangling.rf64: " + expected::kCannotOpenFile +
                        " (No such file or directory)\n" + said + "/k-no-format.wav: " +
                        expected::kNoFormatChunk + "\nrtplayer-cli: " + missing + ": " +
                        expected::kCannotOpenFile + " (No such file or directory)\n");
  // b (2 s), e (1 s), h (b again, 2 s), l (1 s) and the explicit file (3 s).
  EXPECT_TRUE(IsSummary(output, "11 files checked: 5 played, 6 failed; 0:09 of audio in "));

  EXPECT_EQ(Run({"--check", top + "/d-sub/e-good.Wave", top + "/l-good.rf64"}, &output, &errors),
            0);
  EXPECT_EQ(errors, "");
  EXPECT_TRUE(IsSummary(output, "2 files checked: 2 played, 0 failed; 0:02 of audio in "));
  // --check writes nothing anywhere.
  EXPECT_EQ(Listing(top),
            (std::set<std::string>{"a-garbled.wav", "b-good.wav", "c-not-riff.WAV", "d-sub",
                                   "j-linked-folder", "k-no-format.wav", "l-good.rf64"}));

  for (const std::vector<std::string>& wrong :
       {std::vector<std::string>{"--check", "--output", dir_.path("out.wav"), top},
        {"--check", "--output-dir", dir_.path("out"), top},
        {"--output-dir", dir_.path("out"), "--device", "1", top},
        {"-j", "2", top},
        {"--check", "-j", "0", top}}) {
    EXPECT_EQ(Run(wrong, &output, &errors), 2) << wrong[1];
    EXPECT_NE(errors.find("usage: rtplayer-cli"), std::string::npos);
  }
}

TEST_F(BatchTest, ConvertsWithTwoWorkersExactlyAsOneFileOutputDoes) {
  const std::string out = dir_.path("out");
  std::filesystem::create_directory(out);
  // Already there: kept, and the output of that name goes beside it.
  const Bytes mine = Pattern(10);
  ASSERT_TRUE(WriteFileBytes(out + "/ffmpeg-alaw-mono.wav", mine));
  const std::string codecs = CodecFixturePath("");
  const std::string rifx = std::string(RTPLAYER_FIXTURES) + "/rifx/";

  std::string output;
  std::string errors;
  EXPECT_EQ(Run({"-j", "2", "--output-dir", out, codecs, rifx}, &output, &errors), 1);
  // RIFX holds IMA ADPCM nowhere else: the one file that cannot be converted.
  EXPECT_EQ(errors,
            "rtplayer-cli: " + rifx + "sox-ima-mono.wav: " + expected::kNoOutputFormat + "\n");
  EXPECT_EQ(output.rfind("67 files checked: 66 played, 1 failed; ", 0), 0u) << output;
  EXPECT_TRUE(ReadFileBytes(out + "/ffmpeg-alaw-mono.wav") == mine);

  // Each input, in the batch's order, and the name its output must have.
  std::vector<std::pair<std::string, std::string>> expected;
  std::set<std::string> names{"ffmpeg-alaw-mono.wav"};
  for (const std::string& folder : {codecs, rifx}) {
    std::set<std::string> inputs;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      if (entry.path().extension() == ".wav") inputs.insert(entry.path().filename().string());
    }
    for (const std::string& name : inputs) {
      if (folder == rifx && name == "sox-ima-mono.wav") continue;
      const std::string stem = name.substr(0, name.size() - 4);
      const std::string given = names.count(name) != 0 ? stem + "-1.wav" : name;
      expected.emplace_back(folder + name, given);
      names.insert(given);
    }
  }
  ASSERT_EQ(expected.size(), 66u);
  EXPECT_EQ(Listing(out), names);  // nothing else: no hidden file, no name left empty
  for (const auto& [input, name] : expected) {
    SCOPED_TRACE(input);
    const std::string one = dir_.path("one.wav");
    std::string oneErrors;
    ASSERT_EQ(RunToEnd({kCli, "--output", one, input}, dir_.path("one"), &oneErrors), 0)
        << oneErrors;
    const std::vector<uint8_t> batch = ReadFileBytes(out + "/" + name);
    EXPECT_FALSE(batch.empty());
    EXPECT_TRUE(batch == ReadFileBytes(one)) << name;
  }
}

// Waits, without polling, for what is written and renamed into a folder (inotify).
class FolderWatch {
 public:
  explicit FolderWatch(const std::string& folder) : fd_(inotify_init1(IN_CLOEXEC)) {
    inotify_add_watch(fd_, folder.c_str(), IN_MODIFY | IN_MOVED_TO);
  }
  ~FolderWatch() { close(fd_); }
  FolderWatch(const FolderWatch&) = delete;
  FolderWatch& operator=(const FolderWatch&) = delete;

  // Hands each event's name and mask to `seen` until it returns true; false after `limit`.
  bool waitUntil(const std::function<bool(const std::string&, uint32_t)>& seen,
                 std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd ready{fd_, POLLIN, 0};
      if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0) return false;
      const ssize_t length = read(fd_, buffer, sizeof buffer);
      for (ssize_t at = 0; at < length;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        if (event->len > 0 && seen(event->name, event->mask)) return true;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
  }

 private:
  int fd_;
};

// A WAV file whose data, `dataSize` bytes of `format`, is a hole in the file: nothing on the
// disk.
void WriteHollow(const std::string& path, const WAVEFORMATEX& format, const Bytes& extra,
                 uint32_t dataSize) {
  const Bytes fmt = Chunk("fmt ", FormatBytes(format, extra));
  const Bytes header =
      RiffFormClaiming("WAVE", 4 + static_cast<uint32_t>(fmt.size()) + 8 + dataSize,
                       {fmt, ChunkClaiming("data", dataSize, {})});
  ASSERT_TRUE(WriteFileBytes(path, header));
  std::filesystem::resize_file(path, header.size() + dataSize);
}

// GSM 6.10 at 8 kHz for about three hours: long to convert.
void WriteLongGsm(const std::string& path) {
  WAVEFORMATEX format{};
  format.wFormatTag = 0x0031;
  format.nChannels = 1;
  format.nSamplesPerSec = 8000;
  format.nAvgBytesPerSec = 1625;
  format.nBlockAlign = 65;
  format.cbSize = 2;
  Bytes samplesPerBlock;
  AppendLe16(samplesPerBlock, 320);
  WriteHollow(path, format, samplesPerBlock, 65 * 258000);
}

// Two long files under way when the signal comes, one file done before it and one not
// started: the done one is whole, each long one a valid WAV file of what it played, and the
// last never begun. The largest files go first: the done one is the largest, silent PCM that
// converts at once, and the one never begun the smallest.
TEST_F(BatchTest, ASignalStopsEveryWorkerAndStartsNoFurtherFile) {
  const std::string in = dir_.path("in");
  const std::string out = dir_.path("out");
  std::filesystem::create_directory(in);
  std::filesystem::create_directory(out);
  constexpr uint32_t kSilence = 20 * 1000 * 1000;
  WriteHollow(in + "/a-large.wav", PcmFormat(8000, 1, 16), {}, kSilence);
  WriteLongGsm(in + "/b-long.wav");
  WriteLongGsm(in + "/c-long.wav");
  WriteGood("in/d-short.wav", 1);

  FolderWatch watch(out);
  ChildProcess batch({kCli, "-j", "2", "--output-dir", out, in}, dir_.path("batch"));
  ASSERT_TRUE(batch.started());
  bool largeDone = false;
  std::set<std::string> writing;
  ASSERT_TRUE(watch.waitUntil(
      [&](const std::string& name, uint32_t mask) {
        largeDone = largeDone || ((mask & IN_MOVED_TO) != 0 && name == "a-large.wav");
        for (const char* hidden : {".b-long.wav.", ".c-long.wav."}) {
          if ((mask & IN_MODIFY) != 0 && name.rfind(hidden, 0) == 0) writing.insert(hidden);
        }
        return largeDone && writing.size() == 2;
      },
      std::chrono::seconds(60)))
      << batch.errors();
  batch.signal(SIGINT);
  EXPECT_EQ(batch.wait(), 130);
  EXPECT_FALSE(batch.killed());
  EXPECT_EQ(batch.errors(), "");
  EXPECT_EQ(batch.output().rfind("3 files checked: 1 played, 0 failed, 2 stopped; ", 0), 0u)
      << batch.output();

  EXPECT_EQ(Listing(out), (std::set<std::string>{"a-large.wav", "b-long.wav", "c-long.wav"}));
  const auto whole = ReadWav(out + "/a-large.wav");
  ASSERT_TRUE(whole.has_value());
  EXPECT_EQ(whole->data.size(), kSilence);
  EXPECT_TRUE(
      std::all_of(whole->data.begin(), whole->data.end(), [](uint8_t b) { return b == 0; }));
  for (const char* name : {"b-long.wav", "c-long.wav"}) {
    SCOPED_TRACE(name);
    const std::string path = out + "/" + name;
    const auto stopped = ReadWav(path);
    ASSERT_TRUE(stopped.has_value());
    EXPECT_EQ(uint16_t{stopped->format.wFormatTag}, WAVE_FORMAT_PCM);
    EXPECT_EQ(uint16_t{stopped->format.wBitsPerSample}, 16);
    // Its header matches its data, which ends well before the file's three hours.
    EXPECT_EQ(std::filesystem::file_size(path), 44 + stopped->data.size());
    EXPECT_LT(stopped->data.size(), size_t{258000} * 640);
  }
}

// A worker that dies (as a crashing decoder would end it) fails the file it converts and nothing
// else: the files after it go to a worker started in its place.
TEST_F(BatchTest, AWorkerThatDiesFailsItsFileAlone) {
  const std::string in = dir_.path("in");
  const std::string out = dir_.path("out");
  std::filesystem::create_directory(in);
  std::filesystem::create_directory(out);
  WriteLongGsm(in + "/a-long.wav");
  WriteGood("in/b-short.wav", 1);
  WriteGood("in/c-short.wav", 2);

  FolderWatch watch(out);
  ChildProcess batch({kCli, "-j", "1", "--output-dir", out, in}, dir_.path("batch"));
  ASSERT_TRUE(batch.started());
  ASSERT_TRUE(watch.waitUntil(
      [](const std::string& name, uint32_t mask) {
        return (mask & IN_MODIFY) != 0 && name.rfind(".a-long.wav.", 0) == 0;
      },
      std::chrono::seconds(60)))
      << batch.errors();
  const std::vector<uint8_t> children =
      ReadFileBytes("/proc/" + std::to_string(batch.pid()) + "/task/" +
                    std::to_string(batch.pid()) + "/children");
  const pid_t worker = std::atoi(std::string(children.begin(), children.end()).c_str());
  ASSERT_GT(worker, 0);
  kill(worker, SIGKILL);
  EXPECT_EQ(batch.wait(), 1);
  EXPECT_EQ(batch.errors(),
            "rtplayer-cli: " + in + "/a-long.wav: the worker was killed (Killed)\n");
  EXPECT_TRUE(IsSummary(batch.output(), "3 files checked: 2 played, 1 failed; 0:03 of audio in "));
  const auto b = ReadWav(out + "/b-short.wav");
  const auto c = ReadWav(out + "/c-short.wav");
  ASSERT_TRUE(b.has_value() && c.has_value());
  EXPECT_TRUE(b->data == Pattern(16000, 1));
  EXPECT_TRUE(c->data == Pattern(32000, 2));
  // The name taken for the dead worker's output is given back.
  EXPECT_EQ(std::filesystem::exists(out + "/a-long.wav"), false);
}

}  // namespace

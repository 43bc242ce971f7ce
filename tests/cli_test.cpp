// SPDX-License-Identifier: GPL-3.0-or-later
// rtplayer-cli from the outside: exact output through the file device for every codec
// fixture, its messages and exit statuses, the device list, and real-time playback on the
// PulseAudio test daemon recorded from a sink's monitor.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "codec_fixtures.h"
#include "support/child_process.h"
#include "support/expected_texts.h"
#include "support/file_watch.h"
#include "support/monitor_recorder.h"
#include "support/scratch_dir.h"
#include "support/sound_stack.h"
#include "support/wav_reading.h"
#include "support/wav_writer.h"

namespace {

const std::string kCli = std::string(RTPLAYER_BINARY_DIR) + "/bin/rtplayer-cli";

class CliTest : public ::testing::Test {
 protected:
  int Run(std::vector<std::string> args, std::string* errors = nullptr) {
    args.insert(args.begin(), kCli);
    return RunToEnd(args, dir_.path("cli"), errors);
  }

  ScratchDir dir_;
};

class EveryCodecFile : public CliTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(EveryCodecFile, PlaysIntoTheFileDeviceExactlyAsTheReference) {
  const CodecFixture fixture = LoadCodecFixture(GetParam());
  for (const char* suffix : {".wav", "-list.wav"}) {
    SCOPED_TRACE(suffix);
    const std::string out = dir_.path("out.wav");
    std::string errors;
    ASSERT_EQ(Run({"--output", out, CodecFixturePath(GetParam() + suffix)}, &errors), 0) << errors;
    EXPECT_EQ(errors, "");
    const auto played = ReadWav(out);
    ASSERT_TRUE(played.has_value());
    // Compared whole: a byte lost, doubled or moved at a buffer boundary shows.
    EXPECT_TRUE(played->data == fixture.reference)
        << played->data.size() << " bytes played, " << fixture.reference.size() << " expected";
  }
}

INSTANTIATE_TEST_SUITE_P(Codecs, EveryCodecFile, ::testing::ValuesIn(CodecFixtureNames()),
                         CodecFixtureTestName);

TEST_F(CliTest, ShowsTheFixedMessageAndGoesOnToTheNextFile) {
  const std::string bad = dir_.path("bad.wav");
  ASSERT_TRUE(WriteFileBytes(bad, RiffForm("WAVE", {Chunk("data", Pattern(10))})));
  const std::string good = CodecFixturePath("sox-pcm-s16-stereo.wav");
  std::string errors;
  EXPECT_EQ(Run({"--device", "0", dir_.path("missing.wav"), bad}, &errors), 1);
  // The system's reason follows the fixed message where there is one.
  EXPECT_EQ(errors, "rtplayer-cli: " + dir_.path("missing.wav") + ": " + expected::kCannotOpenFile +
                        " (No such file or directory)\nrtplayer-cli: " + bad + ": " +
                        expected::kNoFormatChunk + "\n");

  const std::string out = dir_.path("out.wav");
  EXPECT_EQ(Run({"--output", out, good}, &errors), 0);
  EXPECT_EQ(errors, "");
  // Maintainers ask for what was chosen; users never see it unasked.
  EXPECT_EQ(Run({"-v", "--output", out, good}, &errors), 0);
  EXPECT_NE(errors.find("rtplayer: acm: format 0x0001, "), std::string::npos) << errors;
  EXPECT_EQ(Run({"--output", out, bad}, &errors), 1);
  EXPECT_EQ(errors, "rtplayer-cli: " + bad + ": " + expected::kNoFormatChunk + "\n");

  // 50 ms fit one buffer: the output's only write fails after it was accepted.
  const std::string shortFile = dir_.path("short.wav");
  ASSERT_TRUE(WriteFileBytes(shortFile, WaveFile(PcmFormat(8000, 1, 16), Pattern(800))));
  EXPECT_EQ(Run({"--output", "/dev/full", shortFile}, &errors), 1);
  EXPECT_EQ(errors, "rtplayer-cli: " + shortFile + ": " + expected::kCannotCloseDevice +
                        " (No space left on device)\n");
}

// WAVE_FORMAT_EXTENSIBLE, 16-bit PCM, no speaker positions: more channels than any layout.
// Returns its data.
Bytes WriteTwentyChannels(const std::string& path) {
  WAVEFORMATEX format = PcmFormat(8000, 20, 16);
  format.wFormatTag = 0xFFFE;
  Bytes extra;
  AppendLe16(extra, 16);
  AppendLe32(extra, 0);
  AppendLe16(extra, WAVE_FORMAT_PCM);
  Append(extra, {0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xaa, 0, 0x38, 0x9b, 0x71});
  const Bytes data = Pattern(size_t{20} * 2 * 1000);
  EXPECT_TRUE(WriteFileBytes(path, WaveFile(format, data, extra)));
  return data;
}

TEST_F(CliTest, PlaysTwentyChannelsIntoTheFileDevice) {
  const std::string in = dir_.path("twenty.wav");
  const Bytes data = WriteTwentyChannels(in);
  const std::string out = dir_.path("out.wav");
  std::string errors;
  ASSERT_EQ(Run({"--output", out, in}, &errors), 0) << errors;
  const auto played = ReadWav(out);
  ASSERT_TRUE(played.has_value());
  EXPECT_EQ(uint16_t{played->format.nChannels}, 20);
  EXPECT_TRUE(played->data == data);
}

// A copy of the program with no module beside it and no installed folder to find one in:
// the classic formats play in process, and a file that needs FFmpeg gets the start's message
// for a format it cannot convert, once.
TEST_F(CliTest, WithoutItsModulesPlaysTheClassicFormatsAndRefusesTheRestOnce) {
  const std::string lone = dir_.path("lone-rtplayer-cli");
  std::filesystem::copy_file(kCli, lone);
  const std::string out = dir_.path("out.wav");
  std::string errors;
  EXPECT_EQ(RunToEnd({lone, "--output", out, CodecFixturePath("sox-ima-stereo.wav")},
                     dir_.path("ima"), &errors),
            0)
      << errors;
  const std::string mp3 = CodecFixturePath("ffmpeg-mp3-mono.wav");
  EXPECT_EQ(RunToEnd({lone, "--output", out, mp3}, dir_.path("mp3"), &errors), 1);
  EXPECT_EQ(errors, "rtplayer-cli: " + mp3 + ": " + expected::kNoOutputFormat + "\n");
}

// However the output names the file to play, it is refused before anything is written, and
// the file is left whole.
TEST_F(CliTest, RefusesAnOutputThatIsTheFileToPlay) {
  const std::string file = dir_.path("c.wav");
  const Bytes bytes = WaveFile(PcmFormat(8000, 1, 16), Pattern(1600));
  ASSERT_TRUE(WriteFileBytes(file, bytes));
  const std::string hard = dir_.path("hard.wav");
  const std::string relative = dir_.path("relative.wav");
  const std::string absolute = dir_.path("absolute.wav");
  ASSERT_EQ(link(file.c_str(), hard.c_str()), 0);
  ASSERT_EQ(symlink("c.wav", relative.c_str()), 0);
  ASSERT_EQ(symlink(file.c_str(), absolute.c_str()), 0);
  const int held = open(file.c_str(), O_RDONLY);  // inherited: /dev/fd/N in the program
  ASSERT_GE(held, 0);
  const std::string byDescriptor = "/dev/fd/" + std::to_string(held);
  const std::string dotted = dir_.root() + "/./c.wav";
  for (const auto& [output, played] :
       std::vector<std::pair<std::string, std::string>>{{file, file},
                                                        {dotted, file},
                                                        {hard, file},
                                                        {relative, file},
                                                        {absolute, file},
                                                        {file, relative},
                                                        {file, hard},
                                                        {byDescriptor, file}}) {
    SCOPED_TRACE(output + " for " + played);
    std::string errors;
    EXPECT_EQ(Run({"--output", output, played}, &errors), 2);
    EXPECT_EQ(errors.rfind("rtplayer-cli: --output " + output +
                               " would overwrite the file to play, " + played + "\nusage: ",
                           0),
              0u)
        << errors;
    EXPECT_TRUE(ReadFileBytes(file) == bytes);
  }
  close(held);
}

// A name that would drive the terminal is written quoted, as GNU's tools quote it.
TEST_F(CliTest, NamesThatHoldControlCharactersAreQuotedInMessages) {
  const std::string name = dir_.path("\x1b[31mred\n.wav");
  ASSERT_TRUE(WriteFileBytes(name, Pattern(100)));
  std::string errors;
  EXPECT_EQ(Run({"--output", dir_.path("out.wav"), name}, &errors), 1);
  EXPECT_EQ(errors, "rtplayer-cli: '" + dir_.root() +
                        "/'$'\\033''[31mred'$'\\n''.wav': " + expected::kNotRiffWave + "\n");
}

// RIFX files as sox writes them, in every width and in float, plain and extensible: the PCM
// that sox decodes from each; a compressed format in RIFX is refused.
TEST_F(CliTest, PlaysRifxFilesAsSoxDecodesThem) {
  const std::string folder = std::string(RTPLAYER_FIXTURES) + "/rifx/";
  int played = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string name = entry.path().stem().string();
    if (entry.path().extension() != ".raw") continue;
    SCOPED_TRACE(name);
    const std::string out = dir_.path("out.wav");
    std::string errors;
    ASSERT_EQ(Run({"--output", out, folder + name + ".wav"}, &errors), 0) << errors;
    const auto wav = ReadWav(out);
    ASSERT_TRUE(wav.has_value());
    EXPECT_TRUE(wav->data == ReadFileBytes(folder + name + ".raw"));
    ++played;
  }
  EXPECT_EQ(played, 8);
  std::string errors;
  EXPECT_EQ(Run({"--output", dir_.path("out.wav"), folder + "sox-ima-mono.wav"}, &errors), 1);
  EXPECT_EQ(errors,
            "rtplayer-cli: " + folder + "sox-ima-mono.wav: " + expected::kNoOutputFormat + "\n");
}

TEST_F(CliTest, RefusesAWrongCommandLineWithUsage) {
  std::string errors;
  EXPECT_EQ(Run({"--frobnicate"}, &errors), 2);
  EXPECT_NE(errors.find("usage: rtplayer-cli"), std::string::npos);
  EXPECT_EQ(Run({}, &errors), 2);
}

TEST_F(CliTest, TellsItsVersion) {
  ChildProcess version({kCli, "--version"}, dir_.path("version"));
  EXPECT_EQ(version.wait(), 0);
  const std::string said = version.output();
  const std::string prefix = "rtplayer-cli ";
  ASSERT_EQ(said.rfind(prefix, 0), 0u) << said;
  // MAJOR.MINOR.PATCH and the end of the line.
  const std::string number = said.substr(prefix.size());
  EXPECT_EQ(std::count(number.begin(), number.end(), '.'), 2) << said;
  EXPECT_EQ(number.find_first_not_of("0123456789."), number.size() - 1) << said;
  EXPECT_EQ(number.back(), '\n');
}

// The real-device cases run on each sound stack that scripts/test starts.
class CliOnDaemonTest : public CliTest {
 protected:
  void SetUp() override {
    if (!UseTestSoundStack()) GTEST_SKIP() << "no " << TestSoundStack() << " test daemon";
  }
};

// Files back to back in one process, each on a device of its own that closes as soon as its
// last buffer is back, while the server may still owe the device an answer: none reaches a
// closed one.
TEST_F(CliOnDaemonTest, PlaysTwentyChannelsAndShortFilesBackToBackOnASink) {
  const std::string in = dir_.path("twenty.wav");
  WriteTwentyChannels(in);
  std::vector<std::string> args = {"--device", "2", in};
  // A silent stream keeps the null sink rendering in small steps, as a desktop's sink does:
  // an idle one renders so far ahead that each file would wait for it to catch up.
  ChildProcess keeper(
      {"/usr/bin/pacat", "--server=" + MonitorServer(), "--playback", "--device=rtplayer_b",
       "--raw", "--format=s16le", "--rate=44100", "--channels=2", "--latency-msec=5", "/dev/zero"},
      dir_.path("pacat"));
  ASSERT_TRUE(keeper.started());
  for (int i = 0; i < 16; ++i) {
    // 50 ms each, of two formats in turn, so each file opens a device anew.
    const std::string clip = dir_.path("clip" + std::to_string(i) + ".wav");
    const bool mono = i % 2 == 0;
    const WAVEFORMATEX format = mono ? PcmFormat(8000, 1, 8) : PcmFormat(44100, 2, 16);
    ASSERT_TRUE(WriteFileBytes(clip, WaveFile(format, Pattern(format.nAvgBytesPerSec / 20))));
    args.push_back(clip);
  }
  std::string errors;
  EXPECT_EQ(Run(args, &errors), 0) << errors;
  EXPECT_EQ(errors, "");
}

TEST_F(CliOnDaemonTest, ListsTheDevicesAsTheDialogDoes) {
  ChildProcess list({kCli, "--list-devices"}, dir_.path("list"));
  ASSERT_EQ(list.wait(), 0);
  // Entry 0 is the default device, named after the daemon's default sink.
  EXPECT_EQ(list.output(), "0\t" + DefaultEntryName() + "\n1\trtplayer_a\n2\trtplayer_b\n");
}

// A server of the test's own, of the stack's kind, killed while it plays: mid-file the next
// write is refused; with the file's tail waiting in the sink the close says so. One message
// either way, and exit 1.
TEST_F(CliOnDaemonTest, AServerKilledWhilePlayingIsReportedOnce) {
  const bool pipewire = TestSoundStack() == "pipewire";
  const std::string dir = dir_.path("server");
  const std::string script =
      std::string(RTPLAYER_SOURCE_DIR) +
      (pipewire ? "/scripts/pipewire-test-daemon" : "/scripts/pulse-test-daemon");
  const std::string dirVariable = pipewire ? "RTPLAYER_PIPEWIRE_DIR=" : "RTPLAYER_PULSE_DIR=";
  const std::string server = "unix:" + dir + (pipewire ? "/run/pulse/native" : "/native");
  std::vector<std::string> player = {"/usr/bin/env"};
  if (StackIsSoundServer()) {
    player.push_back("PULSE_SERVER=" + server);
  } else {
    const std::string config = dir_.path("asound.conf");
    const std::string text = "pcm.default { type pulse; server \"" + server + "\" }\n";
    ASSERT_TRUE(WriteFileBytes(config, Bytes(text.begin(), text.end())));
    player.push_back("ALSA_CONFIG_PATH=" + config);
  }
  player.push_back(kCli);

  struct Case {
    const char* name;
    uint32_t milliseconds;
    const char* message;
  };
  for (const Case& when : {Case{"mid-file", 3000, expected::kCannotQueueBuffer},
                           Case{"tail", 400, expected::kCannotCloseDevice}}) {
    SCOPED_TRACE(when.name);
    std::string startErrors;
    ASSERT_EQ(RunToEnd({"/usr/bin/env", dirVariable + dir, script, "start"}, dir_.path("start"),
                       &startErrors),
              0)
        << startErrors;
    const std::string file = dir_.path(std::string(when.name) + ".wav");
    const std::vector<uint8_t> tone = [&] {
      std::vector<uint8_t> bytes(size_t{when.milliseconds} * 441 / 10 * 4);
      for (size_t i = 0; i < bytes.size() / 2; ++i) {
        const auto v = static_cast<int16_t>(16384 * std::sin(2 * M_PI * 1000 * (i / 2) / 44100.0));
        bytes[i * 2] = static_cast<uint8_t>(v);
        bytes[i * 2 + 1] = static_cast<uint8_t>(v >> 8);
      }
      return bytes;
    }();
    ASSERT_TRUE(WriteFileBytes(file, WaveFile(PcmFormat(44100, 2, 16), tone)));
    {
      MonitorRecorder sink("rtplayer_a", server);
      ASSERT_TRUE(sink.running());
      std::vector<std::string> argv = player;
      argv.push_back(file);
      ChildProcess playing(argv, dir_.path(when.name));
      // A 400 ms file is written whole at the start: once it is heard, its tail waits.
      ASSERT_TRUE(sink.waitForSound(2000)) << playing.errors();
      const std::string pidFile = dir + (pipewire ? "/pulse.pid" : "/daemon.pid");
      const std::vector<uint8_t> pid = ReadFileBytes(pidFile);
      ASSERT_EQ(kill(std::stoi(std::string(pid.begin(), pid.end())), SIGKILL), 0);
      EXPECT_EQ(playing.wait(), 1);
      EXPECT_EQ(playing.errors(),
                "rtplayer-cli: " + file + ": " + std::string(when.message) + "\n");
    }
    RunToEnd({"/usr/bin/env", dirVariable + dir, script, "stop"}, dir_.path("stop"));
  }
}

std::vector<int16_t> ReadSamples(const std::string& path) {
  const std::vector<uint8_t> bytes = ReadFileBytes(path);
  std::vector<int16_t> samples(bytes.size() / 2);
  if (!samples.empty()) std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
  return samples;
}

// Normalised cross-correlation of `reference` with `recorded` from `offset` on.
double Correlation(const std::vector<int16_t>& reference, const std::vector<int16_t>& recorded,
                   size_t offset, size_t from, size_t count) {
  double xy = 0, xx = 0, yy = 0;
  for (size_t i = from; i < from + count; ++i) {
    const double x = reference[i];
    const double y = recorded[offset + i];
    xy += x * y;
    xx += x * x;
    yy += y * y;
  }
  return xx > 0 && yy > 0 ? xy / std::sqrt(xx * yy) : 0.0;
}

size_t FirstLoud(const std::vector<int16_t>& samples) {
  for (size_t i = 0; i < samples.size(); ++i) {
    if (std::abs(samples[i]) > 2000) return i;
  }
  return samples.size();
}

// Waits for what a recording holds to satisfy `ready`, reading it again after each write to
// it. The deadline is far beyond any load: only a recorder that has stopped recording
// reaches it.
bool WaitForRecording(FileWatch& watch, const std::string& path,
                      const std::function<bool(const std::vector<int16_t>&)>& ready) {
  using std::chrono::milliseconds;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!ready(ReadSamples(path))) {
    const auto left =
        std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left <= milliseconds(0) || !watch.waitForWrite(left)) return false;
  }
  return true;
}

// What the first sink (rtplayer_a, 22 050 Hz mono) plays, recorded from its monitor into a
// file, once whatever an earlier test played has ended.
class CliOnSinkTest : public CliOnDaemonTest {
 protected:
  void SetUp() override {
    CliOnDaemonTest::SetUp();
    if (IsSkipped()) return;
    // An idle null sink renders up to two seconds ahead, and a stream that starts makes it
    // rewind over what its monitor has already delivered, so the recording would miss the
    // start: a silent 20 ms stream keeps it rendering in small steps, as a desktop's sink does
    // (PipeWire's whole graph would follow a 5 ms one, and miss a step now and then).
    keeper_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/bin/pacat", "--server=" + MonitorServer(), "--playback",
                                 "--device=rtplayer_a", "--raw", "--format=s16le", "--rate=22050",
                                 "--channels=1", "--latency-msec=20", "/dev/zero"},
        dir_.path("pacat"));
    ASSERT_TRUE(keeper_->started());
    ASSERT_TRUE(WriteFileBytes(recordingPath_, {}));  // to be watched before parec opens it
    recording_ = std::make_unique<FileWatch>(recordingPath_);
    recorder_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{
            "/usr/bin/parec", "--server=" + MonitorServer(), "--device=rtplayer_a.monitor", "--raw",
            "--format=s16le", "--rate=22050", "--channels=1", "--latency-msec=20", recordingPath_},
        dir_.path("parec"));
    ASSERT_TRUE(recorder_->started());
    // Once more than the idle sink rendered ahead has arrived, and its last tenth of a second
    // is exact silence, the sink renders in small steps and whatever an earlier test played
    // has ended: the sound is looked for only after that.
    ASSERT_TRUE(waitForRecording([&](const std::vector<int16_t>& recorded) {
      if (recorded.size() < 22050 * 21 / 10) return false;
      quietFrom_ = recorded.size();
      return std::all_of(recorded.end() - 2205, recorded.end(), [](int16_t s) { return s == 0; });
    })) << "the sink does not fall silent";
  }

  // Waits for the recording since the sink fell quiet to satisfy `ready`.
  bool waitForRecording(const std::function<bool(const std::vector<int16_t>&)>& ready) {
    return WaitForRecording(*recording_, recordingPath_, [&](const std::vector<int16_t>& all) {
      return ready(
          std::vector<int16_t>(all.begin() + static_cast<ptrdiff_t>(quietFrom_), all.end()));
    });
  }
  std::vector<int16_t> recorded() {
    const std::vector<int16_t> all = ReadSamples(recordingPath_);
    return std::vector<int16_t>(all.begin() + static_cast<ptrdiff_t>(quietFrom_), all.end());
  }
  void stopRecording() {
    recorder_->signal(SIGINT);
    recorder_->wait();
  }

 private:
  const std::string recordingPath_ = dir_.path("recording.raw");
  std::unique_ptr<ChildProcess> keeper_;
  std::unique_ptr<FileWatch> recording_;
  std::unique_ptr<ChildProcess> recorder_;
  size_t quietFrom_ = 0;
};

TEST_F(CliOnSinkTest, PlaysInRealTimeOnTheChosenSinkWithoutAGap) {
  const std::string file = std::string(RTPLAYER_FIXTURES) + "/realtime-ima.wav";
  const std::string referencePath = dir_.path("reference.raw");
  ASSERT_EQ(RunToEnd({"/usr/bin/sox", file, "-t", "raw", "-e", "signed-integer", "-b", "16",
                      referencePath},
                     dir_.path("sox")),
            0);
  const std::vector<int16_t> reference = ReadSamples(referencePath);
  ASSERT_GE(reference.size(), 3u * 22050);

  std::string errors;
  EXPECT_EQ(Run({"--device", "1", file}, &errors), 0) << errors;
  EXPECT_EQ(errors, "");
  // The sink renders what is queued in it after the player has let go: the recording goes on
  // until it holds the whole sound at every lag the alignment below tries.
  const size_t lead = FirstLoud(reference);
  const bool whole = waitForRecording([&](const std::vector<int16_t>& recorded) {
    const size_t start = FirstLoud(recorded);
    return start < recorded.size() && start >= lead &&
           recorded.size() >= start - lead + 200 + reference.size();
  });
  stopRecording();

  const std::vector<int16_t> recorded = this->recorded();
  const size_t start = FirstLoud(recorded);
  ASSERT_LT(start, recorded.size()) << "nothing was heard on the sink";
  ASSERT_GE(start, lead);
  ASSERT_TRUE(whole) << "the recording ends early";
  // Aligned at the best lag near the first loud sample.
  size_t best = start - lead;
  double bestCorrelation = -1;
  const size_t from = best > 200 ? best - 200 : 0;
  for (size_t offset = from; offset <= best + 200; ++offset) {
    if (offset + reference.size() > recorded.size()) break;
    const double c = Correlation(reference, recorded, offset, 0, reference.size());
    if (c > bestCorrelation) {
      bestCorrelation = c;
      best = offset;
    }
  }
  ASSERT_GE(recorded.size(), best + reference.size()) << "the recording ends early";
  EXPECT_GE(bestCorrelation, 0.99);
  RecordProperty("correlation", std::to_string(bestCorrelation));
  // A gap anywhere would shift everything after it: every tenth of a second must match.
  for (size_t window = 0; window + 2205 <= reference.size(); window += 2205) {
    EXPECT_GE(Correlation(reference, recorded, best, window, 2205), 0.95)
        << "at " << window / 22050.0 << " s";
  }
}

// A player stopped (SIGSTOP) for longer than the sink holds, then let go on: its sound stops,
// and resumes where it stopped, with a gap and nothing skipped. A slow ramp names each frame by
// its value.
TEST_F(CliOnSinkTest, AStoppedPlayerResumesWhereItStopped) {
  constexpr uint32_t kFrames = 22050 * 3;
  const auto frameOf = [](int16_t value) { return (value - 1000) * double{kFrames} / 30000; };
  Bytes ramp(size_t{kFrames} * 2);
  for (uint32_t i = 0; i < kFrames; ++i) {
    const auto value = static_cast<int16_t>(1000 + 30000.0 * i / kFrames);
    ramp[i * 2] = static_cast<uint8_t>(value);
    ramp[i * 2 + 1] = static_cast<uint8_t>(value >> 8);
  }
  const std::string file = dir_.path("ramp.wav");
  ASSERT_TRUE(WriteFileBytes(file, WaveFile(PcmFormat(22050, 1, 16), ramp)));
  const auto loud = [](int16_t sample) { return sample > 500; };

  ChildProcess player({kCli, "--device", "1", file}, dir_.path("player"));
  ASSERT_TRUE(player.started());
  // A second of the ramp heard, then stopped until the sink has played out all it was given.
  ASSERT_TRUE(waitForRecording([&](const std::vector<int16_t>& recorded) {
    return std::count_if(recorded.begin(), recorded.end(), loud) > 22050;
  }));
  player.signal(SIGSTOP);
  size_t stoppedAt = 0;
  ASSERT_TRUE(waitForRecording([&](const std::vector<int16_t>& recorded) {
    const auto last = std::find_if(recorded.rbegin(), recorded.rend(), loud);
    stoppedAt = static_cast<size_t>(recorded.rend() - last);
    return recorded.size() - stoppedAt > 22050 / 5;
  })) << "the sink played on";
  player.signal(SIGCONT);
  EXPECT_EQ(player.wait(), 0) << player.errors();
  // Its end, not its last loud sample: a resampler's ringing follows the drop to silence.
  ASSERT_TRUE(waitForRecording([&](const std::vector<int16_t>& recorded) {
    return std::any_of(recorded.begin(), recorded.end(),
                       [&](int16_t sample) { return frameOf(sample) > kFrames - 50; });
  })) << "the ramp was not heard to its end";
  stopRecording();

  // Compared where resamplers have settled, away from the gap's edges: the frames heard
  // across the gap are the frames that came before it, less nothing.
  const std::vector<int16_t> recorded = this->recorded();
  const size_t resumedAt = static_cast<size_t>(
      std::find_if(recorded.begin() + stoppedAt, recorded.end(), loud) - recorded.begin());
  ASSERT_GT(stoppedAt, 400u);
  ASSERT_LT(resumedAt + 400, recorded.size());
  const size_t before = stoppedAt - 400, after = resumedAt + 400;
  const double skipped = frameOf(recorded[after]) - frameOf(recorded[before]) -
                         static_cast<double>(after - resumedAt + stoppedAt - before);
  EXPECT_NEAR(skipped, 0, 200) << "frames skipped across the stop";
}

}  // namespace

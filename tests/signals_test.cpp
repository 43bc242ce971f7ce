// SPDX-License-Identifier: GPL-3.0-or-later
// The two programs end on SIGINT, SIGTERM and SIGHUP as a user expects: a playback is stopped
// as Stop stops it and the program exits with its own status, never killed by the signal.
// The files are an hour of silence, so a playback the signal failed to stop runs into the
// test's time limit.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>

#include "platform/unique_fd.h"
#include "support/child_process.h"
#include "support/file_watch.h"
#include "support/scratch_dir.h"
#include "support/wav_writer.h"

namespace {

const std::string kBin = std::string(RTPLAYER_BINARY_DIR) + "/bin/";
constexpr std::chrono::seconds kStartLimit{60};

struct Signal {
  int number;
  const char* name;
};
void PrintTo(const Signal& signal, std::ostream* out) {
  *out << signal.name;
}
const Signal kSignals[] = {{SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}};

// 16-bit mono silence of `seconds`, the data left as a hole in the file.
void WriteSilence(const std::string& path, uint32_t seconds) {
  const uint32_t dataSize = 16000 * seconds;
  const Bytes fmt = Chunk("fmt ", FormatBytes(PcmFormat(8000, 1, 16)));
  const Bytes header =
      RiffFormClaiming("WAVE", 4 + static_cast<uint32_t>(fmt.size()) + 8 + dataSize,
                       {fmt, ChunkClaiming("data", dataSize, {})});
  ASSERT_TRUE(WriteFileBytes(path, header));
  std::filesystem::resize_file(path, header.size() + dataSize);
}

class SignalsTest : public ::testing::TestWithParam<Signal> {
 protected:
  void SetUp() override {
    if (std::getenv("RTPLAYER_PULSE_DIR") == nullptr) {
      GTEST_SKIP() << "no PulseAudio test daemon (scripts/test starts one)";
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    WriteSilence(hour_, 3600);
  }

  // Starts `argv`, waits until it has opened the hour-long file, signals it and waits for
  // its exit.
  void StopWithSignal(const std::vector<std::string>& argv, int expectedStatus) {
    FileWatch watch(hour_);
    ChildProcess program(argv, dir_.path("program"));
    ASSERT_TRUE(program.started());
    ASSERT_TRUE(watch.waitForOpen(kStartLimit)) << program.errors();
    program.signal(GetParam().number);
    EXPECT_EQ(program.wait(), expectedStatus) << program.errors();
    EXPECT_FALSE(program.killed());
    EXPECT_EQ(program.errors().find("rtplayer"), std::string::npos) << program.errors();
  }

  ScratchDir dir_;
  const std::string hour_ = dir_.path("hour.wav");
};

TEST_P(SignalsTest, TheCliStopsThePlaybackAndExitsWith130) {
  // The second file is not started after the stop.
  StopWithSignal({kBin + "rtplayer-cli", hour_, hour_}, 130);
}

// A signal that comes before any playback runs (it waits, blocked, from the program's start,
// so it arrives before or during the start of a file the program refuses) ends the run with
// 130 too; the hour-long file after it is never played.
TEST_P(SignalsTest, TheCliExitsWith130WhenTheSignalComesDuringAStart) {
  const std::string text = dir_.path("text.wav");
  ASSERT_TRUE(WriteFileBytes(text, Pattern(100)));
  ChildProcess program({kBin + "rtplayer-cli", "--device", "1", text, hour_}, dir_.path("program"),
                       {GetParam().number});
  ASSERT_TRUE(program.started());
  program.signal(GetParam().number);
  EXPECT_EQ(program.wait(), 130) << program.errors();
  EXPECT_FALSE(program.killed());
}

TEST_P(SignalsTest, ThePlayingDialogStopsAndExitsWith0) {
  StopWithSignal({kBin + "rtplayer", hour_}, 0);
}

// A server that takes connections and never answers: the start waits on it for its bound, and
// a signal ends that wait at once, with no message.
TEST_P(SignalsTest, TheCliStopsAStartWaitingOnAServerThatDoesNotAnswer) {
  const std::string socketPath = dir_.path("hung");
  const UniqueFd server(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(socketPath.size(), sizeof address.sun_path);
  socketPath.copy(address.sun_path, socketPath.size());
  ASSERT_EQ(bind(server.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(server.get(), 16), 0);  // the kernel takes the connections; nobody answers

  FileWatch watch(hour_);
  ChildProcess program(
      {"/usr/bin/env", "PULSE_SERVER=unix:" + socketPath, kBin + "rtplayer-cli", hour_, hour_},
      dir_.path("program"));
  ASSERT_TRUE(program.started());
  ASSERT_TRUE(watch.waitForOpen(kStartLimit)) << program.errors();
  const auto signalled = std::chrono::steady_clock::now();
  program.signal(GetParam().number);
  EXPECT_EQ(program.wait(), 130) << program.errors();
  // Far within the bound of the wait it ended (a second); a loaded machine has the rest.
  EXPECT_LT(std::chrono::steady_clock::now() - signalled, std::chrono::milliseconds(900));
  EXPECT_EQ(program.errors(), "");
}

INSTANTIATE_TEST_SUITE_P(Signals, SignalsTest, ::testing::ValuesIn(kSignals),
                         [](const auto& test) { return std::string(test.param.name); });

// The signals share one path once the dialog has them; one is enough for these.
class DialogSignalTest : public SignalsTest {};

TEST_P(DialogSignalTest, TheIdleDialogExitsWith0) {
  const std::string blip = dir_.path("blip.wav");
  WriteSilence(blip, 0);
  FileWatch watch(blip);
  ChildProcess dialog({kBin + "rtplayer", blip}, dir_.path("dialog"));
  ASSERT_TRUE(dialog.started());
  // The file is closed as its playback ends; the dialog is idle then, or about to be.
  ASSERT_TRUE(watch.waitForClose(kStartLimit));
  dialog.signal(GetParam().number);
  EXPECT_EQ(dialog.wait(), 0) << dialog.errors();
  EXPECT_FALSE(dialog.killed());
}

// The message box of a failed start would wait for a user who is logging out.
TEST_P(DialogSignalTest, TheDialogClosesItsMessageBoxAndExitsWith0) {
  const std::string text = dir_.path("text.wav");
  ASSERT_TRUE(WriteFileBytes(text, Pattern(100)));
  FileWatch watch(text);
  ChildProcess dialog({kBin + "rtplayer", text}, dir_.path("dialog"));
  ASSERT_TRUE(dialog.started());
  // Opened by the start, which shows its box before the dialog looks at anything else.
  ASSERT_TRUE(watch.waitForOpen(kStartLimit));
  dialog.signal(GetParam().number);
  EXPECT_EQ(dialog.wait(), 0) << dialog.errors();
  EXPECT_FALSE(dialog.killed());
}

INSTANTIATE_TEST_SUITE_P(Signals, DialogSignalTest, ::testing::Values(Signal{SIGTERM, "SIGTERM"}),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace

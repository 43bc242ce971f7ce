// SPDX-License-Identifier: GPL-3.0-or-later
// The file device: exactly the bytes played, in a WAV file that another reader (sox) accepts,
// buffers handed back at once, its failures reaching the writer, and its target replaced only
// by a whole file the writer kept.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "platform/waveout.h"
#include "support/callback_thread.h"
#include "support/scratch_dir.h"
#include "support/wav_writer.h"

namespace {

using Bytes = std::vector<uint8_t>;

WAVEFORMATEX Pcm(uint32_t rate, uint16_t channels, uint16_t bits) {
  const auto block = static_cast<uint16_t>(channels * bits / 8);
  return {WAVE_FORMAT_PCM, channels, rate, rate * block, block, bits, 0};
}

uint32_t Le32(const Bytes& bytes, size_t at) {
  return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
         static_cast<uint32_t>(bytes[at + 3]) << 24;
}

uint16_t Le16(const Bytes& bytes, size_t at) {
  return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

Bytes ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// sox's own count of the samples in a WAV file, or -1.
long SoxSampleCount(const std::string& path) {
  FILE* pipe = popen(("soxi -s '" + path + "' 2>/dev/null").c_str(), "r");
  if (pipe == nullptr) return -1;
  long samples = -1;
  if (std::fscanf(pipe, "%ld", &samples) != 1) samples = -1;
  pclose(pipe);
  return samples;
}

// Checks the canonical header (fields of the packed WAVEFORMATEX are compared as copies) and
// returns the data chunk's bytes.
Bytes DataOfValidWav(const Bytes& file, const WAVEFORMATEX& format) {
  EXPECT_GE(file.size(), 44u);
  if (file.size() < 44) return {};
  const uint32_t data = Le32(file, 40);
  const uint32_t pad = data & 1;
  EXPECT_EQ(std::string(file.begin(), file.begin() + 4), "RIFF");
  EXPECT_EQ(Le32(file, 4), 36 + data + pad);
  EXPECT_EQ(std::string(file.begin() + 8, file.begin() + 16), "WAVEfmt ");
  EXPECT_EQ(Le32(file, 16), 16u);
  EXPECT_EQ(Le16(file, 20), WAVE_FORMAT_PCM);
  EXPECT_EQ(Le16(file, 22), uint16_t{format.nChannels});
  EXPECT_EQ(Le32(file, 24), uint32_t{format.nSamplesPerSec});
  EXPECT_EQ(Le32(file, 28), uint32_t{format.nAvgBytesPerSec});
  EXPECT_EQ(Le16(file, 32), uint16_t{format.nBlockAlign});
  EXPECT_EQ(Le16(file, 34), uint16_t{format.wBitsPerSample});
  EXPECT_EQ(std::string(file.begin() + 36, file.begin() + 40), "data");
  EXPECT_EQ(file.size(), 44u + data + pad);
  if (file.size() != 44u + data + pad) return {};
  if (pad != 0) {
    EXPECT_EQ(file.back(), 0) << "the pad byte";
  }
  return Bytes(file.begin() + 44, file.begin() + 44 + data);
}

class FileDeviceTest : public ::testing::Test {
 protected:
  void TearDown() override { std::remove(path_.c_str()); }

  HWAVEOUT Open(const WAVEFORMATEX& format, const std::string& path) {
    HWAVEOUT device = nullptr;
    EXPECT_EQ(OpenFileDevice(&device, path.c_str(), &format, callback_.id(), CALLBACK_THREAD),
              MMSYSERR_NOERROR);
    return device;
  }
  HWAVEOUT Open(const WAVEFORMATEX& format) { return Open(format, path_); }

  const std::string path_ =
      ::testing::TempDir() + "rtplayer-file-device-" + std::to_string(getpid()) + ".wav";
  CallbackThread callback_;
};

TEST_F(FileDeviceTest, WritesExactlyTheBytesPlayedAndReturnsEachBufferAtOnce) {
  for (const WAVEFORMATEX& format :
       {Pcm(8000, 1, 8), Pcm(44100, 2, 16), Pcm(48000, 6, 32), Pcm(8000, 20, 16)}) {
    SCOPED_TRACE(uint32_t{format.nChannels});
    const size_t before = callback_.done().size();
    HWAVEOUT device = Open(format);
    ASSERT_NE(device, nullptr);

    std::mt19937 random(format.nChannels);
    std::vector<Bytes> blocks(3, Bytes(format.nBlockAlign * 1001));
    for (auto& block : blocks) {
      for (auto& byte : block) byte = static_cast<uint8_t>(random());
    }
    std::vector<WAVEHDR> headers(blocks.size());
    for (size_t i = 0; i < blocks.size(); ++i) {
      headers[i].lpData = blocks[i].data();
      headers[i].dwBufferLength = static_cast<uint32_t>(blocks[i].size());
      waveOutPrepareHeader(device, &headers[i], sizeof(WAVEHDR));
    }
    // Priming: queued while paused, handed back by the reset, never played.
    waveOutPause(device);
    for (auto& header : headers) waveOutWrite(device, &header, sizeof(WAVEHDR));
    waveOutReset(device);

    Bytes expected;
    auto play = [&](size_t i, uint32_t length) {
      headers[i].dwBufferLength = length;
      ASSERT_EQ(waveOutWrite(device, &headers[i], sizeof(WAVEHDR)), MMSYSERR_NOERROR);
      EXPECT_EQ(headers[i].dwFlags & WHDR_INQUEUE, 0u) << "not handed back at once";
      expected.insert(expected.end(), blocks[i].begin(), blocks[i].begin() + length);
    };
    play(0, static_cast<uint32_t>(blocks[0].size()));
    play(1, format.nBlockAlign * 7);
    play(2, static_cast<uint32_t>(blocks[2].size()));
    play(0, format.nBlockAlign * 333);  // again, shorter, without preparing anew
    ASSERT_TRUE(callback_.waitFor(MM_WOM_DONE, before + 7));
    for (auto& header : headers) waveOutUnprepareHeader(device, &header, sizeof(WAVEHDR));
    WaveOutKeepOutput(device);
    ASSERT_EQ(waveOutClose(device), MMSYSERR_NOERROR);

    EXPECT_EQ(DataOfValidWav(ReadAll(path_), format), expected);
    EXPECT_EQ(SoxSampleCount(path_), static_cast<long>(expected.size() / format.nBlockAlign));
  }
}

TEST_F(FileDeviceTest, OddDataGetsItsPadByteAndNoDataGivesAnEmptyValidFile) {
  const WAVEFORMATEX format = Pcm(8000, 1, 8);
  HWAVEOUT device = Open(format);
  WaveOutKeepOutput(device);
  ASSERT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
  EXPECT_EQ(DataOfValidWav(ReadAll(path_), format), Bytes{});

  device = Open(format);
  Bytes odd(333, 0x42);
  WAVEHDR header{};
  header.lpData = odd.data();
  header.dwBufferLength = static_cast<uint32_t>(odd.size());
  waveOutPrepareHeader(device, &header, sizeof header);
  ASSERT_EQ(waveOutWrite(device, &header, sizeof header), MMSYSERR_NOERROR);
  waveOutUnprepareHeader(device, &header, sizeof header);
  WaveOutKeepOutput(device);
  ASSERT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
  EXPECT_EQ(DataOfValidWav(ReadAll(path_), format), odd);
  EXPECT_EQ(SoxSampleCount(path_), 333);
}

TEST_F(FileDeviceTest, AFileThatCannotBeMadeFailsTheOpen) {
  const WAVEFORMATEX format = Pcm(8000, 1, 8);
  HWAVEOUT device = nullptr;
  EXPECT_NE(OpenFileDevice(&device, "/nonexistent-directory/out.wav", &format, callback_.id(),
                           CALLBACK_THREAD),
            MMSYSERR_NOERROR);
  EXPECT_EQ(device, nullptr);
}

TEST_F(FileDeviceTest, AFailedWriteIsReportedOnceByTheNextWriteOrElseByTheClose) {
  const WAVEFORMATEX format = Pcm(8000, 1, 8);
  Bytes block(100, 1);
  WAVEHDR header{};
  header.lpData = block.data();
  header.dwBufferLength = static_cast<uint32_t>(block.size());
  for (const bool writeAgain : {false, true}) {
    SCOPED_TRACE(writeAgain ? "written again" : "the last write");
    const size_t before = callback_.done().size();
    HWAVEOUT device = Open(format, "/dev/full");
    ASSERT_NE(device, nullptr);
    waveOutPrepareHeader(device, &header, sizeof header);
    ASSERT_EQ(waveOutWrite(device, &header, sizeof header), MMSYSERR_NOERROR);
    ASSERT_TRUE(callback_.waitFor(MM_WOM_DONE, before + 1)) << "the buffer must still come back";
    if (writeAgain) {
      EXPECT_EQ(waveOutWrite(device, &header, sizeof header), MMSYSERR_ERROR)
          << "the device could not write, and says so";
    }
    waveOutUnprepareHeader(device, &header, sizeof header);
    EXPECT_EQ(waveOutClose(device) != MMSYSERR_NOERROR, !writeAgain)
        << "reported by the close exactly when no write was refused for it";
  }
}

TEST_F(FileDeviceTest, AHeaderThatCannotBeWrittenFailsTheClose) {
  const WAVEFORMATEX format = Pcm(8000, 1, 8);
  HWAVEOUT device = Open(format, "/dev/full");
  ASSERT_NE(device, nullptr);
  WaveOutKeepOutput(device);
  EXPECT_NE(waveOutClose(device), MMSYSERR_NOERROR);
}

// What is in a folder: its entries' names, sorted.
std::vector<std::string> Entries(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Plays `bytes` (8-bit mono) into a file device on `path`, keeping the output or not.
MMRESULT PlayInto(CallbackThread& callback, const std::string& path, Bytes bytes, bool keep) {
  const WAVEFORMATEX format = Pcm(8000, 1, 8);
  HWAVEOUT device = nullptr;
  const MMRESULT opened =
      OpenFileDevice(&device, path.c_str(), &format, callback.id(), CALLBACK_THREAD);
  if (opened != MMSYSERR_NOERROR) return opened;
  WAVEHDR header{};
  header.lpData = bytes.data();
  header.dwBufferLength = static_cast<uint32_t>(bytes.size());
  const size_t before = callback.done().size();
  waveOutPrepareHeader(device, &header, sizeof header);
  if (waveOutWrite(device, &header, sizeof header) == MMSYSERR_NOERROR) {
    EXPECT_TRUE(callback.waitFor(MM_WOM_DONE, before + 1));
  }
  waveOutUnprepareHeader(device, &header, sizeof header);
  if (keep) WaveOutKeepOutput(device);
  return waveOutClose(device);
}

// The file is made beside its target and takes the target's place only when it is whole and
// kept: a playback that failed, or an output that could not be written (a full disk; here the
// file-size limit), leaves a file that was there as it was, and nothing beside it.
TEST_F(FileDeviceTest, ATargetIsReplacedOnlyByAWholeKeptFile) {
  ScratchDir dir;
  const std::string target = dir.path("out.wav");
  const Bytes old = {'o', 'l', 'd'};
  ASSERT_TRUE(WriteFileBytes(target, old));

  EXPECT_EQ(PlayInto(callback_, target, Bytes(1000, 7), false), MMSYSERR_NOERROR);
  EXPECT_EQ(ReadAll(target), old) << "an output not kept";
  EXPECT_EQ(Entries(dir.root()), std::vector<std::string>{"out.wav"});

  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &limit), 0);
  rlimit small = limit;
  small.rlim_cur = 4096;
  const auto ignored = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const MMRESULT failed = PlayInto(callback_, target, Bytes(20000, 7), true);
  setrlimit(RLIMIT_FSIZE, &limit);
  std::signal(SIGXFSZ, ignored);
  EXPECT_NE(failed, MMSYSERR_NOERROR) << "the failed write is the close's to report";
  EXPECT_EQ(ReadAll(target), old) << "an output that could not be written";
  EXPECT_EQ(Entries(dir.root()), std::vector<std::string>{"out.wav"});

  const Bytes played(1000, 7);
  EXPECT_EQ(PlayInto(callback_, target, played, true), MMSYSERR_NOERROR);
  EXPECT_EQ(DataOfValidWav(ReadAll(target), Pcm(8000, 1, 8)), played);
  EXPECT_EQ(Entries(dir.root()), std::vector<std::string>{"out.wav"});
}

// A target that is a link is replaced where the link leads, and the link stays; the new file
// gets what any new file gets (not the 0600 of a temporary file); a FIFO is no file to replace.
TEST_F(FileDeviceTest, ALinkKeepsLeadingToTheReplacedFileAndAFifoIsWrittenAsItStands) {
  ScratchDir dir;
  const std::string real = dir.path("real.wav");
  ASSERT_TRUE(WriteFileBytes(real, {'o', 'l', 'd'}));
  ASSERT_EQ(chmod(real.c_str(), 0600), 0);
  const std::string link = dir.path("link.wav");
  ASSERT_EQ(symlink("real.wav", link.c_str()), 0);
  const mode_t mask = umask(022);
  const Bytes played(500, 9);
  EXPECT_EQ(PlayInto(callback_, link, played, true), MMSYSERR_NOERROR);
  umask(mask);
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(DataOfValidWav(ReadAll(real), Pcm(8000, 1, 8)), played);
  struct stat status {};
  ASSERT_EQ(stat(real.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0644u);

  const std::string fifo = dir.path("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  PlayInto(callback_, fifo, played, true);
  EXPECT_TRUE(std::filesystem::is_fifo(fifo));
  EXPECT_EQ(Entries(dir.root()), (std::vector<std::string>{"fifo", "link.wav", "real.wav"}));
}

}  // namespace

// The file device: exactly the bytes played, in a WAV file that another reader (sox) accepts,
// buffers handed back at once, and its failures reaching the writer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "platform/waveout.h"
#include "support/callback_thread.h"

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
    EXPECT_EQ(waveOutOpenFile(&device, path.c_str(), &format, callback_.id(), CALLBACK_THREAD),
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
    ASSERT_EQ(waveOutClose(device), MMSYSERR_NOERROR);

    EXPECT_EQ(DataOfValidWav(ReadAll(path_), format), expected);
    EXPECT_EQ(SoxSampleCount(path_), static_cast<long>(expected.size() / format.nBlockAlign));
  }
}

TEST_F(FileDeviceTest, OddDataGetsItsPadByteAndNoDataGivesAnEmptyValidFile) {
  const WAVEFORMATEX format = Pcm(8000, 1, 8);
  HWAVEOUT device = Open(format);
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
  ASSERT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
  EXPECT_EQ(DataOfValidWav(ReadAll(path_), format), odd);
  EXPECT_EQ(SoxSampleCount(path_), 333);
}

TEST_F(FileDeviceTest, AFileThatCannotBeMadeFailsTheOpen) {
  const WAVEFORMATEX format = Pcm(8000, 1, 8);
  HWAVEOUT device = nullptr;
  EXPECT_NE(waveOutOpenFile(&device, "/nonexistent-directory/out.wav", &format, callback_.id(),
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
  EXPECT_NE(waveOutClose(device), MMSYSERR_NOERROR);
}

}  // namespace

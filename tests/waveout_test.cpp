// Wave output on real devices (SDL2 on the test daemon's two null sinks) and the buffer
// queue's contract on every device: what a reset returns and when, headers misused, formats
// refused, and writes racing resets from two threads.
#include "platform/waveout.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/faults.h"
#include "support/callback_thread.h"
#include "support/scratch_dir.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;

WAVEFORMATEX Pcm(uint32_t rate, uint16_t channels, uint16_t bits) {
  const auto block = static_cast<uint16_t>(channels * bits / 8);
  return {WAVE_FORMAT_PCM, channels, rate, rate * block, block, bits, 0};
}

struct Buffer {
  explicit Buffer(size_t size, uint8_t fill = 0) : data(size, fill) {
    header.lpData = data.data();
    header.dwBufferLength = static_cast<uint32_t>(size);
  }
  std::vector<uint8_t> data;
  WAVEHDR header{};
};

// The device tests need the private PulseAudio daemon (scripts/pulse-test-daemon), whose
// exports name it. scripts/test always starts it, so there a missing daemon fails them; run
// by hand without it, they are skipped.
class DeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("RTPLAYER_PULSE_DIR") == nullptr) {
      GTEST_SKIP() << "no test daemon: run scripts/test, or scripts/pulse-test-daemon first";
    }
    waveOutSelectFileDevice(nullptr);
  }
};

TEST_F(DeviceTest, ListsTheDefaultDeviceThenBothSinksByName) {
  ASSERT_EQ(waveOutGetNumDevs(), 2u);
  WAVEOUTCAPSA caps{};
  ASSERT_EQ(waveOutGetDevCapsA(WAVE_MAPPER, &caps, sizeof caps), MMSYSERR_NOERROR);
  EXPECT_STREQ(caps.szPname, "rtplayer_a") << "the daemon's own name for its default sink";
  ASSERT_EQ(waveOutGetDevCapsA(0, &caps, sizeof caps), MMSYSERR_NOERROR);
  EXPECT_STREQ(caps.szPname, "rtplayer_a");
  ASSERT_EQ(waveOutGetDevCapsA(1, &caps, sizeof caps), MMSYSERR_NOERROR);
  EXPECT_STREQ(caps.szPname, "rtplayer_b");
  EXPECT_EQ(waveOutGetDevCapsA(2, &caps, sizeof caps), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(waveOutGetDevCapsA(0, &caps, sizeof caps - 1), MMSYSERR_INVALPARAM);
}

// parec recording a sink's monitor, as 16-bit mono at 44 100 Hz, into a file.
class Recorder {
 public:
  Recorder(const std::string& sink, const std::string& path) : path_(path) {
    const std::string device = sink + ".monitor";
    std::vector<std::string> args = {"parec",
                                     "-d",
                                     device,
                                     "--raw",
                                     "--format=s16le",
                                     "--rate=44100",
                                     "--channels=1",
                                     "--latency-msec=20",
                                     path};
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (posix_spawnp(&pid_, "parec", nullptr, nullptr, argv.data(), environ) != 0) pid_ = 0;
  }

  ~Recorder() { stop(); }

  bool running() const { return pid_ != 0; }

  void stop() {
    if (pid_ == 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = 0;
  }

  size_t bytes() const {
    struct stat info {};
    return stat(path_.c_str(), &info) == 0 ? static_cast<size_t>(info.st_size) : 0;
  }

  // Waits until the file holds at least `size` bytes (the monitor records in real time).
  bool waitForBytes(size_t size) const {
    for (auto deadline = std::chrono::steady_clock::now() + 20s;
         std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(10ms)) {
      if (bytes() >= size) return true;
    }
    return false;
  }

  std::vector<int16_t> samples() const {
    std::ifstream in(path_, std::ios::binary);
    std::vector<char> raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<int16_t> result(raw.size() / 2);
    for (size_t i = 0; i < result.size(); ++i) {
      result[i] = static_cast<int16_t>(static_cast<uint8_t>(raw[2 * i]) |
                                       static_cast<uint8_t>(raw[2 * i + 1]) << 8);
    }
    return result;
  }

 private:
  std::string path_;
  pid_t pid_ = 0;
};

struct Loudness {
  size_t loudSamples = 0;  // above -30 dBFS
  int peak = 0;
  double frequency = 0;  // from zero crossings between the first and last loud sample
};

Loudness Measure(const std::vector<int16_t>& samples) {
  Loudness result;
  size_t first = samples.size(), last = 0;
  for (size_t i = 0; i < samples.size(); ++i) {
    const int level = std::abs(static_cast<int>(samples[i]));
    result.peak = std::max(result.peak, level);
    if (level > 1000) {
      ++result.loudSamples;
      first = std::min(first, i);
      last = i;
    }
  }
  if (first >= last) return result;
  size_t crossings = 0;
  for (size_t i = first + 1; i <= last; ++i) {
    crossings += (samples[i - 1] < 0) != (samples[i] < 0) ? 1 : 0;
  }
  result.frequency = crossings / 2.0 / (static_cast<double>(last - first) / 44100.0);
  return result;
}

TEST_F(DeviceTest, ToneWrittenOnEntryTwoIsHeardOnTheSecondSinkOnly) {
  const ScratchDir scratch;  // its files go with it
  Recorder first("rtplayer_a", scratch.path("sink-a.raw"));
  Recorder second("rtplayer_b", scratch.path("sink-b.raw"));
  ASSERT_TRUE(first.running() && second.running()) << "parec could not be started";
  ASSERT_TRUE(first.waitForBytes(1) && second.waitForBytes(1)) << "parec records nothing";

  // Half a second of 1 kHz at half scale, 16-bit stereo, in five buffers.
  constexpr uint32_t kRate = 44100;
  std::vector<Buffer> buffers;
  for (int b = 0; b < 5; ++b) {
    Buffer buffer(kRate / 10 * 4);
    for (uint32_t frame = 0; frame < kRate / 10; ++frame) {
      const double t = static_cast<double>(b * kRate / 10 + frame) / kRate;
      const auto value = static_cast<int16_t>(16384 * std::sin(2 * M_PI * 1000 * t));
      for (int channel = 0; channel < 2; ++channel) {
        buffer.data[frame * 4 + channel * 2] = static_cast<uint8_t>(value);
        buffer.data[frame * 4 + channel * 2 + 1] = static_cast<uint8_t>(value >> 8);
      }
    }
    buffers.push_back(std::move(buffer));
  }

  CallbackThread callback;
  HWAVEOUT device = nullptr;
  const WAVEFORMATEX format = Pcm(kRate, 2, 16);
  const uint32_t entry = 2;  // the device list's entry 2 is device 1
  ASSERT_EQ(waveOutOpen(&device, entry - 1, &format, callback.id(), 0, CALLBACK_THREAD),
            MMSYSERR_NOERROR);
  for (auto& buffer : buffers) {
    waveOutPrepareHeader(device, &buffer.header, sizeof(WAVEHDR));
    ASSERT_EQ(waveOutWrite(device, &buffer.header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  }
  ASSERT_TRUE(callback.waitFor(MM_WOM_DONE, buffers.size())) << "the device never played";
  // What has gone to the device reaches the monitor within its latency: record 0.7 s more.
  ASSERT_TRUE(second.waitForBytes(second.bytes() + 61740));
  ASSERT_TRUE(first.waitForBytes(first.bytes() + 61740));
  for (auto& buffer : buffers) waveOutUnprepareHeader(device, &buffer.header, sizeof(WAVEHDR));
  EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
  first.stop();
  second.stop();

  const Loudness heard = Measure(second.samples());
  EXPECT_GT(heard.loudSamples, kRate * 4 / 10) << "less than 0.4 s of the tone on rtplayer_b";
  EXPECT_NEAR(heard.frequency, 1000.0, 20.0);
  EXPECT_NEAR(heard.peak, 16384, 400);
  EXPECT_EQ(Measure(first.samples()).peak, 0) << "rtplayer_a heard something";
}

TEST_F(DeviceTest, ResetReturnsTheQueuedBuffersInOrderAtOnceAndEndsThePause) {
  CallbackThread callback;
  HWAVEOUT device = nullptr;
  const WAVEFORMATEX format = Pcm(8000, 1, 8);
  ASSERT_EQ(waveOutOpen(&device, WAVE_MAPPER, &format, callback.id(), 0, CALLBACK_THREAD),
            MMSYSERR_NOERROR);
  uint32_t id = 0;
  EXPECT_EQ(waveOutGetID(device, &id), MMSYSERR_NOERROR);
  EXPECT_EQ(id, WAVE_MAPPER);
  waveOutPause(device);
  std::vector<Buffer> buffers;
  for (int i = 0; i < 4; ++i) buffers.emplace_back(1000, 0x80);
  for (auto& buffer : buffers) {
    waveOutPrepareHeader(device, &buffer.header, sizeof(WAVEHDR));
    ASSERT_EQ(waveOutWrite(device, &buffer.header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
    EXPECT_EQ(buffer.header.dwFlags, WHDR_PREPARED | WHDR_INQUEUE);
  }
  std::this_thread::sleep_for(300ms);  // 2.4 buffers' time: a running device would play some
  EXPECT_TRUE(callback.done().empty()) << "a paused device played";

  waveOutReset(device);
  ASSERT_TRUE(callback.waitFor(MM_WOM_DONE, 4));
  const std::vector<WAVEHDR*> returned = callback.done();
  ASSERT_EQ(returned.size(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(returned[i], &buffers[i].header) << "out of queue order at " << i;
    EXPECT_EQ(buffers[i].header.dwFlags, WHDR_PREPARED | WHDR_DONE);
  }

  // No longer paused: a buffer written now plays and comes back; then the queue runs dry.
  const uint32_t underrunsBefore = WaveOutUnderruns(device);
  buffers[0].header.dwBufferLength = 400;
  ASSERT_EQ(waveOutWrite(device, &buffers[0].header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  ASSERT_TRUE(callback.waitFor(MM_WOM_DONE, 5)) << "the reset left the device paused";
  EXPECT_EQ(callback.done().back(), &buffers[0].header);
  for (auto deadline = std::chrono::steady_clock::now() + 20s;
       WaveOutUnderruns(device) == underrunsBefore &&
       std::chrono::steady_clock::now() < deadline;) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_GT(WaveOutUnderruns(device), underrunsBefore) << "an empty queue counted no underrun";

  for (auto& buffer : buffers) waveOutUnprepareHeader(device, &buffer.header, sizeof(WAVEHDR));
  EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
  ASSERT_TRUE(callback.waitFor(MM_WOM_CLOSE, 1));
  const std::vector<MSG> opened = callback.received(MM_WOM_OPEN);
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0].wParam, reinterpret_cast<uintptr_t>(device));
}

TEST_F(DeviceTest, RefusesFormatsTheDeviceCannotTake) {
  CallbackThread callback;
  std::vector<WAVEFORMATEX> refused = {
      Pcm(44100, 0, 16), Pcm(44100, 9, 16), Pcm(1000000, 2, 16),  // SDL refuses the rate
      Pcm(44100, 2, 24), Pcm(0, 2, 16),     Pcm(44100, 2, 12),
  };
  WAVEFORMATEX notPcm = Pcm(44100, 2, 16);
  notPcm.wFormatTag = 3;
  WAVEFORMATEX badBlock = Pcm(44100, 2, 16);
  badBlock.nBlockAlign = 2;
  WAVEFORMATEX badRate = Pcm(44100, 2, 16);
  badRate.nAvgBytesPerSec = 1;
  refused.insert(refused.end(), {notPcm, badBlock, badRate});
  for (const WAVEFORMATEX& format : refused) {
    HWAVEOUT device = reinterpret_cast<HWAVEOUT>(&callback);
    EXPECT_EQ(waveOutOpen(&device, WAVE_MAPPER, &format, callback.id(), 0, CALLBACK_THREAD),
              WAVERR_BADFORMAT)
        << uint32_t{format.nChannels} << " channels, " << uint32_t{format.nSamplesPerSec} << " Hz, "
        << uint32_t{format.wBitsPerSample} << " bits";
    EXPECT_EQ(device, nullptr);
  }
  const WAVEFORMATEX good = Pcm(44100, 2, 16);
  HWAVEOUT device = nullptr;
  EXPECT_EQ(waveOutOpen(&device, 2, &good, callback.id(), 0, CALLBACK_THREAD),
            MMSYSERR_BADDEVICEID);
  EXPECT_EQ(waveOutOpen(&device, 0, &good, callback.id(), 0, 0), MMSYSERR_INVALFLAG);
  EXPECT_EQ(device, nullptr);
  EXPECT_TRUE(callback.received(MM_WOM_OPEN).empty());
}

// Misuse of the queue gives the platform's errors, on any device (here the file device).
TEST(WaveOutQueue, RefusesMisusedHeadersAndInjectedFailures) {
  const ScratchDir scratch;  // its files go with it
  const std::string path = scratch.path("misuse.wav");
  waveOutSelectFileDevice(path.c_str());
  CallbackThread callback;
  const WAVEFORMATEX format = Pcm(8000, 1, 8);
  HWAVEOUT device = nullptr;
  InjectServiceFault("waveOutOpen", 1);
  EXPECT_NE(waveOutOpen(&device, 0, &format, callback.id(), 0, CALLBACK_THREAD), MMSYSERR_NOERROR);
  EXPECT_EQ(device, nullptr);
  ASSERT_EQ(waveOutOpen(&device, 0, &format, callback.id(), 0, CALLBACK_THREAD), MMSYSERR_NOERROR);
  waveOutPause(device);

  Buffer buffer(100);
  EXPECT_EQ(waveOutWrite(device, &buffer.header, sizeof(WAVEHDR)), WAVERR_UNPREPARED);
  EXPECT_EQ(waveOutPrepareHeader(device, &buffer.header, sizeof(WAVEHDR) - 1), MMSYSERR_INVALPARAM);
  ASSERT_EQ(waveOutPrepareHeader(device, &buffer.header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  InjectServiceFault("waveOutWrite", 1);
  EXPECT_NE(waveOutWrite(device, &buffer.header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  EXPECT_EQ(buffer.header.dwFlags, WHDR_PREPARED) << "a refused buffer was queued";
  ASSERT_EQ(waveOutWrite(device, &buffer.header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  EXPECT_EQ(waveOutWrite(device, &buffer.header, sizeof(WAVEHDR)), WAVERR_STILLPLAYING);
  EXPECT_EQ(waveOutUnprepareHeader(device, &buffer.header, sizeof(WAVEHDR)), WAVERR_STILLPLAYING);
  EXPECT_EQ(waveOutClose(device), WAVERR_STILLPLAYING);

  waveOutReset(device);
  ASSERT_TRUE(callback.waitFor(MM_WOM_DONE, 1));
  EXPECT_EQ(callback.done().size(), 1u) << "returned more than once";
  EXPECT_EQ(waveOutUnprepareHeader(device, &buffer.header, sizeof(WAVEHDR)), MMSYSERR_NOERROR);
  EXPECT_EQ(buffer.header.dwFlags, WHDR_DONE);
  EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);

  EXPECT_EQ(waveOutReset(nullptr), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(waveOutPause(nullptr), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(waveOutWrite(nullptr, &buffer.header, sizeof(WAVEHDR)), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(waveOutClose(nullptr), MMSYSERR_INVALHANDLE);
  ClearServiceFaults();
  waveOutSelectFileDevice(nullptr);
  std::remove(path.c_str());
}

// Two threads on one device, as the engine uses it: the callback thread writes every buffer
// again as soon as it comes back, while another thread resets (and sometimes pauses) the
// device as fast as it can. Every write must come back exactly once.
constexpr uint32_t WM_RACE_START = 0x0401;
constexpr uint32_t WM_RACE_END = 0x0402;

struct Race {
  HWAVEOUT device = nullptr;
  std::vector<Buffer> buffers;
  int target = 0;
  // The writer thread's own.
  std::vector<bool> queued;
  int writes = 0, returns = 0, returnedTwice = 0, unknown = 0, refused = 0;
  std::atomic<bool> finished{false};
};

void WriteAgain(Race* race, size_t i) {
  if (waveOutWrite(race->device, &race->buffers[i].header, sizeof(WAVEHDR)) != MMSYSERR_NOERROR) {
    ++race->refused;
    return;
  }
  race->queued[i] = true;
  ++race->writes;
}

uint32_t RaceWriter(void* param) {
  auto* race = static_cast<Race*>(param);
  MSG message{};
  while (GetMessageA(&message) == 1 && message.message != WM_RACE_END) {
    if (message.message == WM_RACE_START) {
      for (size_t i = 0; i < race->buffers.size(); ++i) WriteAgain(race, i);
      continue;
    }
    if (message.message != MM_WOM_DONE) continue;
    size_t i = 0;
    while (i < race->buffers.size() &&
           &race->buffers[i].header != reinterpret_cast<WAVEHDR*>(message.lParam))
      ++i;
    if (i == race->buffers.size()) {
      ++race->unknown;
      continue;
    }
    if (!race->queued[i]) {
      ++race->returnedTwice;
      continue;
    }
    race->queued[i] = false;
    ++race->returns;
    if (race->writes < race->target) {
      WriteAgain(race, i);
    } else if (race->returns == race->writes) {
      race->finished = true;
    }
  }
  return 0;
}

void RunRace(const WAVEFORMATEX& format, uint32_t bufferBytes, uint8_t silence, int writes) {
  Race race;
  race.target = writes;
  // Silence, so that a tone test running beside this one hears nothing from it.
  for (int i = 0; i < 4; ++i) race.buffers.emplace_back(bufferBytes, silence);
  race.queued.assign(race.buffers.size(), false);
  uint32_t writerId = 0;
  HTHREAD writer = CreateThread(&RaceWriter, &race, &writerId);
  ASSERT_EQ(waveOutOpen(&race.device, WAVE_MAPPER, &format, writerId, 0, CALLBACK_THREAD),
            MMSYSERR_NOERROR);
  for (auto& buffer : race.buffers)
    waveOutPrepareHeader(race.device, &buffer.header, sizeof(WAVEHDR));
  PostThreadMessageA(writerId, WM_RACE_START, 0, 0);

  int resets = 0;
  std::thread resetter([&] {
    while (!race.finished.load()) {
      if (++resets % 5 == 0) waveOutPause(race.device);
      waveOutReset(race.device);
    }
  });
  for (auto deadline = std::chrono::steady_clock::now() + 240s;
       !race.finished.load() && std::chrono::steady_clock::now() < deadline;) {
    std::this_thread::sleep_for(5ms);
  }
  race.finished = true;
  resetter.join();
  // Whatever is still queued comes back now, before the end message.
  waveOutReset(race.device);
  PostThreadMessageA(writerId, WM_RACE_END, 0, 0);
  CloseHandle(writer);

  EXPECT_EQ(race.returnedTwice, 0);
  EXPECT_EQ(race.unknown, 0);
  EXPECT_EQ(race.refused, 0);
  EXPECT_GE(race.writes, writes);
  EXPECT_EQ(race.returns, race.writes) << race.writes - race.returns << " buffers lost";
  EXPECT_GT(resets, 100) << "too few resets raced the writes";
  ::testing::Test::RecordProperty("writes", race.writes);
  ::testing::Test::RecordProperty("resets", resets);
  for (auto& buffer : race.buffers) {
    EXPECT_EQ(waveOutUnprepareHeader(race.device, &buffer.header, sizeof(WAVEHDR)),
              MMSYSERR_NOERROR);
  }
  EXPECT_EQ(waveOutClose(race.device), MMSYSERR_NOERROR);
}

TEST_F(DeviceTest, WritesRacingResetsAreNeverLostNorReturnedTwice) {
  RunRace(Pcm(44100, 2, 16), 64, 0, 20000);
}

TEST(FileDeviceRace, WritesRacingResetsAreNeverLostNorReturnedTwice) {
  const ScratchDir scratch;  // its files go with it
  const std::string path = scratch.path("race.wav");
  waveOutSelectFileDevice(path.c_str());
  RunRace(Pcm(8000, 1, 8), 7, 0x80, 20000);
  waveOutSelectFileDevice(nullptr);
  std::remove(path.c_str());
}

}  // namespace

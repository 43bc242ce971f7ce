// SPDX-License-Identifier: GPL-3.0-or-later
// The ADPCM fixtures through the conversion service (whole against pieces of every size) and
// through the wave file reader and decompression stage as a playback converts them: the same
// PCM that sox decodes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "adpcm_fixtures.h"
#include "engine/buffer_fill.h"
#include "engine/player_state.h"
#include "engine/start_and_teardown.h"
#include "platform/acm.h"
#include "platform/fileio.h"
#include "platform/memory.h"
#include "support/recording_front_end.h"

namespace {

using adpcm_fixtures::LoadFixture;
using adpcm_fixtures::PathOf;
using adpcm_fixtures::WaveFixture;

constexpr uint32_t kBlockAlign = ACM_STREAMCONVERTF_BLOCKALIGN;
constexpr uint32_t kStart = ACM_STREAMCONVERTF_START;
constexpr uint32_t kEnd = ACM_STREAMCONVERTF_END;

const char* const kFixtures[] = {"ima-sox-mono",
                                 "ima-sox-stereo",
                                 "ima-sox-6ch",
                                 "ima-ffmpeg-mono",
                                 "ima-ffmpeg-stereo",
                                 "ima-sndfile-stereo",
                                 "ima-partial",
                                 "ima-cut",
                                 "ima-corrupt",
                                 "ms-sox-mono",
                                 "ms-sox-stereo",
                                 "ms-sox-6ch",
                                 "ms-ffmpeg-mono",
                                 "ms-ffmpeg-stereo",
                                 "ms-sndfile-stereo",
                                 "ms-partial",
                                 "ms-cut",
                                 "ms-corrupt",
                                 "ms-coefficients"};

std::string TestName(const testing::TestParamInfo<const char*>& param) {
  std::string name = param.param;
  std::replace(name.begin(), name.end(), '-', '_');
  return name;
}

class Stream {
 public:
  explicit Stream(const WAVEFORMATEX* source) {
    pcm_.wFormatTag = WAVE_FORMAT_PCM;
    EXPECT_EQ(acmFormatSuggest(source, &pcm_, sizeof pcm_, ACM_FORMATSUGGESTF_WFORMATTAG),
              MMSYSERR_NOERROR);
    EXPECT_EQ(acmStreamOpen(&handle_, source, &pcm_, 0), MMSYSERR_NOERROR);
  }
  ~Stream() {
    if (handle_ != nullptr) acmStreamClose(handle_, 0);
  }
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  HACMSTREAM handle() const { return handle_; }
  const WAVEFORMATEX& pcm() const { return pcm_; }

  uint32_t sizeFor(uint32_t srcBytes) const {
    uint32_t size = 0;
    EXPECT_EQ(acmStreamSize(handle_, srcBytes, &size, ACM_STREAMSIZEF_SOURCE), MMSYSERR_NOERROR);
    return size;
  }

  // One conversion; returns false when it fails.
  bool convert(const uint8_t* src, uint32_t srcLength, uint8_t* dst, uint32_t dstLength,
               uint32_t flags, uint32_t* used, uint32_t* produced) const {
    ACMSTREAMHEADER header{};
    header.cbStruct = sizeof header;
    header.pbSrc = const_cast<uint8_t*>(src);
    header.cbSrcLength = srcLength;
    header.pbDst = dst;
    header.cbDstLength = dstLength;
    EXPECT_EQ(acmStreamPrepareHeader(handle_, &header, 0), MMSYSERR_NOERROR);
    const MMRESULT result = acmStreamConvert(handle_, &header, flags);
    acmStreamUnprepareHeader(handle_, &header, 0);
    *used = header.cbSrcLengthUsed;
    *produced = header.cbDstLengthUsed;
    return result == MMSYSERR_NOERROR;
  }

 private:
  HACMSTREAM handle_ = nullptr;
  WAVEFORMATEX pcm_{};
};

// Windows over the data of random sizes up to `window` bytes, refilled (keeping what was not
// consumed) when less than a block is left; destinations of `room` bytes, so PCM that does not
// fit waits in the stream. Block alignment until the window that reaches the end.
std::vector<uint8_t> ConvertInPieces(const Stream& stream, const std::vector<uint8_t>& data,
                                     uint32_t blockAlign, uint32_t window, uint32_t room,
                                     unsigned seed) {
  std::minstd_rand random(seed);
  std::vector<uint8_t> pcm;
  std::vector<uint8_t> dst(room);
  uint32_t flags = kBlockAlign | kStart;
  size_t next = 0;
  size_t end = 0;
  for (int calls = 0; calls < 100000; ++calls) {
    if (end - next < blockAlign && end < data.size()) {
      end = std::min(data.size(), next + 1 + random() % window);
    }
    if (end == data.size()) flags = (flags & kStart) | kEnd;
    uint32_t used = 0;
    uint32_t produced = 0;
    if (!stream.convert(data.data() + next, static_cast<uint32_t>(end - next), dst.data(), room,
                        flags, &used, &produced)) {
      ADD_FAILURE() << "conversion failed at byte " << next;
      break;
    }
    flags &= ~kStart;
    pcm.insert(pcm.end(), dst.begin(), dst.begin() + produced);
    next += used;
    if (end == data.size() && used == 0 && produced == 0) return pcm;
  }
  ADD_FAILURE() << "the conversion never ended";
  return pcm;
}

class AdpcmStream : public testing::TestWithParam<const char*> {};

TEST_P(AdpcmStream, ConvertsLikeSoxWholeAndInPiecesOfEverySize) {
  const WaveFixture fixture = LoadFixture(GetParam());
  ASSERT_FALSE(fixture.data.empty());
  Stream stream(fixture.wave());
  ASSERT_NE(stream.handle(), nullptr);
  EXPECT_EQ(stream.pcm().wBitsPerSample, 16);

  const auto size = static_cast<uint32_t>(fixture.data.size());
  std::vector<uint8_t> whole(stream.sizeFor(size));
  uint32_t used = 0;
  uint32_t produced = 0;
  ASSERT_TRUE(stream.convert(fixture.data.data(), size, whole.data(),
                             static_cast<uint32_t>(whole.size()), kStart | kEnd, &used, &produced));
  EXPECT_EQ(used, size);
  whole.resize(produced);
  EXPECT_EQ(whole, fixture.reference);

  const uint32_t block = fixture.blockAlign();
  unsigned seed = 1;
  for (uint32_t window : {block, 3 * block + 100, 20000u}) {
    EXPECT_EQ(ConvertInPieces(stream, fixture.data, block, window, stream.sizeFor(window), seed++),
              fixture.reference)
        << "windows up to " << window;
    // A destination much smaller than a block's PCM: the rest waits in the stream.
    EXPECT_EQ(ConvertInPieces(stream, fixture.data, block, window, 998, seed++), fixture.reference)
        << "windows up to " << window << " into 998 bytes";
  }
}

INSTANTIATE_TEST_SUITE_P(Adpcm, AdpcmStream, testing::ValuesIn(kFixtures), TestName);

// The reader and the stage with the real file and conversion services, filling buffers with
// the playback thread's own function.
class AdpcmPlayback : public testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    player = PlayerState{};
    player.frontEndPort = frontEnd_.port();
  }

  void TearDown() override {
    CloseHandles();
    ReleaseBuffers();
    player = PlayerState{};
  }

  static bool Start(const std::string& path) {
    std::snprintf(player.fileName, sizeof player.fileName, "%s", path.c_str());
    return OpenSource() != 0;
  }

  // Fills 125 ms buffers one after another as the playback thread does, keeping what each
  // holds.
  static bool Play(std::vector<uint8_t>* pcm) {
    std::vector<uint8_t> buffer(BytesForDuration(player.outputFormat, 125));
    for (int fills = 0; fills < 100000; ++fills) {
      uint32_t filled = 0;
      if (!FillBuffer(buffer.data(), static_cast<uint32_t>(buffer.size()), &filled)) return false;
      pcm->insert(pcm->end(), buffer.begin(), buffer.begin() + filled);
      if (filled == 0 && player.dataRemaining == 0 && player.convertedPending == 0) return true;
    }
    ADD_FAILURE() << "the playback never ended";
    return false;
  }

  RecordingFrontEnd frontEnd_;
};

TEST_P(AdpcmPlayback, PlaysLikeSox) {
  ASSERT_TRUE(Start(PathOf(GetParam(), ".wav"))) << testing::PrintToString(frontEnd_.errors());
  std::vector<uint8_t> pcm;
  ASSERT_TRUE(Play(&pcm)) << testing::PrintToString(frontEnd_.errors());
  EXPECT_TRUE(frontEnd_.errors().empty());
  EXPECT_EQ(pcm, LoadFixture(GetParam()).reference);
}

INSTANTIATE_TEST_SUITE_P(Adpcm, AdpcmPlayback, testing::ValuesIn(kFixtures), TestName);

}  // namespace

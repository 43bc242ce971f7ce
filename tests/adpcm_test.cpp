// SPDX-License-Identifier: GPL-3.0-or-later
// The IMA ADPCM and MS ADPCM drivers on their own, fed as the conversion service feeds them:
// damaged headers, the format fields they read, and partial blocks. (Every fixture against
// sox's PCM, through the service and the stage: adpcm_playback_test.)
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "adpcm_fixtures.h"
#include "platform/acm/acm_driver.h"

namespace {

using adpcm_fixtures::LoadFixture;
using adpcm_fixtures::WaveFixture;

using DriverState = std::unique_ptr<void, void (*)(void*)>;

DriverState OpenDriver(const AcmDriver& driver, const WAVEFORMATEX* src, const WAVEFORMATEX* dst) {
  return {driver.open(src, dst), driver.close};
}

bool IsIma(const std::string& name) {
  return name.rfind("ima-", 0) == 0;
}

const AcmDriver& DriverFor(const std::string& name) {
  return IsIma(name) ? kImaAdpcmDriver : kMsAdpcmDriver;
}

// Offers the data in portions of at most `portion` bytes as the service does: the portion
// that reaches the end carries the end flag, the next starts at the first unconsumed byte.
// Each portion decodes into a buffer of exactly outputBound bytes, so a write past it shows
// under AddressSanitizer.
std::vector<uint8_t> Decode(const AcmDriver& driver, const WAVEFORMATEX* src,
                            const std::vector<uint8_t>& data, size_t portion) {
  WAVEFORMATEX dst{WAVE_FORMAT_PCM,
                   src->nChannels,
                   src->nSamplesPerSec,
                   src->nSamplesPerSec * 2u * src->nChannels,
                   static_cast<uint16_t>(2 * src->nChannels),
                   16,
                   0};
  DriverState state = OpenDriver(driver, src, &dst);
  EXPECT_NE(state, nullptr);
  std::vector<uint8_t> pcm;
  if (state == nullptr) return pcm;
  size_t at = 0;
  while (at < data.size()) {
    const auto length = static_cast<uint32_t>(std::min(portion, data.size() - at));
    const bool end = at + length == data.size();
    std::vector<uint8_t> out(driver.outputBound(state.get(), length));
    uint32_t consumed = 0;
    uint32_t produced = 0;
    EXPECT_EQ(
        driver.decode(state.get(), data.data() + at, length, &consumed, out.data(), &produced, end),
        MMSYSERR_NOERROR);
    EXPECT_LE(produced, out.size());
    if (consumed == 0) {
      ADD_FAILURE() << "no progress at byte " << at;
      break;
    }
    pcm.insert(pcm.end(), out.begin(), out.begin() + produced);
    at += consumed;
  }
  return pcm;
}

// A fixture with its driver opened to the fixture's own PCM.
struct OpenedFixture {
  WaveFixture fixture;
  const AcmDriver& driver;
  DriverState state;
};

OpenedFixture OpenFixture(const std::string& name) {
  WaveFixture fixture = LoadFixture(name);
  const AcmDriver& driver = DriverFor(name);
  WAVEFORMATEX dst = fixture.pcm();
  DriverState state = OpenDriver(driver, fixture.wave(), &dst);
  return {std::move(fixture), driver, std::move(state)};
}

std::vector<uint8_t> Decode(const WaveFixture& fixture, const std::string& name, size_t portion) {
  return Decode(DriverFor(name), fixture.wave(), fixture.data, portion);
}

testing::AssertionResult SamePcm(const std::vector<uint8_t>& actual,
                                 const std::vector<uint8_t>& expected) {
  const auto [a, e] = std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end());
  if (a == actual.end() && e == expected.end()) return testing::AssertionSuccess();
  return testing::AssertionFailure() << actual.size() << " bytes against " << expected.size()
                                     << ", first difference at sample " << (a - actual.begin()) / 2;
}

// The PCM of the given whole blocks removed (blocks of `blockPcm` bytes).
std::vector<uint8_t> WithoutBlocks(std::vector<uint8_t> pcm, size_t blockPcm,
                                   std::vector<size_t> blocks) {
  std::sort(blocks.rbegin(), blocks.rend());
  for (size_t block : blocks) {
    pcm.erase(pcm.begin() + static_cast<ptrdiff_t>(block * blockPcm),
              pcm.begin() + static_cast<ptrdiff_t>((block + 1) * blockPcm));
  }
  return pcm;
}

// The first `samples` frames of every block of `blockPcm` bytes.
std::vector<uint8_t> BlockHeads(const std::vector<uint8_t>& pcm, size_t blockPcm, size_t bytes) {
  std::vector<uint8_t> heads;
  for (size_t at = 0; at < pcm.size(); at += blockPcm) {
    heads.insert(heads.end(), pcm.begin() + static_cast<ptrdiff_t>(at),
                 pcm.begin() + static_cast<ptrdiff_t>(std::min(at + bytes, pcm.size())));
  }
  return heads;
}

// Format bytes with the extra bytes cut to `cbSize` and samples per block set (when given).
std::vector<uint8_t> Reformat(const WaveFixture& fixture, uint16_t cbSize, int samplesPerBlock) {
  std::vector<uint8_t> format(fixture.format.begin(),
                              fixture.format.begin() + sizeof(WAVEFORMATEX) + cbSize);
  format[16] = static_cast<uint8_t>(cbSize);
  format[17] = static_cast<uint8_t>(cbSize >> 8);
  if (samplesPerBlock >= 0 && cbSize >= 2) {
    format[18] = static_cast<uint8_t>(samplesPerBlock);
    format[19] = static_cast<uint8_t>(samplesPerBlock >> 8);
  }
  return format;
}

const WAVEFORMATEX* AsWave(const std::vector<uint8_t>& format) {
  return reinterpret_cast<const WAVEFORMATEX*>(format.data());
}

TEST(AdpcmCorruptHeader, ImaStepIndexBeyondTheTableCostsOnlyItsBlock) {
  const WaveFixture intact = LoadFixture("ima-ffmpeg-stereo");
  const WaveFixture corrupt = LoadFixture("ima-corrupt");
  ASSERT_FALSE(intact.data.empty());
  ASSERT_EQ(intact.data.size(), corrupt.data.size());
  const std::vector<uint8_t> good = Decode(intact, "ima-ffmpeg-stereo", 4096);
  const std::vector<uint8_t> bad = Decode(corrupt, "ima-corrupt", 4096);
  const size_t blockPcm = 2041 * 2 * 2;
  ASSERT_EQ(good.size(), bad.size());
  EXPECT_NE(good, bad);
  EXPECT_EQ(WithoutBlocks(good, blockPcm, {2}), WithoutBlocks(bad, blockPcm, {2}));
}

TEST(AdpcmCorruptHeader, MsPredictorBeyondTheTableAndARunawayDeltaCostOnlyTheirBlocks) {
  const WaveFixture intact = LoadFixture("ms-sox-stereo");
  const WaveFixture corrupt = LoadFixture("ms-corrupt");
  ASSERT_FALSE(intact.data.empty());
  ASSERT_EQ(intact.data.size(), corrupt.data.size());
  const std::vector<uint8_t> good = Decode(intact, "ms-sox-stereo", 4096);
  const std::vector<uint8_t> bad = Decode(corrupt, "ms-corrupt", 4096);
  const size_t blockPcm = 1012 * 2 * 2;
  ASSERT_EQ(good.size(), bad.size());
  EXPECT_NE(WithoutBlocks(good, blockPcm, {4}), WithoutBlocks(bad, blockPcm, {4}));
  EXPECT_NE(WithoutBlocks(good, blockPcm, {2}), WithoutBlocks(bad, blockPcm, {2}));
  EXPECT_EQ(WithoutBlocks(good, blockPcm, {2, 4}), WithoutBlocks(bad, blockPcm, {2, 4}));
}

TEST(AdpcmFormat, EachDriverHandlesItsTagWithSaneFieldsOnly) {
  for (const char* name : {"ima-sox-stereo", "ms-sox-stereo"}) {
    SCOPED_TRACE(name);
    const AcmDriver& driver = DriverFor(name);
    const AcmDriver& other = &driver == &kImaAdpcmDriver ? kMsAdpcmDriver : kImaAdpcmDriver;
    const WaveFixture fixture = LoadFixture(name);
    ASSERT_FALSE(fixture.data.empty());
    EXPECT_TRUE(driver.handles(fixture.wave()));
    EXPECT_FALSE(other.handles(fixture.wave()));
    const uint16_t header = &driver == &kImaAdpcmDriver ? 4 : 7;
    auto changed = [&](auto change) {
      std::vector<uint8_t> format = fixture.format;
      change(*reinterpret_cast<WAVEFORMATEX*>(format.data()));
      return driver.handles(AsWave(format));
    };
    EXPECT_FALSE(changed([](WAVEFORMATEX& w) { w.wFormatTag = 0x0031; }));
    EXPECT_FALSE(changed([](WAVEFORMATEX& w) { w.wBitsPerSample = 3; }));
    EXPECT_FALSE(changed([](WAVEFORMATEX& w) { w.nChannels = 0; }));
    EXPECT_FALSE(changed([](WAVEFORMATEX& w) { w.nSamplesPerSec = 0; }));
    EXPECT_FALSE(changed([&](WAVEFORMATEX& w) { w.nBlockAlign = 2 * header - 1; }));
    EXPECT_TRUE(changed([&](WAVEFORMATEX& w) { w.nBlockAlign = 2 * header; }));
    // Many channels in one block: still decodable.
    EXPECT_TRUE(changed([&](WAVEFORMATEX& w) {
      w.nChannels = 1000;
      w.nBlockAlign = 1000 * header;
    }));
  }
}

TEST(AdpcmFormat, OpensOnlyToSixteenBitPcmOfTheSameRateAndChannels) {
  for (const char* name : {"ima-sox-stereo", "ms-sox-stereo"}) {
    SCOPED_TRACE(name);
    const WaveFixture fixture = LoadFixture(name);
    ASSERT_FALSE(fixture.data.empty());
    const AcmDriver& driver = DriverFor(name);
    WAVEFORMATEX dst = fixture.pcm();
    EXPECT_NE(OpenDriver(driver, fixture.wave(), &dst), nullptr);
    for (auto change : {+[](WAVEFORMATEX& w) {
                          w.wBitsPerSample = 8;
                          w.nBlockAlign /= 2;
                        },
                        +[](WAVEFORMATEX& w) {
                          w.nChannels = 1;
                          w.nBlockAlign = 2;
                        },
                        +[](WAVEFORMATEX& w) { w.nSamplesPerSec = 44100; },
                        +[](WAVEFORMATEX& w) { w.wFormatTag = 3; }}) {
      dst = fixture.pcm();
      change(dst);
      EXPECT_EQ(OpenDriver(driver, fixture.wave(), &dst), nullptr);
    }
  }
}

TEST(AdpcmFormat, SamplesPerBlockMissingOrBeyondTheBlockAreDecidedByTheBlockAlignment) {
  for (const char* name : {"ima-ffmpeg-mono", "ms-ffmpeg-stereo", "ima-partial", "ms-cut"}) {
    SCOPED_TRACE(name);
    const WaveFixture fixture = LoadFixture(name);
    ASSERT_FALSE(fixture.data.empty());
    const size_t portion = 2 * fixture.blockAlign();
    for (const std::vector<uint8_t>& format :
         {Reformat(fixture, 0, -1), Reformat(fixture, 2, 0), Reformat(fixture, 2, 0xFFFF),
          Reformat(fixture, fixture.wave()->cbSize, 2042)}) {
      EXPECT_TRUE(SamePcm(Decode(DriverFor(name), AsWave(format), fixture.data, portion),
                          fixture.reference));
    }
  }
}

TEST(AdpcmFormat, FewerSamplesPerBlockThanTheBlockHoldsAreHonoured) {
  for (const char* name : {"ima-sox-mono", "ms-sox-6ch"}) {
    SCOPED_TRACE(name);
    const WaveFixture fixture = LoadFixture(name);
    ASSERT_FALSE(fixture.data.empty());
    const size_t frame = 2 * fixture.wave()->nChannels;
    const size_t blockPcm = frame * (IsIma(name) ? 505 : 500);
    const std::vector<uint8_t> format = Reformat(fixture, fixture.wave()->cbSize, 9);
    EXPECT_TRUE(SamePcm(Decode(DriverFor(name), AsWave(format), fixture.data, 4096),
                        BlockHeads(fixture.reference, blockPcm, 9 * frame)));
  }
}

TEST(AdpcmFormat, MsCoefficientsAbsentOrFewerThanSevenAreTheStandardSeven) {
  // ms-coefficients is ms-sox-mono with its (standard) sets reversed in the extra bytes.
  const WaveFixture standard = LoadFixture("ms-sox-mono");
  const WaveFixture reversed = LoadFixture("ms-coefficients");
  ASSERT_FALSE(reversed.data.empty());
  ASSERT_EQ(standard.data, reversed.data);
  ASSERT_NE(standard.reference, reversed.reference);
  std::vector<uint8_t> sixSets = Reformat(reversed, 4 + 6 * 4, -1);
  sixSets[20] = 6;
  std::vector<uint8_t> sevenClaimedSixHeld = Reformat(reversed, 4 + 6 * 4, -1);
  for (const std::vector<uint8_t>& format :
       {Reformat(reversed, 0, -1), Reformat(reversed, 2, -1), sixSets, sevenClaimedSixHeld}) {
    EXPECT_TRUE(
        SamePcm(Decode(kMsAdpcmDriver, AsWave(format), reversed.data, 1024), standard.reference));
  }
}

TEST(AdpcmTail, APartialBlockIsLeftUnconsumedUntilTheEnd) {
  for (const char* name : {"ima-partial", "ms-partial"}) {
    SCOPED_TRACE(name);
    const auto [fixture, driver, state] = OpenFixture(name);
    ASSERT_FALSE(fixture.data.empty());
    ASSERT_NE(state, nullptr);
    const uint32_t block = fixture.blockAlign();
    const auto length = static_cast<uint32_t>(fixture.data.size());
    ASSERT_NE(length % block, 0u);
    std::vector<uint8_t> out(driver.outputBound(state.get(), length));
    uint32_t consumed = 0;
    uint32_t produced = 0;
    ASSERT_EQ(driver.decode(state.get(), fixture.data.data(), length, &consumed, out.data(),
                            &produced, false),
              MMSYSERR_NOERROR);
    EXPECT_EQ(consumed, length / block * block);
    const uint32_t wholePcm = produced;
    ASSERT_EQ(driver.decode(state.get(), fixture.data.data() + consumed, length - consumed,
                            &consumed, out.data(), &produced, true),
              MMSYSERR_NOERROR);
    EXPECT_EQ(consumed, length % block);
    EXPECT_EQ(wholePcm + produced, fixture.reference.size());
  }
}

TEST(AdpcmTail, ATailTooShortForTheHeadersIsConsumedAndGivesNothing) {
  for (const char* name : {"ima-sox-6ch", "ms-sox-6ch"}) {
    SCOPED_TRACE(name);
    const auto [fixture, driver, state] = OpenFixture(name);
    ASSERT_FALSE(fixture.data.empty());
    ASSERT_NE(state, nullptr);
    const uint32_t headers = IsIma(name) ? 4 * 6 : 7 * 6;
    EXPECT_EQ(driver.outputBound(state.get(), headers - 1), 0u);
    EXPECT_EQ(driver.outputBound(state.get(), headers), IsIma(name) ? 12u : 24u);
    uint8_t out[1];
    uint32_t consumed = 0;
    uint32_t produced = 1;
    ASSERT_EQ(driver.decode(state.get(), fixture.data.data(), headers - 1, &consumed, out,
                            &produced, true),
              MMSYSERR_NOERROR);
    EXPECT_EQ(consumed, headers - 1);
    EXPECT_EQ(produced, 0u);
  }
}

TEST(AdpcmTail, OutputBoundCountsWholeBlocksAndTheTailAndRefusesPast32Bits) {
  for (const char* name : {"ima-sox-stereo", "ms-sox-stereo"}) {
    SCOPED_TRACE(name);
    const auto [fixture, driver, state] = OpenFixture(name);
    ASSERT_FALSE(fixture.data.empty());
    ASSERT_NE(state, nullptr);
    const uint32_t block = fixture.blockAlign();
    const uint32_t blockPcm = (IsIma(name) ? 505 : 1012) * 4;
    EXPECT_EQ(driver.outputBound(state.get(), 0), 0u);
    EXPECT_EQ(driver.outputBound(state.get(), 5 * block), 5 * blockPcm);
    EXPECT_EQ(driver.outputBound(state.get(), 6 * block - 1),
              6 * blockPcm - 4 * (IsIma(name) ? 8 : 1));
    EXPECT_EQ(driver.outputBound(state.get(), UINT32_MAX), UINT32_MAX);
    uint32_t consumed = 1;
    uint32_t produced = 1;
    EXPECT_NE(driver.decode(state.get(), nullptr, UINT32_MAX, &consumed, nullptr, &produced, true),
              MMSYSERR_NOERROR);
    EXPECT_EQ(consumed, 0u);
    EXPECT_EQ(produced, 0u);
  }
}

}  // namespace

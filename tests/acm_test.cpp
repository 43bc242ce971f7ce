// SPDX-License-Identifier: GPL-3.0-or-later
// The conversion service's contract, on the codec fixtures: the suggested PCM format, sizes,
// the flags, block alignment, never writing past the destination, and pieces against wholes.
#include "platform/acm.h"

#include <gtest/gtest.h>

#include <random>

#include "codec_fixtures.h"
#include "platform/faults.h"
#include "platform/wave_format.h"

namespace {

constexpr uint32_t kBlockAlignStart = ACM_STREAMCONVERTF_BLOCKALIGN | ACM_STREAMCONVERTF_START;
constexpr uint32_t kStartEnd = ACM_STREAMCONVERTF_START | ACM_STREAMCONVERTF_END;

struct Stream {
  HACMSTREAM handle = nullptr;
  WAVEFORMATEX pcm{};

  Stream() = default;
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;
  ~Stream() {
    if (handle != nullptr) acmStreamClose(handle, 0);
  }
};

// Suggests and opens, as the start does; false (with a failure recorded) if either fails.
bool Open(const WAVEFORMATEX* source, Stream& stream) {
  stream.pcm.wFormatTag = WAVE_FORMAT_PCM;
  const MMRESULT suggested =
      acmFormatSuggest(source, &stream.pcm, sizeof(WAVEFORMATEX), ACM_FORMATSUGGESTF_WFORMATTAG);
  EXPECT_EQ(suggested, MMSYSERR_NOERROR);
  if (suggested != MMSYSERR_NOERROR) return false;
  const MMRESULT opened = acmStreamOpen(&stream.handle, source, &stream.pcm, 0);
  EXPECT_EQ(opened, MMSYSERR_NOERROR);
  return opened == MMSYSERR_NOERROR;
}

struct Conversion {
  MMRESULT result;
  uint32_t used;
  uint32_t produced;
};

Conversion Convert(HACMSTREAM stream, const uint8_t* src, size_t srcLength, uint8_t* dst,
                   size_t dstLength, uint32_t flags) {
  ACMSTREAMHEADER header{};
  header.cbStruct = sizeof header;
  header.pbSrc = const_cast<uint8_t*>(src);
  header.cbSrcLength = static_cast<uint32_t>(srcLength);
  header.pbDst = dst;
  header.cbDstLength = static_cast<uint32_t>(dstLength);
  EXPECT_EQ(acmStreamPrepareHeader(stream, &header, 0), MMSYSERR_NOERROR);
  const MMRESULT result = acmStreamConvert(stream, &header, flags);
  EXPECT_EQ(acmStreamUnprepareHeader(stream, &header, 0), MMSYSERR_NOERROR);
  return {result, header.cbSrcLengthUsed, header.cbDstLengthUsed};
}

uint32_t SizeFor(HACMSTREAM stream, uint32_t srcBytes) {
  uint32_t size = 0;
  EXPECT_EQ(acmStreamSize(stream, srcBytes, &size, ACM_STREAMSIZEF_SOURCE), MMSYSERR_NOERROR);
  return size;
}

// Everything in one conversion, start and end.
std::vector<uint8_t> ConvertWhole(HACMSTREAM stream, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> pcm(SizeFor(stream, static_cast<uint32_t>(data.size())));
  const Conversion c = Convert(stream, data.data(), data.size(), pcm.data(), pcm.size(), kStartEnd);
  EXPECT_EQ(c.result, MMSYSERR_NOERROR);
  EXPECT_EQ(c.used, data.size());
  pcm.resize(c.produced);
  return pcm;
}

// Converts as the playback does, from a window over the data that is refilled (keeping what
// was not consumed) only when less than a block is left: windows of random sizes up to
// `window` bytes, a destination of `room` bytes behind guard bytes, block alignment until the
// portion that reaches the end, which goes with the end flag. Checks that no call writes past
// the destination, that acmStreamSize(window) bounds every call when room is that size, and that
// every call gives whole PCM frames of `frame` bytes when the room holds one.
std::vector<uint8_t> ConvertInPieces(HACMSTREAM stream, const std::vector<uint8_t>& data,
                                     uint32_t blockAlign, uint32_t window, uint32_t room,
                                     unsigned seed, uint32_t frame = 1) {
  std::minstd_rand random(seed);
  std::vector<uint8_t> out;
  std::vector<uint8_t> dst(room + 16, 0xA5);
  uint32_t flags = kBlockAlignStart;
  size_t next = 0;
  size_t end = 0;
  for (int calls = 0; calls < 100000; ++calls) {
    if (end - next < blockAlign && end < data.size()) {
      const uint32_t size = blockAlign + random() % (window - blockAlign + 1);
      end = std::min(data.size(), next + size);
    }
    const bool last = end == data.size();
    if (last) flags = (flags & ~ACM_STREAMCONVERTF_BLOCKALIGN) | ACM_STREAMCONVERTF_END;
    const Conversion c = Convert(stream, data.data() + next, end - next, dst.data(), room, flags);
    flags &= ~ACM_STREAMCONVERTF_START;
    EXPECT_EQ(c.result, MMSYSERR_NOERROR);
    if (c.result != MMSYSERR_NOERROR) break;
    EXPECT_LE(c.produced, room);
    if (room >= frame) {
      EXPECT_EQ(c.produced % frame, 0u) << "part of a frame";
    }
    for (size_t i = room; i < dst.size(); ++i) EXPECT_EQ(dst[i], 0xA5) << "written past the end";
    out.insert(out.end(), dst.begin(), dst.begin() + c.produced);
    // With acmStreamSize's room nothing is ever kept back for a later call.
    if (room >= SizeFor(stream, window)) {
      EXPECT_FALSE(c.used == 0 && c.produced > 0) << "PCM was held back";
    }
    next += c.used;
    if (last && c.used == 0 && c.produced == 0) return out;
    EXPECT_TRUE(c.used > 0 || c.produced > 0 || last) << "stuck at " << next;
  }
  ADD_FAILURE() << "the conversion never ended";
  return out;
}

class EveryFixture : public testing::TestWithParam<std::string> {
 protected:
  void SetUp() override { fixture_ = LoadCodecFixture(GetParam()); }
  CodecFixture fixture_;
};

TEST_P(EveryFixture, WholeAndPiecesGiveTheReferencePcm) {
  Stream stream;
  ASSERT_TRUE(Open(fixture_.wave(), stream));
  EXPECT_EQ(ConvertWhole(stream.handle, fixture_.data), fixture_.reference);
  const uint32_t block = fixture_.wave()->nBlockAlign;
  for (const uint32_t window : {block, block + 4096, 3 * block + 777}) {
    const uint32_t room = SizeFor(stream.handle, window);
    EXPECT_EQ(ConvertInPieces(stream.handle, fixture_.data, block, window, room, window,
                              stream.pcm.nBlockAlign),
              fixture_.reference)
        << "windows of up to " << window << " bytes";
  }
}

TEST_P(EveryFixture, TinyDestinationsGetEveryByteInOrder) {
  Stream stream;
  ASSERT_TRUE(Open(fixture_.wave(), stream));
  const uint32_t block = fixture_.wave()->nBlockAlign;
  const uint32_t frame = stream.pcm.nBlockAlign;
  // Rooms smaller than one PCM frame, and not a whole number of frames.
  for (const uint32_t room : {1u, frame + 3, 997u}) {
    EXPECT_EQ(ConvertInPieces(stream.handle, fixture_.data, block, block + 5000, room, room, frame),
              fixture_.reference)
        << "destination of " << room << " bytes";
  }
}

TEST_P(EveryFixture, GarbageInTheDataIsConvertedWithoutHarm) {
  // Random bytes in the fixture's format: any result, but within the buffers and to an end.
  Stream stream;
  ASSERT_TRUE(Open(fixture_.wave(), stream));
  std::minstd_rand random(7);
  std::vector<uint8_t> garbage(fixture_.data.size());
  for (uint8_t& byte : garbage) byte = static_cast<uint8_t>(random());
  const uint32_t block = fixture_.wave()->nBlockAlign;
  const uint32_t window = block + 2000;
  const uint32_t room = SizeFor(stream.handle, window);
  std::vector<uint8_t> dst(room + 16, 0xA5);
  uint32_t flags = kBlockAlignStart;
  size_t next = 0;
  for (int calls = 0; next < garbage.size() && calls < 10000; ++calls) {
    const size_t end = std::min(garbage.size(), next + window);
    if (end == garbage.size()) flags = ACM_STREAMCONVERTF_END;
    const Conversion c =
        Convert(stream.handle, garbage.data() + next, end - next, dst.data(), room, flags);
    flags &= ~ACM_STREAMCONVERTF_START;
    ASSERT_LE(c.produced, room);
    for (size_t i = room; i < dst.size(); ++i) ASSERT_EQ(dst[i], 0xA5);
    if (c.result != MMSYSERR_NOERROR || (c.used == 0 && c.produced == 0)) break;
    next += c.used;
  }
}

TEST_P(EveryFixture, SuggestsTheRulesPcmFormatInFull) {
  const WAVEFORMATEX* source = fixture_.wave();
  WAVEFORMATEX pcm{};
  pcm.wFormatTag = WAVE_FORMAT_PCM;
  ASSERT_EQ(acmFormatSuggest(source, &pcm, sizeof pcm, ACM_FORMATSUGGESTF_WFORMATTAG),
            MMSYSERR_NOERROR);
  uint16_t bits = 16;
  if (SampleCodingTag(source) == WAVE_FORMAT_PCM && ContainerBytes(source) == 1) bits = 8;
  if (SampleCodingTag(source) == WAVE_FORMAT_PCM && ContainerBytes(source) >= 3) bits = 32;
  if (SampleCodingTag(source) == WAVE_FORMAT_IEEE_FLOAT) bits = 32;
  const uint16_t block = static_cast<uint16_t>(source->nChannels * bits / 8);
  EXPECT_EQ(pcm.wFormatTag, WAVE_FORMAT_PCM);
  EXPECT_EQ(pcm.nChannels, source->nChannels);
  EXPECT_EQ(pcm.nSamplesPerSec, source->nSamplesPerSec);
  EXPECT_EQ(pcm.wBitsPerSample, bits);
  EXPECT_EQ(pcm.nBlockAlign, block);
  EXPECT_EQ(pcm.nAvgBytesPerSec, source->nSamplesPerSec * block);
  EXPECT_EQ(pcm.cbSize, 0);
}

INSTANTIATE_TEST_SUITE_P(Codecs, EveryFixture, testing::ValuesIn(CodecFixtureNames()),
                         CodecFixtureTestName);

TEST(AcmFormatSuggest, FailsForFormatsThatCannotBeConverted) {
  const WAVEFORMATEX good = *LoadCodecFixture("sox-pcm-s16-stereo").wave();
  auto suggest = [](WAVEFORMATEX source) {
    WAVEFORMATEX pcm{};
    pcm.wFormatTag = WAVE_FORMAT_PCM;
    return acmFormatSuggest(&source, &pcm, sizeof pcm, ACM_FORMATSUGGESTF_WFORMATTAG);
  };
  auto with = [&good](auto change) {
    WAVEFORMATEX format = good;
    change(format);
    return format;
  };
  EXPECT_EQ(suggest(good), MMSYSERR_NOERROR);
  for (const WAVEFORMATEX& bad : {
           with([](WAVEFORMATEX& f) { f.wFormatTag = 0x7A7A; }),  // no decoder has this tag
           with([](WAVEFORMATEX& f) { f.nChannels = 0; }),
           with([](WAVEFORMATEX& f) { f.nSamplesPerSec = 0; }),
           with([](WAVEFORMATEX& f) { f.nBlockAlign = 0; }),
           with([](WAVEFORMATEX& f) { f.nBlockAlign = 5; }),   // not whole containers
           with([](WAVEFORMATEX& f) { f.nBlockAlign = 14; }),  // 7-byte containers
           with([](WAVEFORMATEX& f) { f.wFormatTag = WAVE_FORMAT_EXTENSIBLE; }),  // no extension
           // Its PCM's bytes per second do not fit in 32 bits.
           with([](WAVEFORMATEX& f) {
             f.nChannels = 2048, f.nBlockAlign = 4096, f.nSamplesPerSec = 4000000;
           }),
       }) {
    EXPECT_EQ(suggest(bad), ACMERR_NOTPOSSIBLE) << bad.wFormatTag << " " << bad.nBlockAlign;
  }
}

TEST(AcmFormatSuggest, ReadsTheExtensibleSubFormat) {
  // WAVE_FORMAT_EXTENSIBLE with KSDATAFORMAT_SUBTYPE_ALAW: 16-bit PCM, like A-law itself.
  CodecFixture ext = LoadCodecFixture("ffmpeg-ext-5.1-s16");
  ASSERT_EQ(ext.wave()->wFormatTag, WAVE_FORMAT_EXTENSIBLE);
  ext.format[18 + 6] = 0x06;
  WAVEFORMATEX pcm{};
  pcm.wFormatTag = WAVE_FORMAT_PCM;
  ASSERT_EQ(acmFormatSuggest(ext.wave(), &pcm, sizeof pcm, ACM_FORMATSUGGESTF_WFORMATTAG),
            MMSYSERR_NOERROR);
  EXPECT_EQ(pcm.wBitsPerSample, 16);
  // A sub-format GUID outside the tag family is not a tag.
  ext.format[18 + 6 + 8] ^= 0xFF;
  EXPECT_EQ(acmFormatSuggest(ext.wave(), &pcm, sizeof pcm, ACM_FORMATSUGGESTF_WFORMATTAG),
            ACMERR_NOTPOSSIBLE);
}

// A mono PCM header with `bits` in containers of `container` bytes; with `valid` > 0 it is
// WAVE_FORMAT_EXTENSIBLE with that many valid bits. `coding`: the PCM tag, plain or in the GUID.
std::vector<uint8_t> PcmHeader(uint16_t container, uint16_t bits, uint16_t valid = 0,
                               uint16_t coding = WAVE_FORMAT_PCM) {
  WAVEFORMATEX format{coding, 1, 8000, 8000u * container, container, bits, 0};
  std::vector<uint8_t> extension;
  if (valid > 0) {
    format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    format.cbSize = kWaveFormatExtensionSize;
    extension = {static_cast<uint8_t>(valid),
                 static_cast<uint8_t>(valid >> 8),
                 4,
                 0,
                 0,
                 0,
                 static_cast<uint8_t>(coding),
                 static_cast<uint8_t>(coding >> 8),
                 0x00,
                 0x00,
                 0x00,
                 0x00,
                 0x10,
                 0x00,
                 0x80,
                 0x00,
                 0x00,
                 0xAA,
                 0x00,
                 0x38,
                 0x9B,
                 0x71};
  }
  std::vector<uint8_t> bytes(sizeof format);
  std::memcpy(bytes.data(), &format, sizeof format);
  bytes.insert(bytes.end(), extension.begin(), extension.end());
  return bytes;
}

// Each container's bytes (the low `container` bytes of each value, little-endian unless the
// header's coding is kBigEndianPcmTag) converted whole; the PCM out read back as signed samples
// of its width.
std::vector<int32_t> ConvertContainers(const std::vector<uint8_t>& header, uint16_t container,
                                       std::initializer_list<uint32_t> containers) {
  const bool bigEndian =
      SampleCodingTag(reinterpret_cast<const WAVEFORMATEX*>(header.data())) == kBigEndianPcmTag;
  std::vector<uint8_t> data;
  for (const uint32_t value : containers) {
    for (unsigned b = 0; b < container; ++b) {
      data.push_back(static_cast<uint8_t>(value >> 8 * (bigEndian ? container - 1 - b : b)));
    }
  }
  Stream stream;
  if (!Open(reinterpret_cast<const WAVEFORMATEX*>(header.data()), stream)) return {};
  const std::vector<uint8_t> pcm = ConvertWhole(stream.handle, data);
  std::vector<int32_t> samples;
  for (size_t at = 0; at < pcm.size(); at += stream.pcm.wBitsPerSample / 8) {
    if (stream.pcm.wBitsPerSample == 16) {
      samples.push_back(static_cast<int16_t>(pcm[at] | pcm[at + 1] << 8));
    } else {
      int32_t sample;
      std::memcpy(&sample, &pcm[at], 4);
      samples.push_back(sample);
    }
  }
  return samples;
}

// The same values stored little-endian and (a RIFX file's samples) big-endian give the same.
TEST(AcmPcm, ValidBitsAreReadWhereTheHeaderPutsThemInEitherByteOrder) {
  for (const uint16_t coding : {WAVE_FORMAT_PCM, kBigEndianPcmTag}) {
    SCOPED_TRACE(coding);
    // A plain header whose container is a byte wider than its bits (ALSA's S24_LE): the low
    // bytes, signed from bit 23, whatever the pad byte holds; out in the high bits.
    EXPECT_EQ(ConvertContainers(PcmHeader(4, 24, 0, coding), 4,
                                {0x00123456, 0xAB123456, 0x00FEDCBA, 0xFFFEDCBA, 0x007FFFFF,
                                 0x00800000, 0x5A000000}),
              (std::vector<int32_t>{0x12345600, 0x12345600, -0x01234600, -0x01234600, 0x7FFFFF00,
                                    INT32_MIN, 0}));
    // A container exactly as wide as the bits need: the high bits, as stored.
    EXPECT_EQ(ConvertContainers(PcmHeader(3, 20, 0, coding), 3, {0x12345F, 0xFEDCBA}),
              (std::vector<int32_t>{0x12345F00, -0x01234600}));
    EXPECT_EQ(ConvertContainers(PcmHeader(3, 24, 0, coding), 3, {0x123456, 0x800001}),
              (std::vector<int32_t>{0x12345600, static_cast<int32_t>(0x80000100)}));
    EXPECT_EQ(ConvertContainers(PcmHeader(2, 12, 0, coding), 2, {0x1234, 0x8001}),
              (std::vector<int32_t>{0x1234, -0x7FFF}));
    EXPECT_EQ(ConvertContainers(PcmHeader(2, 16, 0, coding), 2, {0x1234, 0x8001}),
              (std::vector<int32_t>{0x1234, -0x7FFF}));
    // WAVE_FORMAT_EXTENSIBLE: the high bits, the pad bits below them cleared.
    EXPECT_EQ(
        ConvertContainers(PcmHeader(4, 32, 24, coding), 4, {0x123456AB, 0x876543FF, 0x7FFFFFFF}),
        (std::vector<int32_t>{0x12345600, static_cast<int32_t>(0x87654300), 0x7FFFFF00}));
    EXPECT_EQ(ConvertContainers(PcmHeader(3, 24, 20, coding), 3, {0x12345F}),
              (std::vector<int32_t>{0x12345000}));
  }
}

TEST(AcmStreamOpen, FailsWhenADecoderRefusesTheFormat) {
  // GSM 6.10 suggests 16-bit PCM, but its driver takes only 65-byte blocks.
  CodecFixture gsm = LoadCodecFixture("sox-gsm-mono");
  reinterpret_cast<WAVEFORMATEX*>(gsm.format.data())->nBlockAlign = 66;
  Stream stream;
  stream.pcm.wFormatTag = WAVE_FORMAT_PCM;
  ASSERT_EQ(
      acmFormatSuggest(gsm.wave(), &stream.pcm, sizeof stream.pcm, ACM_FORMATSUGGESTF_WFORMATTAG),
      MMSYSERR_NOERROR);
  EXPECT_EQ(acmStreamOpen(&stream.handle, gsm.wave(), &stream.pcm, 0), ACMERR_NOTPOSSIBLE);
  EXPECT_EQ(stream.handle, nullptr);
}

TEST(AcmStreamSize, BoundsTheOutputOfAnyPortionAndOverflowFails) {
  // IMA ADPCM, 256-byte blocks of 505 samples.
  const CodecFixture ima = LoadCodecFixture("sox-ima-mono");
  ASSERT_EQ(ima.wave()->nBlockAlign, 256);
  Stream stream;
  ASSERT_TRUE(Open(ima.wave(), stream));
  EXPECT_EQ(SizeFor(stream.handle, 0), 0u);
  EXPECT_EQ(SizeFor(stream.handle, 256), 1010u);
  EXPECT_EQ(SizeFor(stream.handle, 512), 2020u);
  // A partial block counts the samples its bytes hold: the end of the data may bring one.
  EXPECT_EQ(SizeFor(stream.handle, 257), 1010u);
  EXPECT_EQ(SizeFor(stream.handle, 260), 1012u);
  EXPECT_EQ(SizeFor(stream.handle, 511), 2004u);

  const CodecFixture gsm = LoadCodecFixture("sox-gsm-mono");
  Stream expanding;
  ASSERT_TRUE(Open(gsm.wave(), expanding));
  uint32_t size = 0;
  EXPECT_EQ(acmStreamSize(expanding.handle, 4000000000u, &size, ACM_STREAMSIZEF_SOURCE),
            ACMERR_NOTPOSSIBLE);
}

TEST(AcmStreamSize, RefusesWhatOnlyALyingHeaderCouldNeed) {
  // 85 bytes per second make every byte of MP3 a frame of 1 152 samples: 4 KB of mono source
  // may give 9 MB, which is allowed; of 256 channels, 2.4 GB, which is not.
  CodecFixture mp3 = LoadCodecFixture("ffmpeg-mp3-mono");
  auto* format = reinterpret_cast<WAVEFORMATEX*>(mp3.format.data());
  format->nAvgBytesPerSec = 85;
  Stream mono;
  ASSERT_TRUE(Open(mp3.wave(), mono));
  EXPECT_LE(SizeFor(mono.handle, 4096), kAcmOutputLimit);

  format->nChannels = 256;
  Stream wide;
  ASSERT_TRUE(Open(mp3.wave(), wide));
  uint32_t size = 0;
  EXPECT_EQ(acmStreamSize(wide.handle, 4096, &size, ACM_STREAMSIZEF_SOURCE), ACMERR_NOTPOSSIBLE);
}

TEST(AcmStreamConvert, ConsumesOnlyWholeBlocksUnderBlockAlignment) {
  const CodecFixture gsm = LoadCodecFixture("sox-gsm-mono");
  Stream stream;
  ASSERT_TRUE(Open(gsm.wave(), stream));
  std::vector<uint8_t> pcm(4096);
  Conversion c =
      Convert(stream.handle, gsm.data.data(), 64, pcm.data(), pcm.size(), kBlockAlignStart);
  EXPECT_EQ(c.result, MMSYSERR_NOERROR);
  EXPECT_EQ(c.used, 0u);
  EXPECT_EQ(c.produced, 0u);
  c = Convert(stream.handle, gsm.data.data(), 200, pcm.data(), pcm.size(),
              ACM_STREAMCONVERTF_BLOCKALIGN);
  EXPECT_EQ(c.used, 195u);
  EXPECT_EQ(c.produced, 3u * 640);
  // The last portion, without block alignment, takes its tail too.
  c = Convert(stream.handle, gsm.data.data() + 195, 70, pcm.data(), pcm.size(),
              ACM_STREAMCONVERTF_END);
  EXPECT_EQ(c.used, 70u);
}

TEST(AcmStreamConvert, AByteStreamTakesWhatItIsGiven) {
  // MP3 as many writers store it: block alignment 1.
  CodecFixture mp3 = LoadCodecFixture("ffmpeg-mp3-mono");
  reinterpret_cast<WAVEFORMATEX*>(mp3.format.data())->nBlockAlign = 1;
  Stream stream;
  ASSERT_TRUE(Open(mp3.wave(), stream));
  EXPECT_EQ(ConvertInPieces(stream.handle, mp3.data, 1, 1000, SizeFor(stream.handle, 1000), 7),
            mp3.reference);
  std::vector<uint8_t> pcm(SizeFor(stream.handle, 333));
  const Conversion c =
      Convert(stream.handle, mp3.data.data(), 333, pcm.data(), pcm.size(), kBlockAlignStart);
  EXPECT_EQ(c.used, 333u);
}

TEST(AcmStreamConvert, EndTakesTheTailAndDrains) {
  const CodecFixture pcm16 = LoadCodecFixture("sox-pcm-s16-stereo");
  Stream stream;
  ASSERT_TRUE(Open(pcm16.wave(), stream));
  std::vector<uint8_t> pcm(64);
  // Two frames and half of one: the half frame holds no sample and is dropped.
  Conversion c = Convert(stream.handle, pcm16.data.data(), 10, pcm.data(), pcm.size(), kStartEnd);
  EXPECT_EQ(c.result, MMSYSERR_NOERROR);
  EXPECT_EQ(c.used, 10u);
  EXPECT_EQ(c.produced, 8u);
  EXPECT_TRUE(std::equal(pcm.begin(), pcm.begin() + 8, pcm16.reference.begin()));
  // Drained: another end gives nothing more, and is no failure.
  c = Convert(stream.handle, nullptr, 0, pcm.data(), pcm.size(), ACM_STREAMCONVERTF_END);
  EXPECT_EQ(c.result, MMSYSERR_NOERROR);
  EXPECT_EQ(c.produced, 0u);
}

// Mu-law in three channels, one byte a sample: a tail of one byte decodes to a third of a
// frame, which is dropped however small the destination it comes out through.
TEST(AcmStreamConvert, PartOfAFrameThatTheTailDecodesToIsDropped) {
  const WAVEFORMATEX mulaw{0x0007, 3, 8000, 24000, 3, 8, 0};
  const std::vector<uint8_t> data = {0x00, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60};
  for (const uint32_t room : {64u, 8u, 1u}) {
    SCOPED_TRACE(room);
    Stream stream;
    ASSERT_TRUE(Open(&mulaw, stream));
    std::vector<uint8_t> dst(room);
    size_t out = 0;
    size_t used = 0;
    for (int call = 0; call < 100; ++call) {
      const Conversion c =
          Convert(stream.handle, data.data() + used, data.size() - used, dst.data(), room,
                  call == 0 ? kStartEnd : ACM_STREAMCONVERTF_END);
      ASSERT_EQ(c.result, MMSYSERR_NOERROR);
      used += c.used;
      out += c.produced;
      if (c.used == 0 && c.produced == 0) break;
    }
    EXPECT_EQ(used, data.size());
    EXPECT_EQ(out, 12u) << "two whole frames of 16-bit samples";
  }
}

TEST(AcmStreamConvert, StartBeginsAfresh) {
  for (const char* name : {"ffmpeg-mp3-mono", "sox-gsm-mono", "sox-ima-stereo"}) {
    const CodecFixture fixture = LoadCodecFixture(name);
    Stream stream;
    ASSERT_TRUE(Open(fixture.wave(), stream));
    // Half a stream, left in the middle, then the whole from the start.
    const std::vector<uint8_t> half(fixture.data.begin(),
                                    fixture.data.begin() + fixture.data.size() / 2 + 17);
    std::vector<uint8_t> pcm(SizeFor(stream.handle, static_cast<uint32_t>(half.size())));
    Convert(stream.handle, half.data(), half.size(), pcm.data(), pcm.size(), kBlockAlignStart);
    EXPECT_EQ(ConvertWhole(stream.handle, fixture.data), fixture.reference) << name;
  }
}

TEST(AcmStreamConvert, AnOverstatedRateTakesLessAndLosesNothing) {
  // A byte stream's output size comes from the header's bytes per second, which here says four
  // times the truth: the frames are smaller than expected, so more of them come out of a
  // portion than acmStreamSize allowed for. The stream takes less input per call instead, and
  // the caller offers the rest again.
  CodecFixture mp3 = LoadCodecFixture("ffmpeg-mp3-mono");
  reinterpret_cast<WAVEFORMATEX*>(mp3.format.data())->nAvgBytesPerSec *= 4;
  Stream stream;
  ASSERT_TRUE(Open(mp3.wave(), stream));
  const uint32_t window = 4096;
  std::vector<uint8_t> pcm(SizeFor(stream.handle, window));
  const Conversion c =
      Convert(stream.handle, mp3.data.data(), window, pcm.data(), pcm.size(), kBlockAlignStart);
  EXPECT_GT(c.used, 0u);
  EXPECT_LT(c.used, window - window % mp3.wave()->nBlockAlign);
  const uint32_t block = mp3.wave()->nBlockAlign;
  EXPECT_EQ(
      ConvertInPieces(stream.handle, mp3.data, block, window, SizeFor(stream.handle, window), 3),
      mp3.reference);
}

TEST(AcmStreamConvert, DamagedFramesAreLeftOut) {
  // Garbage in the middle of an MP3 stream costs the frames it hits, not the rest.
  CodecFixture mp3 = LoadCodecFixture("ffmpeg-mp3-mono");
  std::fill(mp3.data.begin() + 10000, mp3.data.begin() + 10400, 0xFF);
  Stream stream;
  ASSERT_TRUE(Open(mp3.wave(), stream));
  const std::vector<uint8_t> pcm = ConvertWhole(stream.handle, mp3.data);
  EXPECT_GT(pcm.size(), mp3.reference.size() / 2);
  EXPECT_TRUE(std::equal(mp3.reference.end() - 4000, mp3.reference.end(), pcm.end() - 4000));
}

TEST(AcmStreamConvert, DataNoFrameOfWhichDecodesFailsAtTheEnd) {
  // MP3-in-WAV whose data is all garbage: concealed frame by frame, but not a silent success.
  CodecFixture mp3 = LoadCodecFixture("ffmpeg-mp3-mono");
  std::minstd_rand random(11);
  for (uint8_t& byte : mp3.data) byte = static_cast<uint8_t>(random() | 0xE0);
  Stream stream;
  ASSERT_TRUE(Open(mp3.wave(), stream));
  std::vector<uint8_t> pcm(SizeFor(stream.handle, static_cast<uint32_t>(mp3.data.size())));
  const Conversion c =
      Convert(stream.handle, mp3.data.data(), mp3.data.size(), pcm.data(), pcm.size(), kStartEnd);
  EXPECT_EQ(c.produced, 0u);
  EXPECT_NE(c.result, MMSYSERR_NOERROR);
}

TEST(AcmFaults, EachNamedCallFailsWhenInjected) {
  const CodecFixture pcm16 = LoadCodecFixture("sox-pcm-s16-stereo");
  Stream stream;
  ASSERT_TRUE(Open(pcm16.wave(), stream));

  InjectServiceFault("acmStreamOpen", 1);
  HACMSTREAM failed = reinterpret_cast<HACMSTREAM>(&stream);
  EXPECT_NE(acmStreamOpen(&failed, pcm16.wave(), &stream.pcm, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(failed, nullptr);

  uint32_t size = 0;
  InjectServiceFault("acmStreamSize", 1);
  EXPECT_NE(acmStreamSize(stream.handle, 4096, &size, ACM_STREAMSIZEF_SOURCE), MMSYSERR_NOERROR);

  std::vector<uint8_t> pcm(4096);
  ACMSTREAMHEADER header{};
  header.cbStruct = sizeof header;
  header.pbSrc = const_cast<uint8_t*>(pcm16.data.data());
  header.cbSrcLength = 4096;
  header.pbDst = pcm.data();
  header.cbDstLength = 4096;
  InjectServiceFault("acmStreamPrepareHeader", 1);
  EXPECT_NE(acmStreamPrepareHeader(stream.handle, &header, 0), MMSYSERR_NOERROR);
  EXPECT_FALSE(header.fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED);

  ASSERT_EQ(acmStreamPrepareHeader(stream.handle, &header, 0), MMSYSERR_NOERROR);
  InjectServiceFault("acmStreamConvert", 2);
  EXPECT_EQ(acmStreamConvert(stream.handle, &header, kBlockAlignStart), MMSYSERR_NOERROR);
  EXPECT_NE(acmStreamConvert(stream.handle, &header, ACM_STREAMCONVERTF_BLOCKALIGN),
            MMSYSERR_NOERROR);
  EXPECT_EQ(acmStreamUnprepareHeader(stream.handle, &header, 0), MMSYSERR_NOERROR);
  ClearServiceFaults();
}

}  // namespace

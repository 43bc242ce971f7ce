// SPDX-License-Identifier: GPL-3.0-or-later
#include "platform/fileio.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "platform/faults.h"
#include "support/scratch_dir.h"
#include "support/wav_writer.h"
#include "support/write_holder.h"

namespace {

constexpr FOURCC kWave = MakeFourCC('W', 'A', 'V', 'E');
constexpr FOURCC kData = MakeFourCC('d', 'a', 't', 'a');
constexpr uint32_t kBuffered = MMIO_ALLOCBUF | MMIO_DENYWRITE | MMIO_READ;

class MmioTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (file_ != nullptr) mmioClose(file_, 0);
    ClearServiceFaults();
  }

  std::string Write(const Bytes& bytes, const char* name = "file.wav") {
    const std::string path = dir_.path(name);
    EXPECT_TRUE(WriteFileBytes(path, bytes));
    return path;
  }

  HMMIO Open(const Bytes& bytes, uint32_t flags = kBuffered) {
    file_ = mmioOpenA(Write(bytes).c_str(), nullptr, flags);
    EXPECT_NE(file_, nullptr);
    return file_;
  }

  Bytes ReadAll(int32_t piece) {
    Bytes all;
    Bytes chunk(static_cast<size_t>(piece));
    for (int32_t n; (n = mmioRead(file_, chunk.data(), piece)) > 0;) {
      all.insert(all.end(), chunk.begin(), chunk.begin() + n);
    }
    return all;
  }

  MMCKINFO Find(FOURCC id, const MMCKINFO* parent, MMRESULT expected = MMSYSERR_NOERROR) {
    MMCKINFO ck{};
    ck.ckid = id;
    EXPECT_EQ(mmioDescend(file_, &ck, parent, MMIO_FINDCHUNK), expected);
    return ck;
  }

  MMCKINFO FindWave() {
    MMCKINFO riff{};
    riff.fccType = kWave;
    EXPECT_EQ(mmioDescend(file_, &riff, nullptr, MMIO_FINDRIFF), MMSYSERR_NOERROR);
    return riff;
  }

  ScratchDir dir_;
  HMMIO file_ = nullptr;
};

Bytes Slice(const Bytes& bytes, size_t from, size_t count = SIZE_MAX) {
  const size_t end = std::min(bytes.size(), count == SIZE_MAX ? bytes.size() : from + count);
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
               bytes.begin() + static_cast<std::ptrdiff_t>(end));
}

Bytes Unread(const MMIOINFO& info) {
  return Bytes(info.pchNext, info.pchEndRead);
}

// ---- open

TEST_F(MmioTest, OpenRefusesWhatIsNotAReadableRegularFile) {
  EXPECT_EQ(mmioOpenA(dir_.path("missing.wav").c_str(), nullptr, kBuffered), nullptr);
  EXPECT_EQ(mmioOpenA(dir_.root().c_str(), nullptr, kBuffered), nullptr);
  // A FIFO with no writer: refused at once, not waited on.
  const std::string fifo = dir_.path("fifo.wav");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(mmioOpenA(fifo.c_str(), nullptr, kBuffered), nullptr);
  // A device that never ends would make every search endless.
  EXPECT_EQ(mmioOpenA("/dev/zero", nullptr, kBuffered), nullptr);
}

TEST_F(MmioTest, DenyWriteRefusesAFileAnotherProcessHoldsOpenForWriting) {
  const std::string path = Write(WaveFile(PcmFormat(8000, 1, 8), Pattern(100)));
  if (!LeasesAvailable(path)) GTEST_SKIP() << "the kernel grants no read lease here";
  {
    WriteHolder writer(path);
    ASSERT_TRUE(writer.holding());
    EXPECT_EQ(mmioOpenA(path.c_str(), nullptr, kBuffered), nullptr);
    // Without the flag nothing is checked.
    file_ = mmioOpenA(path.c_str(), nullptr, MMIO_ALLOCBUF);
    EXPECT_NE(file_, nullptr);
  }
  HMMIO afterWriterLeft = mmioOpenA(path.c_str(), nullptr, kBuffered);
  EXPECT_NE(afterWriterLeft, nullptr);
  mmioClose(afterWriterLeft, 0);
}

TEST_F(MmioTest, DenyWriteHoldsUpNoWriterOnceOpen) {
  const std::string path = Write(Pattern(100));
  file_ = mmioOpenA(path.c_str(), nullptr, kBuffered);
  ASSERT_NE(file_, nullptr);
  // A lease still held would refuse a non-blocking writer with EWOULDBLOCK.
  const int writer = open(path.c_str(), O_WRONLY | O_NONBLOCK);
  EXPECT_GE(writer, 0) << "errno " << errno;
  if (writer >= 0) close(writer);
}

// ---- read

TEST_F(MmioTest, ReadGivesTheFileInOrderWhateverThePieces) {
  const Bytes bytes = Pattern(3 * MMIO_DEFAULTBUFFER + 123, 5);
  for (const uint32_t flags : {kBuffered, uint32_t{MMIO_READ}}) {
    for (const int32_t piece : {1, 7, 4095, MMIO_DEFAULTBUFFER, MMIO_DEFAULTBUFFER + 1, 30000}) {
      SCOPED_TRACE(testing::Message() << "flags " << flags << " piece " << piece);
      Open(bytes, flags);
      EXPECT_EQ(ReadAll(piece), bytes);
      uint8_t byte;
      EXPECT_EQ(mmioRead(file_, &byte, 1), 0);
      EXPECT_EQ(mmioRead(file_, &byte, -1), -1);
      mmioClose(file_, 0);
      file_ = nullptr;
    }
  }
}

// ---- descend

TEST_F(MmioTest, DescendFindsTheRiffFormAndStopsAfterItsFormType) {
  const Bytes fmt = Chunk("fmt ", FormatBytes(PcmFormat(8000, 1, 8)));
  const Bytes bytes = RiffForm("WAVE", {fmt, Chunk("data", Pattern(10))});
  Open(bytes);
  const MMCKINFO riff = FindWave();
  EXPECT_EQ(riff.ckid, FOURCC_RIFF);
  EXPECT_EQ(riff.cksize, bytes.size() - 8);
  EXPECT_EQ(riff.fccType, kWave);
  EXPECT_EQ(riff.dwDataOffset, 12u);
  Bytes next(4);
  EXPECT_EQ(mmioRead(file_, next.data(), 4), 4);
  EXPECT_EQ(next, Slice(fmt, 0, 4));
}

TEST_F(MmioTest, DescendPassesOverOtherChunksByTheirPaddedSize) {
  const Bytes data = Pattern(33, 1);
  const Bytes bytes =
      RiffForm("WAVE", {Chunk("junk", Pattern(3)), Chunk("LIST", Pattern(5)), Chunk("data", data)});
  Open(bytes);
  const MMCKINFO riff = FindWave();
  const MMCKINFO ck = Find(kData, &riff);
  EXPECT_EQ(ck.cksize, data.size());
  EXPECT_EQ(ck.fccType, 0u);
  EXPECT_EQ(ck.dwDataOffset, 12u + 12 + 14 + 8);
  EXPECT_EQ(ReadAll(7), Slice(bytes, ck.dwDataOffset));
}

// Every reader looks for the form in a file's first header only. Searching on would walk a
// file of zeros eight bytes at a time to its end: seconds for a few gigabytes.
TEST_F(MmioTest, TheFormIsLookedForInTheFirstHeaderOnly) {
  const Bytes wave = RiffForm("WAVE", {Chunk("data", Pattern(9))});
  for (const Bytes& before :
       {RiffForm("AVI ", {Chunk("data", Pattern(9))}), Chunk("JUNK", {}), Bytes(8, 0)}) {
    Bytes bytes = before;
    Append(bytes, wave);
    Open(bytes);
    MMCKINFO riff{};
    riff.fccType = kWave;
    EXPECT_EQ(mmioDescend(file_, &riff, nullptr, MMIO_FINDRIFF), MMIOERR_CHUNKNOTFOUND);
    EXPECT_EQ(ReadAll(5), bytes) << "the position moved";
    mmioClose(file_, 0);
    file_ = nullptr;
  }
}

TEST_F(MmioTest, DescendReadsNothingOutsideTheParent) {
  const Bytes fmt = Chunk("fmt ", FormatBytes(PcmFormat(8000, 1, 8)));
  const Bytes data = Chunk("data", Pattern(16));
  struct Case {
    const char* what;
    Bytes bytes;
  };
  const Case cases[] = {
      {"data after the RIFF chunk's end",
       RiffFormClaiming("WAVE", static_cast<uint32_t>(4 + fmt.size()), {fmt, data})},
      {"the RIFF chunk ends inside the data header",
       RiffFormClaiming("WAVE", static_cast<uint32_t>(4 + fmt.size() + 4), {fmt, data})},
      // Rounded up to even in 32 bits, 4 GiB - 1 would be 0: the next header would be the
      // junk chunk's contents.
      {"inside a chunk claiming 4 GiB - 1",
       RiffForm("WAVE", {fmt, ChunkClaiming("junk", 0xFFFFFFFF, data)})},
      {"inside a chunk claiming more than the file holds",
       RiffForm("WAVE", {fmt, ChunkClaiming("junk", 1000, data)})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Open(c.bytes);
    const MMCKINFO riff = FindWave();
    Find(kData, &riff, MMIOERR_CHUNKNOTFOUND);
    mmioClose(file_, 0);
    file_ = nullptr;
  }
  // Without the parent the same data chunk is found.
  Open(cases[0].bytes);
  FindWave();
  Find(kData, nullptr);
}

TEST_F(MmioTest, DescendFailsWhenNoHeaderCanBeReadAndKeepsThePosition) {
  Open({});
  MMCKINFO riff{};
  riff.fccType = kWave;
  EXPECT_EQ(mmioDescend(file_, &riff, nullptr, MMIO_FINDRIFF), MMIOERR_CHUNKNOTFOUND);
  mmioClose(file_, 0);

  // A RIFF chunk claiming much, a format chunk, then three bytes of a header.
  Bytes bytes = RiffFormClaiming("WAVE", 1000, {Chunk("fmt ", Pattern(16))});
  Append(bytes, {'d', 'a', 't'});
  Open(bytes);
  riff = FindWave();
  Find(MakeFourCC('f', 'm', 't', ' '), &riff);
  Bytes format(16);
  ASSERT_EQ(mmioRead(file_, format.data(), 16), 16);
  Find(kData, &riff, MMIOERR_CHUNKNOTFOUND);
  EXPECT_EQ(ReadAll(5), Slice(bytes, 36));
}

// ---- direct buffer access

TEST_F(MmioTest, AdvanceWalksTheFileOnFromWhereTheBufferWasSetThenStaysEmpty) {
  const Bytes bytes = Pattern(10000, 3);
  Open(bytes);
  Bytes first(10);
  ASSERT_EQ(mmioRead(file_, first.data(), 10), 10);  // the service's buffer now holds more
  Bytes buffer(4096);
  ASSERT_EQ(mmioSetBuffer(file_, buffer.data(), 4096, 0), MMSYSERR_NOERROR);
  MMIOINFO info{};
  ASSERT_EQ(mmioGetInfo(file_, &info, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(info.pchBuffer, buffer.data());
  EXPECT_EQ(info.cchBuffer, 4096);
  EXPECT_EQ(info.pchNext, info.pchEndRead);
  EXPECT_EQ(info.lBufOffset, 10);

  Bytes seen;
  for (int fills = 0; fills < 10; ++fills) {
    ASSERT_EQ(mmioAdvance(file_, &info, MMIO_READ), MMSYSERR_NOERROR);
    if (info.pchNext == info.pchEndRead) break;
    Append(seen, Unread(info));
    info.pchNext = info.pchEndRead;
  }
  EXPECT_EQ(seen, Slice(bytes, 10));
  for (int again = 0; again < 3; ++again) {
    EXPECT_EQ(mmioAdvance(file_, &info, MMIO_READ), MMSYSERR_NOERROR);
    EXPECT_EQ(info.pchNext, info.pchEndRead);
  }
}

TEST_F(MmioTest, AdvanceCarriesAnUnconsumedRemainderIntoTheNextFill) {
  // 65-byte blocks in a 4096-byte buffer: every fill leaves part of a block behind.
  const Bytes bytes = Pattern(65 * 200 + 17, 6);
  Open(bytes);
  Bytes buffer(4096);
  MMIOINFO info{};
  ASSERT_EQ(mmioSetBuffer(file_, buffer.data(), 4096, 0), MMSYSERR_NOERROR);
  ASSERT_EQ(mmioGetInfo(file_, &info, 0), MMSYSERR_NOERROR);
  Bytes consumed;
  for (int fills = 0; fills < 20; ++fills) {
    ASSERT_EQ(mmioAdvance(file_, &info, MMIO_READ), MMSYSERR_NOERROR);
    const auto blocks = (info.pchEndRead - info.pchNext) / 65;
    if (blocks == 0) break;
    consumed.insert(consumed.end(), info.pchNext, info.pchNext + blocks * 65);
    info.pchNext += blocks * 65;
  }
  EXPECT_EQ(consumed, Slice(bytes, 0, 65 * 200));
  EXPECT_EQ(Unread(info), Slice(bytes, 65 * 200));
}

TEST_F(MmioTest, AFailedAdvanceConsumesNothing) {
  const Bytes bytes = Pattern(5000, 8);
  Open(bytes);
  Bytes buffer(4096);
  MMIOINFO info{};
  ASSERT_EQ(mmioSetBuffer(file_, buffer.data(), 4096, 0), MMSYSERR_NOERROR);
  ASSERT_EQ(mmioGetInfo(file_, &info, 0), MMSYSERR_NOERROR);
  InjectServiceFault("mmioAdvance", 2);
  ASSERT_EQ(mmioAdvance(file_, &info, MMIO_READ), MMSYSERR_NOERROR);
  info.pchNext = info.pchEndRead;
  EXPECT_NE(mmioAdvance(file_, &info, MMIO_READ), MMSYSERR_NOERROR);
  ASSERT_EQ(mmioAdvance(file_, &info, MMIO_READ), MMSYSERR_NOERROR);
  EXPECT_EQ(Unread(info), Slice(bytes, 4096));
}

}  // namespace

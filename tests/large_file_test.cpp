// SPDX-License-Identifier: GPL-3.0-or-later
// A file past 4 GiB, end to end: an RF64 input, sparse so that it costs no disk, played by
// rtplayer-cli into the file device, which must write every byte into an RF64 file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "support/child_process.h"
#include "support/scratch_dir.h"
#include "support/wav_writer.h"

namespace {

constexpr uint64_t k4GiB = uint64_t{1} << 32;
constexpr uint64_t kDataBytes = k4GiB + (uint64_t{1} << 20);
// 8 channels of 32 bits at 192 kHz: large buffers, so few of them.
const WAVEFORMATEX kFormat = PcmFormat(192000, 8, 32);
constexpr uint64_t kOutputHeaderBytes = 80;  // RF64 12, ds64 36, fmt 24, data 8

bool WriteAt(int fd, const Bytes& bytes, uint64_t offset) {
  return pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)) ==
         static_cast<ssize_t>(bytes.size());
}

Bytes ReadAt(const std::string& path, size_t size, uint64_t offset) {
  Bytes bytes(size);
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  const ssize_t got = fd < 0 ? -1 : pread(fd, bytes.data(), size, static_cast<off_t>(offset));
  if (fd >= 0) close(fd);
  bytes.resize(got < 0 ? 0 : static_cast<size_t>(got));
  return bytes;
}

uint64_t FileSize(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 ? static_cast<uint64_t>(status.st_size) : 0;
}

TEST(LargeFileTest, AnRf64FilePast4GiBPlaysToItsEndIntoAnRf64File) {
  ScratchDir dir;
  const Bytes fmt = Chunk("fmt ", FormatBytes(kFormat));
  const uint64_t riff = 4 + 36 + fmt.size() + 8 + kDataBytes;
  const Bytes head = LargeForm("RF64", "WAVE",
                               {Ds64Chunk(riff, kDataBytes, kDataBytes / kFormat.nBlockAlign), fmt,
                                ChunkClaiming("data", 0xFFFFFFFF, {})});
  // Marks astride 4 GiB and at the end; the rest are holes, which read as zeros.
  const Bytes across = Pattern(4096, 1);
  const Bytes tail = Pattern(65536, 2);
  const uint64_t acrossAt = k4GiB - across.size() / 2;
  const std::string in = dir.path("in.wav");
  const int fd = open(in.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  const bool written = WriteAt(fd, head, 0) &&
                       ftruncate(fd, static_cast<off_t>(head.size() + kDataBytes)) == 0 &&
                       WriteAt(fd, across, head.size() + acrossAt) &&
                       WriteAt(fd, tail, head.size() + kDataBytes - tail.size());
  struct stat status {};
  fstat(fd, &status);
  close(fd);
  struct statvfs space {};
  if (!written || status.st_blocks * 512 > (16 << 20)) {
    GTEST_SKIP() << "no sparse files of this size here";
  }
  if (statvfs(dir.root().c_str(), &space) != 0 ||
      uint64_t{space.f_bavail} * space.f_frsize < kDataBytes + (uint64_t{512} << 20)) {
    GTEST_SKIP() << "no room for the 4 GiB output here";
  }

  const std::string out = dir.path("out.wav");
  std::string errors;
  ASSERT_EQ(RunToEnd({RTPLAYER_BINARY_DIR "/bin/rtplayer-cli", "--output", out, in},
                     dir.path("cli"), &errors),
            0)
      << errors;
  EXPECT_EQ(errors, "");

  ASSERT_EQ(FileSize(out), kOutputHeaderBytes + kDataBytes);
  const Bytes pcmFormat(fmt.begin(), fmt.begin() + 8 + 16);  // as the file device writes it
  Bytes expectedHead = LargeForm(
      "RF64", "WAVE",
      {Ds64Chunk(kOutputHeaderBytes - 8 + kDataBytes, kDataBytes, kDataBytes / kFormat.nBlockAlign),
       ChunkClaiming("fmt ", 16, Bytes(pcmFormat.begin() + 8, pcmFormat.end())),
       ChunkClaiming("data", 0xFFFFFFFF, {})});
  EXPECT_EQ(ReadAt(out, kOutputHeaderBytes, 0), expectedHead);
  EXPECT_EQ(ReadAt(out, across.size(), kOutputHeaderBytes + acrossAt), across);
  EXPECT_EQ(ReadAt(out, tail.size(), kOutputHeaderBytes + kDataBytes - tail.size()), tail);
  std::remove(out.c_str());
}

}  // namespace

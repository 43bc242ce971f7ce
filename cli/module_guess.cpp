// SPDX-License-Identifier: GPL-3.0-or-later
#include "module_guess.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

namespace {

constexpr size_t kHeadBytes = 512;
constexpr uint16_t kExtensible = 0xFFFE;

bool InProcess(uint16_t tag) {
  for (const uint16_t known : {0x0001, 0x0002, 0x0003, 0x0006, 0x0007, 0x0011, 0x0031}) {
    if (tag == known) return true;
  }
  return false;
}

}  // namespace

bool GuessNeedsCodecModule(const std::string& file) {
  struct stat status {};
  if (stat(file.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return false;
  const int fd = open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  uint8_t head[kHeadBytes];
  const ssize_t length = pread(fd, head, sizeof head, 0);
  close(fd);
  if (length < 12 || std::memcmp(head + 8, "WAVE", 4) != 0) return false;
  const bool big = std::memcmp(head, "RIFX", 4) == 0;
  if (!big && std::memcmp(head, "RIFF", 4) != 0 && std::memcmp(head, "RF64", 4) != 0 &&
      std::memcmp(head, "BW64", 4) != 0) {
    return false;
  }
  const auto read16 = [&](size_t at) {
    return static_cast<uint16_t>(big ? head[at] << 8 | head[at + 1] : head[at + 1] << 8 | head[at]);
  };
  const auto read32 = [&](size_t at) {
    return big ? uint32_t{read16(at)} << 16 | read16(at + 2)
               : uint32_t{read16(at + 2)} << 16 | read16(at);
  };
  for (size_t at = 12; at + 10 <= static_cast<size_t>(length);) {
    const uint32_t size = read32(at + 4);
    if (std::memcmp(head + at, "fmt ", 4) == 0) {
      uint16_t tag = read16(at + 8);
      // An extensible format's coding is the sub-format GUID's leading tag. RIFX has two ways to
      // write that GUID: left to the engine.
      if (tag == kExtensible) {
        if (big || size < 40 || at + 34 > static_cast<size_t>(length)) return false;
        tag = read16(at + 32);
      }
      return big ? tag != 0x0001 && tag != 0x0003 : !InProcess(tag);
    }
    // The ds64 chunk of RF64, JUNK, bext, LIST: stepped over, padded to an even size.
    if (size > kHeadBytes) return false;
    at += 8 + size + (size & 1);
  }
  return false;
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "engine/player_state.h"

#include <gtest/gtest.h>

namespace {

WAVEFORMATEX Pcm(uint32_t rate, uint16_t channels, uint16_t bits) {
  const uint16_t block = static_cast<uint16_t>(channels * bits / 8);
  return {WAVE_FORMAT_PCM, channels, rate, rate * block, block, bits, 0};
}

TEST(RoundUp, GivesTheSmallestMultipleNotBelowTheValue) {
  EXPECT_EQ(RoundUp(0, 4096), 0u);
  EXPECT_EQ(RoundUp(4096, 4096), 4096u);
  EXPECT_EQ(RoundUp(4097, 4096), 8192u);
  EXPECT_EQ(RoundUp(512, 4096), 4096u);
  EXPECT_EQ(RoundUp(17640, 4096), 20480u);
  EXPECT_EQ(RoundUp(7, 1), 7u);
}

TEST(BytesForDuration, GivesThePartsExamples) {
  EXPECT_EQ(BytesForDuration(Pcm(44100, 2, 16), 125), 22052u);
  EXPECT_EQ(BytesForDuration(Pcm(8000, 1, 8), 125), 1000u);
  EXPECT_EQ(RoundUp(BytesForDuration(Pcm(44100, 2, 16), 100), 4096), 20480u);
  // 4 055 bytes per second in 256-byte blocks: 406 bytes, one whole block more, one page.
  const WAVEFORMATEX ima{0x11, 1, 8000, 4055, 256, 4, 2};
  EXPECT_EQ(BytesForDuration(ima, 100), 512u);
  EXPECT_EQ(RoundUp(BytesForDuration(ima, 100), 4096), 4096u);
}

TEST(BytesForDuration, RoundsToTheNearestByteThenUpToAWholeBlock) {
  const WAVEFORMATEX oneByteASecond{0x11, 1, 1, 1, 1, 8, 0};
  EXPECT_EQ(BytesForDuration(oneByteASecond, 499), 0u);
  EXPECT_EQ(BytesForDuration(oneByteASecond, 500), 1u);
  // A block larger than the byte count gives one whole block.
  const WAVEFORMATEX bigBlocks{0x31, 1, 8000, 1625, 65, 0, 2};
  EXPECT_EQ(BytesForDuration(bigBlocks, 10), 65u);
}

}  // namespace

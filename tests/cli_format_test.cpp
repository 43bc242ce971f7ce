// SPDX-License-Identifier: GPL-3.0-or-later
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>

#include "cli/options.h"
#include "cli/status_line.h"
#include "cli/terminal_name.h"
#include "support/scratch_dir.h"

namespace {

bool Parse(std::initializer_list<const char*> args, CliOptions* options, std::string* error) {
  std::vector<const char*> argv{"rtplayer-cli"};
  argv.insert(argv.end(), args);
  return ParseCliOptions(static_cast<int>(argv.size()), argv.data(), options, error);
}

TEST(CliOptions, TakesDeviceOutputAndFilesInOrder) {
  CliOptions options;
  std::string error;
  ASSERT_TRUE(Parse({"--device", "2", "a.wav", "--", "--b.wav"}, &options, &error)) << error;
  EXPECT_EQ(options.device, 2);
  EXPECT_EQ(options.files, (std::vector<std::string>{"a.wav", "--b.wav"}));

  CliOptions toFile;
  ASSERT_TRUE(Parse({"--output", "out.wav", "a.wav"}, &toFile, &error)) << error;
  EXPECT_EQ(toFile.outputPath, "out.wav");
}

TEST(CliOptions, RefusesWhatItCannotDo) {
  for (auto args :
       std::vector<std::vector<const char*>>{{},
                                             {"--device"},
                                             {"--device", "-1", "a.wav"},
                                             {"--device", "2x", "a.wav"},
                                             {"--volume", "3", "a.wav"},
                                             {"--output", "o.wav", "a.wav", "b.wav"},
                                             // Two places for the sound.
                                             {"--device", "0", "--output", "o.wav", "a.wav"},
                                             {"--output", "o.wav", "--device", "1", "a.wav"},
                                             {"--list-devices", "a.wav"}}) {
    std::vector<const char*> argv{"rtplayer-cli"};
    argv.insert(argv.end(), args.begin(), args.end());
    CliOptions options;
    std::string error;
    EXPECT_FALSE(ParseCliOptions(static_cast<int>(argv.size()), argv.data(), &options, &error));
    EXPECT_FALSE(error.empty());
  }
  CliOptions list;
  std::string error;
  EXPECT_TRUE(Parse({"--list-devices"}, &list, &error));
}

TEST(StatusLine, ShowsFormatsAndTimesAndCutsTheNameFirst) {
  const AudioFormatSummary ima{0x11, 2, 44100, 4};
  const AudioFormatSummary pcm{1, 2, 44100, 16};
  const std::string full = FormatStatusLine("song.wav", ima, pcm, 65.4, 3725, 200);
  EXPECT_EQ(
      full,
      "song.wav  format 0x0011 44100 Hz stereo -> PCM 16-bit 44100 Hz stereo  1:05 / 1:02:05");

  // The tail takes 74 columns; of 90, the Cyrillic name keeps its first 16 characters.
  const std::string narrow = FormatStatusLine("очень-длинное-имя-файла.wav", ima, pcm, 1, 2, 90);
  EXPECT_EQ(narrow.rfind("очень-длинное-им  format", 0), 0u) << narrow;
  EXPECT_NE(narrow.find("0:01 / 0:02"), std::string::npos);
  size_t columns = 0;
  for (unsigned char c : narrow) columns += (c & 0xC0) != 0x80;
  EXPECT_EQ(columns, 90u);
}

// Names that hold what a terminal would act on are quoted exactly as GNU ls quotes them
// (--quoting-style=shell-escape, in a UTF-8 locale); every other name stays as it is, where ls
// would quote a space or a quote too.
TEST(TerminalName, QuotesWhatCannotBePrintedAsGnuLsDoesAndLeavesTheRest) {
  const std::set<std::string> quoted = {
      "\x1b[31mred.wav", "two\nlines.wav", "tab\t.wav", "bad\xff byte.wav", "c1\xc2\x9b.wav",
      "it's\x1b'.wav",   "\x7f",           "trunc\xd0", "over\xc0\xafz",    "sep\xe2\x80\xa8x",
      "sur\xed\xa0\x80x"};
  const std::set<std::string> plain = {"plain.wav", "my file.wav", "очень-тихо.wav", "it's.wav"};
  ScratchDir dir;
  for (const auto& names : {quoted, plain}) {
    for (const std::string& name : names) std::ofstream(dir.path(name)).put('x');
  }
  std::set<std::string> listed;
  FILE* ls =
      popen(("LC_ALL=C.UTF-8 ls --quoting-style=shell-escape -1 " + dir.root()).c_str(), "r");
  ASSERT_NE(ls, nullptr);
  char line[4096];
  while (std::fgets(line, sizeof line, ls) != nullptr) {
    listed.insert(std::string(line, std::strcspn(line, "\n")));
  }
  pclose(ls);
  for (const std::string& name : quoted) {
    EXPECT_EQ(listed.count(TerminalName(name)), 1u) << TerminalName(name);
  }
  for (const std::string& name : plain) EXPECT_EQ(TerminalName(name), name);
}

}  // namespace

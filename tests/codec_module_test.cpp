// SPDX-License-Identifier: GPL-3.0-or-later
// What a playback maps into the process: the classic formats are decoded in process, and
// FFmpeg's libraries come in only with its module, at the first file that needs it.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "codec_fixtures.h"
#include "engine/engine.h"
#include "platform/module.h"
#include "platform/waveout.h"
#include "support/recording_front_end.h"
#include "support/scratch_dir.h"
#include "support/wav_reading.h"

namespace {

// The FFmpeg libraries mapped into this process, by name, one a line; empty when none is.
std::string MappedFfmpegLibraries() {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  std::ostringstream found;
  while (std::getline(maps, line)) {
    for (const char* library :
         {"libavcodec", "libavformat", "libavutil", "libswresample", "libSDL2"}) {
      if (line.find(library) != std::string::npos) found << line << "\n";
    }
  }
  return found.str();
}

class CodecModuleTest : public testing::Test {
 protected:
  void TearDown() override { SetOutputFile(""); }

  // Plays a codec fixture through the engine into the file device, to its end.
  void Play(const std::string& name) {
    RecordingFrontEnd frontEnd;
    // The reset clears the output choice with the rest of the record: the file device is
    // chosen after it, or the playback would go to a sound device.
    ResetPlayerState(frontEnd);
    const std::string out = dir_.path(name + ".out.wav");
    ASSERT_TRUE(SetOutputFile(out));
    player.savedPriorityClass = GetPriorityClass();
    const std::string path = CodecFixturePath(name + ".wav");
    std::strcpy(player.fileName, path.c_str());
    ASSERT_TRUE(LaunchPlayback()) << name;
    ASSERT_TRUE(frontEnd.waitFinished()) << name;
    FinishPlayback();
    EXPECT_TRUE(frontEnd.errors().empty()) << name << ": " << frontEnd.errors().front();
    const auto played = ReadWav(out);
    EXPECT_TRUE(played.has_value() && !played->data.empty()) << name << " played elsewhere";
  }

  ScratchDir dir_;
};

// One case: what a playback loads stays loaded, so the order is the test.
TEST_F(CodecModuleTest, ClassicFilesLoadNoFfmpegAndAnMp3FileLoadsItsModule) {
  ASSERT_EQ(MappedFfmpegLibraries(), "") << "mapped before any playback";
  for (const char* name : {"sox-pcm-u8-mono", "sox-pcm-s16-stereo", "sox-pcm-s24in32-stereo",
                           "sox-float32-stereo", "sox-ext-5.1-s16", "sox-alaw-mono",
                           "sox-mulaw-mono", "sox-ima-stereo", "sox-ms-stereo", "sox-gsm-mono"}) {
    Play(name);
    EXPECT_FALSE(ModuleLoaded("ffmpeg")) << name;
    EXPECT_EQ(MappedFfmpegLibraries(), "") << "mapped by " << name;
  }
  Play("ffmpeg-mp3-mono");
  EXPECT_TRUE(ModuleLoaded("ffmpeg"));
  EXPECT_NE(MappedFfmpegLibraries(), "");
}

}  // namespace

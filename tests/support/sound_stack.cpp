// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/sound_stack.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <mutex>

namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

struct Stack {
  bool usable = false;
  std::string monitorServer;
};

// The ALSA configuration: the default device and the two sinks, each through the PulseAudio
// plugin to the daemon named outright, so the player's own PULSE_SERVER plays no part.
std::string WriteAlsaConfig(const std::string& server) {
  const std::string path =
      Env("RTPLAYER_PULSE_DIR") + "/alsa-" + std::to_string(getpid()) + ".conf";
  std::ofstream out(path);
  const std::string common = "type pulse; server \"" + server + "\"; ";
  out << "pcm.default { " << common << "device \"rtplayer_a\" }\n";
  for (const char* sink : {"rtplayer_a", "rtplayer_b"}) {
    out << "pcm." << sink << " { " << common << "device \"" << sink
        << "\"; hint { show on; description \"" << sink << "\" } }\n";
  }
  return out ? path : "";
}

Stack Choose() {
  Stack stack;
  const std::string name = TestSoundStack();
  if (name == "pipewire") {
    const std::string dir = Env("RTPLAYER_PIPEWIRE_DIR");
    if (dir.empty()) return stack;
    stack.monitorServer = "unix:" + dir + "/run/pulse/native";
    setenv("PULSE_SERVER", stack.monitorServer.c_str(), 1);
    stack.usable = true;
    return stack;
  }
  const std::string dir = Env("RTPLAYER_PULSE_DIR");
  if (dir.empty()) return stack;
  stack.monitorServer = "unix:" + dir + "/native";
  if (name == "alsa") {
    const std::string config = WriteAlsaConfig(stack.monitorServer);
    if (config.empty()) return stack;
    setenv("ALSA_CONFIG_PATH", config.c_str(), 1);
    setenv("PULSE_SERVER", "unix:/nonexistent/rtplayer-no-server", 1);
  }
  stack.usable = true;
  return stack;
}

const Stack& TheStack() {
  static const Stack stack = Choose();
  return stack;
}

}  // namespace

bool UseTestSoundStack() {
  return TheStack().usable;
}

std::string TestSoundStack() {
  const std::string name = Env("RTPLAYER_TEST_STACK");
  return name.empty() ? "pulse" : name;
}

std::string MonitorServer() {
  return TheStack().monitorServer;
}

std::string DefaultEntryName() {
  return TestSoundStack() == "alsa" ? "Default: ALSA" : "Default: rtplayer_a";
}

bool StackIsSoundServer() {
  return TestSoundStack() != "alsa";
}

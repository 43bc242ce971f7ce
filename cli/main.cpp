#include <cstdio>
#include <string>

#include "options.h"
#include "terminal_session.h"

int main(int argc, char** argv) {
  CliOptions options;
  std::string error;
  if (!ParseCliOptions(argc, argv, &options, &error)) {
    std::fprintf(stderr, "rtplayer-cli: %s\n%s", error.c_str(), kCliUsage);
    return 2;
  }
  if (options.help) {
    std::fputs(kCliUsage, stdout);
    return 0;
  }
  if (options.version) {
    std::puts("rtplayer-cli " RTPLAYER_VERSION);
    return 0;
  }
  if (options.listDevices) {
    PrintDeviceList();
    return 0;
  }
  return PlayFiles(options);
}

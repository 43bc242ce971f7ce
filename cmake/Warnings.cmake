# SPDX-License-Identifier: GPL-3.0-or-later
# One interface target carries the project's warning flags; every target links it privately.
add_library(rtplayer_warnings INTERFACE)
target_compile_options(rtplayer_warnings INTERFACE -Wall -Wextra -Wpedantic -Wshadow)
if(RTPLAYER_WERROR)
  target_compile_options(rtplayer_warnings INTERFACE -Werror)
endif()

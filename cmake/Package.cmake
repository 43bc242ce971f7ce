# SPDX-License-Identifier: GPL-3.0-or-later
# The Debian package: `cpack -G DEB` in a release build. Its dependencies are computed by
# dpkg-shlibdeps from every program and module installed, so a module added later is covered
# without a change here.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME rtplayer)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "rtplayer maintainers")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Debian ships programs stripped.
set(CPACK_STRIP_FILES ON)

set(RTPLAYER_PACKAGE_MAINTAINER "rtplayer maintainers <maintainers@users.noreply.c-seed-c52825b1.example>"
  CACHE STRING "The Maintainer field of the Debian package")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${RTPLAYER_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "real-time decompressing player for RIFF/WAVE files
rtplayer plays WAV files whatever their audio is stored in: PCM of any width,
IEEE float, WAVE_FORMAT_EXTENSIBLE, IMA and MS ADPCM, A-law, mu-law, GSM 6.10,
MP3 and every other format that FFmpeg decodes. It reads and decodes a buffer
at a time while it plays, as the old desktop players did, so a file starts at
once, and a broken file gets one short message instead of noise.
.
The package holds a small dialog (rtplayer), which the desktop offers for
opening WAV files, and a terminal player (rtplayer-cli).")

install(FILES ${PROJECT_SOURCE_DIR}/docs/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

include(CPack)

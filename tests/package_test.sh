#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian package from this build's installed files, in a scratch folder (the build
# itself is not rebuilt or changed, beyond the install manifest every install writes), and
# checks what it holds and what it depends on.
# usage: package_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
scratch=$(mktemp -d "${TMPDIR:-/tmp}/rtplayer-package.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

DESTDIR=$scratch/stage cmake --install "$build" --prefix /usr >/dev/null
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/out" \
  -D CPACK_INSTALL_CMAKE_PROJECTS= -D "CPACK_INSTALLED_DIRECTORIES=$scratch/stage;." \
  >"$scratch/cpack.log" 2>&1 || { cat "$scratch/cpack.log" >&2; exit 1; }
debs=("$scratch"/out/rtplayer_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "FAIL: no rtplayer_*.deb made" >&2; exit 1; }
deb=${debs[0]}
contents=$(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./||')
dpkg-deb -x "$deb" "$scratch/root"

id=org.rtplayer.RtPlayer
metainfo=usr/share/metainfo/$id.metainfo.xml
for file in usr/bin/rtplayer usr/bin/rtplayer-cli usr/share/applications/$id.desktop \
  usr/share/icons/hicolor/scalable/apps/$id.svg "$metainfo" usr/share/man/man1/rtplayer.1.gz \
  usr/share/man/man1/rtplayer-cli.1.gz usr/share/doc/rtplayer/copyright; do
  grep -qx "$file" <<<"$contents" || fail "$file is not in the package"
done

# Every module the build made, in the library folder's rtplayer/, and no shared object elsewhere.
for module in "$build"/bin/rtplayer-*.so; do
  [ -e "$module" ] || continue
  grep -qE "^usr/lib/([^/]+/)?rtplayer/$(basename "$module")\$" <<<"$contents" ||
    fail "module $(basename "$module") is not under usr/lib/.../rtplayer/"
done
stray=$(grep -E '\.so(\.|$)' <<<"$contents" | grep -vE '^usr/lib/([^/]+/)?rtplayer/rtplayer-[^/]+\.so$' || true)
[ -z "$stray" ] || fail "shared objects outside the module folder: $stray"

desktop-file-validate "$scratch/root/usr/share/applications/$id.desktop" ||
  fail "desktop-file-validate refuses $id.desktop"

# The installed program runs and says the package's version.
upstream=$(dpkg-deb -f "$deb" Version | sed 's/-[^-]*$//')
said=$("$scratch/root/usr/bin/rtplayer-cli" --version) || fail "rtplayer-cli --version failed"
[ "$said" = "rtplayer-cli $upstream" ] || fail "rtplayer-cli --version says '$said', not $upstream"

# Software centres: the metainfo validates, launches the desktop file, offers the media types
# the desktop file declares, and its newest release is this version and the release notes'
# newest entry.
appstreamcli validate --no-net "$scratch/root/$metainfo" >"$scratch/validate.log" 2>&1 ||
  fail "appstreamcli refuses the metainfo: $(cat "$scratch/validate.log")"
xml=$(cat "$scratch/root/$metainfo")
grep -qF "<launchable type=\"desktop-id\">$id.desktop</launchable>" <<<"$xml" ||
  fail "the metainfo does not launch $id.desktop"
types=$(sed -n 's/^MimeType=//p' "$scratch/root/usr/share/applications/$id.desktop" | tr ';' '\n')
while IFS= read -r type; do
  [ -z "$type" ] || grep -qF "<mediatype>$type</mediatype>" <<<"$xml" ||
    fail "the metainfo does not provide $type"
done <<<"$types"
release=$(grep -oE '<release version="[^"]+" date="[^"]+"' <<<"$xml" | head -n 1)
release_version=$(sed -E 's/.*version="([^"]+)".*/\1/' <<<"$release")
release_date=$(sed -E 's/.*date="([^"]+)".*/\1/' <<<"$release")
[ "$release_version" = "$upstream" ] ||
  fail "the metainfo's newest release is '$release_version', not $upstream"
news=$(grep -m 1 -E '^## ' "$source/NEWS.md" || true)
[ "$news" = "## $release_version ($release_date)" ] ||
  fail "NEWS.md's newest entry is '$news', the metainfo's newest release $release_version of $release_date"

# The copyright file is machine-readable and names the licence Debian ships.
copyright=$scratch/root/usr/share/doc/rtplayer/copyright
head -n 1 "$copyright" | grep -qF 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
  fail "the copyright file is not in the machine-readable format"
grep -qx 'License: GPL-3+' "$copyright" || fail "the copyright file does not name GPL-3+"
grep -qF '/usr/share/common-licenses/GPL-3' "$copyright" ||
  fail "the copyright file does not point at /usr/share/common-licenses/GPL-3"

# The man pages are gzipped and list every fixed message the engine shows.
messages=$(perl -0ne 'print "$1\n" while /Text =\s*"([^"]+)"/g' "$source/engine/messages.h")
[ "$(wc -l <<<"$messages")" -ge 20 ] || fail "the engine's messages were not found"
for page in rtplayer rtplayer-cli; do
  text=$(zcat "$scratch/root/usr/share/man/man1/$page.1.gz") || fail "$page.1.gz is not gzip"
  while IFS= read -r message; do
    grep -qF "$message" <<<"$text" || fail "$page(1) does not list: $message"
  done <<<"$messages"
done

# Dependencies: the C library and Qt, each an installed Debian package; no -dev package and
# nothing of the build tree (dpkg-shlibdeps names packages only for libraries dpkg knows).
depends=$(dpkg-deb -f "$deb" Depends)
for needed in libc6 libqt6widgets6; do
  grep -qE "(^|, )$needed( |,|$)" <<<"$depends" || fail "Depends lacks $needed: $depends"
done
while IFS= read -r name; do
  case $name in *-dev) fail "Depends names a -dev package: $name" ;; esac
  dpkg-query -W "$name" >/dev/null 2>&1 || fail "Depends names $name, which is no installed package"
done < <(tr ',|' '\n\n' <<<"$depends" | sed 's/(.*)//; s/ //g' | grep -v '^$')

for field in Section Priority Maintainer Description; do
  [ -n "$(dpkg-deb -f "$deb" "$field")" ] || fail "the control file has no $field"
done

[ $failures -eq 0 ] || exit 1
echo "package $(basename "$deb"): contents and dependencies as expected"

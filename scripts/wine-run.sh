#!/usr/bin/env bash
# Runs a cross-built Windows program under Wine: the emulator CMake uses for
# the mingw build's tests and test discovery. Wine's own debug chatter is off;
# the Wine prefix lives in the mingw build tree unless WINEPREFIX says
# otherwise, so no state is kept outside the build directory.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
export WINEPREFIX="${WINEPREFIX:-$here/../build/mingw/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
# A 64-bit prefix unless the caller asks for a 32-bit one (preset mingw32).
export WINEARCH="${WINEARCH:-win64}"
# No desktop integration, no Mono or Gecko prompts when the prefix is made.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}"

# Debian's `wine` wrapper runs 32-bit Wine when it is installed and otherwise
# 64-bit Wine in a way that makes a broken 64-bit prefix ("could not load
# kernel32.dll"): a 64-bit program runs under Debian's 64-bit loader itself,
# so the 64-bit prefix works on a machine without wine32. 32-bit programs
# need wine32 (wine32:i386, scripts/setup.sh windows-x86).
wine=(wine)
if [ "$WINEARCH" = win64 ] && [ -x /usr/lib/wine/wine64 ]; then
  wine=(/usr/lib/wine/wine64)
  export WINELOADER=/usr/lib/wine/wine64
elif [ "$WINEARCH" = win32 ] && [ -d /usr/lib/wine ] && [ ! -x /usr/lib/wine/wine ]; then
  echo "wine-run.sh: 32-bit Wine is not installed (wine32:i386: scripts/setup.sh windows-x86)" >&2
  exit 127
fi

# The wineserver and Wine's own services (services.exe, winedevice.exe, ...)
# outlive the program that happens to start them and inherit its descriptors.
# Started by a test, they would hold ctest's output pipe open and ctest would
# wait for them; and a wineserver that quits three seconds after its last
# client makes a program started just then fail ("wine client error: recvmsg:
# Connection reset by peer"). So: one caller at a time (ctest runs tests in
# parallel) starts a server that stays a minute after its last client, then
# makes or boots the prefix, both detached from our descriptors. When the
# server is already up, `wineserver -p` exits non-zero and nothing is done.
# (-o: the lock is not handed down to the server, which would hold it.)
mkdir -p "$(dirname "$WINEPREFIX")"
flock -o "$WINEPREFIX.lock" bash -c '
  if wineserver -p60 </dev/null >/dev/null 2>&1; then
    "$@" wineboot --init </dev/null >/dev/null 2>&1 || true
  fi' wine-run "${wine[@]}"
exec "${wine[@]}" "$@"

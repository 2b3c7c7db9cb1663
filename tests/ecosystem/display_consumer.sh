#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds the HMI example, out of
# tree, against the installed rendering layer: through the CMake package's
# display component (examples/display_consumer) and by hand with
# `c++ hmi.cpp $(pkg-config --cflags --libs vq6120-display)`; then runs each
# for two cycles against the virtual terminal.
#   display_consumer.sh BUILD_DIR SOURCE_DIR SIMULATOR [PREFIX]
# With PREFIX, the files installed there (e.g. an unpacked -dev package) are
# used instead of installing the build.
set -euo pipefail
build=$(realpath "$1") source=$(realpath "$2") sim=$(realpath "$3")
work="$build/display-consumer-check"
# shellcheck source=prefix.sh
. "$(dirname "$0")/prefix.sh"
usable_prefix "$build" "$work" vq6120-display "${@:4}"
mkdir -p "$work"
# Nothing of the source tree but the example: the headers come from the prefix.
cp -r "$source/examples/display_consumer" "$source/examples/hmi.cpp" "$source/examples/hmi_logo.pgm" "$work/"
cmake -S "$work/display_consumer" -B "$work/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/build" >/dev/null
# shellcheck disable=SC2046
c++ -std=c++20 -o "$work/build/hmi_by_hand" "$work/hmi.cpp" -DVQ6120_HMI_LOGO="\"$work/hmi_logo.pgm\"" \
    $(pkg-config --cflags --libs vq6120-display)

for hmi in hmi_cmake hmi_pkgconfig hmi_by_hand; do
  loaded=$(LD_LIBRARY_PATH="$libdir" ldd "$work/build/$hmi")
  grep -q "$libdir/libVQ6120_LIB.so.1" <<<"$loaded" || { echo "$hmi does not load the prefix's library:"; echo "$loaded"; exit 1; }
  out=$(LD_LIBRARY_PATH="$libdir" "$(dirname "$0")/with_simulator.sh" "$sim" "$work/build/$hmi" @HOST@:@PORT@ 2)
  echo "$hmi: $out"
  [ "$(grep -c '^cycle [0-9]*: [1-9][0-9]* commands' <<<"$out")" -eq 2 ] || { echo "$hmi did not sync twice"; exit 1; }
done

#!/usr/bin/env bash
# Installs the library into a scratch prefix, builds the out-of-tree consumer
# project against it (CMake package and pkg-config), and runs both consumers
# against the virtual terminal.
#   consumers.sh BUILD_DIR SOURCE_DIR SIMULATOR
set -euo pipefail
build=$(realpath "$1") source=$(realpath "$2") sim=$(realpath "$3")
work="$build/consumer-check"
rm -rf "$work"
cmake --install "$build" --prefix "$work/prefix" >/dev/null
libdir=$(ls -d "$work/prefix"/lib*)
PKG_CONFIG_PATH="$libdir/pkgconfig" cmake -S "$source/examples/consumer" -B "$work/build" -G Ninja \
      -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/build" >/dev/null
for consumer in consumer_cmake consumer_pkgconfig; do
  # The installed library, not the build tree's, must be the one loaded.
  # (ldd's output is taken whole first: grep -q stopping early would make the
  # pipeline fail under pipefail.)
  loaded=$(LD_LIBRARY_PATH="$libdir" ldd "$work/build/$consumer")
  grep -q "$libdir/libVQ6120_LIB.so.1" <<<"$loaded"
  LD_LIBRARY_PATH="$libdir" "$(dirname "$0")/with_simulator.sh" "$sim" "$work/build/$consumer" @HOST@ @PORT@
done

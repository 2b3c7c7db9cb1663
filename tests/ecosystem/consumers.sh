#!/usr/bin/env bash
# Installs the library into a scratch prefix, builds the out-of-tree C
# consumer project against it (CMake package and pkg-config, shared and
# static), links the static library once more the way a C programmer does by
# hand (`cc ... $(pkg-config --static --libs VQ6120_LIB)`), checks that the
# installed C++ headers compile on their own, and runs every
# consumer against the virtual terminal.
#   consumers.sh BUILD_DIR SOURCE_DIR SIMULATOR [PREFIX]
# With PREFIX, the library installed there (e.g. an unpacked -dev package)
# is used instead of installing the build.
set -euo pipefail
build=$(realpath "$1") source=$(realpath "$2") sim=$(realpath "$3")
work="$build/consumer-check"
# shellcheck source=prefix.sh
. "$(dirname "$0")/prefix.sh"
usable_prefix "$build" "$work" VQ6120_LIB "${@:4}"
cmake -S "$source/examples/consumer" -B "$work/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/build" >/dev/null
# Static on the command line: -Bstatic picks libVQ6120_LIB.a next to the .so.
# shellcheck disable=SC2046
cc -std=c99 -o "$work/build/consumer_pkgconfig_static" "$source/examples/consumer/consumer.c" \
   $(pkg-config --cflags VQ6120_LIB) -Wl,-Bstatic $(pkg-config --static --libs VQ6120_LIB) -Wl,-Bdynamic

# The header-only C++ face compiles from the installed headers alone: every
# part vq6120.hpp includes (the Poller's among them) was installed.
c++ -std=c++20 -fsyntax-only -I"$prefix/include" -x c++ - <<<'#include <vq6120.hpp>'

for consumer in consumer_cmake consumer_pkgconfig consumer_cmake_static consumer_pkgconfig_static; do
  # The installed library, not the build tree's, must be the one loaded, and
  # the static consumers load none. (ldd's output is taken whole first: grep
  # -q stopping early would make the pipeline fail under pipefail.)
  loaded=$(LD_LIBRARY_PATH="$libdir" ldd "$work/build/$consumer")
  case $consumer in
    *_static) ! grep -q "libVQ6120_LIB" <<<"$loaded" ;;
    *) grep -q "$libdir/libVQ6120_LIB.so.1" <<<"$loaded" ;;
  esac
  LD_LIBRARY_PATH="$libdir" "$(dirname "$0")/with_simulator.sh" "$sim" "$work/build/$consumer" @HOST@ @PORT@
done

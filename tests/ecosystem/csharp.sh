#!/usr/bin/env bash
# Compiles the C# example with Mono's compiler and runs it on Mono against
# the virtual terminal, loading the shared library from LIBDIR.
#   csharp.sh SOURCE_DIR BUILD_DIR LIBDIR SIMULATOR
set -euo pipefail
source=$1 build=$2 libdir=$3 sim=$4
mkdir -p "$build"
mcs -warnaserror -out:"$build/Vq6120Example.exe" "$source/examples/csharp/Vq6120Example.cs"
# Maps the library to its SONAME, which is all a runtime install has.
cp "$source/examples/csharp/Vq6120Example.exe.config" "$build/"
LD_LIBRARY_PATH="$libdir" "$(dirname "$0")/with_simulator.sh" "$sim" mono "$build/Vq6120Example.exe" @HOST@ @PORT@

#!/usr/bin/env bash
# Makes the NuGet package Vq6120 in one command:
#   pack-dotnet.sh OUTDIR
# builds the native library for every runtime this machine can build
# (linux-x64 with preset gcc, win-x64 with preset mingw, win-x86 with preset
# mingw32 when the i686 MinGW compiler is there: without it the package goes
# out without win-x86, said loudly), checks each Windows DLL's export table
# and that it depends on nothing beyond Windows' own DLLs, then `dotnet pack`s
# dotnet/Vq6120 with the library's version (from CMakeLists.txt) and leaves
# OUTDIR/Vq6120.<version>.nupkg (1.31 makes Vq6120.1.31.0.nupkg). Exit status 0 when the package was made.
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 OUTDIR" >&2; exit 2; }
cd "$(dirname "$0")/.."
root=$(pwd)
mkdir -p "$1"
out=$(cd "$1" && pwd)

version=$(sed -nE 's/^project\(VQ6120_LIB VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "no version in CMakeLists.txt" >&2; exit 1; }
# NuGet writes three parts: 1.31 is 1.31.0.
[[ $version == *.*.* ]] || version=$version.0

# Windows' own DLLs, and the C runtime every Windows has.
windows_dlls='^(kernel32|ws2_32|msvcrt|advapi32|user32|ntdll|bcrypt|api-ms-win-.*)\.dll$'

native() {   # PRESET: builds the library with that preset
  [ -f "build/$1/build.ninja" ] ||
    CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" --target VQ6120_LIB -- -j2 >/dev/null
}

check_dll() {   # DLL OBJDUMP
  scripts/check-dll-exports.sh "$1" src/VQ6120_LIB.def "$2"
  local name bad=0
  while read -r name; do
    if ! grep -qiE "$windows_dlls" <<<"$name"; then
      echo "$1 depends on $name, which Windows does not bring" >&2
      bad=1
    fi
  done < <("$2" -p "$1" | sed -n 's/^[[:space:]]*DLL Name: //p')
  [ "$bad" -eq 0 ]
}

props=(-p:Version="$version")
native gcc
props+=(-p:NativeDir_linux_x64="$root/build/gcc/src")
echo "linux-x64: build/gcc/src/libVQ6120_LIB.so"

windows() {   # PRESET TRIPLET RID SETUP_GROUP: one Windows DLL, built and checked
  if ! command -v "$2-g++" >/dev/null; then
    echo "WARNING: $2-g++ not found: the package has NO $3 library (scripts/setup.sh $4)" >&2
    return
  fi
  native "$1"
  check_dll "build/$1/bin/VQ6120_LIB.dll" "$2-objdump"
  props+=(-p:NativeDir_${3//-/_}="$root/build/$1/bin")
  echo "$3: build/$1/bin/VQ6120_LIB.dll (exports and dependencies checked)"
}
windows mingw x86_64-w64-mingw32 win-x64 mingw-x64
windows mingw32 i686-w64-mingw32 win-x86 mingw-i686

rm -f "$out/Vq6120.$version.nupkg"
dotnet pack dotnet/Vq6120/Vq6120.csproj -c Release -o "$out" --nologo -v quiet "${props[@]}"
echo "$out/Vq6120.$version.nupkg"

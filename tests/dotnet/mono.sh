#!/usr/bin/env bash
# The netstandard2.0 build of Vq6120 as a .NET Framework host loads it: the
# xunit tests built for .NET Framework 4.8 (MonoTests=true) and run on
# Debian's Mono with xunit's console runner, against the gcc build's native
# library and virtual terminal.
#   mono.sh [SOURCE_DIR]
set -euo pipefail
root=$(cd "${1:-$(dirname "$0")/../..}" && pwd)
out=$root/build/dotnet/mono-tests
export DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1
# (The next net10.0 build restores its own assets again.)
dotnet build "$root/dotnet/Vq6120.Tests" -c Release --nologo -v quiet -p:MonoTests=true -o "$out" >/dev/null
runner=$(find "${NUGET_PACKAGES:-$HOME/.nuget/packages}/xunit.runner.console/2.4.1/tools/net472" -name xunit.console.exe)
cd "$out"
mono "$runner" Vq6120.Tests.dll -noshadow -parallel none

#!/usr/bin/env bash
# The .NET package from end to end, after a gcc build (scripts/test.sh runs
# it so): makes it (scripts/pack-dotnet.sh into build/dotnet/packages) and
# checks its layout; a fresh console project takes it from that folder and
# runs the first C# program of docs/dotnet.md against the virtual terminal,
# which must print what the page says, and compiles the page's other C#
# fragments with it. (The xunit tests, on .NET and on Mono,
# are ctest's ecosystem.dotnet and ecosystem.dotnet_mono.)
# Restores work offline: the package folder, /opt/nuget/packages and the
# machine's registry (dotnet/nuget.config).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
export DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1 DOTNET_SKIP_FIRST_TIME_EXPERIENCE=1
sim=$root/build/gcc/tools/vq6120-sim/vq6120-sim
packages=$root/build/dotnet/packages
failed=0
fail() { echo "FAILED: $*"; failed=1; }

scripts/pack-dotnet.sh "$packages"
version=$(sed -nE 's/^project\(VQ6120_LIB VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)
[[ $version == *.*.* ]] || version=$version.0
nupkg=$packages/Vq6120.$version.nupkg

# ---- The package's layout ---------------------------------------------------
entries=$(unzip -Z1 "$nupkg")
for want in lib/netstandard2.0/Vq6120.dll lib/netstandard2.0/Vq6120.xml lib/net8.0/Vq6120.dll lib/net8.0/Vq6120.xml \
            runtimes/linux-x64/native/libVQ6120_LIB.so runtimes/win-x64/native/VQ6120_LIB.dll \
            runtimes/win-x86/native/VQ6120_LIB.dll README.md LICENSE.txt; do
  grep -qxF "$want" <<<"$entries" || fail "the package lacks $want"
done
nuspec=$(unzip -p "$nupkg" Vq6120.nuspec)
grep -q "<version>$version</version>" <<<"$nuspec" || fail "the package's version is not $version"
grep -q "<readme>README.md</readme>" <<<"$nuspec" || fail "the package names no README"
grep -q '<license type="file">LICENSE.txt</license>' <<<"$nuspec" || fail "the package names no licence file"
echo "package layout: checked ($(wc -l <<<"$entries") entries)"

# ---- A consumer from nothing --------------------------------------------------
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The first C# block of docs/dotnet.md is the program; the first text block
# after it is what it prints. Every later C# block is a fragment of a program
# that has a CancellationToken named cancellationToken: each is compiled into
# the same project as the body of a method of its own, so that a name the
# page uses and the package lacks fails the check.
python3 - docs/dotnet.md "$work/Program.cs" "$work/expected.txt" "$work/Fragments.cs" <<'EOF'
import re, sys
text = open(sys.argv[1]).read()
blocks = list(re.finditer(r"^```csharp\n(.*?)^```$", text, re.M | re.S))
program = blocks[0]
printed = re.search(r"^```text\n(.*?)^```$", text[program.end():], re.M | re.S)
open(sys.argv[2], "w").write(program.group(1))
open(sys.argv[3], "w").write(printed.group(1))
with open(sys.argv[4], "w") as out:
    out.write("using System;\nusing System.Net;\nusing System.Threading;\nusing System.Threading.Tasks;\nusing Vq6120;\n\n"
              "static class Fragments\n{\n")
    for i, block in enumerate(blocks[1:], 2):
        out.write(f"    public static async Task Block{i}(CancellationToken cancellationToken)\n    {{\n")
        out.write(block.group(1))
        out.write("        await Task.CompletedTask;\n    }\n")
    out.write("}\n")
EOF
(
  cd "$work"
  export NUGET_PACKAGES=$work/nuget-cache   # a fresh cache: never an older package of the same version
  dotnet new console -o MyHmi --no-restore >/dev/null
  cd MyHmi
  cp "$work/Program.cs" "$work/Fragments.cs" .
  dotnet add package Vq6120 --version "$version" --source "$packages" >/dev/null
  dotnet build -c Release --nologo -v quiet -o out >/dev/null
  "$root/tests/ecosystem/with_simulator.sh" "$sim" dotnet out/MyHmi.dll @HOST@ @PORT@ >"$work/printed.txt"
) || fail "the consumer program did not build or run (exit status $?)"
if diff -u "$work/expected.txt" "$work/printed.txt"; then
  echo "consumer from nothing: printed what docs/dotnet.md says; the page's other C# fragments compile"
else
  fail "the consumer printed something else than docs/dotnet.md says"
fi

[ "$failed" -eq 0 ]

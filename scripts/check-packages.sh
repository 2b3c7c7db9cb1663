#!/usr/bin/env bash
# The build as a packager makes it: a plain Release build (no preset; warnings
# as errors, so the optimiser's warnings show here first) into /usr, its
# Debian packages from `cpack -G DEB`, their names, sections, dependencies and
# contents checked, and the C consumers built against the -dev package
# unpacked into a scratch folder, run against the unpacked tools' simulator.
# Expects the packages of scripts/setup.sh (group packages: dpkg-dev, help2man).
#   check-packages.sh [BUILD_DIR]     (default build/deb, as in the README)
set -euo pipefail
cd "$(dirname "$0")/.."
source=$(pwd)
build=$(realpath -m "${1:-build/deb}")

# -Wrestrict stays a warning: g++ 12 at -O3 reports `"literal" + std::string`
# inside libstdc++ as an overlapping copy, a known false positive.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DVQ6120_WERROR=ON \
      -DCMAKE_CXX_FLAGS=-Wno-error=restrict \
      -DVQ6120_BUILD_TESTS=OFF -DVQ6120_BUILD_BENCHMARKS=OFF -DVQ6120_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build"
rm -rf "$build/packages"
(cd "$build" && cpack -G DEB >/dev/null)

version=$(sed -n 's/^project(VQ6120_LIB VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
major=${version%%.*}
[ "$(sed -n 's/^version = "\(.*\)"/\1/p' python/pyproject.toml)" = "$version" ] ||
  { echo "python/pyproject.toml's version is not the project's $version" >&2; exit 1; }
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
libdir=usr/lib/$multiarch
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

deb() {   # the one package file of that name
  local files=("$build"/packages/"$1"_*.deb)
  [ -f "${files[0]}" ] || { echo "no package $1 in $build/packages" >&2; exit 1; }
  echo "${files[0]}"
}
# expect PACKAGE SECTION DEPENDS-REGEX PATH... : the control fields, and each
# path in the contents ("!PATH": absent).
expect() {
  local package=$1 section=$2 depends=$3 file contents field
  shift 3
  file=$(deb "$package")
  field=$(dpkg-deb -f "$file" Section)
  [ "$field" = "$section" ] || fail "$package: section '$field', expected '$section'"
  field=$(dpkg-deb -f "$file" Depends)
  grep -Eq "$depends" <<<"$field" || fail "$package: depends '$field', expected /$depends/"
  contents=$(dpkg-deb -c "$file" | awk '{ print $6 }' | sed 's|^\./||')
  for path in "$@"; do
    if [[ $path == !* ]]; then
      ! grep -qx "${path#!}" <<<"$contents" || fail "$package: contains ${path#!}"
    else
      grep -qx "$path" <<<"$contents" || fail "$package: lacks $path"
    fi
  done
}

runtime=libvq6120-lib$major
same_version="\\(= $version[^)]*\\)"
expect "$runtime" libs '(^|, )libc6 ' \
  "$libdir/libVQ6120_LIB.so.$version" "$libdir/libVQ6120_LIB.so.$major" \
  "!$libdir/libVQ6120_LIB.so" "!$libdir/libVQ6120_LIB.a" "!usr/include/VQ6120_LIB.h"
expect libvq6120-lib-dev libdevel "$runtime $same_version" \
  usr/include/VQ6120_LIB.h "$libdir/libVQ6120_LIB.a" "$libdir/libVQ6120_LIB.so" \
  usr/include/vq6120.hpp usr/include/vq6120/endpoint.hpp usr/include/vq6120/events.hpp \
  usr/include/vq6120/terminal.hpp usr/include/vq6120/reasons.hpp usr/include/vq6120/poller.hpp \
  usr/include/vq6120/poller/config.hpp usr/include/vq6120/poller/backoff.hpp \
  usr/include/vq6120/poller/liveness.hpp usr/include/vq6120/poller/send_progress.hpp \
  usr/include/vq6120/poller/due_heap.hpp usr/include/vq6120/poller/posted.hpp usr/include/vq6120/detail/reactor.hpp \
  usr/include/vq6120/detail/stall_rule.hpp \
  "$libdir/cmake/VQ6120_LIB/VQ6120_LIBConfig.cmake" "$libdir/pkgconfig/VQ6120_LIB.pc" \
  usr/share/doc/VQ6120_LIB/README.md usr/share/doc/VQ6120_LIB/reference.md \
  usr/share/doc/VQ6120_LIB/examples/consumer/consumer.c "!$libdir/libVQ6120_LIB.so.$major" \
  "$libdir/libvq6120-display.a" usr/include/vq6120/display/render.hpp usr/include/vq6120/screen/canvas.hpp \
  "$libdir/cmake/VQ6120/VQ6120Config.cmake" "$libdir/cmake/VQ6120/VQ6120DisplayTargets.cmake" \
  "$libdir/pkgconfig/vq6120-display.pc"
# shlibdeps: the gateway's MQTT and SQLite libraries, the programs' own library.
# The programs, their man pages (help2man, at build time), the gateway's
# systemd unit, a sample configuration and a Node-RED flow.
command -v help2man >/dev/null || fail "help2man is not installed: the tools have no man pages (scripts/setup.sh packages)"
tools=(vq6120 vq6120-sim vq6120-gateway)
man_pages=("${tools[@]/#/usr/share/man/man1/}")
unit=usr/lib/systemd/system/vq6120-gateway@.service
sample=usr/share/doc/vq6120-tools/examples/gateway.json
samples=("$sample" usr/share/doc/vq6120-tools/examples/node-red/key-to-led.json)
expect vq6120-tools utils "$runtime $same_version.*libmosquitto|libmosquitto.*$runtime $same_version" \
  "${tools[@]/#/usr/bin/}" "${man_pages[@]/%/.1.gz}" "$unit" "${samples[@]}"
dpkg-deb -f "$(deb vq6120-tools)" Depends | grep -q 'libsqlite3-0' ||
  fail "vq6120-tools: depends lacks libsqlite3-0 (the gateway's event store)"
expect python3-vq6120 python "python3.*$runtime|$runtime.*python3" \
  usr/lib/python3/dist-packages/vq6120/__init__.py usr/lib/python3/dist-packages/vq6120/terminal.py \
  usr/lib/python3/dist-packages/vq6120/constants.py
[ "$(dpkg-deb -f "$(deb python3-vq6120)" Architecture)" = all ] || fail "python3-vq6120 is not Architecture: all"

# The runtime package's library carries its SONAME, and shlibs names the package.
scratch="$build/package-check"
rm -rf "$scratch"
mkdir -p "$scratch/root"
for f in "$build"/packages/*.deb; do dpkg-deb -x "$f" "$scratch/root"; done
soname=$(objdump -p "$scratch/root/$libdir/libVQ6120_LIB.so.$version" | awk '$1 == "SONAME" { print $2 }')
[ "$soname" = "libVQ6120_LIB.so.$major" ] || fail "SONAME '$soname'"
dpkg-deb -e "$(deb "$runtime")" "$scratch/control"
grep -q "^libVQ6120_LIB $major $runtime" "$scratch/control/shlibs" || fail "shlibs: $(cat "$scratch/control/shlibs")"

# The installed programs have no RUNPATH into the build tree (the system's
# library folder needs none).
if readelf -d "$scratch/root/usr/bin/vq6120" | grep -q 'R.*PATH'; then fail "vq6120 has a RUNPATH in /usr"; fi

# Each man page is one (its name line from --help), the unit runs the
# packaged program on a file of /etc/vq6120, and the packaged gateway accepts
# the sample configuration.
for tool in "${tools[@]}"; do
  page="$scratch/root/usr/share/man/man1/$tool.1.gz"
  [ ! -f "$page" ] || zcat "$page" | grep -q "^\.TH \"*${tool^^}" || fail "$tool.1.gz is not its man page"
done
if [ -f "$scratch/root/$unit" ]; then
  grep -qx "ExecStart=/usr/bin/vq6120-gateway /etc/vq6120/%i.json" "$scratch/root/$unit" ||
    fail "the unit does not run /usr/bin/vq6120-gateway on /etc/vq6120/%i.json"
fi
[ ! -f "$scratch/root/$sample" ] || "$scratch/root/usr/bin/vq6120-gateway" --check "$scratch/root/$sample" >/dev/null ||
  fail "the packaged gateway refuses the sample configuration"

# A consumer builds against the unpacked -dev package and runs.
tests/ecosystem/consumers.sh "$build" "$source" "$scratch/root/usr/bin/vq6120-sim" "$scratch/root/usr" \
  || fail "consumers against the unpacked -dev package"
tests/ecosystem/display_consumer.sh "$build" "$source" "$scratch/root/usr/bin/vq6120-sim" "$scratch/root/usr" \
  || fail "the HMI example against the unpacked -dev package's rendering layer"

if [ "$failures" -ne 0 ]; then
  echo "$failures package check(s) failed" >&2
  exit 1
fi
echo "packages: $(cd "$build/packages" && echo *.deb) checked"

#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and test everything.
# Packages already present are left alone; apt is only touched when needed.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev   # compilers and sanitizer runtimes
  libgtest-dev libbenchmark-dev                    # tests and benchmarks
  libstb-dev libcli11-dev pkg-config               # the virtual terminal and tools
  libfreetype-dev fonts-dejavu-core                # the display layer: fonts rendered to one bit
  libmosquitto-dev nlohmann-json3-dev libssl-dev   # the MQTT gateway (libcrypto: base64)
  mosquitto mosquitto-clients                      # the broker its tests and benchmark run
  libcpp-httplib-dev                               # the simulator's live view (with nlohmann-json)
  chromium                                         # the live view's browser test
  python3 mono-mcs mono-runtime                    # the Python binding and the C# example
  python3-pip python3-setuptools python3-wheel     # pip install ./python, offline
  python3-venv iproute2                            # the README check: a venv, a private loopback
  dpkg-dev file                                    # cpack -G DEB: dpkg-shlibdeps
  openssl                                          # certificates for the gateway's TLS test
  binutils                                         # nm, for the export check
  g++-mingw-w64-x86-64-posix googletest            # the Windows cross build (GoogleTest from source)
  wine wine64                                      # running the Windows tests
  g++-mingw-w64-i686-posix wine32:i386             # the 32-bit Windows build and its tests
)

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
# wine32 is an i386 package: the architecture must be known to dpkg first.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo_cmd[@]}" dpkg --add-architecture i386
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Node.js and npm for the browser test's driver (any Node 18 or later will do:
# a machine that has one keeps it).
if ! command -v npm >/dev/null; then
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends nodejs npm
fi
# playwright-core at the version the lock file names; it uses Debian's chromium.
web_tests="$(dirname "$0")/../tests/web"
if [ ! -d "$web_tests/node_modules/playwright-core" ]; then
  (cd "$web_tests" && npm ci --no-audit --no-fund --silent)
fi

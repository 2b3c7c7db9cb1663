#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks, in groups: each group is
# installed on its own, so a group that cannot be installed today (a mirror
# mid-sync, an architecture's index failing) does not stop the others.
# Packages already present are left alone; apt is only touched when needed.
#
#   setup.sh [GROUP...]          install these groups (default: every group)
#   setup.sh --list              the groups, what each is for and what it holds
#   setup.sh --status [GROUP...] install nothing: one line per group that is
#                                not all there, "GROUP<TAB>what is missing and why"
#
# `apt-get update` is retried a few times; when it still fails, setup goes on
# with the package lists the machine has. A group that could not be installed
# is named on one loud line and recorded in build/setup/unavailable
# ("GROUP<TAB>what is missing and why"), which scripts/test.sh reads to skip
# exactly the suites that need it. Exit status: 0 when every group asked for
# is there, 1 otherwise.
#
# For tests of this script (tests/setup), nothing here touches the system:
#   VQ6120_SETUP_TOOLS=DIR       apt-get, dpkg, dpkg-query and npm are taken from
#                                DIR only (never the system's, never through sudo),
#                                and DIR/runs PATH says whether PATH would run
#   VQ6120_SETUP_RECORD=FILE     the record instead of build/setup/unavailable
#   VQ6120_SETUP_RETRY_DELAY=S   seconds between `apt-get update` attempts (5)
set -uo pipefail   # no -e: one failing group must not end the run
cd "$(dirname "$0")/.."
root=$(pwd)

# ---------------------------------------------------------------------------
# The groups: the one place to add a package or a group. Each line:
#   group NAME "what it is for" ITEM...
# where an ITEM is
#   PKG or PKG:ARCH          a Debian package
#   arch:ARCH                a foreign architecture dpkg must know first
#   command:CMD=PKG,PKG...   present when CMD is on PATH (any origin), else these packages
#   npm:DIR                  `npm ci` in DIR of the tree (its package-lock.json)
#   runs:PATH                present when `PATH --version` runs here: a program
#                            the group's packages bring that this machine must
#                            also be able to execute (a kernel without 32-bit
#                            support installs 32-bit Wine but cannot run it)
# scripts/test.sh names the suites each group's absence skips; tests that
# need an optional group carry its name as a ctest LABEL.
groups=()
declare -A group_for group_items
group() { groups+=("$1"); group_for[$1]=$2; group_items[$1]="${*:3}"; }

group demo "the demo: compilers, CMake, the library, the simulator and the CLI" \
  cmake ninja-build gcc g++ pkg-config libstb-dev libcli11-dev nlohmann-json3-dev libcpp-httplib-dev
group tests "the test suites: clang and its sanitizers, GoogleTest, Google Benchmark, the display layer, the MQTT gateway (it is built with its Sparkplug payloads and its SQLite event store) and its broker, Python, the README check" \
  clang libclang-rt-14-dev libgtest-dev libbenchmark-dev \
  libfreetype-dev libspng-dev fonts-dejavu-core \
  libmosquitto-dev libsqlite3-dev libssl-dev libsystemd-dev libprotobuf-c-dev protobuf-c-compiler mosquitto mosquitto-clients openssl \
  python3 python3-pip python3-setuptools python3-wheel python3-venv iproute2 binutils
group packages "the Debian packages and their check: dpkg-shlibdeps, the man pages" \
  dpkg-dev file help2man
group browser "the live view's test in a headless browser" \
  chromium command:npm=nodejs,npm npm:tests/web
# The Windows cross compilers are groups of their own: the .NET package needs
# the DLLs they build (and their objdump), not Wine to run anything, so it is
# made on a kernel that runs no 32-bit programs too.
group mingw-x64 "the 64-bit Windows cross build: VQ6120_LIB.dll and objdump for its checks" \
  g++-mingw-w64-x86-64-posix
group mingw-i686 "the 32-bit Windows cross build: VQ6120_LIB.dll and objdump for its checks" \
  g++-mingw-w64-i686-posix
group windows-x64 "the 64-bit Windows tests under 64-bit Wine" \
  googletest wine wine64
group windows-x86 "the 32-bit Windows tests under 32-bit Wine" \
  arch:i386 googletest wine wine32:i386 runs:/usr/lib/wine/wine
group csharp "C# and .NET: the package Vq6120 and its tests (the .NET SDK is on CI machines already, not from Debian), Mono for its netstandard2.0 build, unzip for the package's check" \
  mono-runtime mono-devel unzip runs:/usr/bin/dotnet
group plant-gateway "the plant gateway checked by others' implementations: the Sparkplug decoder, the metrics' format check, Node-RED" \
  prometheus command:npm=nodejs,npm npm:tests/gateway
# ---------------------------------------------------------------------------

record=${VQ6120_SETUP_RECORD:-$root/build/setup/unavailable}
retry_delay=${VQ6120_SETUP_RETRY_DELAY:-5}
if [ -n "${VQ6120_SETUP_TOOLS:-}" ]; then
  apt_get=("$VQ6120_SETUP_TOOLS/apt-get") dpkg=("$VQ6120_SETUP_TOOLS/dpkg")
  dpkg_query=("$VQ6120_SETUP_TOOLS/dpkg-query") npm=("$VQ6120_SETUP_TOOLS/npm")
  has_command() { [ -x "$VQ6120_SETUP_TOOLS/$1" ]; }
  npm_current() { (cd "$root/$1" && "${npm[@]}" ls --silent >/dev/null 2>&1); }
  runs() { "$VQ6120_SETUP_TOOLS/runs" "$1" >/dev/null 2>&1; }
  run_error() { "$VQ6120_SETUP_TOOLS/runs" "$1" 2>&1; }
else
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  # Another apt run on the machine holds the lock for a while: wait for it.
  apt_get=("${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600)
  dpkg=("${sudo_cmd[@]}" dpkg) dpkg_query=(dpkg-query) npm=(npm)
  has_command() { command -v "$1" >/dev/null; }
  # npm writes its record of node_modules last (what `npm ls` reads, in a
  # fraction of the time on a large tree).
  npm_current() { [ "$root/$1/node_modules/.package-lock.json" -nt "$root/$1/package-lock.json" ]; }
  runs() { [ -x "$1" ] && "$1" --version >/dev/null 2>&1; }
  run_error() { "$1" --version 2>&1 | head -n 1 | sed -E 's/^.*: line [0-9]+: //'; }
fi

# The packages installed now, by name and by name:architecture, read once
# and again after each install.
declare -A installed
read_installed() {
  local binary package status
  installed=()
  while read -r binary package status; do
    [ "$status" != ii ] || installed[$binary]=1 installed[$package]=1
  done < <("${dpkg_query[@]}" -W -f='${binary:Package} ${Package} ${db:Status-Abbrev}\n' 2>/dev/null)
}

# What of a group is not there now, one item per line.
missing_items() {
  local item cmd
  for item in ${group_items[$1]}; do
    case $item in
      arch:*)
        [ "$("${dpkg[@]}" --print-architecture)" = "${item#arch:}" ] ||
          "${dpkg[@]}" --print-foreign-architectures | grep -qx "${item#arch:}" || echo "$item" ;;
      command:*)
        cmd=${item#command:}
        has_command "${cmd%%=*}" || echo "$item" ;;
      npm:*)
        has_command npm && npm_current "${item#npm:}" || echo "$item" ;;
      runs:*)
        runs "${item#runs:}" || echo "$item" ;;
      *)
        [ -n "${installed[$item]+set}" ] || echo "$item" ;;
    esac
  done
}

# The record: one line per group that is not there, with the reason.
recorded_reason() { [ -f "$record" ] && awk -F'\t' -v g="$1" '$1 == g { print $2 }' "$record"; }
set_record() {   # GROUP [REASON]: REASON recorded, or the group's line removed
  mkdir -p "$(dirname "$record")"
  touch "$record"
  awk -F'\t' -v g="$1" '$1 != g' "$record" >"$record.new"
  [ $# -lt 2 ] || printf '%s\t%s\n' "$1" "$2" >>"$record.new"
  mv "$record.new" "$record"
}

updated=0
apt_update() {   # once per run; retried, then we go on with the lists we have
  [ "$updated" -eq 0 ] || return 0
  updated=1
  local attempt out
  for attempt in 1 2 3; do
    if out=$("${apt_get[@]}" update -qq 2>&1); then
      return 0
    fi
    echo "setup: apt-get update failed (attempt $attempt of 3): $(grep -E '^(E|W):' <<<"$out" | head -n 1)" >&2
    [ "$attempt" -eq 3 ] || sleep "$retry_delay"
  done
  echo "setup: apt-get update failed 3 times; going on with the package lists this machine has" >&2
  update_failure=$(grep -E '^E:' <<<"$out" | head -n 1)
}
update_failure=""

# Installs one group; returns non-zero (and says why on one loud line, and
# records it) when it is not all there afterwards.
install_group() {
  local name=$1 item packages=() out why still
  local -a missing
  mapfile -t missing < <(missing_items "$name")
  if ((${#missing[@]} == 0)); then
    set_record "$name"
    return 0
  fi
  echo "setup: $name (${group_for[$name]}): installing ${missing[*]}"
  for item in "${missing[@]}"; do
    case $item in
      # The new architecture's package lists come with the next update.
      arch:*) "${dpkg[@]}" --add-architecture "${item#arch:}" && updated=0 ;;
    esac
  done
  for item in "${missing[@]}"; do
    case $item in
      arch:*|npm:*|runs:*) ;;
      command:*) item=${item#*=}; packages+=(${item//,/ }) ;;
      *) packages+=("$item") ;;
    esac
  done
  why=""
  if ((${#packages[@]})); then
    apt_update
    if ! out=$("${apt_get[@]}" install -y -qq --no-install-recommends "${packages[@]}" 2>&1); then
      why="apt-get install: $(grep -E '^E:' <<<"$out" | head -n 1)"
      [ -z "$update_failure" ] || why="$why; after apt-get update failed: $update_failure"
    fi
  fi
  for item in "${missing[@]}"; do
    if [[ $item == npm:* ]] && [ -z "$why" ]; then
      out=$(cd "$root/${item#npm:}" && "${npm[@]}" ci --no-audit --no-fund --silent 2>&1) ||
        why="npm ci in ${item#npm:}: $(tail -n 1 <<<"$out")"
    fi
  done
  read_installed
  mapfile -t still < <(missing_items "$name")
  if ((${#still[@]} == 0)); then
    set_record "$name"
    return 0
  fi
  for item in "${still[@]}"; do
    if [[ $item == runs:* ]] && [ -z "$why" ]; then
      why="${item#runs:} is installed but does not run here: $(run_error "${item#runs:}")"
    fi
  done
  [ -n "$why" ] || why="still missing after the install"
  why="missing ${still[*]} (${why})"
  echo "setup: UNAVAILABLE $name (${group_for[$name]}): $why" >&2
  set_record "$name" "$why"
  return 1
}

mode=install
case ${1:-} in
  --list)
    for name in "${groups[@]}"; do printf '%-14s %s\n%14s %s\n' "$name" "${group_for[$name]}" "" "${group_items[$name]}"; done
    exit 0 ;;
  --status) mode=status; shift ;;
esac
requested=("$@")
((${#requested[@]})) || requested=("${groups[@]}")
for name in "${requested[@]}"; do
  [ -n "${group_for[$name]+set}" ] || { echo "setup: no group '$name' (scripts/setup.sh --list)" >&2; exit 2; }
done

read_installed
if [ "$mode" = status ]; then
  for name in "${requested[@]}"; do
    mapfile -t missing < <(missing_items "$name")
    ((${#missing[@]})) || continue
    why=$(recorded_reason "$name")
    printf '%s\t%s\n' "$name" "${why:-missing ${missing[*]} (not installed: scripts/setup.sh $name)}"
  done
  exit 0
fi

status=0
for name in "${requested[@]}"; do
  install_group "$name" || status=1
done
exit "$status"

#!/usr/bin/env bash
# scripts/setup.sh and scripts/test.sh's skip logic on a day when the mirror
# is bad: `apt-get update` fails every time and one group's package has no
# installation candidate. apt-get, dpkg, dpkg-query and npm are fakes
# (VQ6120_SETUP_TOOLS) that record what they are asked and change nothing
# outside a scratch folder; the record of unavailable groups goes there too.
#   setup_test.sh SOURCE_DIR
set -uo pipefail
source=$(realpath "$1")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fake=$scratch/bin
mkdir -p "$fake"
failures=0
check() {   # WHAT COMMAND...: the command must succeed
  local what=$1
  shift
  if "$@"; then echo "ok: $what"; else echo "FAIL: $what" >&2; failures=$((failures + 1)); fi
}

# The fakes keep their state in $FAKE_STATE: packages installed, foreign
# architectures, npm folders set up, and every call made.
cat >"$fake/apt-get" <<'FAKE'
#!/bin/bash
echo "apt-get $*" >>"$FAKE_STATE/calls"
case " $* " in
  *" update "*)
    echo "E: Failed to fetch http://mirror/debian-security/dists/bookworm-security/main/binary-i386/Packages  File has unexpected size" >&2
    exit 100 ;;
  *" install "*)
    packages=()
    for a in "$@"; do [[ $a == -* || $a == install || $a == -qq ]] || packages+=("$a"); done
    for p in "${packages[@]}"; do
      if grep -qx "$p" "$FAKE_STATE/uninstallable"; then
        echo "E: Package '$p' has no installation candidate" >&2
        exit 100
      fi
    done
    printf '%s\n' "${packages[@]}" >>"$FAKE_STATE/installed" ;;
esac
FAKE
cat >"$fake/dpkg-query" <<'FAKE'
#!/bin/bash
# -W -f='${binary:Package} ${Package} ${db:Status-Abbrev}\n': every package installed
while read -r p; do echo "$p ${p%:*} ii "; done <"$FAKE_STATE/installed"
FAKE
cat >"$fake/dpkg" <<'FAKE'
#!/bin/bash
case $1 in
  --print-architecture) echo amd64 ;;
  --print-foreign-architectures) cat "$FAKE_STATE/arches" ;;
  --add-architecture) echo "dpkg $*" >>"$FAKE_STATE/calls"; echo "$2" >>"$FAKE_STATE/arches" ;;
esac
FAKE
cat >"$fake/npm" <<'FAKE'
#!/bin/bash
case $1 in
  ls) grep -qx "$PWD" "$FAKE_STATE/npm" ;;
  ci) echo "npm ci in $PWD" >>"$FAKE_STATE/calls"; echo "$PWD" >>"$FAKE_STATE/npm" ;;
esac
FAKE
cat >"$fake/runs" <<'FAKE'
#!/bin/bash
! grep -qx "$1" "$FAKE_STATE/not-running" 2>/dev/null || { echo "$1: cannot execute binary file: Exec format error" >&2; exit 126; }
FAKE
chmod +x "$fake"/*

fresh_machine() {   # NAME: a machine with nothing installed; wine32 and Mono cannot be
  export FAKE_STATE=$scratch/$1
  mkdir -p "$FAKE_STATE"
  touch "$FAKE_STATE"/{calls,installed,arches,npm}
  printf '%s\n' "wine32:i386" mono-runtime >"$FAKE_STATE/uninstallable"
  export VQ6120_SETUP_RECORD=$FAKE_STATE/unavailable
}
export VQ6120_SETUP_TOOLS=$fake VQ6120_SETUP_RETRY_DELAY=0

# The demo alone: its packages and nothing else, despite the failing update.
fresh_machine demo
"$source/scripts/setup.sh" demo >"$FAKE_STATE/out" 2>&1
check "setup.sh demo succeeds though apt-get update fails" [ $? -eq 0 ]
check "apt-get update is tried three times" [ "$(grep -c '^apt-get update' "$FAKE_STATE/calls")" -eq 3 ]
check "the failed update is said, and that setup goes on" grep -q "going on with the package lists" "$FAKE_STATE/out"
check "the demo's packages are installed" grep -qx "cmake" "$FAKE_STATE/installed"
check "nothing but the demo is installed (no Wine, MinGW, Chromium, Mono, npm)" \
  bash -c "! grep -Eq 'wine|mingw|chromium|mono|npm|gtest' '$FAKE_STATE/calls'"

# Everything: the 32-bit Windows and C# groups fail, the others install.
fresh_machine all
"$source/scripts/setup.sh" >"$FAKE_STATE/out" 2>&1
check "setup.sh exits non-zero when a group could not be installed" [ $? -ne 0 ]
check "the demo's packages are installed" grep -qx "libcpp-httplib-dev" "$FAKE_STATE/installed"
check "later groups install after the failing one" grep -qx "npm ci in $source/tests/gateway" "$FAKE_STATE/calls"
check "i386 is added before the 32-bit group" grep -qx "dpkg --add-architecture i386" "$FAKE_STATE/calls"
check "one loud line names the group, what is missing and why" \
  grep -Eq "^setup: UNAVAILABLE windows-x86 .*missing .*wine32:i386.*no installation candidate" "$FAKE_STATE/out"
check "the record holds exactly those groups" [ "$(cut -f1 "$VQ6120_SETUP_RECORD" | sort | tr '\n' ' ')" = "csharp windows-x86 " ]
check "--status reports it with the reason" grep -q "^windows-x86	missing.*no installation candidate" <(
  "$source/scripts/setup.sh" --status)

# The test command's plan on that machine: exactly the 32-bit suite and the
# tests labelled csharp are skipped.
"$source/scripts/test.sh" --dry-run >"$FAKE_STATE/plan" 2>&1
check "test.sh --dry-run succeeds" [ $? -eq 0 ]
check "the skipped suite is named with what is missing" \
  grep -q "^SKIPPED: windows-x86: needs the windows-x86 group: missing .*wine32:i386" "$FAKE_STATE/plan"
check "the C# tests are named as skipped" grep -q "^SKIPPED: ctest tests labelled csharp: missing .*mono-runtime" "$FAKE_STATE/plan"
check "each ctest run leaves out the missing groups' labels" \
  [ "$(grep -cE '^would run: ctest-.* -LE \^\((csharp\|windows-x86|windows-x86\|csharp)\)\$$' "$FAKE_STATE/plan")" -eq 3 ]
check "the 64-bit Windows suite still runs" grep -q "^would run: windows-x64: " "$FAKE_STATE/plan"
check "the closing lines list the skipped suites, then the total" diff - <(tail -n 2 "$FAKE_STATE/plan") <<'END'
skipped suites (their packages could not be installed): ctest tests labelled csharp (needs csharp); windows-x86 (needs windows-x86); dotnet (needs csharp)
total: 0 passed, 0 failed
END
check "no other suite is skipped (the .NET check needs csharp too)" [ "$(grep -c '^SKIPPED' "$FAKE_STATE/plan")" -eq 3 ]

# Once both can be installed, nothing is skipped and the record is cleared.
: >"$FAKE_STATE/uninstallable"
"$source/scripts/test.sh" --dry-run >"$FAKE_STATE/plan" 2>&1
check "with the groups installable, nothing is skipped" grep -qx "skipped suites: none" "$FAKE_STATE/plan"
check "and no ctest run leaves anything out" [ "$(grep -c '^would run: ctest-.* -LE' "$FAKE_STATE/plan")" -eq 0 ]
check "the record is empty" [ ! -s "$VQ6120_SETUP_RECORD" ]

# 32-bit Wine installed on a kernel that runs no 32-bit programs: the group
# is unavailable, with the program's own complaint, and its suite skipped.
echo /usr/lib/wine/wine >"$FAKE_STATE/not-running"
"$source/scripts/setup.sh" windows-x86 >"$FAKE_STATE/out" 2>&1
check "a group whose program does not run is not there" [ $? -ne 0 ]
check "the loud line says it does not run and why" grep -q \
  "^setup: UNAVAILABLE windows-x86 .*/usr/lib/wine/wine is installed but does not run here: .*Exec format error" "$FAKE_STATE/out"
"$source/scripts/test.sh" --dry-run >"$FAKE_STATE/plan" 2>&1
check "and its suite is skipped" grep -q "^SKIPPED: windows-x86: needs the windows-x86 group: .*does not run here" "$FAKE_STATE/plan"
check "the cross compilers are there without it" bash -c "! grep -q '^mingw-' '$VQ6120_SETUP_RECORD'"
check "so the .NET package check still runs (it needs the DLLs, not Wine)" grep -q "^would run: dotnet: " "$FAKE_STATE/plan"
check "and the 32-bit suite alone is skipped" [ "$(grep -c '^SKIPPED' "$FAKE_STATE/plan")" -eq 1 ]

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed; the last fake machine's state: $FAKE_STATE" >&2
  trap - EXIT
  exit 1
fi

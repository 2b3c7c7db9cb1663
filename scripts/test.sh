#!/usr/bin/env bash
# Builds everything and runs every test: a smoke run of the fuzzers
# (scripts/fuzz.sh, 20 s per harness), the Windows builds (64-bit and 32-bit)
# under Wine, the Debian packages, the .NET package (scripts/check-dotnet.sh)
# and the README's snippets, then the suite
# once with g++, once with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer, and once with clang under ThreadSanitizer.
# Works on a fresh machine: scripts/setup.sh installs every group it can.
#
# A suite whose package group could not be installed (scripts/setup.sh
# records which and why) is skipped with one loud line, and the closing lines
# list every skipped suite; a suite whose group is there always runs. The
# groups demo and tests are not optional: without them the run fails.
# Every suite runs even after one has failed. The last line is the total over
# the test runners: each ctest run's tests, and each script suite (fuzzing,
# the Windows programs, the packages, the README) as one more test.
#   test.sh [--dry-run]     --dry-run: set up, then say what would run and what
#                           is skipped, and build and run nothing
# Tests that need an optional group carry the group's name as a ctest LABEL
# (and find its tools without REQUIRED): they are left out when it is missing.
set -uo pipefail
cd "$(dirname "$0")/.."
dry_run=0
[ "${1:-}" != --dry-run ] || dry_run=1

scripts/setup.sh   # says loudly what it could not install; what is there counts below
declare -A unavailable=()
while IFS=$'\t' read -r group why; do
  unavailable[$group]=$why
done < <(scripts/setup.sh --status)

passed=0 failed=0
skipped=()
[ "$dry_run" -eq 1 ] || mkdir -p build/test-logs

# Adds a finished step to the totals: each ctest summary line of its output
# counts its tests; a script suite without one counts as one test; a step
# whose own status is a failure the runner did not count is one failure more.
count() {   # KIND LOG STATUS     KIND: suite or build
  local kind=$1 log=$2 status=$3 ran=0 bad=0 line total fail
  while read -r line; do
    fail=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
    total=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$line")
    ran=$((ran + total)) bad=$((bad + fail))
  done < <(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log")
  if [ "$ran" -eq 0 ] && [ "$kind" = suite ]; then
    ran=1
    [ "$status" -eq 0 ] || bad=1
  elif [ "$status" -ne 0 ] && [ "$bad" -eq 0 ]; then
    ran=$((ran + 1)) bad=1
  fi
  passed=$((passed + ran - bad)) failed=$((failed + bad))
}

# step KIND NAME GROUP... -- COMMAND...: runs COMMAND unless a group it needs
# is missing, its output kept in build/test-logs/NAME.log.
step() {
  local kind=$1 name=$2 group groups=() status
  shift 2
  while [ "$1" != -- ]; do groups+=("$1"); shift; done
  shift
  for group in "${groups[@]}"; do
    if [ -n "${unavailable[$group]+set}" ]; then
      echo "SKIPPED: $name: needs the $group group: ${unavailable[$group]}"
      skipped+=("$name (needs $group)")
      return 0
    fi
  done
  if [ "$dry_run" -eq 1 ]; then
    echo "would run: $name: $*"
    return 0
  fi
  "$@" 2>&1 | tee "build/test-logs/$name.log"
  status=${PIPESTATUS[0]}
  [ "$status" -eq 0 ] || echo "FAILED: $name (exit status $status; output in build/test-logs/$name.log)"
  count "$kind" "build/test-logs/$name.log" "$status"
}

build() { cmake --preset "$1" >/dev/null && cmake --build --preset "$1"; }

finish() {
  if ((${#skipped[@]})); then
    echo "skipped suites (their packages could not be installed): $(printf '%s; ' "${skipped[@]}" | sed 's/; $//')"
  else
    echo "skipped suites: none"
  fi
  echo "total: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit
}

for group in demo tests; do
  if [ -n "${unavailable[$group]+set}" ]; then
    echo "FAILED: the $group group is needed by every suite: ${unavailable[$group]}"
    failed=$((failed + 1))
  fi
done
[ "$failed" -eq 0 ] || finish

# Tests of optional groups, left out of the ctest runs when the group is
# missing: those with the group's LABEL (named here when the tree has any).
excluded=()
for group in "${!unavailable[@]}"; do
  excluded+=("$group")
  if grep -rqE --include=CMakeLists.txt "LABELS +$group( |\))" tests tools; then
    echo "SKIPPED: ctest tests labelled $group: ${unavailable[$group]}"
    skipped+=("ctest tests labelled $group (needs $group)")
  fi
done
ctest_exclude=()
if ((${#excluded[@]})); then
  ctest_exclude=(-LE "^($(IFS='|'; echo "${excluded[*]}"))\$")
fi
# The README check leaves out the snippets that need them.
export VQ6120_README_SKIP_GROUPS="${excluded[*]}"

for preset in gcc asan tsan; do
  step build "build-$preset" -- build "$preset"
done

# First, so that the native test runners' summaries close the output.
step suite fuzz -- scripts/fuzz.sh
step suite windows-x64 mingw-x64 windows-x64 -- scripts/test-windows.sh mingw
step suite windows-x86 mingw-i686 windows-x86 -- scripts/test-windows.sh mingw32
step suite packages packages -- scripts/check-packages.sh
step suite readme -- scripts/check-readme.py
step suite dotnet csharp mingw-x64 mingw-i686 -- scripts/check-dotnet.sh

step suite ctest-gcc -- ctest --preset gcc "${ctest_exclude[@]}"
step suite ctest-asan -- env ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --preset asan "${ctest_exclude[@]}"
step suite ctest-tsan -- env TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --preset tsan "${ctest_exclude[@]}"
finish

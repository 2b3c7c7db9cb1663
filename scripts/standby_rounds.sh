#!/bin/sh
# Both gateways of a pair started at once, 20 rounds (the test runs 5 per
# repetition): every round must end with one active holding every terminal.
#   scripts/standby_rounds.sh [BUILD_DIR]   (default build/gcc)
set -eu
build=${1:-build/gcc}
exec "$build/tests/gateway/gateway_plant_test" \
    --gtest_filter='StandbyTest.BothStartedAtOnceEndWithOneActiveHoldingEveryTerminal' --gtest_repeat=4

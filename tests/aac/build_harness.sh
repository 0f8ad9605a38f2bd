#!/usr/bin/env bash
# Builds the native AAC quality harness (the encoder core, the test signals
# and the generator's tone) with g++.
#
#   build_harness.sh <source root> <output program>
set -euo pipefail

ROOT=$1
CORE=$ROOT/testbed/filters/aac
mkdir -p "$(dirname "$2")"
g++ -std=c++17 -O2 -Wall -Wextra -Werror -I"$CORE" -I"$ROOT/testbed/filters" \
    "$ROOT/tests/aac/AacQuality.cpp" "$ROOT/tests/aac/Signals.cpp" "$ROOT/testbed/filters/TestPattern.cpp" \
    "$CORE"/*.cpp -o "$2"

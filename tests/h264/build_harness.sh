#!/usr/bin/env bash
# Builds the native quality harness (the encoder core and the generator's
# test pattern) with g++.
#
#   build_harness.sh <source root> <output program>
set -euo pipefail

ROOT=$1
CORE=$ROOT/testbed/filters/h264
mkdir -p "$(dirname "$2")"
g++ -std=c++17 -O2 -Wall -Wextra -I"$CORE" -I"$ROOT/testbed/filters" \
    "$ROOT/tests/h264/H264Quality.cpp" "$ROOT/testbed/filters/TestPattern.cpp" "$CORE"/*.cpp \
    -o "$2"

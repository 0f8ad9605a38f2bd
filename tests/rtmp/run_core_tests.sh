#!/usr/bin/env bash
# The RTMP protocol core's unit tests: builds the core, the H.264 encoder
# core (whose access units the FLV tests read) and GoogleTest natively with
# g++ and runs them. GoogleTest is built once per work folder.
#
#   run_core_tests.sh <source root> <work folder> [gtest options]
set -euo pipefail

ROOT=$1
WORK=$2
shift 2
HERE=$ROOT/tests/rtmp
CORE=$ROOT/testbed/filters/rtmp
H264=$ROOT/testbed/filters/h264
GTEST=/usr/src/googletest/googletest
mkdir -p "$WORK"

if [ ! -f "$WORK/gtest-all.o" ]; then
    g++ -std=c++17 -O1 -I"$GTEST/include" -I"$GTEST" -c "$GTEST/src/gtest-all.cc" -o "$WORK/gtest-all.o.tmp"
    g++ -std=c++17 -O1 -I"$GTEST/include" -I"$GTEST" -c "$GTEST/src/gtest_main.cc" -o "$WORK/gtest_main.o"
    mv "$WORK/gtest-all.o.tmp" "$WORK/gtest-all.o"
fi

g++ -std=c++17 -g -O1 -Wall -Wextra -Werror -fsanitize=address,undefined -fno-sanitize-recover=undefined \
    -I"$CORE" -I"$H264" -I"$GTEST/include" \
    "$HERE"/TestClient.cpp "$HERE"/SessionTests.cpp "$HERE"/UnitTests.cpp "$CORE"/*.cpp "$H264"/*.cpp "$WORK/gtest-all.o" "$WORK/gtest_main.o" -pthread \
    -o "$WORK/rtmp_core_tests"

"$WORK/rtmp_core_tests" "$@"

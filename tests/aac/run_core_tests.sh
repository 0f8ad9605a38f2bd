#!/usr/bin/env bash
# The AAC encoder core's unit tests: builds the core, the generator's tone
# and GoogleTest natively with g++ and the address and undefined-behaviour
# sanitizers, and runs them. GoogleTest is built once per work folder.
#
#   run_core_tests.sh <source root> <work folder> [gtest options]
set -euo pipefail

ROOT=$1
WORK=$2
shift 2
HERE=$ROOT/tests/aac
CORE=$ROOT/testbed/filters/aac
GTEST=/usr/src/googletest/googletest
mkdir -p "$WORK"

if [ ! -f "$WORK/gtest-all.o" ]; then
    g++ -std=c++17 -O1 -I"$GTEST/include" -I"$GTEST" -c "$GTEST/src/gtest-all.cc" -o "$WORK/gtest-all.o.tmp"
    g++ -std=c++17 -O1 -I"$GTEST/include" -I"$GTEST" -c "$GTEST/src/gtest_main.cc" -o "$WORK/gtest_main.o"
    mv "$WORK/gtest-all.o.tmp" "$WORK/gtest-all.o"
fi

g++ -std=c++17 -g -O1 -Wall -Wextra -Werror -fsanitize=address,undefined -fno-sanitize-recover=undefined \
    -I"$CORE" -I"$ROOT/testbed/filters" -I"$GTEST/include" \
    "$HERE"/CoreTests.cpp "$HERE"/StreamReader.cpp "$HERE"/Signals.cpp "$CORE"/*.cpp \
    "$ROOT/testbed/filters/TestPattern.cpp" "$WORK/gtest-all.o" "$WORK/gtest_main.o" -pthread \
    -o "$WORK/aac_core_tests"

"$WORK/aac_core_tests" "$@"

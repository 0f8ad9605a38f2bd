#!/usr/bin/env bash
# The encoder's quality check: builds the native harness (the encoder and
# the generator's test pattern) with g++, encodes the default stream (250
# frames), then decodes and measures it with measure_stream.sh. A second,
# shorter stream of a size that is not whole macroblocks checks the
# cropping on both edges.
#
#   quality_check.sh <source root> <work folder>
set -euo pipefail

ROOT=$1
WORK=$2
HERE=$ROOT/tests/h264
CORE=$ROOT/testbed/filters/h264
mkdir -p "$WORK"

g++ -std=c++17 -O2 -Wall -Wextra -I"$CORE" -I"$ROOT/testbed/filters" \
    "$HERE/H264Quality.cpp" "$ROOT/testbed/filters/TestPattern.cpp" "$CORE"/*.cpp \
    -o "$WORK/h264_quality"

"$WORK/h264_quality" encode "$WORK/default.h264" "$WORK/default.yuv"
"$HERE/measure_stream.sh" "$WORK/h264_quality" "$WORK/default.h264" "$WORK/default.yuv"

"$WORK/h264_quality" encode "$WORK/cropped.h264" "$WORK/cropped.yuv" 50 360 200
"$HERE/measure_stream.sh" "$WORK/h264_quality" "$WORK/cropped.h264" "$WORK/cropped.yuv" 360 200 25

#!/usr/bin/env bash
# The encoder's quality check: builds the native harness (the encoder and
# the generator's test pattern) with g++, encodes the default stream (250
# frames), then decodes and measures it with measure_stream.sh against the
# goals: 40 dB luma PSNR on average, 36 dB on the worst frame, 2 Mbit/s.
# The decoded pictures must also be the encoder's own reconstruction, byte
# for byte: any difference between encoder and decoder shows there.
#
# Two short streams check what the default one never reaches: a size that
# is not whole macroblocks (cropping on both edges), and noise at the
# finest quantiser (macroblocks too large for their bit limit go as I_PCM).
#
#   quality_check.sh <source root> <work folder>
set -euo pipefail

ROOT=$1
WORK=$2
HERE=$ROOT/tests/h264
QUALITY=$WORK/h264_quality
mkdir -p "$WORK"

"$HERE/build_harness.sh" "$ROOT" "$QUALITY"

# check <name> <encode options> -- <measure options>
check() {
    local name=$1
    shift
    local encode=()
    while [ "$1" != -- ]; do encode+=("$1"); shift; done
    shift
    "$QUALITY" encode "$WORK/$name.h264" "$WORK/$name.yuv" "${encode[@]}"
    "$HERE/measure_stream.sh" "$QUALITY" "$WORK/$name.h264" "$WORK/$name.yuv" --exact "$WORK/$name.recon.yuv" "$@"
}

check default --
check cropped --frames 50 --size 360x200 -- --size 360x200
check noise --frames 3 --size 96x64 --qp 12 --noise -- --size 96x64 --max-kbps 100000

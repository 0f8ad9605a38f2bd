#!/usr/bin/env bash
# The AAC encoder as another maker's decoder hears it: the native harness
# encodes test signals into ADTS files, Debian's ffmpeg decodes them (any
# message from the decoder fails the check), and the harness measures the
# result against the signal: level, tone, signal-to-noise ratio once
# aligned for the codec's delay, and the bit rate.
#
#   quality_check.sh <source root> <work folder>
set -euo pipefail

ROOT=$1
WORK=$2
HERE=$ROOT/tests/aac
CORE=$ROOT/testbed/filters/aac
QUALITY=$WORK/aac_quality
mkdir -p "$WORK"

g++ -std=c++17 -O2 -Wall -Wextra -Werror -I"$CORE" -I"$ROOT/testbed/filters" \
    "$HERE"/AacQuality.cpp "$HERE"/Signals.cpp "$CORE"/*.cpp "$ROOT/testbed/filters/TestPattern.cpp" -o "$QUALITY"

failed=0
# check <signal> <rate> <channels> -- <measure checks>
check() {
    local signal=$1 rate=$2 channels=$3
    shift 4
    local name=$signal-$rate-$channels
    echo "== $name"
    "$QUALITY" encode "$signal" "$rate" "$channels" 10 "$WORK/$name.aac" "$WORK/$name.pcm" || { failed=1; return; }
    rm -f "$WORK/$name.decoded.pcm"
    ffmpeg -nostdin -hide_banner -v warning -xerror -f aac -i "$WORK/$name.aac" -f s16le -acodec pcm_s16le "$WORK/$name.decoded.pcm" \
        2>"$WORK/$name.ffmpeg.txt" || { echo "ffmpeg failed"; failed=1; }
    # A raw ADTS file has no duration of its own: the reader says that it
    # estimates one. Anything else it or the decoder says is a failure.
    if grep -v 'Estimating duration from bitrate' "$WORK/$name.ffmpeg.txt" | grep -q .; then
        echo "FAILED: the decoder said:"
        head -5 "$WORK/$name.ffmpeg.txt"
        failed=1
    fi
    "$QUALITY" measure "$WORK/$name.pcm" "$WORK/$name.decoded.pcm" "$WORK/$name.aac" "$rate" "$channels" "$@" ||
        failed=1
}

check tone 48000 2 -- --tone 1000 --level 0.5 --min-snr 40 --kbps 128 --max-kbps 128
check noise 48000 2 -- --kbps 128
check noise 44100 1 -- --kbps 64
check sweep 48000 2 -- --kbps 128 --min-snr 20
check silence 48000 2 -- --kbps 128
check square 48000 2 -- --kbps 128 --level 1 --no-wrap
check bursts 48000 2 -- --kbps 128
exit $failed

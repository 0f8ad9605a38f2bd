#!/usr/bin/env bash
# The AAC encoder as another maker's decoder hears it: the native harness
# encodes 10 s of each test signal into an ADTS file, Debian's ffmpeg
# decodes it (any message from the decoder fails the check), and the harness
# measures the result against the signal: level, tone, signal-to-noise ratio
# once aligned for the codec's delay, and the bit rate.
#
#   quality_check.sh <source root> <work folder>
set -euo pipefail

ROOT=$1
WORK=$2
HERE=$ROOT/tests/aac
QUALITY=$WORK/aac_quality
mkdir -p "$WORK"
command -v ffmpeg >/dev/null || { echo "FAIL: ffmpeg is not installed" >&2; exit 1; }
"$HERE/build_harness.sh" "$ROOT" "$QUALITY"

failed=0
# check <signal> <rate> <channels> -- <measure checks>
check() {
    local signal=$1 rate=$2 channels=$3
    shift 4
    local name=$signal-$rate-$channels
    echo "== $name"
    "$QUALITY" encode "$signal" "$rate" "$channels" 10 "$WORK/$name.aac" "$WORK/$name.pcm" &&
        "$HERE/measure_audio.sh" "$QUALITY" "$WORK/$name.aac" "$WORK/$name.pcm" "$rate" "$channels" "$@" ||
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

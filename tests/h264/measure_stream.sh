#!/usr/bin/env bash
# Decodes an H.264 elementary stream with ffmpeg (a decoder of its own, not
# ours) and measures it against reference pictures (raw I420 frames):
# luma PSNR per frame, its average and worst, and the bit rate. Fails when
# the decoder reports anything at all, or a quality goal is missed.
#
#   measure_stream.sh <h264_quality> <stream.h264> <reference.yuv> [options]
#
# The options go to `h264_quality measure`: --size WxH and --fps N when the
# stream is not 640x360 at 25 frames a second, and the goals.
set -euo pipefail

QUALITY=$1
STREAM=$2
REFERENCE=$3
shift 3

command -v ffmpeg >/dev/null || { echo "FAIL: ffmpeg is not installed" >&2; exit 1; }

DECODED=${STREAM%.*}.decoded.yuv
LOG=${STREAM%.*}.ffmpeg.log
# Any message at level warning or above is a failure: a clean stream
# decodes silently.
if ! ffmpeg -nostdin -hide_banner -v warning -xerror -f h264 -i "$STREAM" \
        -f rawvideo -pix_fmt yuv420p -y "$DECODED" >"$LOG" 2>&1; then
    echo "FAIL: ffmpeg could not decode $STREAM:"
    cat "$LOG"
    exit 1
fi
if [ -s "$LOG" ]; then
    echo "FAIL: ffmpeg reported while decoding $STREAM:"
    cat "$LOG"
    exit 1
fi
"$QUALITY" measure "$STREAM" "$DECODED" "$REFERENCE" "$@"

#!/usr/bin/env bash
# Decodes an ADTS file with Debian's ffmpeg and measures the sound against
# its source with the quality harness (see AacQuality.cpp for the checks).
# Any message from the decoder fails; so does a failed check.
#
#   measure_audio.sh <aac_quality> <file.aac> <source.pcm> <rate> <channels> [checks]
set -euo pipefail

QUALITY=$1
AAC=$2
SOURCE=$3
RATE=$4
CHANNELS=$5
shift 5
DECODED=${AAC%.aac}.decoded.pcm
LOG=${AAC%.aac}.ffmpeg.log

rm -f "$DECODED"
if ! ffmpeg -nostdin -hide_banner -v warning -xerror -f aac -i "$AAC" -f s16le -acodec pcm_s16le "$DECODED" \
        >"$LOG" 2>&1; then
    echo "FAILED: ffmpeg could not decode $AAC:"
    cat "$LOG"
    exit 1
fi
# A raw ADTS file has no duration of its own: the reader says that it
# estimates one. Anything else it or the decoder says is a failure.
if grep -v 'Estimating duration from bitrate' "$LOG" | grep -q .; then
    echo "FAILED: ffmpeg reported while decoding $AAC:"
    cat "$LOG"
    exit 1
fi
"$QUALITY" measure "$SOURCE" "$DECODED" "$AAC" "$RATE" "$CHANNELS" "$@"

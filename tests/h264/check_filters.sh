#!/usr/bin/env bash
# The encoders' output as it leaves the filters in a graph on Wine, decoded
# by ffmpeg. The filter test that runs the default stream through both
# encoders writes their elementary streams (video.h264, audio.aac with ADTS
# headers); then
# - the video must decode silently, 250 pictures, against the generator's
#   own pictures: 40 dB luma PSNR on average, 36 dB at worst, 2 Mbit/s;
# - the audio must decode silently to 10 s of 48 kHz stereo. Its frames
#   carry no spectrum yet, so its level is printed, not checked.
#
#   check_filters.sh <source root> <work folder> <filter_tests.exe>
set -euo pipefail

ROOT=$1
WORK=$2
TESTS_EXE=$3
HERE=$ROOT/tests/h264
QUALITY=$WORK/h264_quality
mkdir -p "$WORK"
rm -f "$WORK"/video.* "$WORK"/audio.*

command -v ffmpeg >/dev/null || { echo "FAIL: ffmpeg is not installed" >&2; exit 1; }
"$HERE/build_harness.sh" "$ROOT" "$QUALITY"
"$QUALITY" reference "$WORK/reference.yuv"

SKERRY_MEDIA_DUMP=$(winepath -w "$WORK") wine "$TESTS_EXE" \
    --gtest_filter=FilterTest.EncodersHandTheWholeDefaultStreamOnWithItsParameterSetsInTheType
for f in video.h264 audio.aac; do
    [ -s "$WORK/$f" ] || { echo "FAIL: the filter test wrote no $f"; exit 1; }
done

echo "video, as it left the H264 Encoder:"
"$HERE/measure_stream.sh" "$QUALITY" "$WORK/video.h264" "$WORK/reference.yuv"

echo "audio, as it left the AAC Encoder:"
LOG=$WORK/audio.ffmpeg.log
if ! ffmpeg -nostdin -hide_banner -v warning -xerror -f aac -i "$WORK/audio.aac" \
        -f s16le -acodec pcm_s16le -y "$WORK/audio.pcm" >"$LOG" 2>&1; then
    echo "FAIL: ffmpeg could not decode the audio:"
    cat "$LOG"
    exit 1
fi
# A raw ADTS file has no duration of its own: the reader says that it
# estimates one. Anything else it or the decoder says is a failure.
if grep -v 'Estimating duration from bitrate' "$LOG" | grep -q .; then
    echo "FAIL: ffmpeg reported while decoding the audio:"
    cat "$LOG"
    exit 1
fi
read -r rate channels < <(ffprobe -v error -select_streams a:0 -show_entries stream=sample_rate,channels \
    -of csv=p=0 "$WORK/audio.aac" | tr , ' ')
bytes=$(stat -c %s "$WORK/audio.pcm")
seconds=$(awk -v b="$bytes" -v r="$rate" -v c="$channels" 'BEGIN { printf "%.3f", b / (2 * c * r) }')
kbps=$(awk -v b="$(stat -c %s "$WORK/audio.aac")" -v s="$seconds" 'BEGIN { printf "%.1f", b * 8 / s / 1000 }')
peak=$(ffmpeg -nostdin -hide_banner -f s16le -ar "$rate" -ac "$channels" -i "$WORK/audio.pcm" \
    -af volumedetect -f null - 2>&1 | sed -n 's/.*max_volume: //p')
echo "decoded: ${rate} Hz, ${channels} channels, ${seconds} s, ${kbps} kbit/s with ADTS headers, peak ${peak}"
if [ "$rate" != 48000 ] || [ "$channels" != 2 ]; then
    echo "FAIL: expected 48000 Hz stereo"
    exit 1
fi
# 469 frames of 1024 samples; a decoder may leave out its first frame.
if ! awk -v s="$seconds" 'BEGIN { exit !(s >= 9.98 && s <= 10.02) }'; then
    echo "FAIL: expected 10 s of audio, decoded $seconds s"
    exit 1
fi
echo "PASS"

#!/usr/bin/env bash
# The encoders' output as it leaves the filters in a graph on Wine, decoded
# by ffmpeg. The filter test that runs the default stream through both
# encoders writes their elementary streams (video.h264, audio.aac with ADTS
# headers); then
# - the video must decode silently, 250 pictures, against the generator's
#   own pictures: 40 dB luma PSNR on average, 36 dB at worst, 2 Mbit/s;
# - the audio must decode silently to the generator's 1 kHz tone in both
#   channels: within 2 Hz, at the source's level within 0.5 dB, 40 dB
#   signal-to-noise ratio once aligned for the codec's delay, at most
#   128 kbit/s.
#
#   check_filters.sh <source root> <work folder> <filter_tests.exe>
set -euo pipefail

ROOT=$1
WORK=$2
TESTS_EXE=$3
HERE=$ROOT/tests/h264
QUALITY=$WORK/h264_quality
AUDIO_QUALITY=$WORK/aac_quality
mkdir -p "$WORK"
rm -f "$WORK"/video.* "$WORK"/audio.*

command -v ffmpeg >/dev/null || { echo "FAIL: ffmpeg is not installed" >&2; exit 1; }
"$HERE/build_harness.sh" "$ROOT" "$QUALITY"
"$QUALITY" reference "$WORK/reference.yuv"
"$ROOT/tests/aac/build_harness.sh" "$ROOT" "$AUDIO_QUALITY"
"$AUDIO_QUALITY" source tone 48000 2 10 "$WORK/tone.pcm"

SKERRY_MEDIA_DUMP=$(winepath -w "$WORK") wine "$TESTS_EXE" \
    --gtest_filter=FilterTest.EncodersHandTheWholeDefaultStreamOnWithItsParameterSetsInTheType
for f in video.h264 audio.aac; do
    [ -s "$WORK/$f" ] || { echo "FAIL: the filter test wrote no $f"; exit 1; }
done

echo "video, as it left the H264 Encoder:"
"$HERE/measure_stream.sh" "$QUALITY" "$WORK/video.h264" "$WORK/reference.yuv"

echo "audio, as it left the AAC Encoder:"
"$ROOT/tests/aac/measure_audio.sh" "$AUDIO_QUALITY" "$WORK/audio.aac" "$WORK/tone.pcm" 48000 2 \
    --tone 1000 --level 0.5 --min-snr 40 --max-kbps 128
echo "PASS"

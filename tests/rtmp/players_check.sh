#!/usr/bin/env bash
# The RTMP core as players nobody here wrote see it: builds rtmp_serve (the
# core behind POSIX sockets, serving 2 s of the H.264 encoder's pictures and
# the AAC encoder's tone) natively, then
#   - ffprobe must find H.264 320x180 and AAC at 48 kHz,
#   - ffmpeg must decode every frame (50 pictures, 95 access units of sound:
#     2 s in units of 1024 samples, the last padded, and the one that brings
#     out the end) without a warning and stop at the end of the stream,
#   - rtmpdump must save an FLV file that ffprobe reads with every frame.
#
#   players_check.sh <source root> <work folder>
set -euo pipefail

ROOT=$1
WORK=$2
HERE=$ROOT/tests/rtmp
CORE=$ROOT/testbed/filters/rtmp
H264=$ROOT/testbed/filters/h264
AAC=$ROOT/testbed/filters/aac
mkdir -p "$WORK"

g++ -std=c++17 -O1 -Wall -Wextra -Werror -I"$CORE" -I"$H264" -I"$AAC" \
    "$HERE/RtmpServe.cpp" "$CORE"/*.cpp "$H264"/*.cpp "$AAC"/*.cpp -o "$WORK/rtmp_serve"

rm -f "$WORK/port"
"$WORK/rtmp_serve" "$WORK/port" 2 2>"$WORK/serve.log" &
SERVER=$!
trap 'kill "$SERVER" 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -s "$WORK/port" ] && break; sleep 0.2; done
URL=rtmp://127.0.0.1:$(cat "$WORK/port")/live/skerry

fail() { echo "players_check: $*" >&2; cat "$WORK/serve.log" >&2; exit 1; }

# expect <what> <expected> <actual>
expect() { [ "$2" = "$3" ] || fail "$1: expected $2, got $3"; }

streams=$(timeout 60 ffprobe -v error -show_entries stream=codec_name,width,height,sample_rate \
    -of compact=nokey=1 "$URL")
echo "ffprobe: $streams"
expect "ffprobe streams" "stream|h264|320|180
stream|aac|48000" "$streams"

timeout 60 ffmpeg -nostdin -v warning -i "$URL" -f framecrc - >"$WORK/decoded.crc" 2>"$WORK/ffmpeg.log" \
    || fail "ffmpeg failed: $(cat "$WORK/ffmpeg.log")"
[ ! -s "$WORK/ffmpeg.log" ] || fail "ffmpeg warned: $(cat "$WORK/ffmpeg.log")"
expect "pictures ffmpeg decoded" 50 "$(grep -c '^0,' "$WORK/decoded.crc")"
expect "audio frames ffmpeg decoded" 95 "$(grep -c '^1,' "$WORK/decoded.crc")"
echo "ffmpeg: 50 pictures and 95 audio frames decoded"

rm -f "$WORK/dump.flv"
timeout 60 rtmpdump -q -r "$URL" --live -o "$WORK/dump.flv" || fail "rtmpdump failed"
frames=$(ffprobe -v error -count_frames -show_entries stream=codec_name,nb_read_frames \
    -of compact=nokey=1 "$WORK/dump.flv")
echo "rtmpdump's file: $frames"
expect "frames in rtmpdump's file" "stream|h264|50
stream|aac|95" "$frames"
cat "$WORK/serve.log"

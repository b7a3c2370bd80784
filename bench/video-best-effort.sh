#!/usr/bin/env bash
# Tight and unreachable video limits: the dorvex command against ffmpeg's two-pass libx265 with
# low-rate AAC, on a 47 s test card with six channels of audio.
#
# For each limit, ffmpeg runs two passes of libx265 ("fast") at the video rate that fills 92 % of
# the limit beside 24 kbit/s mono AAC (at least 4 kbit/s of video, raised until x265 takes it), at
# the source's size and frame rate; dorvex runs with `--json --video-max-size LIMIT`. Printed
# per limit: the bytes and output ÷ limit of each, and dorvex's status and encodes (its attempts,
# from the JSON, follow with -v). Goal: dorvex's ratio is never above ffmpeg's, and every limit
# ffmpeg meets (ratio ≤ 1) dorvex meets. About five minutes a limit on two busy cores.
#
#   bench/video-best-effort.sh [-v] [build folder] [limit in bytes…]
#     build folder: default build/release (scripts/bench builds it)
#     limits: default 1000000 700000 400000 220000 120000
set -euo pipefail
cd "$(dirname "$0")/.."
verbose=0
if [ "${1:-}" = -v ]; then verbose=1; shift; fi
build=${1:-build/release}
shift || true
limits=("$@")
[ ${#limits[@]} -gt 0 ] || limits=(1000000 700000 400000 220000 120000)
dorvex=$build/bin/dorvex
seconds=47
work=$(mktemp -d "${TMPDIR:-/tmp}/dorvex-videobench.XXXXXX")
trap 'rm -rf "$work"' EXIT
export HOME=$work/home XDG_DATA_HOME=$work/home/share XDG_CONFIG_HOME=$work/home/config
mkdir -p "$HOME"

clip=$work/card.mp4
ffmpeg -nostdin -hide_banner -loglevel error -y \
  -f lavfi -i "testsrc2=s=640x360:r=30:d=$seconds" -f lavfi -i "sine=f=440:r=48000:d=$seconds" \
  -filter_complex "[1:a]pan=5.1|c0=c0|c1=c0|c2=c0|c3=c0|c4=c0|c5=c0[a]" -map 0:v -map "[a]" \
  -c:v libx264 -preset veryfast -crf 16 -pix_fmt yuv420p -c:a aac -b:a 384k "$clip"
echo "clip: 640×360, 30 fps, ${seconds} s, 6-channel AAC; $(stat -c %s "$clip") bytes"

# ffmpeg: two passes filling 92 % of the limit beside 24 kbit/s of mono AAC. x265's second pass
# refuses a rate below what the first pass found it can reach: the rate doubles until it is taken.
ffmpegTwoPass() {
  local limit=$1 out=$work/ffmpeg-$1.mp4 video tries
  video=$(( limit * 8 * 92 / 100 / seconds - 24000 ))
  [ "$video" -ge 4000 ] || video=4000
  for tries in 1 2 3 4 5; do
    if (cd "$work" && ffmpeg -nostdin -hide_banner -loglevel quiet -y -i "$clip" -c:v libx265 -preset fast \
          -b:v "$video" -x265-params "pass=1:log-level=none" -an -f null /dev/null &&
        ffmpeg -nostdin -hide_banner -loglevel quiet -y -i "$clip" -c:v libx265 -preset fast -b:v "$video" \
          -x265-params "pass=2:log-level=none" -tag:v hvc1 -c:a aac -ac 1 -b:a 24k "$out"); then
      stat -c %s "$out"
      return
    fi
    video=$(( video * 2 ))
  done
  echo 0
}

printf '%-8s  %9s %6s  %9s %6s  %-12s %s\n' limit ffmpeg ratio dorvex ratio status encodes
for limit in "${limits[@]}"; do
  theirs=$(ffmpegTwoPass "$limit")
  rm -rf "$work/out"
  "$dorvex" --json --video-max-size "$limit" -o "$work/out" "$clip" > "$work/result.json" 2>/dev/null || true
  ours=$(jq -r '.outputBytes // 0' "$work/result.json")
  status=$(jq -r 'if .maxSizeMet then "met" else (.stopReason // .status) end' "$work/result.json")
  encodes=$(jq -r '.attempts | length' "$work/result.json")
  printf '%-8s  %9s %6.3f  %9s %6.3f  %-12s %s\n' "$limit" "$theirs" "$(echo "$theirs / $limit" | bc -l)" \
    "$ours" "$(echo "$ours / $limit" | bc -l)" "$status" "$encodes"
  if [ "$verbose" = 1 ]; then
    jq -c '.attempts[] | {index, rate, pixelSize, frameRate, audioBitrate, bytes}' "$work/result.json" | sed 's/^/    /'
  fi
done

#!/usr/bin/env bash
# Many files in one dorvex run: whether the processors stay busy, and whether memory stays bounded.
#
#  1. 100 photos (0.5 to 3 MP JPEGs) at level 3 with -j at its default: CPU utilisation, i.e.
#     (user + system seconds of dorvex and its encoders) ÷ (wall seconds × processors), from
#     /usr/bin/time -v. On a machine others share, no run can have every processor, so the same
#     figure is taken in the same rounds for the work done by hand: `vips autorot` + cjpeg on each
#     photo, as many at once; dorvex's share ÷ that share says how much of what it could have it
#     used. Each figure is the median of the rounds.
#  2. A 50 MP photo and a 4K video (two seconds of 3840×2160 with sound) in one run: peak
#     resident memory of the whole run, and of each file alone for comparison.
#
# BASELINE=<build folder> measures that build's dorvex as well, in the same rounds.
#
#   bench/batch-throughput.sh [build folder] [rounds]
#     build folder: default build/release; rounds: default 3
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
rounds=${2:-3}
dorvex=$(realpath "$build/bin/dorvex")
baseline=${BASELINE:+$(realpath "$BASELINE/bin/dorvex")}
media=$PWD/tests/media/images
work=$(mktemp -d "${TMPDIR:-/tmp}/dorvex-batch.XXXXXX")
trap 'rm -rf "$work"' EXIT
export HOME=$work/home XDG_DATA_HOME=$work/home/share XDG_CONFIG_HOME=$work/home/config
mkdir -p "$HOME"
cd "$work"
cores=$(nproc)

median() { sort -g | awk '{v[NR]=$1} END{print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
# Runs "$@" under /usr/bin/time -v; prints "wall user system peak-KB".
timed() {
  /usr/bin/time -v -o time.txt "$@" >/dev/null 2>&1 || true
  awk -F': ' '
    /Elapsed \(wall clock\)/ { n = split($2, t, ":"); w = 0; for (i = 1; i <= n; i++) w = w * 60 + t[i] }
    /User time/ { u = $2 } /System time/ { s = $2 } /Maximum resident/ { m = $2 }
    END { print w, u, s, m }' time.txt
}

# ---- 100 photos ------------------------------------------------------------------------------
mkdir photos
for ((i = 0; i < 100; i++)); do
  width=$((800 + (i * 37) % 1400))
  vips thumbnail "$media/Dune.jpg" "photos/photo-$i.jpg[Q=92]" "$width" --size force --height $((width * 5 / 8))
done
jobs=$("$dorvex" --help | sed -n 's/.*default \([0-9]*\) on this machine.*/\1/p')
cjpeg=$("$dorvex" --list-encoders --json | tr '{' '\n' | grep '"name":"[^"]*cjpeg"' | sed 's/.*"path":"\([^"]*\)".*/\1/')
byHand() {  # the photos through vips autorot and cjpeg, as many at once as dorvex runs
  rm -rf hand && mkdir hand
  ls photos | xargs -P "$jobs" -I{} sh -c \
    'vips autorot "photos/$1" "hand/$1.ppm" && "$2" -quality 74 -quant-table 3 -progressive -optimize -outfile "hand/$1" "hand/$1.ppm"' \
    - {} "$cjpeg"
}
names=(dorvex ${baseline:+baseline} by-hand)
for name in "${names[@]}"; do : > "$name.util"; : > "$name.wall"; done
for ((r = 0; r < rounds; r++)); do
  for name in "${names[@]}"; do
    rm -rf out
    case $name in
      dorvex) read -r w u s _ < <(timed "$dorvex" -q -l 3 -f jpeg --suffix "" -o out photos) ;;
      baseline) read -r w u s _ < <(timed "$baseline" -q -l 3 -f jpeg --suffix "" -o out photos) ;;
      by-hand) read -r w u s _ < <(timed bash -c "$(declare -f byHand); jobs=$jobs cjpeg=$cjpeg byHand") ;;
    esac
    echo "$w" >> "$name.wall"
    echo "($u + $s) / ($w * $cores)" | bc -l >> "$name.util"
  done
done
printf '100 photos, level 3, %s at once (the default on %d processors), %d rounds (medians)\n' "$jobs" "$cores" "$rounds"
hand=$(median < by-hand.util)
for name in "${names[@]}"; do
  u=$(median < "$name.util")
  printf '  %-10s wall %7.2f s   CPU utilisation %5.1f %%   ÷ by hand %5.2f\n' "$name" "$(median < "$name.wall")" \
    "$(echo "$u * 100" | bc -l)" "$(echo "$u / $hand" | bc -l)"
done
echo

# ---- a 50 MP photo and a 4K video ------------------------------------------------------------
mkdir large
vips thumbnail "$media/Dune.jpg" large/photo-50mp.jpg[Q=92] 8660 --height 5774 --size force
ffmpeg -loglevel error -f lavfi -i testsrc2=size=3840x2160:rate=30:duration=2 \
  -f lavfi -i sine=frequency=440:duration=2 -c:v libx264 -preset ultrafast -crf 18 -pix_fmt yuv420p \
  -c:a aac -shortest large/video-4k.mp4
printf 'Peak resident memory (MB), level 3\n'
for program in "$dorvex" $baseline; do
  [ "$program" = "$dorvex" ] && label=dorvex || label=baseline
  for target in large/photo-50mp.jpg large/video-4k.mp4 large; do
    rm -rf out
    read -r w _ _ m < <(timed "$program" -q -l 3 --suffix "" -o out "$target")
    printf '  %-9s %-20s %6.0f MB   %6.1f s\n' "$label" "${target#large/}" "$(echo "$m / 1024" | bc -l)" "$w"
  done
done

#!/usr/bin/env bash
# The dorvex command against ImageMagick and jpegoptim on a folder of photos, in one run.
#
#  1. Level 3, no limit, two jobs at once: images per second and CPU seconds, against
#     `convert -quality 74` and `jpegoptim -m74` (run two at a time as well).
#  2. The web preset's limit (200 000 bytes): time, median bytes ÷ limit, and the median
#     butteraugli distance of each output to its source (lower is better), against
#     `jpegoptim --size=200k` and ImageMagick's `-define jpeg:extent=200kb`.
#
#   bench/cli-vs-tools.sh [build folder] [photo folder]
#     build folder: default build/release (scripts/bench builds it)
#     photo folder: its JPEGs above 40 kB; default tests/media/images
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
dorvex=$build/bin/dorvex
photos=${2:-tests/media/images}
# ImageMagick from Debian (a "convert" elsewhere on PATH may be something else).
magick=/usr/bin/convert
work=$(mktemp -d "${TMPDIR:-/tmp}/dorvex-clibench.XXXXXX")
trap 'rm -rf "$work"' EXIT
export HOME=$work/home XDG_DATA_HOME=$work/home/share XDG_CONFIG_HOME=$work/home/config
mkdir -p "$work/src" "$HOME"
for f in "$photos"/*.jpg "$photos"/*.JPG; do
  [ -f "$f" ] && [ "$(stat -c %s "$f")" -gt 40000 ] && cp "$f" "$work/src/"
done
count=$(ls "$work/src" | wc -l)

# Runs "$@" and prints "<wall seconds> <cpu seconds>" of it and its children.
measure() {
  local start end cpu0 cpu1 me=$BASHPID
  start=$(date +%s.%N)
  cpu0=$(awk '{print $14+$15+$16+$17}' /proc/$me/stat)
  "$@" >/dev/null 2>&1
  end=$(date +%s.%N)
  cpu1=$(awk '{print $14+$15+$16+$17}' /proc/$me/stat)
  echo "$(echo "$end - $start" | bc -l) $(echo "($cpu1 - $cpu0) / $(getconf CLK_TCK)" | bc -l)"
}

fresh() { rm -rf "$work/$1"; mkdir -p "$work/$1"; cp "$work/src"/* "$work/$1/"; }

run_convert() {  # quality, folder, extra args
  local q=$1 dir=$2; shift 2
  ls "$dir"/* | xargs -P 2 -I{} "$magick" {} -quality "$q" "$@" {}.out.jpg
}
run_jpegoptim() { ls "$1"/* | xargs -P 2 -n 1 jpegoptim -q "${@:2}"; }

printf '%d photos, %s\n\n' "$count" "$(nproc) cores"
printf '%-34s %8s %10s %8s\n' "level 3 / quality 74, no limit" "wall s" "images/s" "CPU s"
row() { printf '%-34s %8.2f %10.2f %8.2f\n' "$1" "$2" "$(echo "$count / $2" | bc -l)" "$3"; }
fresh d;  read -r w c < <(measure "$dorvex" -j 2 -l 3 -f jpeg --suffix "" -o "$work/d-out" "$work/d"); row "dorvex -l 3 -j 2" "$w" "$c"
fresh im; read -r w c < <(measure run_convert 74 "$work/im"); row "convert -quality 74 (2 at once)" "$w" "$c"
fresh jo; read -r w c < <(measure run_jpegoptim "$work/jo" -m74); row "jpegoptim -m74 (2 at once)" "$w" "$c"

limit=200000
score() {  # median butteraugli distance of each output to its source, and median bytes/limit
  local pairs=$1 scores="" ratios=""
  while read -r src out; do
    # butteraugli compares pictures of one size only: downscaled outputs get no score.
    local d
    d=$(butteraugli "$src" "$out" 2>/dev/null | head -n1 || true)
    [ -n "$d" ] && scores+="$d"$'\n'
    ratios+="$(echo "$(stat -c %s "$out") / $limit" | bc -l)"$'\n'
  done < "$pairs"
  local s r
  s=$(printf '%s' "$scores" | sort -g | awk '{a[NR]=$1} END{print a[int((NR+1)/2)]}')
  r=$(printf '%s' "$ratios" | sort -g | awk '{a[NR]=$1} END{print a[int((NR+1)/2)]}')
  echo "$r $s"
}
printf '\n%-34s %8s %12s %12s\n' "limit 200 000 bytes" "wall s" "bytes/limit" "butteraugli"
fresh d2; read -r w _ < <(measure "$dorvex" -j 2 -f jpeg --max-size $limit --suffix "" -o "$work/d2-out" "$work/d2")
for f in "$work/src"/*; do echo "$f $work/d2-out/$(basename "${f%.*}").jpg"; done > "$work/pairs-d"
read -r r s < <(score "$work/pairs-d"); printf '%-34s %8.2f %12.3f %12s\n' "dorvex --max-size 200000" "$w" "$r" "$s"
# Level 1 lets the search go up to quality 94, as the other tools may.
fresh d3; read -r w _ < <(measure "$dorvex" -j 2 -l 1 -f jpeg --max-size $limit --suffix "" -o "$work/d3-out" "$work/d3")
for f in "$work/src"/*; do echo "$f $work/d3-out/$(basename "${f%.*}").jpg"; done > "$work/pairs-d3"
read -r r s < <(score "$work/pairs-d3"); printf '%-34s %8.2f %12.3f %12s\n' "dorvex -l 1 --max-size 200000" "$w" "$r" "$s"
fresh jo2; read -r w _ < <(measure run_jpegoptim "$work/jo2" --size=200k)
for f in "$work/src"/*; do echo "$f $work/jo2/$(basename "$f")"; done > "$work/pairs-j"
read -r r s < <(score "$work/pairs-j"); printf '%-34s %8.2f %12.3f %12s\n' "jpegoptim --size=200k" "$w" "$r" "$s"
fresh im2; read -r w _ < <(measure run_convert 92 "$work/im2" -define jpeg:extent=200kb)
for f in "$work/src"/*; do echo "$f $work/im2/$(basename "$f").out.jpg"; done > "$work/pairs-i"
read -r r s < <(score "$work/pairs-i"); printf '%-34s %8.2f %12.3f %12s\n' "convert -define jpeg:extent=200kb" "$w" "$r" "$s"
echo "(butteraugli: median distance to the source over the outputs at the source's size; lower is better)"

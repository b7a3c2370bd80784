#!/usr/bin/env bash
# What the byte-limit search spends, file by file, against a baseline build, and photos to a
# limit against jpegoptim, measured side by side in one run.
#
#  1. Encodes and CPU per file: every PNG of the PNG folder to 200 KB (level 3, PNG) and every
#     photo of the photo folder to 200 KB (level 3, JPEG), one dorvex process per file, one job.
#     Median and worst file for this build and BASELINE's, and whether the two kept the same
#     bytes (or both kept the source).
#  2. Photos to 200 KB, one process per file: dorvex's wall time against `jpegoptim --size=200k`
#     on a copy of the same photo (median and 90th percentile of the per-file ratios; both fit
#     shares), and the whole folder with -j at the processor count against BASELINE's (where no
#     processor is idle, searching ahead must cost nothing).
#
#   BASELINE=<build folder> bench/search-waste.sh [build folder] [rounds]
#     build folder: default build/release; rounds: timings per file in part 2 (median), default 3
#     PNGS, PHOTOS: the folders read (default tests/media/images; photos: JPEGs above 40 kB)
#     LEVEL: the level of part 2 (default 3; 1 makes the search run on most photos)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
rounds=${2:-3}
dorvex=$(realpath "$build/bin/dorvex")
baseline=${BASELINE:+$(realpath "$BASELINE/bin/dorvex")}
pngs=$(realpath "${PNGS:-tests/media/images}")
photos=$(realpath "${PHOTOS:-tests/media/images}")
work=$(mktemp -d "${TMPDIR:-/tmp}/dorvex-searchwaste.XXXXXX")
trap 'rm -rf "$work"' EXIT
export HOME=$work/home XDG_DATA_HOME=$work/home/share XDG_CONFIG_HOME=$work/home/config
mkdir -p "$HOME" "$work/png" "$work/photo"
cd "$work"
for f in "$pngs"/*.png; do [ -f "$f" ] && cp "$f" png/; done
for f in "$photos"/*.jpg "$photos"/*.JPG "$photos"/*.jpeg; do
  [ -f "$f" ] && [ "$(stat -c %s "$f")" -gt 40000 ] && cp "$f" photo/
done
limit=200000
level=${LEVEL:-3}

median() { sort -g | awk '{v[NR]=$1} END{print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
pct() { sort -g | awk -v p="$1" '{v[NR]=$1} END{i=int(p*NR+0.999999); if(i<1)i=1; print v[i]}'; }
# Runs "$@" and prints "<wall seconds> <CPU seconds of everything it ran and waited for>".
measure() {
  (
    start=$EPOCHREALTIME
    read -ra before < /proc/$BASHPID/stat
    "$@" >/dev/null 2>&1 || true
    read -ra after < /proc/$BASHPID/stat
    printf '%.3f %.2f\n' "$(echo "$EPOCHREALTIME - $start" | bc -l)" \
      "$(echo "(${after[15]} + ${after[16]} - ${before[15]} - ${before[16]}) / $(getconf CLK_TCK)" | bc -l)"
  )
}
# One job: dorvex (program, file, format, out folder), its JSON line in job.json.
job() { "$1" --json -j 1 -l 3 -f "$3" --max-size $limit --suffix "" -o "$4" "$2" > job.json 2>/dev/null; }
# "<encodes> <status> <kept bytes>" of job.json.
outcome() {
  python3 -c 'import json,sys; d=json.loads(open("job.json").readline()); print(d.get("encodeCount",0), d["status"], d.get("outputBytes",0))'
}

# ---- 1. encodes and CPU per file ---------------------------------------------------------------
spend() {  # set name, format
  local set=$1 format=$2 f name
  : > "$set.rows"
  for f in "$set"/*; do
    name=${f##*/}
    local line="$name"
    for who in mine ${baseline:+base}; do
      local program=$dorvex; [ "$who" = base ] && program=$baseline
      rm -rf "out-$who"
      read -r _ cpu < <(measure job "$program" "$f" "$format" "out-$who")
      read -r encodes status bytes < <(outcome)
      line+=" $encodes $cpu $status $bytes"
      local kept; kept=$(ls "out-$who" 2>/dev/null | head -1 || true)
      [ -n "$kept" ] && cp "out-$who/$kept" "kept-$who" || : > "kept-$who"
    done
    if [ -n "$baseline" ]; then
      cmp -s kept-mine kept-base && line+=" same" || line+=" different"
    fi
    echo "$line" >> "$set.rows"
  done
  printf '%s: %d files to %d bytes, level 3, one process and one job per file\n' "$set" "$(wc -l < "$set.rows")" $limit
  printf '  %-28s %8s %8s %8s %8s\n' "" "encodes" "" "CPU s" ""
  printf '  %-28s %8s %8s %8s %8s\n' "" "median" "worst" "median" "worst"
  printf '  %-28s %8s %8s %8.2f %8.2f\n' "this build" "$(awk '{print $2}' "$set.rows" | median)" \
    "$(awk '{print $2}' "$set.rows" | sort -g | tail -1)" "$(awk '{print $3}' "$set.rows" | median)" \
    "$(awk '{print $3}' "$set.rows" | sort -g | tail -1)"
  if [ -n "$baseline" ]; then
    printf '  %-28s %8s %8s %8.2f %8.2f\n' "baseline" "$(awk '{print $6}' "$set.rows" | median)" \
      "$(awk '{print $6}' "$set.rows" | sort -g | tail -1)" "$(awk '{print $7}' "$set.rows" | median)" \
      "$(awk '{print $7}' "$set.rows" | sort -g | tail -1)"
    printf '  encodes saved in all: %d of %d; CPU saved in all: %.1f s of %.1f s; same kept bytes: %d of %d\n' \
      "$(awk '{s+=$6-$2} END{print s}' "$set.rows")" "$(awk '{s+=$6} END{print s}' "$set.rows")" \
      "$(awk '{s+=$7-$3} END{print s}' "$set.rows")" "$(awk '{s+=$7} END{print s}' "$set.rows")" \
      "$(grep -c ' same$' "$set.rows" || true)" "$(wc -l < "$set.rows")"
    echo "  per file: name, then encodes, CPU s, status, kept bytes (this build; baseline), kept bytes the same"
  else
    echo "  per file: name, encodes, CPU s, status, kept bytes"
  fi
  sed 's/^/    /' "$set.rows"
  echo
}
spend png png
spend photo jpeg

# ---- 2. photos to 200 KB against jpegoptim ------------------------------------------------------
: > ratios; fitD=0; fitJ=0; n=0
for f in photo/*; do
  name=${f##*/}
  : > d.wall; : > j.wall; : > b.wall
  for ((i = 0; i < rounds; i++)); do
    if [ -n "$baseline" ]; then
      rm -rf out-b; read -r w _ < <(measure "$baseline" -q -j 1 -l "$level" -f jpeg --max-size $limit --suffix "" -o out-b "$f"); echo "$w" >> b.wall
    fi
    rm -rf out-d; read -r w _ < <(measure "$dorvex" -q -j 1 -l "$level" -f jpeg --max-size $limit --suffix "" -o out-d "$f"); echo "$w" >> d.wall
    rm -rf jo; mkdir jo; cp "$f" jo/; read -r w _ < <(measure jpegoptim -q --size=200k jo/"$name"); echo "$w" >> j.wall
  done
  dw=$(median < d.wall); jw=$(median < j.wall)
  bw=$([ -n "$baseline" ] && median < b.wall || echo 0)
  printf '%.2f %s %s %s %s\n' "$(echo "$dw / $jw" | bc -l)" "$name" "$dw" "$jw" "$bw" >> ratios
  n=$((n + 1))
  kept=$(ls out-d | head -1 || true)
  { [ -n "$kept" ] && [ "$(stat -c %s "out-d/$kept")" -le $limit ]; } || { [ -z "$kept" ] && [ "$(stat -c %s "$f")" -le $limit ]; } && fitD=$((fitD + 1))
  [ "$(stat -c %s "jo/$name")" -le 204800 ] && fitJ=$((fitJ + 1))
done
printf 'photos to 200 KB at level %s, one process per file, %d processors, load %s, median of %d rounds per file\n' \
  "$level" "$(nproc)" "$(cut -d' ' -f1-3 /proc/loadavg)" "$rounds"
printf '  wall ÷ jpegoptim --size=200k: median %.2f, 90th percentile %.2f; within the limit: dorvex %d of %d, jpegoptim %d of %d\n' \
  "$(awk '{print $1}' ratios | median)" "$(awk '{print $1}' ratios | pct 0.9)" $fitD $n $fitJ $n
if [ -n "$baseline" ]; then
  printf '  this build ÷ baseline, per file: median %.2f\n' "$(awk '$5 > 0 {print $3 / $5}' ratios | median)"
fi
echo "  per file: ratio, name, dorvex s, jpegoptim s, baseline s"
sort -g ratios | sed 's/^/    /'

if [ -n "$baseline" ]; then
  jobs=$(nproc)
  : > full-mine; : > full-base
  for ((i = 0; i < rounds; i++)); do
    rm -rf out-m; read -r w c < <(measure "$dorvex" -q -j "$jobs" -l "$level" -f jpeg --max-size $limit --suffix "" -o out-m photo); echo "$w $c" >> full-mine
    rm -rf out-b; read -r w c < <(measure "$baseline" -q -j "$jobs" -l "$level" -f jpeg --max-size $limit --suffix "" -o out-b photo); echo "$w $c" >> full-base
  done
  printf '  the folder with -j %d (median of %d): this build %.2f s wall, %.2f s CPU; baseline %.2f s wall, %.2f s CPU\n' \
    "$jobs" "$rounds" "$(awk '{print $1}' full-mine | median)" "$(awk '{print $2}' full-mine | median)" \
    "$(awk '{print $1}' full-base | median)" "$(awk '{print $2}' full-base | median)"
fi

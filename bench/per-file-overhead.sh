#!/usr/bin/env bash
# The fixed cost of a job: the dorvex command against the one encoder it drives, on work where
# that cost dominates, measured side by side in one run.
#
#  1. One 1600×1000 JPEG at level 3, one process per file (as a file manager's menu or a script
#     starts it): the whole dorvex process against decoding the photo upright (`vips autorot` to
#     a PPM) and running cjpeg on it with the very arguments dorvex gives cjpeg. The two outputs
#     must be the same bytes.
#  2. A folder of 1 000 small PNG screenshots at level 3: one dorvex run on the folder (-j at its
#     default) against pngquant run on each file with dorvex's arguments, as many at once. dorvex
#     runs its encoders with OMP_WAIT_POLICY=passive (see ToolRunner), so pngquant is timed both
#     as it comes and with that setting.
#  3. Each PNG of a folder (PNGS, default tests/media/images), one process per file, against the
#     pngquant run dorvex makes for it, on the source file: CPU per file, median and worst ratio.
#
# The encoders' arguments are read from a traced dorvex run (strace of its execve calls: the
# encoders run in dorvex's sandboxed worker processes, which write nowhere else), so the
# reference is always the run dorvex makes. Each figure is the median of the rounds: wall seconds, and CPU seconds of the
# processes and their children; the ratios are dorvex ÷ reference. BASELINE=<build folder> times
# that build's dorvex as well, in the same rounds, to compare a change under the same load.
#
#   bench/per-file-overhead.sh [build folder] [rounds]
#     build folder: default build/release; rounds: default 9 for the photo, a third of that
#     (at least 3) for the folder
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
rounds=${2:-9}
folderRounds=$(( rounds / 3 > 3 ? rounds / 3 : 3 ))
dorvex=$(realpath "$build/bin/dorvex")
baseline=${BASELINE:+$(realpath "$BASELINE/bin/dorvex")}
media=$PWD/tests/media/images
work=$(mktemp -d "${TMPDIR:-/tmp}/dorvex-overhead.XXXXXX")
trap 'rm -rf "$work"' EXIT
export HOME=$work/home XDG_DATA_HOME=$work/home/share XDG_CONFIG_HOME=$work/home/config
mkdir -p "$HOME"
cd "$work"

median() { sort -g | awk '{v[NR]=$1} END{print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
# Runs "$@" in a subshell and appends its wall seconds to $1.wall and the CPU seconds of the
# subshell's children (everything it ran, waited for) to $1.cpu.
measure() {
  local name=$1; shift
  (
    start=$EPOCHREALTIME
    read -ra before < /proc/$BASHPID/stat
    "$@" >/dev/null 2>&1
    read -ra after < /proc/$BASHPID/stat
    echo "$EPOCHREALTIME - $start" | bc -l >> "$name.wall"
    echo "(${after[15]} + ${after[16]} - ${before[15]} - ${before[16]}) / $(getconf CLK_TCK)" | bc -l >> "$name.cpu"
  )
}
ratio() { echo "$1 / $2" | bc -l; }
# Runs the rounds of each named function (alternating their order) and prints one line per name:
# median wall and CPU seconds, and their ratios to the last name's.
compare() {  # rounds, names…
  local count=$1; shift
  local names=("$@") i name
  for name in "${names[@]}"; do : > "$name.wall"; : > "$name.cpu"; done
  for ((i = 0; i < count; i++)); do
    if ((i % 2)); then for ((k = ${#names[@]} - 1; k >= 0; k--)); do measure "${names[k]}" "${names[k]}"; done
    else for name in "${names[@]}"; do measure "$name" "$name"; done; fi
  done
  local reference=${names[-1]} rw rc w c
  rw=$(median < "$reference.wall"); rc=$(median < "$reference.cpu")
  printf '  %-34s %8s %8s %8s %8s\n' "" "wall s" "CPU s" "wall ×" "CPU ×"
  for name in "${names[@]}"; do
    w=$(median < "$name.wall"); c=$(median < "$name.cpu")
    printf '  %-34s %8.3f %8.3f %8.2f %8.2f\n' "$name" "$w" "$c" "$(ratio "$w" "$rw")" "$(ratio "$c" "$rc")"
  done
}

# The real encoder dorvex would run.
encoder() {  # name
  "$dorvex" --list-encoders --json | tr '{' '\n' | grep "\"name\":\"[^\"]*$1\"" | sed 's/.*"path":"\([^"]*\)".*/\1/'
}
# The arguments a traced run gave `tool` (its first execve), one a line, without the program name.
traced() {  # tool path, command…
  local tool=$1; shift
  strace -f -qq -v -s 65536 -e trace=execve -e signal=none -o trace.txt "$@" >/dev/null 2>&1 || true
  python3 - trace.txt "$tool" <<'PY'
import ast, re, sys
for line in open(sys.argv[1]):
    found = re.search(r'execve\("((?:[^"\\]|\\.)*)", \[(.*?)\], ', line)
    if found and ast.literal_eval('"' + found.group(1) + '"') == sys.argv[2]:
        print("\n".join(ast.literal_eval("[" + found.group(2) + "]")[1:]))
        break
PY
}
cjpeg=$(encoder cjpeg)
pngquantTool=$(encoder pngquant)
[ -x "$cjpeg" ] && [ -x "$pngquantTool" ] || { echo "cjpeg or pngquant not found by dorvex" >&2; exit 1; }

# ---- the photo ---------------------------------------------------------------------------------
vips thumbnail "$media/Dune.jpg" photo.jpg[Q=92] 1600 --height 1000 --size force
mkdir -p spied
# The arguments up to "-outfile OUT IN", which the reference fills in with its own files.
mapfile -t jpegArgs < <(traced "$cjpeg" "$dorvex" -q -l 3 -f jpeg --suffix "" -o spied photo.jpg)
[ "${jpegArgs[-3]}" = "-outfile" ] || { echo "unexpected cjpeg arguments: ${jpegArgs[*]}" >&2; exit 1; }
jpegArgs=("${jpegArgs[@]:0:${#jpegArgs[@]}-3}")

vips_autorot+cjpeg() {
  vips autorot photo.jpg ref.ppm && "$cjpeg" "${jpegArgs[@]}" -outfile ref.jpg ref.ppm
}
dorvex() {
  rm -rf out && "$dorvex" -q -l 3 -f jpeg --suffix "" -o out photo.jpg
}
baseline() {
  rm -rf out-baseline && "$baseline" -q -l 3 -f jpeg --suffix "" -o out-baseline photo.jpg
}
printf '%s×%s JPEG, level 3, one process per run, %s processors, %d rounds (medians)\n' \
  "$(vipsheader -f width photo.jpg)" "$(vipsheader -f height photo.jpg)" "$(nproc)" "$rounds"
printf '  cjpeg %s\n' "${jpegArgs[*]}"
compare "$rounds" dorvex ${baseline:+baseline} vips_autorot+cjpeg
cmp -s out/photo.jpg ref.jpg && echo "  outputs: the same bytes" || echo "  outputs: DIFFERENT bytes"
echo

# ---- the screenshots -------------------------------------------------------------------------
# Tiles of a large canvas of window pieces: terminal text, a palette window, rendered UI text.
vips flatten "$media/drawing-screenshot_color_palette.png" palette.v --background 255
vips text text.v "Compressed 14 files, saved 3.2 MB (41 %).  dorvex -l 3 --max-size 200KB ~/Pictures/screens  Level 3 · JPEG · beside the source" --width 500 --dpi 110
vips invert text.v inverted.v && vips bandjoin "inverted.v inverted.v inverted.v" text3.v
cells=()
for ((i = 0; i < 280; i++)); do
  case $((i % 3)) in
    0) cells+=("$media/docdiff-screenshot-format-tty-xterm-en.png") ;;
    1) cells+=(palette.v) ;;
    2) cells+=(text3.v) ;;
  esac
done
vips arrayjoin "${cells[*]}" canvas.v --across 20 --background 240
vips dzsave canvas.v tiles --tile-size 230 --overlap 0 --depth one --suffix .png
mkdir shots
n=0
for f in tiles_files/0/*.png; do
  ((n < 1000)) || break
  mv "$f" "shots/shot-$(printf %04d $n).png"; n=$((n + 1))
done
rm -rf tiles_files tiles.dzi canvas.v

mkdir -p spied-png
mapfile -t pngArgs < <(traced "$pngquantTool" "$dorvex" -q -l 3 -f png --suffix "" -o spied-png shots/shot-0000.png)
[ "${pngArgs[-3]}" = "--output" ] || { echo "unexpected pngquant arguments: ${pngArgs[*]}" >&2; exit 1; }
pngArgs=("${pngArgs[@]:0:${#pngArgs[@]}-3}")
jobs=$("$dorvex" --help | sed -n 's/.*default \([0-9]*\) on this machine.*/\1/p')

# Every round writes into a folder of its own, and the folders are removed after the last round:
# no round makes its files where the one before freed 1 000 of them, which a filesystem may make
# slower for whoever comes next, by where the folders happen to lie.
fresh() { mktemp -d -p . "$1.XXXXXX"; }
newest() { ls -td "$1".* | head -1; }
pngquant() {
  local into; into=$(fresh ref-png)
  (cd shots && ls | xargs -P "$jobs" -I{} "$pngquantTool" "${pngArgs[@]}" --output "../$into/{}" {}) || true
}
pngquant_passive() { OMP_WAIT_POLICY=passive pngquant; }
dorvex() {
  "$dorvex" -q -l 3 -f png --suffix "" -o "$(fresh out-png)" shots || true
}
baseline() {
  "$baseline" -q -l 3 -f png --suffix "" -o "$(fresh out-png-baseline)" shots || true
}
printf '%d PNG screenshots of 230×230 pixels, level 3, %d at once, %d rounds (medians)\n' "$n" "$jobs" "$folderRounds"
printf '  pngquant %s\n' "${pngArgs[*]}"
compare "$folderRounds" dorvex ${baseline:+baseline} pngquant_passive pngquant
identical=0; written=0
outputs=$(newest out-png); references=$(newest ref-png)
for f in "$outputs"/*.png; do
  [ -f "$f" ] || continue
  written=$((written + 1))
  cmp -s "$f" "$references/${f##*/}" && identical=$((identical + 1))
done
printf '  outputs written by dorvex: %d (the others saved nothing), the same bytes as pngquant'"'"'s: %d\n' \
  "$written" "$identical"
echo

# ---- larger PNGs, one by one ---------------------------------------------------------------------
# Each PNG of $PNGS (default tests/media/images) at level 3, one process per file, against the
# pngquant run dorvex makes for it (its arguments traced, run on the source file), CPU seconds
# (the median of the rounds): the per-file ratios' median and worst.
pngs=${PNGS:-$media}
: > png-ratios
for f in "$pngs"/*.png; do
  [ -f "$f" ] || continue
  name=${f##*/}
  mapfile -t args < <(traced "$pngquantTool" "$dorvex" -q -l 3 -f png --suffix "" -o "$(fresh spied-one)" "$f")
  [ "${#args[@]}" -ge 3 ] && [ "${args[-3]}" = "--output" ] || continue  # skipped before pngquant ran
  args=("${args[@]:0:${#args[@]}-3}")
  one_pngquant() { OMP_WAIT_POLICY=passive "$pngquantTool" "${args[@]}" --output "$(fresh ref-one)/x.png" "$f" || true; }
  one_dorvex() { "$dorvex" -q -l 3 -f png --suffix "" -o "$(fresh out-one)" "$f" || true; }
  one_baseline() { "$baseline" -q -l 3 -f png --suffix "" -o "$(fresh out-one-baseline)" "$f" || true; }
  for who in one_dorvex ${baseline:+one_baseline} one_pngquant; do : > "$who.wall"; : > "$who.cpu"; done
  for ((i = 0; i < rounds; i++)); do
    for who in one_dorvex ${baseline:+one_baseline} one_pngquant; do measure "$who" "$who"; done
  done
  d=$(median < one_dorvex.cpu); p=$(median < one_pngquant.cpu)
  b=$([ -n "$baseline" ] && median < one_baseline.cpu || echo 0)
  printf '%.2f %s %s %.2f %.2f %.2f\n' "$(ratio "$d" "$p")" "$name" "$(vipsheader -f width "$f")x$(vipsheader -f height "$f")" \
    "$d" "$p" "$b" >> png-ratios
  rm -rf spied-one.* ref-one.* out-one.* out-one-baseline.*
done
printf 'PNGs one by one at level 3, one process per file, %d rounds (CPU seconds, medians)\n' "$rounds"
printf '  dorvex ÷ pngquant per file: median %.2f, worst %.2f\n' \
  "$(awk '{print $1}' png-ratios | median)" "$(awk '{print $1}' png-ratios | sort -g | tail -1)"
echo "  per file: ratio, name, size, dorvex s, pngquant s, baseline s"
sort -g png-ratios | sed 's/^/    /'

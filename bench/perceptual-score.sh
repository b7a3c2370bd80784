#!/usr/bin/env bash
# What the perceptual score costs and what it says, through the dorvex command.
#
#  1. Cost: each photo at level 3 in every format (jpeg webp avif heic jxl png), one dorvex run
#     per job, with scoring and with --no-score, in the same rounds (their order alternating):
#     median wall and CPU seconds of a job (dorvex, its worker and the encoders), per format and
#     over all jobs, and the ratio with ÷ without. The goal is a ratio of at most 1.15.
#  2. Memory: one 50 MP photo (a photo of tests/media upscaled with `vips resize`, as a camera's
#     JPEG) at level 3, with and without scoring: peak resident memory (/usr/bin/time) and time.
#  3. What it says: every photo at every level (1–6) in every format, scored by the jobs
#     themselves (--json): median butteraugli (max-norm) and median 3-norm per level and format,
#     and whether each format's median 3-norm is within 10 % of JPEG's at every level.
#
# The photos are those of tests/media/images that bench/quality-calibration reads, each first
# made an upright, opaque PNG, so that no output is dropped as no saving (a same-format rule).
#
#   bench/perceptual-score.sh [build folder] [rounds]
#     build folder: default build/release; rounds: default 3
#   environment: LEVELS (default "1 2 3 4 5 6"), FORMATS (default "jpeg webp avif heic jxl png"),
#     PARTS (default "cost memory scores": the parts to run)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
rounds=${2:-3}
dorvex=$(realpath "$build/bin/dorvex")
levels=${LEVELS:-1 2 3 4 5 6}
parts=" ${PARTS:-cost memory scores} "
formats=${FORMATS:-jpeg webp avif heic jxl png}
media=$PWD/tests/media/images
for tool in vips python3 /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "perceptual-score: $tool is missing" >&2; exit 1; }
done
work=$(mktemp -d "${TMPDIR:-/tmp}/dorvex-score.XXXXXX")
trap 'rm -rf "$work"' EXIT
export HOME=$work/home XDG_DATA_HOME=$work/home/share XDG_CONFIG_HOME=$work/home/config
mkdir -p "$HOME" "$work/photos"
cd "$work"

for f in Dune.jpg IMG-20191006-WA0002.jpg Penguin-Sushi-1.JPG goexif-sample1.jpg kodim07-lzw.tif; do
  stem=$(basename "${f%.*}")
  vips autorot "$media/$f" "$stem.v"
  if [ "$(vipsheader -f bands "$stem.v")" -ge 4 ]; then vips flatten "$stem.v" "photos/$stem.png"; else vips copy "$stem.v" "photos/$stem.png"; fi
  rm -f "$stem.v"
done
photos=(photos/*.png)

median() { sort -g | awk '{v[NR]=$1} END{if (NR == 0) print "nan"; else print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
ratio() { echo "$1 / $2" | bc -l; }
# Runs one job in a subshell: appends "format wall cpu" to $1 (CPU: the subshell's children,
# that is dorvex and everything it ran and waited for).
job() {  # file, format, photo, dorvex arguments…
  local file=$1 format=$2 photo=$3; shift 3
  (
    rm -rf out
    start=$EPOCHREALTIME
    read -ra before < /proc/$BASHPID/stat
    "$dorvex" -q -j 1 -l 3 -f "$format" --suffix "" -o out "$@" "$photo" >/dev/null 2>&1
    read -ra after < /proc/$BASHPID/stat
    echo "$format $(echo "$EPOCHREALTIME - $start" | bc -l)" \
      "$(echo "(${after[15]} + ${after[16]} - ${before[15]} - ${before[16]}) / $(getconf CLK_TCK)" | bc -l)" >> "$file"
  )
}
medianOf() { awk -v f="$2" -v c="$3" 'f == "all" || $1 == f {print $c}' "$1" | median; }

# ---- 1. cost ---------------------------------------------------------------------------------
if [[ $parts == *" cost "* ]]; then
: > scored.txt; : > unscored.txt
for ((r = 0; r < rounds; r++)); do
  for format in $formats; do
    for photo in "${photos[@]}"; do
      if ((r % 2)); then
        job unscored.txt "$format" "$photo" --no-score; job scored.txt "$format" "$photo" --score
      else
        job scored.txt "$format" "$photo" --score; job unscored.txt "$format" "$photo" --no-score
      fi
    done
  done
done
printf '%d photos at level 3, one job per dorvex run, %d rounds; %s\n' "${#photos[@]}" "$rounds" \
  "$("$dorvex" --version | head -n1)"
printf '  %-6s %12s %12s %8s %12s %12s %8s\n' format "wall scored" "unscored" "×" "CPU scored" "unscored" "×"
for format in $formats all; do
  ws=$(medianOf scored.txt "$format" 2); wu=$(medianOf unscored.txt "$format" 2)
  cs=$(medianOf scored.txt "$format" 3); cu=$(medianOf unscored.txt "$format" 3)
  printf '  %-6s %12.3f %12.3f %8.2f %12.3f %12.3f %8.2f\n' "$format" "$ws" "$wu" "$(ratio "$ws" "$wu")" \
    "$cs" "$cu" "$(ratio "$cs" "$cu")"
done
echo "  (medians of the jobs' seconds; ×: scored ÷ unscored, the goal at most 1.15)"
echo
fi

# ---- 2. memory -------------------------------------------------------------------------------
if [[ $parts == *" memory "* ]]; then
vips resize "$media/Dune.jpg" large.v 5.324
vips jpegsave large.v photo-50mp.jpg --Q 92
rm -f large.v
printf 'One %s photo (%s MP) at level 3, peak resident memory\n' "$(vipsheader -f width photo-50mp.jpg)×$(vipsheader -f height photo-50mp.jpg)" \
  "$(echo "$(vipsheader -f width photo-50mp.jpg) * $(vipsheader -f height photo-50mp.jpg) / 1000000" | bc)"
for args in --score --no-score; do
  rm -rf out
  /usr/bin/time -v -o time.txt "$dorvex" -q -l 3 --suffix "" -o out $args photo-50mp.jpg >/dev/null 2>&1 || true
  awk -F': ' -v name="${args#--}" '
    /Elapsed \(wall clock\)/ { n = split($2, t, ":"); w = 0; for (i = 1; i <= n; i++) w = w * 60 + t[i] }
    /User time/ { u = $2 } /System time/ { s = $2 } /Maximum resident/ { m = $2 }
    END { printf "  %-10s %6.0f MB   wall %6.2f s   CPU %6.2f s\n", name, m / 1024, w, u + s }' time.txt
done
echo
fi

# ---- 3. what it says -------------------------------------------------------------------------
[[ $parts == *" scores "* ]] || exit 0
: > rows.txt; : > unscored-outputs.txt
for level in $levels; do
  for format in $formats; do
    rm -rf out
    "$dorvex" --json -j 2 -l "$level" -f "$format" --suffix "" -o out photos |
      python3 -c '
import json, sys
for line in sys.stdin:
    j = json.loads(line)
    p = j.get("perceptual")
    if p: print(sys.argv[1], sys.argv[2], p["butteraugli"], p["pnorm3"])
    else: print(sys.argv[1], sys.argv[2], j["status"], j.get("skipReason", ""), file=sys.stderr)
' "$level" "$format" >> rows.txt 2>> unscored-outputs.txt
  done
done
if [ -s unscored-outputs.txt ]; then
  echo "Jobs without a score (level, format, status, reason; median of the others):"
  sort unscored-outputs.txt | uniq -c | sed 's/^/  /'
fi
python3 - rows.txt "$levels" "$formats" <<'PY'
import statistics, sys
rows = [line.split() for line in open(sys.argv[1])]
levels, formats = sys.argv[2].split(), sys.argv[3].split()
def med(level, fmt, column):
    values = [float(r[column]) for r in rows if r[0] == level and r[1] == fmt]
    return statistics.median(values) if values else float("nan")
print("Median scores of the photos (butteraugli max-norm / 3-norm), from dorvex --json")
print("  level " + "".join(f"{f:>15}" for f in formats))
for level in levels:
    print(f"  {level:>5} " + "".join(f"{med(level, f, 2):>8.3f} /{med(level, f, 3):>5.2f}" for f in formats))
if "jpeg" in formats:
    print("3-norm within 10 % of JPEG's at every level:")
    for f in formats:
        if f == "jpeg": continue
        gaps = [med(l, f, 3) / med(l, "jpeg", 3) - 1 for l in levels]
        worst = max(gaps, key=abs)
        print(f"  {f:<5} {'yes' if all(abs(g) <= 0.10 for g in gaps) else 'no ':<4}"
              f" (furthest: {worst * 100:+.0f} % at level {levels[gaps.index(worst)]})")
PY

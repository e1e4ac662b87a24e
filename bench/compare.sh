#!/usr/bin/env bash
# Side-by-side comparison with bzip2 -9 on the corpus and on a 10485760-byte
# block made from it: packed sizes, bits per byte, MB/s both ways, time ratios.
# Then the processors: a file of about 40 MB (four 10 MiB blocks of Python
# sources and of the cc1plus binary, and a short one), compressed and
# extracted on one processor and on two (taskset), wall time, beside
# `bzip3 -j 2` and `lbzip2 -n 2` where they are installed.
# Run by hand from the repository root after `cmake --workflow --preset release`:
#   bench/compare.sh [path/to/morv-Q17] [corpus folder]
# Times are wall-clock by default; with MORV_COMPARE_TIME=cpu they are the
# user + system CPU time of each run, which is steadier on a busy machine.
# MORV_COMPARE_REPEAT=k runs every command k times and reports the mean (the
# CPU clock counts in milliseconds, coarse for the small files).
set -euo pipefail

exe=${1:-build/release/morv-Q17}
corpus=${2:-${MORV_CORPUS_DIR:-../shared/corpus}}
[ -x "$exe" ] || { echo "no program at $exe (build the release preset first)" >&2; exit 1; }
[ -d "$corpus" ] || { echo "no corpus folder at $corpus" >&2; exit 1; }
command -v bzip2 >/dev/null || { echo "bzip2 is not installed (apt-get install -y bzip2)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# 10 MiB block: the corpus files concatenated, repeated until full.
big="$work/corpus10M"
: > "$big"
while [ "$(stat -c %s "$big")" -lt 10485760 ]; do
  for f in "$corpus"/*; do [ "${f##*.}" = md ] || cat "$f" >> "$big"; done
done
truncate -s 10485760 "$big"

now() { date +%s.%N; }
cpuMode=${MORV_COMPARE_TIME:-wall}
repeat=${MORV_COMPARE_REPEAT:-1}
repeatRuns() { local r; for ((r = 0; r < repeat; r++)); do "$@" >"$out_to" </dev/null 2>/dev/null; done; }
# Runs "$@" (stdin from /dev/null, stdout to $out_to, set by the caller)
# `repeat` times and prints the seconds one run took (wall or CPU, see above).
timed() {
  if [ "$cpuMode" = cpu ]; then
    local TIMEFORMAT='%3U %3S' t
    t=$( { time repeatRuns "$@"; } 2>&1 )
    awk -v u="${t% *}" -v s="${t#* }" -v k="$repeat" 'BEGIN { d = (u + s) / k; if (d < 0.0005) d = 0.0005; printf "%.4f", d }'
  else
    local t0 t1
    t0=$(now); repeatRuns "$@"; t1=$(now)
    awk -v a="$t0" -v b="$t1" -v k="$repeat" 'BEGIN { d = (b - a) / k; if (d < 0.0005) d = 0.0005; printf "%.4f", d }'
  fi
}
mbps() { awk -v n="$1" -v t="$2" 'BEGIN { printf "%.1f", n / 1048576 / t }'; }
bpb() { awk -v p="$1" -v n="$2" 'BEGIN { printf "%.3f", p * 8 / n }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

printf '%-16s %9s | %9s %6s %7s %7s | %9s %6s %7s %7s | %6s %6s\n' \
  file bytes morv bpb c-MB/s d-MB/s bzip2 bpb c-MB/s d-MB/s c-x d-x
files=()
for f in "$corpus"/*; do [ "${f##*.}" = md ] || files+=("$f"); done
files+=("$big")
for f in "${files[@]}"; do
  name=$(basename "$f")
  n=$(stat -c %s "$f")
  cp "$f" "$work/in"

  out_to=/dev/null
  mc=$(timed "$exe" -c "$work/in" -o "$work/in.p")
  md=$(timed "$exe" -e "$work/in.p" -o "$work/in.u")
  cmp -s "$work/in" "$work/in.u" || { echo "round trip FAILED for $name" >&2; exit 1; }
  mp=$(stat -c %s "$work/in.p")

  out_to="$work/in.bz2"; bc=$(timed bzip2 -9 -k -c "$work/in")
  out_to="$work/in.bu"; bd=$(timed bzip2 -d -c "$work/in.bz2")
  bp=$(stat -c %s "$work/in.bz2")

  printf '%-16s %9d | %9d %6s %7s %7s | %9d %6s %7s %7s | %6s %6s\n' \
    "$name" "$n" "$mp" "$(bpb "$mp" "$n")" "$(mbps "$n" "$mc")" "$(mbps "$n" "$md")" \
    "$bp" "$(bpb "$bp" "$n")" "$(mbps "$n" "$bc")" "$(mbps "$n" "$bd")" \
    "$(ratio "$mc" "$bc")" "$(ratio "$md" "$bd")"
  rm -f "$work"/in*
done
echo "c-x, d-x: morv time / bzip2 time for compression and extraction (below 1: morv is faster); times: $cpuMode"

# Several blocks on one and on two processors (always wall-clock time).
command -v taskset >/dev/null || { echo "taskset not installed: processor comparison skipped"; exit 0; }
cc1plus=$(g++ -print-prog-name=cc1plus 2>/dev/null || true)
pysrc=$(/usr/bin/python3 -c 'import sysconfig; print(sysconfig.get_paths()["stdlib"])' 2>/dev/null || true)
if [ ! -f "$cc1plus" ] || [ ! -d "$pysrc" ]; then
  echo "no cc1plus or Python sources: processor comparison skipped"; exit 0
fi
multi="$work/multi"
# (head ends the pipes early: their SIGPIPE is no failure here)
set +o pipefail
find "$pysrc" -name '*.py' | sort | xargs cat > "$work/py"
while [ "$(stat -c %s "$work/py")" -lt 20971520 ]; do cat "$work/py" "$work/py" > "$work/py2"; mv "$work/py2" "$work/py"; done
head -c 20971520 "$work/py" > "$multi"
cat "$cc1plus" "$cc1plus" "$cc1plus" | head -c 20971520 >> "$multi"
head -c 400000 "$corpus/lcet10.txt" >> "$multi"
set -o pipefail
n=$(stat -c %s "$multi")
cpuMode=wall
echo
printf '%-26s %9s %9s %8s %8s
' "40 MB, $(nproc) processors" packed "c-s" "d-s" ""
row() { printf '%-26s %9d %9s %8s
' "$1" "$2" "$3" "$4"; }
out_to=/dev/null
c1=$(timed taskset -c 0 "$exe" -c "$multi" -o "$work/m.p")
d1=$(timed taskset -c 0 "$exe" -e "$work/m.p" -o "$work/m.u")
cmp -s "$multi" "$work/m.u" || { echo "round trip FAILED for the 40 MB file" >&2; exit 1; }
row "morv, 1 processor" "$(stat -c %s "$work/m.p")" "$c1" "$d1"
c2=$(timed taskset -c 0,1 "$exe" -c "$multi" -o "$work/m.p")
d2=$(timed taskset -c 0,1 "$exe" -e "$work/m.p" -o "$work/m.u")
cmp -s "$multi" "$work/m.u" || { echo "round trip FAILED for the 40 MB file" >&2; exit 1; }
row "morv, 2 processors" "$(stat -c %s "$work/m.p")" "$c2" "$d2"
out_to="$work/m.bz2"; bc=$(timed bzip2 -9 -k -c "$multi")
out_to="$work/m.bu"; bd=$(timed bzip2 -d -c "$work/m.bz2")
row "bzip2 -9" "$(stat -c %s "$work/m.bz2")" "$bc" "$bd"
if command -v lbzip2 >/dev/null; then
  out_to="$work/m.lbz"; lc=$(timed taskset -c 0,1 lbzip2 -9 -n 2 -k -c "$multi")
  out_to="$work/m.lbu"; ld=$(timed taskset -c 0,1 lbzip2 -d -n 2 -c "$work/m.lbz")
  row "lbzip2 -9 -n 2" "$(stat -c %s "$work/m.lbz")" "$lc" "$ld"
fi
if command -v bzip3 >/dev/null; then
  out_to="$work/m.bz3"; zc=$(timed taskset -c 0,1 bzip3 -e -j 2 -c "$multi")
  out_to="$work/m.bz3u"; zd=$(timed taskset -c 0,1 bzip3 -d -j 2 -c "$work/m.bz3")
  row "bzip3 -j 2" "$(stat -c %s "$work/m.bz3")" "$zc" "$zd"
fi
echo "morv speed-up on 2 processors: compression $(ratio "$c1" "$c2")x, extraction $(ratio "$d1" "$d2")x ($n bytes)"

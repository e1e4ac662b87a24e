#!/usr/bin/env bash
# Side-by-side comparison with bzip2 -9 on the corpus and on a 10485760-byte
# block made from it: packed sizes, bits per byte, MB/s both ways, time ratios.
# Run by hand from the repository root after `cmake --workflow --preset release`:
#   bench/compare.sh [path/to/morv-Q17] [corpus folder]
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
secs() { awk -v a="$1" -v b="$2" 'BEGIN { d = b - a; if (d < 0.0005) d = 0.0005; printf "%.4f", d }'; }
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

  t0=$(now); "$exe" -c "$work/in" -o "$work/in.p" </dev/null >/dev/null; t1=$(now)
  "$exe" -e "$work/in.p" -o "$work/in.u" </dev/null >/dev/null; t2=$(now)
  cmp -s "$work/in" "$work/in.u" || { echo "round trip FAILED for $name" >&2; exit 1; }
  mc=$(secs "$t0" "$t1"); md=$(secs "$t1" "$t2"); mp=$(stat -c %s "$work/in.p")

  t0=$(now); bzip2 -9 -k -c "$work/in" > "$work/in.bz2"; t1=$(now)
  bzip2 -d -c "$work/in.bz2" > "$work/in.bu"; t2=$(now)
  bc=$(secs "$t0" "$t1"); bd=$(secs "$t1" "$t2"); bp=$(stat -c %s "$work/in.bz2")

  printf '%-16s %9d | %9d %6s %7s %7s | %9d %6s %7s %7s | %6s %6s\n' \
    "$name" "$n" "$mp" "$(bpb "$mp" "$n")" "$(mbps "$n" "$mc")" "$(mbps "$n" "$md")" \
    "$bp" "$(bpb "$bp" "$n")" "$(mbps "$n" "$bc")" "$(mbps "$n" "$bd")" \
    "$(ratio "$mc" "$bc")" "$(ratio "$md" "$bd")"
  rm -f "$work"/in*
done
echo "c-x, d-x: morv time / bzip2 time for compression and extraction (below 1: morv is faster)"

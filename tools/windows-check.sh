#!/usr/bin/env bash
# The program on its own platform: cross-builds morv-Q17.exe for 32-bit Windows
# with MinGW-w64, builds the Linux program from the same tree, and runs the
# Windows program under Wine side by side with the Linux one:
#   - the help text (42 lines, the same as on Linux), no pause after it;
#   - usage and run errors: the same texts on both sides, exit status 255
#     (Wine reports -1 as 255), and the "pause" prompt after every one;
#     a help request alone (-h without -c or -e) ends after the help text,
#     status 0, no pause; warnings do not end a run;
#   - every corpus file with every method (-d, -p, -m, -m --norle0, -m -s,
#     -m -s --norle0): compression with --test on both sides, the same printed
#     lines, byte-identical packed files, and each side extracts the other's;
#     the timing lines hold readings of the Windows clock;
#   - the diagnostic files: the Linux file with every LF turned into CR LF,
#     byte for byte (text mode on Windows; raw data bytes included);
#   - the size probe on sparse files of about 3 and 4.1 GB and at 4294967295
#     and 4294967296 bytes.
# Console output of the Windows program has CR LF line ends (text mode);
# the comparisons drop the CR before a LF.
#
# Usage: tools/windows-check.sh [corpus folder]     (default: ../shared/corpus)
# Environment: MORV_WINCHECK_KEEP=1 keeps the work folder for inspection.
# Needs root on Debian 12 for the installs it makes when something is missing:
# cmake, g++, g++-mingw-w64-i686-posix, wine and wine32:i386.
# Exits non-zero on any failure; 77 when the tools cannot be installed.
set -euo pipefail

cd "$(dirname "$0")/.."
SRC=$(pwd)
# The corpus: the argument, else MORV_CORPUS_DIR, else ../shared/corpus. A
# clone without it runs the check on files of its own source tree instead.
CORPUS_DIR=${1:-${MORV_CORPUS_DIR:-$SRC/../shared/corpus}}
CORPUS=""
if [ -d "$CORPUS_DIR" ]; then CORPUS=$(cd "$CORPUS_DIR" && pwd); fi

script_start=$(date +%s)
phase_start=$script_start
phases=()
phase_done() {
    local now
    now=$(date +%s)
    phases+=("$1: $((now - phase_start)) s")
    phase_start=$now
}
say() { printf '== %s\n' "$*"; }

# ---------------------------------------------------------------- installs
need=()
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v g++ >/dev/null 2>&1 || need+=(g++)
command -v make >/dev/null 2>&1 || need+=(make)
# The posix thread model: the program codes blocks on several threads.
if ! command -v i686-w64-mingw32-g++-posix >/dev/null 2>&1; then
    need+=(g++-mingw-w64-i686-posix)
fi
if ! dpkg-query -W -f='${Status}\n' wine32:i386 2>/dev/null | grep -q 'ok installed' ||
   ! command -v wine >/dev/null 2>&1; then
    need+=(wine wine32:i386)
fi
if [ ${#need[@]} -gt 0 ]; then
    say "installing: ${need[*]}"
    export DEBIAN_FRONTEND=noninteractive
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
    fi
    # A mirror in the middle of a sync can fail the index update while every
    # package is still installable: report it and try the install anyway,
    # twice with a pause between. Only a failed install stops the check.
    # Recommends would bring fonts, sound and GL drivers that a console
    # program under Wine does not use.
    installed=0
    for try in 1 2; do
        apt-get update -qq || say "apt-get update failed (exit $?); trying the install anyway"
        if apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null; then
            installed=1
            break
        fi
        [ "$try" = 1 ] && { say "apt-get install failed; retrying in 20 s"; sleep 20; }
    done
    # Exit status 77: the check could not be set up (CI goes on without it).
    [ "$installed" = 1 ] || { echo "windows-check: could not install: ${need[*]}" >&2; exit 77; }
fi
phase_done "installs"

WORK=$(mktemp -d "${TMPDIR:-/tmp}/morv-wincheck.XXXXXX")
export WINEPREFIX="$WORK/wineprefix"
cleanup() {
    # Ends the wineserver of this private prefix only.
    if command -v wineserver >/dev/null 2>&1 && [ -d "$WINEPREFIX" ]; then
        wineserver -k >/dev/null 2>&1 || true
    fi
    if [ "${MORV_WINCHECK_KEEP:-0}" = 1 ]; then
        echo "work folder kept: $WORK"
    else
        rm -rf "$WORK"
    fi
}
trap cleanup EXIT

# ---------------------------------------------------------------- builds
say "building morv-Q17.exe (preset windows-i686)"
if ! { cmake --preset windows-i686 && cmake --build --preset windows-i686 --target morv-Q17 --parallel 2; } \
        >"$WORK/build-windows.log" 2>&1; then
    tail -n 40 "$WORK/build-windows.log"
    echo "FAIL: the Windows build failed" >&2
    exit 1
fi
WEXE="$SRC/build/windows-i686/morv-Q17.exe"
phase_done "Windows build"

say "building the Linux program (preset release-program)"
if ! { cmake --preset release-program && cmake --build --preset release-program --target morv-Q17 --parallel 2; } \
        >"$WORK/build-linux.log" 2>&1; then
    tail -n 40 "$WORK/build-linux.log"
    echo "FAIL: the Linux build failed" >&2
    exit 1
fi
LEXE="$SRC/build/release-program/morv-Q17"
phase_done "Linux build"

# ---------------------------------------------------------------- Wine
export WINEDEBUG=-all WINEARCH=win32
# No Mono or Gecko download prompts, no window of any kind.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
say "initialising a private Wine prefix"
if ! timeout -k 10 600 wineboot --init </dev/null >"$WORK/wineboot.log" 2>&1; then
    cat "$WORK/wineboot.log"
    echo "FAIL: wineboot failed" >&2
    exit 1
fi
timeout -k 10 300 wineserver -w || true
phase_done "Wine prefix"

# ---------------------------------------------------------------- helpers
passed=0
failed=0
ok() { passed=$((passed + 1)); }
bad() {
    failed=$((failed + 1))
    echo "FAIL: $*"
}

RUN="$WORK/run"      # the working folder of both programs
OUT="$WORK/out"      # what they printed
mkdir -p "$RUN" "$OUT"

# A run that has not ended after this many seconds is stopped and counted as
# a failure, so that a program that hangs fails the check instead of holding
# it up until the CI job's own limit.
RUN_LIMIT=${RUN_LIMIT:-300}
timed_out() {
    if [ "$1" = 124 ] || [ "$1" = 137 ]; then bad "$2: still running after ${RUN_LIMIT} s, stopped"; fi
}
# runw NAME ARGS...: the Windows program under Wine, in $RUN, standard input
# empty so that "pause" returns at once. Output in $OUT/NAME.w{out,err,rc}.
runw() {
    local name=$1 rc=0
    shift
    (cd "$RUN" && timeout -k 10 "$RUN_LIMIT" wine "$WEXE" "$@") </dev/null >"$OUT/$name.wout" 2>"$OUT/$name.werr" || rc=$?
    echo "$rc" >"$OUT/$name.wrc"
    timed_out "$rc" "Windows program, $name"
}
# runl NAME ARGS...: the same for the Linux program.
runl() {
    local name=$1 rc=0
    shift
    (cd "$RUN" && timeout -k 10 "$RUN_LIMIT" "$LEXE" "$@") </dev/null >"$OUT/$name.lout" 2>"$OUT/$name.lerr" || rc=$?
    echo "$rc" >"$OUT/$name.lrc"
    timed_out "$rc" "Linux program, $name"
}

# The console streams of the Windows program are in text mode: CR LF.
crlf_to_lf() { perl -0777 -pe 's/\r\n/\n/g' "$1"; }
# Timing values differ from run to run and machine to machine.
mask_times() { sed -E 's/^((Compression|Decompression) time: ).*$/\1<t>/'; }

# pause_count FILE: how many "pause" prompts the Windows standard output has.
pause_count() { grep -c 'Press any key' "$1" || true; }
# without_pause FILE: Windows standard output, LF line ends, prompt removed.
# The prompt is the last thing a run prints and has no line end of its own.
without_pause() { crlf_to_lf "$1" | perl -0777 -pe 's/Press any key[^\n]*\z//'; }

# same_run NAME PAUSES: the Windows run printed what the Linux one did (times
# masked), ended with the same status, and paused PAUSES times.
same_run() {
    local name=$1 pauses=$2 what=$3 good=1 n
    if ! diff <(without_pause "$OUT/$name.wout" | mask_times) \
              <(mask_times <"$OUT/$name.lout") >"$OUT/$name.outdiff"; then
        bad "$what: standard output differs from Linux"; head -n 20 "$OUT/$name.outdiff"; good=0
    fi
    if ! diff <(crlf_to_lf "$OUT/$name.werr") "$OUT/$name.lerr" >"$OUT/$name.errdiff"; then
        bad "$what: standard error differs from Linux"; head -n 20 "$OUT/$name.errdiff"; good=0
    fi
    if [ "$(cat "$OUT/$name.wrc")" != "$(cat "$OUT/$name.lrc")" ]; then
        bad "$what: exit status $(cat "$OUT/$name.wrc") on Windows, $(cat "$OUT/$name.lrc") on Linux"; good=0
    fi
    n=$(pause_count "$OUT/$name.wout")
    if [ "$n" != "$pauses" ]; then
        bad "$what: $n pause prompts, expected $pauses"; good=0
    fi
    [ $good = 1 ] && ok
    return 0
}

# clock_lines NAME COUNT WHAT: the Windows run printed COUNT timing lines and
# each holds a reading of the clock ("-" would mean no clock).
clock_lines() {
    local n
    n=$(crlf_to_lf "$OUT/$1.wout" |
        grep -cE '^(Compression|Decompression) time: [0-9][0-9.e+-]*s$' || true)
    if [ "$n" = "$2" ]; then ok; else bad "$3: $n timing lines with a clock reading, expected $2"; fi
}

# expect_status NAME STATUS WHAT
expect_status() {
    local got
    got=$(cat "$OUT/$1.wrc")
    if [ "$got" = "$2" ]; then ok; else bad "$3: exit status $got, expected $2"; fi
}

# same_bytes A B WHAT
same_bytes() {
    if cmp -s "$1" "$2"; then ok; else bad "$3: $(cmp "$1" "$2" 2>&1 | head -n 1)"; fi
}

# ---------------------------------------------------------------- checks
say "checking the executable"
if objdump_out=$(i686-w64-mingw32-objdump -p "$WEXE" 2>&1); then
    if grep -q 'file format pei-i386' <<<"$objdump_out"; then ok; else bad "morv-Q17.exe is not a 32-bit PE file"; fi
    dlls=$(grep 'DLL Name' <<<"$objdump_out" | awk '{print $3}' | sort -u | tr '\n' ' ')
    if grep -qiE 'libstdc|libgcc|winpthread|mingw' <<<"$dlls"; then
        bad "morv-Q17.exe needs MinGW DLLs: $dlls"
    else
        ok
    fi
    echo "   imports: $dlls"
else
    bad "objdump cannot read morv-Q17.exe"
fi

if [ -n "$CORPUS" ]; then
    for f in "$CORPUS"/*; do
        [ -f "$f" ] && cp "$f" "$RUN/"
    done
else
    echo "   no corpus at $CORPUS_DIR: files of the source tree stand in for it"
    cp "$SRC/README.md" "$RUN/readme.txt"
    cat "$SRC"/transform/*.cpp >"$RUN/sources.txt"
    head -c 300000 "$LEXE" >"$RUN/program.bin"
fi
files=()
for f in "$RUN"/*; do files+=("$(basename "$f")"); done
[ ${#files[@]} -gt 0 ] || { echo "FAIL: no corpus files in $CORPUS_DIR" >&2; exit 1; }
first=${files[0]}
: >"$RUN/empty.bin"

say "help text"
runw help; runl help
same_run help 0 "help text"
if [ "$(without_pause "$OUT/help.wout" | wc -l)" = 42 ]; then ok; else bad "help text is not 42 lines"; fi
expect_status help 0 "help text"
# A help request without -c or -e ends after the help text: no pause, 0.
runw help-alone -h "$first"; runl help-alone -h "$first"
same_run help-alone 0 "-h $first"
expect_status help-alone 0 "-h $first"

say "usage and run errors"
# Each: a name, then the arguments. All of them end with an ERROR line, 255.
errors=(
    "no-input|-c"
    "no-mode|$first"
    "both-modes|-c|-e|$first"
    "two-inputs|-c|$first|extra"
    "o-last|-c|$first|-o"
    "test-last|-c|$first|--test"
    "b-last|-c|$first|-b"
    "bwt-last|-c|$first|--bwt_output"
    "rle0-clash|-c|$first|-m|-r|--norle0"
    "coder-clash|-c|$first|-m|-a|-s"
    "method-clash|-c|$first|-m|-d"
    "missing-input|-c|missing.bin"
    "empty-input|-c|empty.bin"
    "same-file|-c|$first|-o|$first"
    "test-on-input|-c|$first|-o|same.pk|--test|$first"
    "bwt-unopenable|-c|$first|--bwt_output|no-such-dir/bwt.txt"
    "mtf1|-c|$first|-o|mtf1.pk|--mtf1"
    "not-packed|-e|$first|-o|not-packed.out"
)
for errorCase in "${errors[@]}"; do
    IFS='|' read -r -a args <<<"$errorCase"
    name=err-${args[0]}
    runw "$name" "${args[@]:1}"
    runl "$name" "${args[@]:1}"
    same_run "$name" 1 "${args[*]:1}"
    expect_status "$name" 255 "${args[*]:1}"
    if grep -q '^ERROR: ' "$OUT/$name.werr"; then ok; else bad "${args[*]:1}: no ERROR line"; fi
done

say "warnings"
runw warn-dc -c "$first" -o warn-dc.w.pk -d -r -s
runl warn-dc -c "$first" -o warn-dc.l.pk -d -r -s
same_run warn-dc 1 "-c -d -r -s"
expect_status warn-dc 0 "-c -d -r -s"
if [ "$(grep -c '^WARNING: ' "$OUT/warn-dc.wout" || true)" = 2 ]; then ok
else bad "-c -d -r -s: expected two WARNING lines"; fi
same_bytes "$RUN/warn-dc.w.pk" "$RUN/warn-dc.l.pk" "-c -d -r -s: packed files (Windows vs Linux)"
runw warn-e -e warn-dc.l.pk -o warn-e.w.out -m -a --bwt_output warn-bwt.w.txt
runl warn-e -e warn-dc.w.pk -o warn-e.l.out -m -a --bwt_output warn-bwt.l.txt
same_run warn-e 1 "-e -m -a --bwt_output"
same_bytes "$RUN/warn-e.w.out" "$RUN/$first" "-e with warnings"

phase_done "help and errors"

say "round trips: ${#files[@]} files x 6 methods"
methods=("dc|-d" "prefix|-p" "mtf|-m" "mtf-norle0|-m --norle0" "mtf-static|-m -s" "mtf-static-norle0|-m -s --norle0")
for f in "${files[@]}"; do
    for m in "${methods[@]}"; do
        tag=${m%%|*}
        read -r -a flags <<<"${m#*|}"
        xflags=()
        [ "$tag" = prefix ] && xflags=(-p)
        base="$f.$tag"
        what="$f ${flags[*]}"
        # Compression with the round-trip test, on both sides.
        runw "$base.c" -c "$f" -o "$base.w.pk" --test "$base.w.test" "${flags[@]}"
        runl "$base.c" -c "$f" -o "$base.l.pk" --test "$base.l.test" "${flags[@]}"
        same_run "$base.c" 1 "$what (compress --test)"
        expect_status "$base.c" 0 "$what (compress --test)"
        clock_lines "$base.c" 2 "$what (compress --test)"
        if grep -q '^OK, Files are equal\.' <(crlf_to_lf "$OUT/$base.c.wout"); then ok
        else bad "$what: no \"OK, Files are equal.\""; fi
        same_bytes "$RUN/$base.w.test" "$RUN/$f" "$what: Windows --test file"
        same_bytes "$RUN/$base.w.pk" "$RUN/$base.l.pk" "$what: packed files (Windows vs Linux)"
        # Each side extracts the other's packed file.
        runw "$base.x" -e "$base.l.pk" -o "$base.w.out" "${xflags[@]}"
        runl "$base.x" -e "$base.w.pk" -o "$base.l.out" "${xflags[@]}"
        same_run "$base.x" 1 "$what (extract)"
        expect_status "$base.x" 0 "$what (extract)"
        same_bytes "$RUN/$base.w.out" "$RUN/$f" "$what: Windows extraction of the Linux packed file"
        same_bytes "$RUN/$base.l.out" "$RUN/$f" "$what: Linux extraction of the Windows packed file"
        rm -f "$RUN/$base".*
    done
    printf '   %-18s done (%d passed, %d failed so far)\n' "$f" "$passed" "$failed"
done
phase_done "round trips"

say "diagnostic files"
# The Windows file must be the Linux one with every LF written as CR LF.
dump_sets=(
    "dc|$first|-d|-b|65536|--bwt_output|bwt|--input_histogram|inhist|--dc_histogram|dchist|--suffix_array_output|sa|--suffixes_output|suf|--suffixes_output_max_size|24|--dc_output|dc|--rle0_histogram|rh"
    "mtf|fireworks.jpeg|-m|-b|50000|--bwt_output|bwt|--mtf_output|mtf|--rle0_output|rle0|--input_histogram|inhist|--mtf_histogram|mtfhist"
)
for set in "${dump_sets[@]}"; do
    IFS='|' read -r -a d <<<"$set"
    tag=${d[0]}; input=${d[1]}
    [ -f "$RUN/$input" ] || input=$first
    wargs=(-c "$input" -o "dump-$tag.w.pk"); largs=(-c "$input" -o "dump-$tag.l.pk")
    dumps=()
    i=2
    while [ $i -lt ${#d[@]} ]; do
        a=${d[$i]}
        case $a in
            --*_output|--*_histogram)
                wargs+=("$a" "dump-$tag-${d[$((i + 1))]}.w.txt")
                largs+=("$a" "dump-$tag-${d[$((i + 1))]}.l.txt")
                dumps+=("dump-$tag-${d[$((i + 1))]}")
                i=$((i + 2)) ;;
            -b|--suffixes_output_max_size)
                wargs+=("$a" "${d[$((i + 1))]}"); largs+=("$a" "${d[$((i + 1))]}")
                i=$((i + 2)) ;;
            *)
                wargs+=("$a"); largs+=("$a"); i=$((i + 1)) ;;
        esac
    done
    runw "dump-$tag" "${wargs[@]}"
    runl "dump-$tag" "${largs[@]}"
    same_run "dump-$tag" 1 "dumps ($tag)"
    same_bytes "$RUN/dump-$tag.w.pk" "$RUN/dump-$tag.l.pk" "dumps ($tag): packed files"
    for dump in "${dumps[@]}"; do
        perl -0777 -pe 's/\n/\r\n/g' "$RUN/$dump.l.txt" >"$RUN/$dump.expected"
        lines=$(grep -c '' "$RUN/$dump.l.txt" || true)
        same_bytes "$RUN/$dump.w.txt" "$RUN/$dump.expected" "$dump ($lines lines): Windows file is not the Linux one with CR LF"
        printf '   %-24s %9d bytes on Linux, %9d on Windows\n' "$dump" \
            "$(stat -c %s "$RUN/$dump.l.txt")" "$(stat -c %s "$RUN/$dump.w.txt")"
    done
    rm -f "$RUN"/dump-"$tag"*
done
phase_done "diagnostic files"

say "size probe on sparse files"
# --mtf1 passes the parser and stops in the compressor right after the size
# check and the first block's read, so no big file is ever coded.
big_sizes=(3000000000 4294967295 4294967296 4400000000)
for size in "${big_sizes[@]}"; do
    big="big-$size.bin"
    if ! truncate -s "$size" "$RUN/$big" 2>/dev/null; then
        bad "cannot make a sparse file of $size bytes"
        continue
    fi
    runw "big-$size" -c "$big" -o "big-$size.pk" -v -b 1 --mtf1
    runl "big-$size" -c "$big" -o "big-$size.pk" -v -b 1 --mtf1
    same_run "big-$size" 1 "file of $size bytes"
    expect_status "big-$size" 255 "file of $size bytes"
    if [ "$size" -le 4294967295 ]; then
        want="Input file size: $size"
        got=$(without_pause "$OUT/big-$size.wout" | grep -m 1 '^Input file size' || true)
    else
        want="ERROR: Cannot compress file larger than 4294967295 bytes"
        got=$(crlf_to_lf "$OUT/big-$size.werr" | head -n 1)
    fi
    if [ "$got" = "$want" ]; then ok; else bad "file of $size bytes: \"$got\", expected \"$want\""; fi
    echo "   $size bytes: $got"
    rm -f "$RUN/$big" "$RUN/big-$size.pk"
done
phase_done "size probe"

# ---------------------------------------------------------------- summary
echo
echo "Windows check (32-bit build under $(wine --version 2>/dev/null || echo Wine)):"
for p in "${phases[@]}"; do echo "   $p"; done
echo "   total: $(($(date +%s) - script_start)) s"
echo "windows-check: $passed passed, $failed failed"
[ "$failed" -eq 0 ]

#!/usr/bin/env bash
# Runs an older build of Tarnwell and the build of this tree on the same
# recorder disk images and compares what they do, byte for byte: the exit
# status, the console, the run log and every file written. Only the log's name
# (the time the run started), the "... it took N seconds..." figures, the
# rates and times left of the progress lines and report.json's clock times may
# differ. A change that makes the program faster must pass this unchanged.
#
#   tests/equivalence/compare.sh [--fixtures-only] REF [BUILD]
#
# REF is any commit git knows (main, HEAD~3, a hash); its program is built
# from `git archive` in BUILD/equivalence/ref-HASH and kept there for the next
# run. This tree, with any changes not yet committed, is built in BUILD
# (default build), which also gives the image generator (equivalence_images).
#
# The disks: the fixtures' streams, clean and damaged (random bytes, PES
# headers, time stamps, cut and lost packets, start codes and time stamps across
# block and cluster boundaries, time stamps that wrap), each listed with `dir`,
# ripped from every slot with lengths 0, 5, 10, 18 and -1 seconds, rescued,
# recovered (and each listed with --list) and imaged. Unless
# --fixtures-only is given, the benchmark's recording of more than 1 GB is
# ripped too, when `make bench` has made it (BUILD/bench/source.img).
#
# Prints one line per case and a summary; exits 1 on any difference.
set -euo pipefail
export LC_ALL=C

fixtures_only=false
if [[ ${1:-} == --fixtures-only ]]; then
    fixtures_only=true
    shift
fi
if [[ $# -lt 1 || $# -gt 2 ]]; then
    echo "usage: $0 [--fixtures-only] REF [BUILD]" >&2
    exit 2
fi
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${2:-build}
case $build in /*) ;; *) build=$top/$build ;; esac
ref=$(git -C "$top" rev-parse --verify "$1^{commit}")
jobs=2

# ---- The two programs -----------------------------------------------------

refdir=$build/equivalence/ref-$ref
if [[ ! -x $refdir/bin/tarnwell ]]; then
    echo "compare: building $1 ($ref)"
    rm -rf "$refdir"
    mkdir -p "$refdir/src" "$refdir/bin"
    git -C "$top" archive "$ref" | tar -x -C "$refdir/src"
    cmake -S "$refdir/src" -B "$refdir/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DTARNWELL_TESTS=OFF >/dev/null
    cmake --build "$refdir/build" --target tarnwell -j "$jobs" >/dev/null
    cp "$refdir/build/tarnwell" "$refdir/bin/tarnwell"
    rm -rf "$refdir/src" "$refdir/build"
fi

echo "compare: building this tree in $build"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWELL_TESTS=ON >/dev/null
cmake --build "$build" --target tarnwell equivalence_images -j "$jobs" >/dev/null

work=$(mktemp -d "$build/equivalence/work.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/ref/bin" "$work/new/bin" "$work/images"
cp "$refdir/bin/tarnwell" "$work/ref/bin/tarnwell"
cp "$build/tarnwell" "$work/new/bin/tarnwell"

"$build/tests/equivalence_images" "$work/images"

# ---- Running and comparing ------------------------------------------------

# Runs `tarnwell ARGS` with one build in a fresh folder; the program is found
# on the PATH so that both logs name it alike. Leaves SIDE/files (what it
# wrote, the log under the name run.log) and SIDE/console, SIDE/status.
run_side() { # side args...
    local side=$work/$1
    shift
    rm -rf "$side/files"
    mkdir -p "$side/files"
    local status=0
    (cd "$side/files" && PATH=$side/bin:$PATH exec tarnwell "$@" </dev/null >"$side/console" 2>&1) ||
        status=$?
    echo "$status" >"$side/status"
    # The figures of time and speed, and the report's clock, differ from run
    # to run; every log, wherever it was written, is compared as run.log.
    local masks=(-e 's/\.\.\. it took [0-9]+ seconds\.\.\./... it took N seconds.../'
        -e 's/[0-9]+(\.[0-9]+)? MB\/s/N MB\/s/g' -e 's/([0-9]+(:[0-9]+)+|-:--:--) left/T left/g'
        -e 's/"(started|ended)": "[^"]*"/"\1": "T"/'
        -e 's#<p>[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}</p>#<p>WHEN</p>#')
    sed -E -i "${masks[@]}" "$side/console"
    local f written
    mapfile -t written < <(find "$side/files" -type f)
    for f in "${written[@]}"; do
        case $f in
        *.log) sed -E "${masks[@]}" "$f" >"$f.masked" && rm -f "$f" &&
            mv "$f.masked" "$(dirname "$f")/run.log" ;;
        *.json | *.html | *.map) sed -E -i "${masks[@]}" "$f" ;;
        esac
    done
}

# What differs between the two sides, or nothing.
differences() {
    local what=()
    cmp -s "$work/ref/status" "$work/new/status" ||
        what+=("exit status $(cat "$work/ref/status") / $(cat "$work/new/status")")
    cmp -s "$work/ref/console" "$work/new/console" || what+=(console)
    local ref_files new_files
    ref_files=$(cd "$work/ref/files" && find . -type f | sort)
    new_files=$(cd "$work/new/files" && find . -type f | sort)
    if [[ $ref_files != "$new_files" ]]; then
        what+=("files [${ref_files//$'\n'/, }] / [${new_files//$'\n'/, }]")
    else
        local f
        while IFS= read -r f; do
            [[ -n $f ]] || continue
            cmp -s "$work/ref/files/$f" "$work/new/files/$f" ||
                what+=("$f: $(cmp "$work/ref/files/$f" "$work/new/files/$f" 2>&1 | head -n 1 |
                    sed 's/^.*: //')")
        done <<<"$ref_files"
    fi
    local IFS=';'
    echo "${what[*]}"
}

passed=0
failed=0
check() { # name args...
    local name=$1
    shift
    run_side ref "$@" &
    local ref_side=$!
    run_side new "$@"
    wait "$ref_side"
    local diff
    diff=$(differences)
    local shown="${1:-} $name ${*:3}"
    if [[ -z $diff ]]; then
        passed=$((passed + 1))
        echo "same       $shown"
    else
        failed=$((failed + 1))
        echo "DIFFERENT  $shown: $diff"
        if [[ $diff == *console* || $diff == *run.log* ]]; then
            diff <(tr '\r' '\n' <"$work/ref/console") <(tr '\r' '\n' <"$work/new/console") |
                head -n 6 | sed 's/^/           /' || true
        fi
    fi
    rm -rf "$work/ref/files" "$work/new/files"
}

first=true
while read -r name slots given; do
    img=$work/images/$name.img
    read -r -a lengths <<<"${given:-0 5 10 18 -1}"
    check "$name" dir "$img"
    for ((slot = 0; slot < slots; ++slot)); do
        for length in "${lengths[@]}"; do
            check "$name" rip "$img" "$slot" "$length"
        done
    done
    # The commands that rescue: every recording into its program stream,
    # the lists of what they would rescue, and the image of what they need.
    check "$name" rescue "$img" -o out
    check "$name" rescue "$img" --list
    check "$name" recover "$img" -o out
    check "$name" recover "$img" --list
    check "$name" image "$img" copy.img
    if $first; then # a slot that does not exist
        check "$name" rip "$img" "$slots" 5
        first=false
    fi
    rm -f "$img"
done <"$work/images/images.txt"

# The forms that print a usage, or the list of the commands.
for words in "" "help" "--help" "help x" "dir" "rip x 1" "disks x" "image" "image --help" \
    "rescue --help" "recover --help" "bogus x y"; do
    read -r -a given <<<"$words"
    check usage "${given[@]}"
done

bench_image=$build/bench/source.img
if ! $fixtures_only && [[ -s $bench_image ]]; then
    check benchmark dir "$bench_image"
    check benchmark rip "$bench_image" 0 60
    check benchmark rip "$bench_image" 0 -1
fi

echo "compared $1 ($ref) with this tree"
echo "equivalence: $passed passed, $failed failed"
((failed == 0))

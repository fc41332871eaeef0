#!/usr/bin/env bash
# The mutation check: each entry of tests/mutants/mutants.txt puts one small
# fault into a copy of the tree, rebuilds what it touches and runs the test
# programs it names, each stopping at its first failing test. A fault that
# every test survives, or an entry whose text is no longer in its file
# exactly once, fails the check.
#
#   tests/mutants/run.sh [BUILD]      (make mutants; BUILD defaults to build-mutants)
#   tests/mutants/run.sh --in-place TESTBUILD
#
# The copy is BUILD/tree, refreshed from the working tree (uncommitted
# changes included) with its files' times kept, so a second run rebuilds only
# what changed. With --in-place (continuous integration, after make test) the
# faults go into the working tree itself, one file at a time and put back at
# once (also when the run is stopped), and TESTBUILD, the build of make test,
# is rebuilt for each: no second build of the whole tree.
set -euo pipefail
export LC_ALL=C
top=$(cd "$(dirname "$0")/../.." && pwd)
in_place=false
if [[ ${1:-} == --in-place ]]; then
    in_place=true
    shift
fi
work=${1:-build-mutants}
case $work in /*) ;; *) work=$top/$work ;; esac
list=$top/tests/mutants/mutants.txt
tree=$work/tree
build=$work/build
if $in_place; then
    tree=$top
    build=$work
    work=$build/mutants
fi
jobs=$(nproc 2>/dev/null || echo 2)
mkdir -p "$work"

# The file holding a fault goes back to what it was however the run ends.
mutated=''
restore() {
    if [[ -n $mutated ]]; then
        cp "$work/original" "$mutated"
        touch "$mutated"
    fi
}
trap restore EXIT
trap 'exit 130' INT TERM

if ! $in_place; then
# A copy of the tree as it stands, with the files' times kept.
mkdir -p "$tree"
(cd "$top" && git ls-files --cached --others --exclude-standard | while IFS= read -r f; do
    [[ -f $f ]] && printf '%s\n' "$f"
done) | sort >"$work/files"
(cd "$top" && tar -cf - --files-from="$work/files") | tar -xpf - -C "$tree"
# Files gone from the tree go from the copy too.
(cd "$tree" && find . -type f | sed 's|^\./||' | sort | comm -23 - "$work/files" | while IFS= read -r f; do
    rm -f "$f"
done)
cmake -S "$tree" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWELL_TESTS=ON >/dev/null
fi
echo "mutants: building the tree as it stands in $build"
cmake --build "$build" -j "$jobs" >"$work/build.log" 2>&1 || {
    tail -n 40 "$work/build.log"
    echo "mutants: the unchanged tree does not build" >&2
    exit 1
}

# Field values of the entry being read.
file='' from='' to='' tests='' why=''
caught=0 survived=0 broken=0
start=$SECONDS

# Rebuilds the targets of the entry's test programs (and the program they
# run) and runs them; true when a test fails, and `by` says which.
caught_by_tests() {
    local targets=(tarnwell) program filter wanted
    for wanted in $tests; do
        targets+=("${wanted%%:*}")
    done
    if ! cmake --build "$build" -j "$jobs" --target "${targets[@]}" >"$work/mutant.log" 2>&1; then
        by="its build"
        return 0
    fi
    for wanted in $tests; do
        program=${wanted%%:*}
        filter='*'
        [[ $wanted == *:* ]] && filter=${wanted#*:}
        # A fault that makes a test hang is caught too, after two minutes.
        if ! timeout 120 "$build/tests/$program" --gtest_fail_fast --gtest_brief=1 --gtest_filter="$filter" \
            >"$work/mutant-test.log" 2>&1; then
            local failed
            failed=$(sed -n 's/^\[  FAILED  \] \([^ ]*\).*/\1/p' "$work/mutant-test.log" | head -n 1)
            by="$program ${failed:-(crashed or hung)}"
            return 0
        fi
    done
    return 1
}

try_entry() {
    local path=$tree/$file original text count by
    if [[ ! -f $path ]]; then
        echo "NO FILE   $file: $why"
        broken=$((broken + 1))
        return
    fi
    original=$(<"$path")
    text=${original//"$from"/}
    count=$(((${#original} - ${#text}) / ${#from}))
    if [[ $count -ne 1 ]]; then
        echo "STALE     $file: '$from' is there $count times, not once: $why"
        broken=$((broken + 1))
        return
    fi
    cp -p "$path" "$work/original"
    mutated=$path
    printf '%s\n' "${original/"$from"/"$to"}" >"$path"
    if caught_by_tests; then
        echo "caught    $file: $why, by $by"
        caught=$((caught + 1))
    else
        echo "SURVIVED  $file: '$from' -> '$to': $why (tests: $tests)"
        survived=$((survived + 1))
    fi
    # Back to the original, newer than the mutant so that it is rebuilt.
    restore
    mutated=''
}

while IFS= read -r line || [[ -n $line ]]; do
    case $line in
    file:*) file=${line#file:} file=${file#"${file%%[! ]*}"} ;;
    from:*) from=${line#from:} from=${from#"${from%%[! ]*}"} ;;
    to:*) to=${line#to:} to=${to#"${to%%[! ]*}"} ;;
    tests:*) tests=${line#tests:} ;;
    why:*)
        why=${line#why:} why=${why#"${why%%[! ]*}"}
        try_entry
        file='' from='' to='' tests='' why=''
        ;;
    esac
done <"$list"

echo "mutants: $caught caught, $survived survived, $broken stale in $((SECONDS - start)) s"
[[ $survived -eq 0 && $broken -eq 0 ]]

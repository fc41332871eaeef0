#!/usr/bin/env bash
# What the page of a run costs on a disk of many short recordings: tarnwell
# recover of a disk of 1151 clusters holding 120 recordings of 9 to 18 s, its
# first 256 sectors (directory, cluster table, headers) zeroed, with the page
# (index.html, report.json and the pictures) and with --no-index:
#
#   page      tarnwell recover DISK
#   no page   tarnwell recover DISK --no-index
#
# The recordings are cut from the fixtures (tests/fixtures: video_e0 with
# audio_c0 or audio_bd), each from a group of pictures on to one of three
# ends, their clocks 10 minutes apart, the video and the audio of each in a
# cluster of its own, scattered over the disk (bench/cut_pes.cpp cuts them,
# mkimage lays them out). The pictures may cost at most a tenth of the time a
# disk of 150 MB/s takes for the run's reads (the "read N bytes of the
# drive" and "the survey read N bytes" lines of its run log); the peak memory
# may be at most 32 MiB, however many recordings there are.
#
# With the page cache warm (one run of each first, not counted), the two
# commands run in turn BENCH_RUNS times (default 5); the medians of the wall
# and user CPU times are printed with the peak resident memory of each.
#
#   bench/many_recordings.sh [BUILD]      (make bench runs it)
set -euo pipefail
export LC_ALL=C

build=${1:-build}
top=$(cd "$(dirname "$0")/.." && pwd)
case $build in /*) ;; *) build=$top/$build ;; esac
out=$build/bench/many
runs=${BENCH_RUNS:-5}
tarnwell=$build/tarnwell
mkimage=$build/tools/image/mkimage
fixtures=$top/tests/fixtures
count=120
clusters=1151
for tool in "$tarnwell" "$mkimage"; do
    [[ -x $tool ]] || {
        echo "many recordings: $tool is missing; build first" >&2
        exit 1
    }
done
mkdir -p "$out"

cut=$out/cut_pes
if [[ ! -x $cut || $top/bench/cut_pes.cpp -nt $cut ]]; then
    "${CXX:-c++}" -std=c++17 -O2 -o "$cut" "$top/bench/cut_pes.cpp"
fi

# ---- The disk -------------------------------------------------------------

if [[ ! -s $out/disk.img ]]; then
    echo "many recordings: cutting $count recordings from the fixtures into a disk (once)"
    work=$(mktemp -d "$out/cut.XXXXXX")
    firsts=(0 46 94 142)  # I pictures: the first and open GOPs
    lasts=(450 402 354) # the end of the fixture, or 2 or 4 s before it
    {
        echo "used $((2 * count))"
        echo "free $((clusters - 2 * count))"
        for ((i = 0; i < count; ++i)); do
            audio=audio_c0
            ((i % 2)) && audio=audio_bd
            "$cut" "$fixtures/video_e0.pes" "$fixtures/video_e0.idx" \
                "$fixtures/$audio.pes" "$fixtures/$audio.idx" \
                "${firsts[i % 4]}" "${lasts[i % 3]}" $((i * 600 * 90000)) \
                "$work/v$i.pes" "$work/a$i.pes"
            # Clusters 1 + j * 487 mod 1151 (a prime): every one once, scattered.
            echo "recording"
            echo "recno $((i % 100 + 1))"
            echo "station Station $((i % 7))"
            echo "clip Short recording $i"
            echo "date 2026 12 $((i / 24 + 1)) $((i % 24)) 0 0"
            echo "length 0 0 18"
            echo "video $((1 + 2 * i * 487 % clusters))"
            echo "audio $((1 + (2 * i + 1) * 487 % clusters))"
            echo "videodata $work/v$i.pes"
            echo "audiodata $work/a$i.pes"
        done
    } >"$work/disk.txt"
    "$mkimage" "$work/disk.txt" "$out/disk.img.part"
    # The disk runs to its last cluster's end; its first 256 sectors zeroed.
    truncate -s $(((256 + clusters * 204800) * 512)) "$out/disk.img.part"
    dd if=/dev/zero of="$out/disk.img.part" bs=512 count=256 conv=notrunc status=none
    rm -rf "$work"
    mv "$out/disk.img.part" "$out/disk.img"
fi

# ---- Measuring ------------------------------------------------------------

run_one() { # name
    local dir=$out/run
    rm -rf "$dir"
    mkdir -p "$dir"
    local cmd=("$tarnwell" recover "$out/disk.img")
    [[ $1 == nopage ]] && cmd+=(--no-index)
    local start=$EPOCHREALTIME status=0
    (cd "$dir" && /usr/bin/time -v -o "$out/time.txt" "${cmd[@]}" </dev/null >"$out/console" 2>&1) ||
        status=$?
    local end=$EPOCHREALTIME
    if ((status != 0)); then
        echo "many recordings: $1 failed (exit status $status):" >&2
        tail -n 5 "$out/console" >&2
        exit 1
    fi
    # What the run read of the drive, from its run log.
    cat "$dir"/*.log | awk '/^read [0-9]+ bytes of the drive$/ { n += $2 }
        /^the survey read [0-9]+ bytes/ { n += $4 } END { printf "%.0f\n", n }' >"$out/$1.read"
    find "$dir" -name '*.mpg' | wc -l >"$out/$1.files"
    rm -rf "$dir"
    sync
    awk -v name="$1" -v wall="$((${end/./} - ${start/./}))" -F': ' '
        /User time/ { user = $2 } /Maximum resident set size/ { rss = $2 }
        END { print name, wall, user * 1e6, rss }' "$out/time.txt" >>"$out/samples"
}

run_one page # once each, not counted: the page cache warm
run_one nopage
: >"$out/samples"
for ((r = 1; r <= runs; ++r)); do
    run_one page
    run_one nopage
done

# ---- Report ---------------------------------------------------------------

median() { # name column
    awk -v name="$1" -v col="$2" '$1 == name { print $col }' "$out/samples" | sort -n |
        awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
# The median over the rounds of page's wall time less no page's.
difference=$(awk '$1 == "page" { x[++a] = $2 } $1 == "nopage" { y[++b] = $2 }
    END { for (i = 1; i <= a && i <= b; ++i) print x[i] - y[i] }' "$out/samples" | sort -n |
    awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }')
read_bytes=$(cat "$out/page.read")
echo
echo "Recover of $clusters clusters with $count short recordings, directory lost:" \
    "$(cat "$out/page.files") files rescued; medians of $runs runs each, page cache warm:"
printf '  %-26s %8s %9s %12s\n' command wall user "peak RSS"
for name in page nopage; do
    case $name in
    page) l="tarnwell recover DISK" ;;
    nopage) l="recover DISK --no-index" ;;
    esac
    printf '  %-26s %6.3f s %7.3f s %8s KiB\n' "$l" \
        "$(awk -v v="$(median $name 2)" 'BEGIN { print v / 1e6 }')" \
        "$(awk -v v="$(median $name 3)" 'BEGIN { print v / 1e6 }')" "$(median $name 4)"
done
awk -v b="$read_bytes" -v d="$difference" -v u="$(median page 3)" -v un="$(median nopage 3)" \
    -v rss="$(median page 4)" 'BEGIN {
    allowed = b / 150e6 / 10
    printf "  bytes read of the drive: %.0f; at 150 MB/s %.3f s, a tenth of it %.3f s allowed\n",
        b, b / 150e6, allowed
    printf "  the page costs %.3f s (median of the rounds; user CPU %.3f s more): %s\n",
        d / 1e6, (u - un) / 1e6, (d / 1e6 <= allowed) ? "within the bound" : "OVER the bound"
    printf "  peak memory with the page %.1f MiB of 32 MiB allowed: %s\n", rss / 1024,
        (rss <= 32768) ? "within" : "OVER" }'
rm -rf "$out/run" "$out/time.txt" "$out/console" "$out"/*.read "$out"/*.files

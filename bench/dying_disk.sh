#!/usr/bin/env bash
# tarnwell against GNU ddrescue on one dying disk, read as a block device as a
# user's failing disk is: the project's nbdkit plugin of a failing disk
# (tests/support/nbd/dying_disk.py) serves a recorder disk, nbdfuse mounts it
# as a file and a read-only loop device is put over that file (where no loop
# device can be had, the file itself is read, and the bench says so). The
# disk holds a recording of 2 h 18 min, 1.25 GB of MPEG (ten video clusters
# and two audio clusters), with four unreadable areas of 64 KiB, 1 MiB, 4 MiB
# and 24 MiB, each failed read taking 0.1 s, and a slow area of 32 MiB read at
# 4 MB/s; it dies 25 s after its first read. Each program reads a freshly
# served disk:
#
#   image        tarnwell image DISK IMG
#   ddrescue -d  ddrescue -d --domain-mapfile (O_DIRECT) with the domain map
#                tarnwell writes of the same disk when healthy
#   ddrescue     the same without -d, through the system's cache
#   rescue       tarnwell rescue DISK -o OUT
#   recover      tarnwell recover DISK -o OUT
#
# The figures: the bytes of the recording that each map marks '+' (image and
# ddrescue), how long each ran, the seconds from the disk's death (the plugin
# stamps its first read) to the program's exit, and its exit status (3 for a
# disk that stopped answering; 124 for a run stopped after DYING_LIMIT
# seconds, 120).
#
#   bench/dying_disk.sh [BUILD]      (make bench runs it last)
#   TARNWELL=PATH bench/dying_disk.sh [BUILD]   measures another tarnwell
set -euo pipefail
export LC_ALL=C

build=${1:-build}
top=$(cd "$(dirname "$0")/.." && pwd)
case $build in /*) ;; *) build=$top/$build ;; esac
out=$build/bench/dying
limit=${DYING_LIMIT:-120}
die_after=25
tarnwell=$(realpath "${TARNWELL:-$build/tarnwell}")
mkimage=$build/tools/image/mkimage
plugin=$top/tests/support/nbd/dying_disk.py
for tool in nbdkit nbdfuse fusermount3 ddrescue python3 timeout; do
    command -v "$tool" >/dev/null || {
        echo "dying disk: $tool not found (tools/setup/deps.sh test); skipped" >&2
        exit 0
    }
done
[[ -w /dev/fuse ]] || {
    echo "dying disk: no FUSE here; skipped" >&2
    exit 0
}
mkdir -p "$out"
cluster() { echo $(((256 + ($1 - 1) * 204800) * 512)); }

# The recording: the fixtures' 18 s of MPEG-2 video and Layer II sound
# (tests/fixtures) laid end to end 459 times, each copy's clock 18 s on from
# the one before (bench/cut_pes.cpp shifts it), filling ten video clusters
# nearly to the end and two audio clusters.
video=(3 8 5 12 10 15 7 18 14 20)
audio=(22 23)
copies=459
rm -f "$out/disk.img" "$out/disk.txt" # the disk of random bytes an older bench made
if [[ ! -s $out/mpeg.img ]]; then
    echo "dying disk: laying $copies copies of the fixtures into the disk (once; kept in $out)"
    "${CXX:-c++}" -std=c++17 -O2 -o "$out/cut_pes" "$top/bench/cut_pes.cpp"
    fixtures=$top/tests/fixtures
    : >"$out/video.pes"
    : >"$out/audio.pes"
    for ((i = 0; i < copies; ++i)); do
        "$out/cut_pes" "$fixtures/video_e0.pes" "$fixtures/video_e0.idx" \
            "$fixtures/audio_c0.pes" "$fixtures/audio_c0.idx" 0 450 $((i * 18 * 90000)) \
            "$out/v.pes" "$out/a.pes"
        cat "$out/v.pes" >>"$out/video.pes"
        cat "$out/a.pes" >>"$out/audio.pes"
    done
    cat >"$out/mpeg.txt" <<EOT
used $((${#video[@]} + ${#audio[@]}))
free $((1151 - ${#video[@]} - ${#audio[@]}))
recording
recno 1
station Tarnwell TV
clip Dying disk
date 2026 12 7 20 15 0
length $((copies * 18 / 3600)) $((copies * 18 / 60 % 60)) $((copies * 18 % 60))
video ${video[*]}
audio ${audio[*]}
videodata $out/video.pes
audiodata $out/audio.pes
EOT
    "$mkimage" "$out/mpeg.txt" "$out/mpeg.img.part" >/dev/null
    # The disk ends with the last audio cluster: whole sectors, as a loop
    # device has them.
    truncate -s "$(cluster $((audio[-1] + 1)))" "$out/mpeg.img.part"
    rm -f "$out"/*.pes "$out/cut_pes"
    mv "$out/mpeg.img.part" "$out/mpeg.img"
fi

# The faults, within the recording's clusters.
bad=$(($(cluster 5) + 7340032))-$(($(cluster 5) + 7405568))
bad+=,$(($(cluster 12) + 20971520))-$(($(cluster 12) + 22020096))
bad+=,$(($(cluster 15) + 52428800))-$(($(cluster 15) + 56623104))
bad+=,$(($(cluster 18) + 31457280))-$(($(cluster 18) + 56623104))
slow=$(($(cluster 14) + 10485760))-$(($(cluster 14) + 44040192))
faults="bad=$bad bad-delay=0.1 slow=$slow slow-rate=4000000 die-after=$die_after"

# The domain: what tarnwell images of the healthy disk.
rm -f "$out/healthy.img"*
(cd "$out" && "$tarnwell" image mpeg.img healthy.img >/dev/null)
cp "$out/healthy.img.domain.map" "$out/domain.map"
rm -f "$out/healthy.img"* "$out"/*.log

# The dying disk being served: the loop device over it and the mount, undone
# in that order, also when the bench fails or is stopped.
loop=
mounted=
undo() {
    if [[ -n $loop ]]; then
        losetup -d "$loop" || true
        loop=
    fi
    if [[ -n $mounted ]]; then
        # The loop device lets go of the file a moment after it is detached.
        for _ in $(seq 50); do fusermount3 -u "$out/mnt" 2>/dev/null && break; sleep 0.1; done
        mounted=
        wait || true
    fi
}
trap undo EXIT
trap 'exit 1' INT TERM

# Runs the command, DISK in it standing for the dying disk, in $out; sets
# seconds[name], status[name] and after[name], the seconds from the disk's
# death to the command's exit.
declare -A seconds status after
read_as=
run_dying() { # name command...
    local name=$1
    shift
    rm -f "$out/$name.stamp"
    mkdir -p "$out/mnt"
    nbdfuse "$out/mnt/disk" --command nbdkit -s python "$plugin" file="$out/mpeg.img" \
        $faults stamp="$out/$name.stamp" >/dev/null 2>&1 &
    mounted=yes
    for _ in $(seq 100); do [[ -r $out/mnt/disk ]] && break; sleep 0.1; done
    local disk=mnt/disk
    if loop=$(losetup -r -f --show "$out/mnt/disk" 2>/dev/null); then
        disk=$loop
        read_as=${read_as:-"read as $loop (read-only, over nbdfuse's file)"}
    else
        loop=
        read_as="read as the nbdfuse file: losetup could not attach a loop device"
    fi
    local args=() arg
    for arg; do
        [[ $arg == DISK ]] && arg=$disk
        args+=("$arg")
    done
    local start end code=0
    start=$EPOCHREALTIME
    (cd "$out" && timeout -k 10 "$limit" "${args[@]}" </dev/null) >"$out/$name.console" 2>&1 || code=$?
    end=$EPOCHREALTIME
    undo
    seconds[$name]=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.1f", b - a }')
    status[$name]=$code
    after[$name]=-
    if [[ -s $out/$name.stamp ]]; then
        after[$name]=$(awk -v b="$end" -v d="$die_after" '{ printf "%.1f", b - ($2 + d) }' \
            "$out/$name.stamp")
    fi
}

# The bytes a map marks '+' within the recording's clusters (the domain's
# '+' areas after the disk's first 128 KiB).
saved() {
    python3 - "$1" "$out/domain.map" <<'EOT'
import sys
def blocks(path):
    rows = [l.split() for l in open(path) if l.strip() and not l.startswith('#')][1:]
    return [(int(p, 0), int(p, 0) + int(s, 0)) for p, s, st in rows if st == '+']
domain = [(max(a, 131072), b) for a, b in blocks(sys.argv[2]) if b > 131072]
print(sum(max(0, min(b, d) - max(a, c)) for a, b in blocks(sys.argv[1]) for c, d in domain))
EOT
}

rm -rf "$out"/t.img* "$out"/d.img* "$out"/d.map* "$out"/b.img* "$out"/b.map* "$out/rescue" \
    "$out/recover"
run_dying image "$tarnwell" image DISK t.img
run_dying ddrescue_d ddrescue -q -d --domain-mapfile=domain.map DISK d.img d.map
run_dying ddrescue ddrescue -q --domain-mapfile=domain.map DISK b.img b.map
run_dying rescue "$tarnwell" rescue DISK -o rescue
run_dying recover "$tarnwell" recover DISK -o recover
readable=$(saved "$out/domain.map")
bad_bytes=$((65536 + 1048576 + 4194304 + 25165824))
readable=$((readable - bad_bytes))
declare -A bytes=([image]=$(saved "$out/t.img.map") [ddrescue_d]=$(saved "$out/d.map")
    [ddrescue]=$(saved "$out/b.map"))
declare -A label=([image]="tarnwell image" [ddrescue_d]="ddrescue -d" [ddrescue]="ddrescue"
    [rescue]="tarnwell rescue" [recover]="tarnwell recover")
echo "Dying disk: a recording of $((readable + bad_bytes)) bytes, $readable readable; four bad areas,"
echo "a slow one, dead $die_after s after its first read; $read_as"
echo "tarnwell: $tarnwell"
printf '  %-16s %12s %8s %8s %14s %7s  %s\n' program "bytes saved" "of all" seconds \
    "death to exit" status "stopped answering"
for name in image ddrescue_d ddrescue rescue recover; do
    said=-
    case $name in image | rescue | recover)
        said=$(grep -q "stopped answering" "$out/$name.console" && echo yes || echo no) ;;
    esac
    awk -v n="${label[$name]}" -v b="${bytes[$name]:--}" -v r="$readable" -v s="${seconds[$name]}" \
        -v a="${after[$name]}" -v c="${status[$name]}" -v y="$said" 'BEGIN {
        if (b == "-") printf "  %-16s %12s %8s", n, "-", "-"
        else printf "  %-16s %12d %7.2f%%", n, b, 100 * b / r
        printf " %8s %14s %7s  %s\n", s, a, c, y }'
done
echo "  death to exit: seconds from the death to the exit; status 3: stopped answering, 124: stopped at $limit s"
rm -rf "$out"/t.img "$out"/d.img "$out"/b.img "$out"/*.log "$out/rescue" "$out/recover"

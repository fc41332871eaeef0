#!/usr/bin/env bash
# tarnwell image side by side with GNU ddrescue on one dying disk, both
# reading it through the kernel: the project's nbdkit plugin of a failing
# disk (tests/support/nbd/dying_disk.py) serves a recorder disk and nbdfuse
# mounts it as a file. The disk holds a recording of 1.1 GB (ten video
# clusters and one audio cluster) with four unreadable areas of 64 KiB,
# 1 MiB, 4 MiB and 24 MiB, each failed read taking 0.1 s, and a slow area of
# 32 MiB read at 4 MB/s; it dies 25 s after its first read. The figure is
# the bytes of the recording each saves, and how long each ran:
#
#   tarnwell  tarnwell image DISK IMG
#   ddrescue  ddrescue --domain-mapfile with the domain map tarnwell writes
#             of the same disk (stopped after DYING_LIMIT seconds, 120)
#
#   bench/dying_disk.sh [BUILD]      (make bench runs it last)
set -euo pipefail
export LC_ALL=C

build=${1:-build}
top=$(cd "$(dirname "$0")/.." && pwd)
case $build in /*) ;; *) build=$top/$build ;; esac
out=$build/bench/dying
limit=${DYING_LIMIT:-120}
tarnwell=$build/tarnwell
mkimage=$build/tools/image/mkimage
plugin=$top/tests/support/nbd/dying_disk.py
for tool in nbdkit nbdfuse fusermount3 ddrescue python3; do
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

video=(3 8 5 12 10 15 7 18 14 20)
if [[ ! -s $out/disk.img ]]; then
    echo "dying disk: making the disk (once; kept in $out)"
    head -c $((10 * 104857600)) /dev/urandom >"$out/video.bin"
    head -c 104857600 /dev/urandom >"$out/audio.bin"
    cat >"$out/disk.txt" <<EOT
used 11
free 1140
recording
recno 1
station Tarnwell TV
clip Dying disk
date 2026 12 7 20 15 0
length 0 30 0
video ${video[*]}
audio 22
videodata $out/video.bin
audiodata $out/audio.bin
EOT
    "$mkimage" "$out/disk.txt" "$out/disk.img.part" >/dev/null
    rm -f "$out/video.bin" "$out/audio.bin"
    mv "$out/disk.img.part" "$out/disk.img"
fi

# The faults, within the recording's clusters.
bad=$(($(cluster 5) + 7340032))-$(($(cluster 5) + 7405568))
bad+=,$(($(cluster 12) + 20971520))-$(($(cluster 12) + 22020096))
bad+=,$(($(cluster 15) + 52428800))-$(($(cluster 15) + 56623104))
bad+=,$(($(cluster 18) + 31457280))-$(($(cluster 18) + 56623104))
slow=$(($(cluster 14) + 10485760))-$(($(cluster 14) + 44040192))
faults="bad=$bad bad-delay=0.1 slow=$slow slow-rate=4000000 die-after=25"

# The domain: what tarnwell images of the healthy disk.
rm -f "$out/healthy.img"*
(cd "$out" && "$tarnwell" image disk.img healthy.img >/dev/null)
cp "$out/healthy.img.domain.map" "$out/domain.map"
rm -f "$out/healthy.img"* "$out"/*.log

# Runs the command with the dying disk mounted at $out/mnt/disk; its seconds.
run_dying() {
    mkdir -p "$out/mnt"
    nbdfuse "$out/mnt/disk" --command nbdkit -s python "$plugin" file="$out/disk.img" \
        $faults >/dev/null 2>&1 &
    for _ in $(seq 100); do [[ -r $out/mnt/disk ]] && break; sleep 0.1; done
    local start end
    start=$(date +%s.%N)
    (cd "$out" && "$@") >"$out/run.console" 2>&1 || true
    end=$(date +%s.%N)
    fusermount3 -u "$out/mnt"
    wait
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.1f", b - a }'
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

rm -f "$out"/t.img* "$out"/d.img* "$out"/d.map*
t_seconds=$(run_dying "$tarnwell" image mnt/disk t.img)
t_status=$(grep -c "stopped answering" "$out/run.console" || true)
d_seconds=$(run_dying timeout "$limit" ddrescue -q --domain-mapfile=domain.map mnt/disk d.img d.map)
readable=$(saved "$out/domain.map")
bad_bytes=$((65536 + 1048576 + 4194304 + 25165824))
readable=$((readable - bad_bytes))
t_saved=$(saved "$out/t.img.map")
d_saved=$(saved "$out/d.map")
echo "Dying disk: a recording of $((readable + bad_bytes)) bytes, $readable readable; four bad"
echo "areas, a slow one, dead 25 s after its first read:"
printf '  %-10s %14s %8s %8s\n' program "bytes saved" "of all" seconds
awk -v t="$t_saved" -v d="$d_saved" -v r="$readable" -v ts="$t_seconds" -v ds="$d_seconds" 'BEGIN {
    printf "  %-10s %14d %7.2f%% %8s\n", "tarnwell", t, 100 * t / r, ts
    printf "  %-10s %14d %7.2f%% %8s\n", "ddrescue", d, 100 * d / r, ds }'
echo "  tarnwell said the disk stopped answering: $([[ $t_status -gt 0 ]] && echo yes || echo no)"
rm -f "$out"/t.img "$out"/d.img "$out"/*.log

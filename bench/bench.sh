#!/usr/bin/env bash
# How fast a rip runs, measured side by side with what it is up against:
#
#   floor     dd bs=1M of the recording's chain bytes from the image into one
#             file, one dd for each byte range of the chains: reading the
#             bytes into memory and writing them out again;
#   floor 1   one dd bs=1M of the same bytes from one plain file, kept in
#             BUILD/bench, into another: the same copy without the seeks;
#   rip       tarnwell rip IMAGE 0 -1 of a recording of more than 1 GB;
#   ffmpeg    ffmpeg's stream copy of the same video and audio from the
#             transport stream the recording was made from;
#   rip 100M  tarnwell rip of a 100 MB recording (peak memory must not grow
#             with the recording);
#   dir       tarnwell dir of a disk with 255 recordings;
#   rescue    tarnwell rescue IMAGE of the same recording into one program
#             stream (at most 1.2 times the rip's time, memory as the rip's,
#             and at most 2 MiB read beyond the recording's own bytes);
#   no page   the same rescue with --no-index: no pictures, no index.html
#             (the page should cost under 5 % of the rescue's time);
#   rescue 100M  the same of the 100 MB recording.
#   recover   tarnwell recover of the same disk with its first 256 sectors
#             zeroed: a survey of every cluster, then the same rescue (at
#             most 1.1 times the rescue's time);
#   dd image  dd of the disk's first 256 sectors and of every cluster of the
#             recording into a sparse file, each at its own offset;
#   image     tarnwell image of the same disk: the same bytes, and its maps.
#   dying     tarnwell image, GNU ddrescue -d and ddrescue side by side on a
#             dying disk read as a loop device (bench/dying_disk.sh): the
#             bytes of the recording each saves, and for image, rescue and
#             recover the seconds from the disk's death to the exit.
#   many      tarnwell recover of a disk of 120 short recordings, its
#             directory lost, with the page and with --no-index
#             (bench/many_recordings.sh): the pictures' cost against a tenth
#             of the run's reads at 150 MB/s, and the peak memory (32 MiB).
#   pictures  the picture grabber fed the fixture's video 100 times over (30
#             minutes of it) in pieces of 64 KiB, against a memcpy of the same
#             pieces (picture_cost); its time holds the PNG files' it makes;
#   sha256    SHA-256 of 1 GiB in memory, as the report will hash each file
#             it writes (sha256_speed), against sha256sum of the chain bytes
#             from the page cache.
#
# The recording is real MPEG-2 video at broadcast bit rate with MPEG-1 Layer
# II sound, encoded by ffmpeg into one transport stream, split by PID into the
# PES packets the recorder keeps, and laid into scattered clusters of a sparse
# recorder disk image. All of it is kept in BUILD/bench, so that a second run
# starts measuring at once.
#
# With the page cache warm (each command's input read just before it), the commands run in turn (floor, floor 1, rip,
# ffmpeg, rip 100M, dir, rescue, rescue 100M, floor, ...) BENCH_RUNS times
# (default 5); the medians are printed with the ratios rip/floor (against both
# floors), rip/ffmpeg and rescue/rip, MB/s, the user CPU seconds per GB (10^9
# bytes) of recording, which holds however busy the machine is, and the peak
# resident memory.
#
#   bench/bench.sh [BUILD]      (make bench)
set -euo pipefail
export LC_ALL=C

build=${1:-build}
top=$(cd "$(dirname "$0")/.." && pwd)
case $build in /*) ;; *) build=$top/$build ;; esac
out=$build/bench
runs=${BENCH_RUNS:-5}
tarnwell=$build/tarnwell
mkimage=$build/tools/image/mkimage
ts_to_pes=$build/tools/ts_to_pes

# The recording: 920 s at 10 Mbit/s fill eleven 100 MiB clusters nearly to
# the end. The short one is its first 80 s, about 100 MB.
seconds=920
short_seconds=80
cluster_bytes=104857600

for tool in "$tarnwell" "$mkimage" "$ts_to_pes" "$build/picture_cost" "$build/sha256_speed"; do
    [[ -x $tool ]] || {
        echo "bench: $tool is missing; build first (make bench does)" >&2
        exit 1
    }
done
for tool in ffmpeg dd /usr/bin/time sha256sum; do
    command -v "$tool" >/dev/null || {
        echo "bench: $tool not found" >&2
        exit 1
    }
done
mkdir -p "$out"

# ---- The recordings -------------------------------------------------------

# Video: a moving test pattern with a little film grain, so that the encoder
# spends its bit rate as on a broadcast; 720x576 PAL, open GOPs of 12 with 2 B
# pictures, 10 Mbit/s within a broadcast decoder's buffer. Audio: a tone with
# a beep every second, Layer II stereo at 224 kbit/s. One encode gives
# continuous time stamps in both streams.
make_source() {
    [[ -s $out/source.ts ]] && return
    echo "bench: encoding $seconds s of MPEG-2 video and Layer II audio (once; kept in $out)"
    ffmpeg -hide_banner -nostdin -v error -y -filter_threads 2 \
        -f lavfi -i "testsrc2=size=720x576:rate=25:duration=$seconds,noise=alls=12:allf=t" \
        -f lavfi -i "sine=frequency=440:beep_factor=2:sample_rate=48000:duration=$seconds" \
        -map 0:v -map 1:a \
        -c:v mpeg2video -threads 2 -pix_fmt yuv420p -aspect 16:9 \
        -b:v 10M -maxrate 10M -bufsize 1835008 -g 12 -bf 2 \
        -c:a mp2 -b:a 224k \
        -mpegts_start_pid 0x100 -mpegts_pmt_start_pid 0x1000 -mpegts_service_id 1 \
        -f mpegts "$out/source.ts.part"
    mv "$out/source.ts.part" "$out/source.ts"
}

make_short_source() {
    [[ -s $out/short.ts ]] && return
    ffmpeg -hide_banner -nostdin -v error -y -i "$out/source.ts" -t "$short_seconds" \
        -map 0 -c copy -mpegts_start_pid 0x100 -mpegts_pmt_start_pid 0x1000 \
        -mpegts_service_id 1 -f mpegts "$out/short.ts.part"
    mv "$out/short.ts.part" "$out/short.ts"
}

cluster_offset() { # cluster -> byte offset on the disk
    echo $(((256 + ($1 - 1) * 204800) * 512))
}

# Splits NAME.ts into its video (PID 0x100) and audio (0x101) PES packets and
# lays them into NAME.img: the video chain over scattered clusters in an order
# that jumps back and forth, the audio chain in one cluster after all of them,
# so that the image ends right after the recording's last audio byte. NAME.chain
# lists the byte ranges of the image that the rip reads, in chain order.
make_image() { # name seconds
    local name=$1 length=$2
    [[ -s $out/$name.img && -s $out/$name.chain ]] && return
    echo "bench: laying $name.ts into a recorder disk image"
    local work
    work=$(mktemp -d "$out/split.XXXXXX")
    "$ts_to_pes" "$out/$name.ts" 0x100 "$work/video.pes" "$work/video.idx"
    "$ts_to_pes" "$out/$name.ts" 0x101 "$work/audio.pes" "$work/audio.idx"
    local video_bytes audio_bytes
    video_bytes=$(stat -c %s "$work/video.pes")
    audio_bytes=$(stat -c %s "$work/audio.pes")
    local scattered=(31 7 19 2 44 13 26 5 38 21 10 47 16 29 3 35 24 40)
    local count=$(((video_bytes + cluster_bytes - 1) / cluster_bytes))
    ((count <= ${#scattered[@]})) || {
        echo "bench: $video_bytes bytes of video need more clusters than laid out" >&2
        exit 1
    }
    local video=("${scattered[@]:0:count}") audio=50
    cat >"$work/disk.txt" <<EOF
used $((count + 1))
free $((1151 - count - 1))
recording
recno 1
station Tarnwell TV
clip Benchmark: ${length} s of MPEG-2 and Layer II
date 2026 12 7 20 15 0
length $((length / 3600)) $((length / 60 % 60)) $((length % 60))
video ${video[*]}
audio $audio
videodata $work/video.pes
audiodata $work/audio.pes
EOF
    "$mkimage" "$work/disk.txt" "$out/$name.img.part"
    {
        echo "# offset length: the bytes of the video chain, then of the audio chain"
        for c in "${video[@]}"; do
            echo "$(cluster_offset "$c") $cluster_bytes"
        done
        echo "$(cluster_offset $audio) $audio_bytes"
        echo "# recording $video_bytes $audio_bytes"
    } >"$out/$name.chain"
    rm -rf "$work"
    mv "$out/$name.img.part" "$out/$name.img"
}

# A disk with the most recordings a table of contents can count, each with a
# video chain of two clusters and an audio chain of one, without data.
make_dir_image() {
    [[ -s $out/dir255.img ]] && return
    {
        echo "used 765"
        echo "free 386"
        for ((i = 0; i < 255; ++i)); do
            echo "recording"
            echo "recno $((i % 100 + 1))"
            echo "station Station $((i % 7))"
            echo "clip Recording number $i of the evening programme"
            echo "date 2026 $((i % 12 + 1)) $((i % 28 + 1)) $((i % 24)) $((i % 60)) 0"
            echo "length 1 $((i % 60)) $((i % 60))"
            echo "skip $i $((i + 10))"
            echo "video $((3 * i + 1)) $((3 * i + 2))"
            echo "audio $((3 * i + 3))"
        done
    } >"$out/dir255.txt"
    "$mkimage" "$out/dir255.txt" "$out/dir255.img"
}

make_source
make_short_source
make_image source "$seconds"
make_image short "$short_seconds"
make_dir_image

# The same disk with its first 256 sectors (table of contents, cluster table,
# headers) zeroed, for recover: a sparse copy.
if [[ ! -s $out/nohead.img ]]; then
    echo "bench: copying the disk without its first 256 sectors (once)"
    cp --sparse=always "$out/source.img" "$out/nohead.img.part"
    dd if=/dev/zero of="$out/nohead.img.part" bs=512 count=256 conv=notrunc status=none
    mv "$out/nohead.img.part" "$out/nohead.img"
fi

# The chain bytes in one plain file, for the floor that copies them in one go.
if [[ ! -s $out/chain.bin ]]; then
    echo "bench: copying the chain bytes into one plain file (once)"
    grep -v '^#' "$out/source.chain" | while read -r offset length; do
        dd if="$out/source.img" bs=1M iflag=skip_bytes,count_bytes skip="$offset" count="$length" \
            status=none
    done >"$out/chain.bin.part"
    mv "$out/chain.bin.part" "$out/chain.bin"
fi

# ---- Measuring ------------------------------------------------------------

# The floor: dd of each byte range of the chains, appended into one file.
floor_script=$out/floor.sh
{
    echo "# dd bs=1M of the recording's chain bytes into one file"
    echo "{"
    grep -v '^#' "$out/source.chain" | while read -r offset length; do
        echo "dd if='$out/source.img' bs=1M iflag=skip_bytes,count_bytes skip=$offset count=$length status=none"
    done
    echo "} >floor.bin"
} >"$floor_script"

# The image's floor: dd of the structures and of each cluster range to the
# same offset of a sparse file.
image_script=$out/dd-image.sh
{
    echo "# dd bs=1M of the disk's structures and the recording's clusters into a sparse file"
    { echo "0 131072"; grep -v '^#' "$out/source.chain"; } | while read -r offset length; do
        echo "dd if='$out/source.img' of=image.img bs=1M iflag=skip_bytes,count_bytes" \
            "oflag=seek_bytes conv=notrunc,sparse skip=$offset seek=$offset count=$length status=none"
    done
} >"$image_script"

chain_bytes=$(awk '!/^#/ { sum += $2 } END { print sum }' "$out/source.chain")
read -r video_bytes audio_bytes < <(awk '/^# recording/ { print $3, $4 }' "$out/source.chain")
short_bytes=$(awk '!/^#/ { sum += $2 } END { print sum }' "$out/short.chain")

names=(floor floor1 rip ffmpeg rip100 dir rescue nopage rescue100 recover ddimage image)
declare -A label=(
    [floor]="floor: dd bs=1M"
    [floor1]="floor 1: one dd bs=1M"
    [rip]="tarnwell rip IMAGE 0 -1"
    [ffmpeg]="ffmpeg -c copy"
    [rip100]="tarnwell rip, 100 MB"
    [dir]="tarnwell dir, 255 rec."
    [rescue]="tarnwell rescue IMAGE"
    [nopage]="rescue --no-index"
    [rescue100]="tarnwell rescue, 100 MB"
    [recover]="tarnwell recover, no TOC"
    [ddimage]="dd image: dd conv=sparse"
    [image]="tarnwell image DISK IMG"
)
declare -A bytes=([floor]=$chain_bytes [floor1]=$chain_bytes [rip]=$chain_bytes [ffmpeg]=$chain_bytes
    [rip100]=$short_bytes [dir]=0 [rescue]=$chain_bytes [nopage]=$chain_bytes [rescue100]=$short_bytes [recover]=$chain_bytes
    [ddimage]=$((chain_bytes + 131072)) [image]=$((chain_bytes + 131072)))

run_one() { # name
    local dir=$out/run/$1
    rm -rf "$dir"
    mkdir -p "$dir"
    local cmd
    case $1 in
    floor) cmd=(bash "$floor_script") ;;
    floor1) cmd=(dd if="$out/chain.bin" of=floor.bin bs=1M status=none) ;;
    rip) cmd=("$tarnwell" rip "$out/source.img" 0 -1) ;;
    ffmpeg) cmd=(ffmpeg -hide_banner -nostdin -v error -y -i "$out/source.ts"
        -map 0:v -c copy video.m2v -map 0:a -c copy audio.mp2) ;;
    rip100) cmd=("$tarnwell" rip "$out/short.img" 0 -1) ;;
    dir) cmd=("$tarnwell" dir "$out/dir255.img") ;;
    rescue) cmd=("$tarnwell" rescue "$out/source.img") ;;
    nopage) cmd=("$tarnwell" rescue "$out/source.img" --no-index) ;;
    rescue100) cmd=("$tarnwell" rescue "$out/short.img") ;;
    recover) cmd=("$tarnwell" recover "$out/nohead.img") ;;
    ddimage) cmd=(bash "$image_script") ;;
    image) cmd=("$tarnwell" image "$out/source.img" image.img) ;;
    esac
    # Its input is read once more first: each command starts with its input
    # in the page cache, however much the commands before it wrote.
    case $1 in
    floor | rip | rescue | nopage | ddimage | image) cat "$out/source.img" >/dev/null ;;
    floor1) cat "$out/chain.bin" >/dev/null ;;
    ffmpeg) cat "$out/source.ts" >/dev/null ;;
    rip100 | rescue100) cat "$out/short.img" >/dev/null ;;
    dir) cat "$out/dir255.img" >/dev/null ;;
    recover) cat "$out/nohead.img" >/dev/null ;;
    esac
    local start=$EPOCHREALTIME status=0
    (cd "$dir" && /usr/bin/time -v -o "$out/time.txt" "${cmd[@]}" </dev/null >"$out/$1.console" 2>&1) ||
        status=$?
    local end=$EPOCHREALTIME
    if ((status != 0)); then
        echo "bench: $1 failed (exit status $status):" >&2
        tail -n 5 "$out/$1.console" >&2
        exit 1
    fi
    # The outputs go at once, and what is still dirty is written back before
    # the next command: each starts with the page cache clean and writes its
    # gigabyte into memory, as the floor does, instead of waiting for the
    # disk to take the gigabytes of the commands before it.
    (cd "$dir" && find . -type f ! -name '*.log' -printf '  %12s  %P\n' | sort -k2) >"$out/$1.files"
    # What the rescue read of the drive, from its run log.
    if [[ $1 == rescue ]]; then
        cat "$dir"/*.log | awk '/^read [0-9]+ bytes of the drive$/ { n += $2 } END { print n + 0 }' \
            >"$out/rescue.read"
    fi
    rm -rf "$dir"
    sync
    local wall=$((${end/./} - ${start/./}))
    awk -v name="$1" -v wall="$wall" -F': ' '
        /User time/ { user = $2 } /System time/ { sys = $2 }
        /Maximum resident set size/ { rss = $2 }
        END { print name, wall, user * 1e6, sys * 1e6, rss }' "$out/time.txt" >>"$out/samples"
}

echo "bench: warming the page cache"
for f in source.img chain.bin source.ts short.img dir255.img nohead.img; do
    cat "$out/$f" >/dev/null
done
for name in "${names[@]}"; do # one run of each, not counted
    run_one "$name"
done
: >"$out/samples"

echo "bench: $runs runs of each command, in turn"
for ((r = 1; r <= runs; ++r)); do
    for name in "${names[@]}"; do
        run_one "$name"
    done
done

# ---- Report ---------------------------------------------------------------

median() { # name column: the median of that column over the name's runs
    awk -v name="$1" -v col="$2" '$1 == name { print $col }' "$out/samples" | sort -n |
        awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

declare -A wall
cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
echo
echo "Machine: $(nproc) cores, $cpu; $(uname -sr)"
echo "Recording: $seconds s of 720x576 MPEG-2 video at 10 Mbit/s and Layer II at 224 kbit/s;"
echo "  video PES $video_bytes bytes in $(($(grep -vc '^#' "$out/source.chain") - 1)) scattered clusters," \
    "audio PES $audio_bytes bytes;"
echo "  chain bytes read by the rip and by dd: $chain_bytes"
echo "Medians of $runs runs each, commands alternating, page cache warm:"
printf '  %-26s %10s %9s %9s %8s %9s %12s\n' command wall user system MB/s "user/GB" "peak RSS"
for name in "${names[@]}"; do
    w=$(median "$name" 2)
    wall[$name]=$w
    u=$(median "$name" 3)
    s=$(median "$name" 4)
    m=$(median "$name" 5)
    if ((${bytes[$name]} > 0)); then
        rate=$(awk -v b="${bytes[$name]}" -v w="$w" 'BEGIN { printf "%.0f", b / w }')
        per_gb=$(awk -v b="${bytes[$name]}" -v u="$u" 'BEGIN { printf "%.3f s", u / 1e6 / (b / 1e9) }')
    else
        rate=-
        per_gb=-
    fi
    if [[ $name == dir ]]; then
        printf '  %-26s %7.1f ms %6.1f ms %6.1f ms %8s %9s %8s KiB\n' "${label[$name]}" \
            "$(awk -v v="$w" 'BEGIN { print v / 1000 }')" \
            "$(awk -v v="$u" 'BEGIN { print v / 1000 }')" \
            "$(awk -v v="$s" 'BEGIN { print v / 1000 }')" "$rate" "$per_gb" "$m"
    else
        printf '  %-26s %8.3f s %7.3f s %7.3f s %8s %9s %8s KiB\n' "${label[$name]}" \
            "$(awk -v v="$w" 'BEGIN { print v / 1e6 }')" \
            "$(awk -v v="$u" 'BEGIN { print v / 1e6 }')" \
            "$(awk -v v="$s" 'BEGIN { print v / 1e6 }')" "$rate" "$per_gb" "$m"
    fi
done
awk -v r="${wall[rip]}" -v f="${wall[floor]}" -v f1="${wall[floor1]}" -v m="${wall[ffmpeg]}" 'BEGIN {
    printf "  rip / floor   = %.2f\n  rip / floor 1 = %.2f\n  rip / ffmpeg  = %.2f\n", r / f, r / f1, r / m }'
# The rescue against the rip of the same round, each round's ratio, and their
# median: a drift of the machine's speed between rounds cancels out.
pair_median() { # a b: the median over the rounds of a's wall time / b's
    awk -v a="$1" -v b="$2" '$1 == a { x[++na] = $2 } $1 == b { y[++nb] = $2 }
        END { for (i = 1; i <= na && i <= nb; ++i) print x[i] / y[i] }' "$out/samples" | sort -n |
        awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
awk -v r="${wall[rip]}" -v s="${wall[rescue]}" -v p="$(pair_median rescue rip)" 'BEGIN {
    printf "  rescue / rip  = %.2f (median of the rounds: %.2f)\n", s / r, p }'
# The page of the run (its pictures from the video copied, and the page):
# the rescue against the same without it, in wall and in user CPU time.
awk -v r="${wall[nopage]}" -v s="${wall[rescue]}" -v p="$(pair_median rescue nopage)" \
    -v ur="$(median nopage 3)" -v us="$(median rescue 3)" 'BEGIN {
    printf "  rescue / rescue --no-index = %.2f (median of the rounds: %.2f; user CPU %.3f s more)\n",
        s / r, p, (us - ur) / 1e6 }'
awk -v r="${wall[rescue]}" -v s="${wall[recover]}" -v p="$(pair_median recover rescue)" 'BEGIN {
    printf "  recover / rescue = %.2f (median of the rounds: %.2f)\n", s / r, p }'
awk -v i="${wall[image]}" -v d="${wall[ddimage]}" 'BEGIN {
    printf "  image / dd image = %.2f\n", i / d }'
echo "Output sizes (bytes):"
for name in rip ffmpeg rescue; do
    sed "s|\$|  ($name)|" "$out/$name.files"
done
# The rescue writes its .mpg and, before it, the audio as rip writes it, into
# a file that it removes after the .mpg is complete.
awk '/\.mpg$/ { mpg = $1 } END { printf "%s", mpg }' "$out/rescue.files" >"$out/mpg.bytes"
awk '/\.(mp2|ac3)$/ { a = $1 } END { printf "%s", a }' "$out/rip.files" >"$out/audio.bytes"
echo "Bytes the rescue writes: $(($(cat "$out/mpg.bytes") + $(cat "$out/audio.bytes")))" \
    "(the .mpg, and its audio staged first)"
read_bytes=$(cat "$out/rescue.read")
echo "Bytes the rescue reads of the drive: $read_bytes, the recording's own" \
    "$((video_bytes + audio_bytes)) and $(awk -v d="$((read_bytes - video_bytes - audio_bytes))" \
        'BEGIN { printf "%.2f", d / 1048576 }') MiB more"
rm -rf "$out/run" "$out/time.txt" "$out"/*.console "$out"/*.files "$out"/*.bytes "$out/rescue.read"

# The pictures' cost, on the video of the fixture.
"$ts_to_pes" --payloads "$top/tests/fixtures/video_e0.pes" "$top/tests/fixtures/video_e0.idx" \
    "$out/pictures.m2v" >/dev/null
"$build/picture_cost" "$out/pictures.m2v" 100

# The speed of the hashes, against sha256sum of the same number of bytes.
"$build/sha256_speed" 1024
cat "$out/chain.bin" >/dev/null
start=$EPOCHREALTIME
sha256sum "$out/chain.bin" >/dev/null
end=$EPOCHREALTIME
awk -v b="$chain_bytes" -v us="$((${end/./} - ${start/./}))" 'BEGIN {
    printf "sha256sum of the chain bytes, %d bytes: %.3f s, %.0f MB/s\n", b, us / 1e6, b / us }'

# The page on a disk of many short recordings whose directory is lost.
bash "$top/bench/many_recordings.sh" "$build"

# tarnwell image against GNU ddrescue on a dying disk served by nbdkit.
bash "$top/bench/dying_disk.sh" "$build"

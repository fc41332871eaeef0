#!/usr/bin/env bash
# Builds a recorder disk image from the bundled sample recording, lists it
# with Tarnwell, rips its first recording into demo/rip and rescues both
# recordings into demo/rescue, with the page of that run (index.html).
set -euo pipefail
build=${1:-build}
top=$(cd "$(dirname "$0")/.." && pwd)
demo="$top/demo"
tarnwell="$top/$build/tarnwell"
mkimage="$top/$build/tools/image/mkimage"

rm -rf "$demo"
mkdir -p "$demo/rip" "$demo/rescue"
"$mkimage" "$top/tools/demo/recorder.txt" "$demo/recorder.img"

echo "=== tarnwell dir recorder.img"
(cd "$demo" && "$tarnwell" dir recorder.img </dev/null)

echo "=== tarnwell rip ../recorder.img 0 16"
(cd "$demo/rip" && "$tarnwell" rip ../recorder.img 0 16 </dev/null)

echo "=== tarnwell rescue ../recorder.img"
(cd "$demo/rescue" && "$tarnwell" rescue ../recorder.img </dev/null)

echo
echo "The recorder disk image: $demo/recorder.img"
echo "(a sparse file: $(du -h "$demo/recorder.img" | cut -f1) on disk, $(stat -c %s "$demo/recorder.img") bytes long)"
echo "The ripped recording and the run log, in $demo/rip:"
ls -l "$demo/rip"
# How long a ripped file plays, as ffprobe reports it, in seconds. A video
# elementary stream has no duration of its own: its pictures are counted and
# divided by the frame rate.
plays() {
    case $1 in
    *.m2v)
        ffprobe -v error -count_frames -select_streams v:0 \
            -show_entries stream=nb_read_frames,r_frame_rate -of default=nw=1 "file:$1" |
            awk -F= '$1 == "r_frame_rate" { split($2, r, "/"); rate = r[2] ? r[1] / r[2] : 0 }
                     $1 == "nb_read_frames" { frames = $2 }
                     END { if (!rate) exit 1
                           printf "%.2f s (%d pictures at %g a second)\n", frames / rate, frames, rate }'
        ;;
    *)
        ffprobe -v error -show_entries format=duration -of default=nw=1:nk=1 "file:$1" |
            awk '$1 + 0 > 0 { printf "%.2f s\n", $1; found = 1 } END { exit !found }'
        ;;
    esac
}

if command -v ffprobe >/dev/null 2>&1; then
    echo
    echo "How long they play, as ffprobe reports:"
    for file in "$demo/rip"/*.m2v "$demo/rip"/*.mp2 "$demo/rip"/*.ac3; do
        [ -e "$file" ] || continue
        echo "  ${file##*/}: $(plays "$file" || echo "ffprobe could not tell")"
    done
fi

echo
echo "Play them with, for example:"
echo "  ffplay \"$demo/rip/001 - Test pattern  MPEG audio.m2v\""
echo "  ffplay \"$demo/rip/001 - Test pattern  MPEG audio.mp2\""
echo "or a rescued recording, picture and sound together:"
echo "  ffplay \"$demo/rescue/001 - Test pattern  MPEG audio.mpg\""

echo
echo "What each rescued file is, with pictures from it, on one page; open it in a browser:"
echo "  $demo/rescue/index.html"

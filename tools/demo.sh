#!/usr/bin/env bash
# Builds a recorder disk image from the bundled sample recording, lists it
# with Tarnwell and rips its first recording into demo/rip.
set -euo pipefail
build=${1:-build}
top=$(cd "$(dirname "$0")/.." && pwd)
demo="$top/demo"
tarnwell="$top/$build/tarnwell"
mkimage="$top/$build/tools/image/mkimage"

rm -rf "$demo"
mkdir -p "$demo/rip"
"$mkimage" "$top/tools/demo/recorder.txt" "$demo/recorder.img"

echo "=== tarnwell dir recorder.img"
(cd "$demo" && "$tarnwell" dir recorder.img </dev/null)

echo "=== tarnwell rip ../recorder.img 0 16"
(cd "$demo/rip" && "$tarnwell" rip ../recorder.img 0 16 </dev/null)

echo
echo "The recorder disk image: $demo/recorder.img"
echo "(a sparse file: $(du -h "$demo/recorder.img" | cut -f1) on disk, $(stat -c %s "$demo/recorder.img") bytes long)"
echo "The ripped recording and the run log, in $demo/rip:"
ls -l "$demo/rip"
echo
echo "Play them with, for example:"
echo "  ffplay \"$demo/rip/001 - Test pattern  MPEG audio.m2v\""
echo "  ffplay \"$demo/rip/001 - Test pattern  MPEG audio.mp2\""
echo "or put video and audio together into one file:"
echo "  ffmpeg -i \"$demo/rip/001 - Test pattern  MPEG audio.m2v\" -i \"$demo/rip/001 - Test pattern  MPEG audio.mp2\" -c copy \"$demo/rip/recording.mpg\""

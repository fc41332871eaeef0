#!/usr/bin/env bash
# Runs the Windows program's tests under wine: the unit test programs
# cross-built with mingw-w64, then the end-to-end runs that compare
# tarnwell.exe with the Linux program. Takes the Linux build folder and the
# Windows build folder, both built with their tests.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/${1:-build}"
winbuild="$top/${2:-build-win32}"

if ! command -v wine >/dev/null || ! command -v wineserver >/dev/null; then
  echo "wine is missing: apt-get install wine wine64 (.ci/run installs them)" >&2
  exit 1
fi

# A wine set-up of its own in the build folder, made without a display and
# without the offers to install .NET and a web browser engine.
export WINEPREFIX="$winbuild/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
# One wine server for all runs, with its services started here: each start
# of a Windows program then takes a fraction of a second instead of seconds,
# and no service holds on to a test's output.
mkdir -p "$WINEPREFIX"
wineserver -p
trap 'wineserver -k || true' EXIT
wineboot </dev/null >/dev/null 2>&1

(cd "$winbuild" && ctest --output-on-failure)
TARNWELL_WIN32_EXE="$winbuild/tarnwell.exe" TARNWELL_WIN32_RUNNER=wine \
  TARNWELL_WIN32_FAULTY_EXE="$winbuild/tests/tarnwell_faulty.exe" \
  "$build/tests/platform_tests"

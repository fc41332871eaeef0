#!/usr/bin/env bash
# The Debian packages that each kind of work on Tarnwell needs, in one place,
# and the check that they are there. The Makefile runs it before it builds and
# .ci/run before anything else.
#
#   tools/setup/deps.sh GROUP...
#
#   demo   building Tarnwell and mkimage and running the demo: cmake, make, g++
#          and zlib (zlib1g-dev: the PNG pictures)
#   test   the tests as well: GoogleTest, ffmpeg (ffmpeg and ffprobe decode
#          what the tests rip), GNU ddrescue (gddrescue: ddrescue and
#          ddrescuelog read and write the maps of the tests' images), mount
#          (losetup: the disks tests attach images as loop devices),
#          e2fsprogs (mkfs.ext4 makes a file system for them to tell apart),
#          chromium (the page of a run, index.html, is opened headless
#          and a screenshot of it taken), and nbdkit, nbdkit-plugin-python,
#          libnbd-bin and fuse3 (a failing disk served by nbdkit and mounted
#          as a file by nbdfuse)
#   win32  the Windows program and its tests: the mingw-w64 cross-compiler,
#          its zlib (libz-mingw-w64-dev), GoogleTest's sources and wine
#   fuzz   the fuzz targets: clang and its sanitizer runtimes
#
# When all the packages are installed it prints nothing. Otherwise, run as
# root, it installs the missing ones with apt-get and says so in one line; run
# as anyone else, it prints the one apt-get command that would install them
# and fails. On a system without dpkg and apt-get it installs nothing and goes
# on only if the programs it can look for are on the PATH.
#
# Exit status: 0 everything is there; 1 something is missing or could not be
# installed; 2 an unknown group.
set -euo pipefail

me=tools/setup/deps.sh

group_packages() {
    case $1 in
    demo) echo cmake make g++ zlib1g-dev ;;
    test)
        echo cmake make g++ zlib1g-dev libgtest-dev ffmpeg gddrescue mount e2fsprogs chromium \
            nbdkit nbdkit-plugin-python libnbd-bin fuse3 python3-jsonschema
        ;;
    win32) echo cmake make g++-mingw-w64-x86-64 libz-mingw-w64-dev googletest wine wine64 ;;
    fuzz) echo cmake make clang libclang-rt-14-dev zlib1g-dev ;;
    *) return 1 ;;
    esac
}

group_purpose() {
    case $1 in
    demo) echo "building and running Tarnwell" ;;
    test) echo "the tests" ;;
    win32) echo "the Windows build and its tests" ;;
    fuzz) echo "the fuzz targets" ;;
    esac
}

# The programs a package brings that the work runs; none for a library, which
# only the package manager can tell is there.
package_programs() {
    case $1 in
    cmake | make | g++ | clang | wine | chromium) echo "$1" ;;
    ffmpeg) echo ffmpeg ffprobe ;;
    gddrescue) echo ddrescue ddrescuelog ;;
    mount) echo losetup ;;
    e2fsprogs) echo mkfs.ext4 ;;
    nbdkit) echo nbdkit ;;
    libnbd-bin) echo nbdfuse ;;
    fuse3) echo fusermount3 ;;
    g++-mingw-w64-x86-64) echo x86_64-w64-mingw32-g++ ;;
    esac
}

programs_found() {
    local programs program
    programs=$(package_programs "$1")
    [ -n "$programs" ] || return 1
    for program in $programs; do
        command -v "$program" >/dev/null 2>&1 || return 1
    done
}

package_installed() {
    # dpkg -s also answers for a package that was removed but left its
    # configuration behind, so ask for the state itself.
    case $(dpkg-query -W -f='${Status}' "$1" 2>/dev/null) in
    *" installed") return 0 ;;
    *) return 1 ;;
    esac
}

if [ $# -eq 0 ]; then
    echo "usage: $me GROUP... (groups: demo test win32 fuzz)" >&2
    exit 2
fi

packages=()
purposes=()
for group in "$@"; do
    if ! list=$(group_packages "$group"); then
        echo "$me: no group '$group' (groups: demo test win32 fuzz)" >&2
        exit 2
    fi
    purposes+=("$(group_purpose "$group")")
    for package in $list; do
        case " ${packages[*]} " in
        *" $package "*) ;;
        *) packages+=("$package") ;;
        esac
    done
done
purpose=${purposes[0]}
for more in "${purposes[@]:1}"; do
    purpose="$purpose and $more"
done

if ! command -v dpkg-query >/dev/null 2>&1 || ! command -v apt-get >/dev/null 2>&1; then
    missing=()
    unchecked=()
    for package in "${packages[@]}"; do
        if [ -z "$(package_programs "$package")" ]; then
            unchecked+=("$package")
        elif ! programs_found "$package"; then
            missing+=("$package")
        fi
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "$me: dpkg and apt-get not found: this is not a Debian or Ubuntu system, so" \
            "nothing can be installed from here. Missing for $purpose: ${missing[*]}" \
            "(Debian's names); install them with your system's package manager." >&2
        exit 1
    fi
    if [ ${#unchecked[@]} -gt 0 ]; then
        echo "$me: dpkg and apt-get not found: this is not a Debian or Ubuntu system; going" \
            "on with the programs found on the PATH (not checked: ${unchecked[*]})" >&2
    fi
    exit 0
fi

# A program found on the PATH counts too, for tools installed some other way.
missing=()
for package in "${packages[@]}"; do
    package_installed "$package" || programs_found "$package" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "$me: not installed, needed for $purpose: ${missing[*]}" >&2
    echo "Install them with the following command, then run the same command again:" >&2
    echo "  sudo apt-get install ${missing[*]}" >&2
    exit 1
fi

echo "$me: installing ${missing[*]} with apt-get, for $purpose"
export DEBIAN_FRONTEND=noninteractive
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}"; } \
    </dev/null >"$log" 2>&1; then
    cat "$log" >&2
    echo "$me: apt-get could not install ${missing[*]} (its messages are above)" >&2
    exit 1
fi
for package in "${missing[@]}"; do
    if ! package_installed "$package"; then
        echo "$me: apt-get finished, but $package is still not installed" >&2
        exit 1
    fi
done

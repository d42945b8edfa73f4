# shellcheck shell=bash disable=SC2034
# (SC2034: the variables below are for the scripts that source this file.)
# Sourced by the scripts in this folder once they have changed to the top of
# the work tree: what several of them do the same way. (scripts/wine-prefix.sh
# is sourced as well by those that run kavrelt.exe under wine.)

# The Debian packages, by what they serve. scripts/run-tests installs them all;
# the other scripts ask for those they need (scripts/need-packages).
build_packages=(g++ cmake)                            # kavrelt itself
test_packages=(libgtest-dev zlib1g-dev)               # GoogleTest; zlib makes inputs and is the oracle
windows_packages=(g++-mingw-w64-x86-64-posix)         # the cross build of kavrelt.exe
wine_test_packages=(wine wine64 googletest libz-mingw-w64-dev)  # its tests under wine
package_packages=(dpkg-dev file)                      # dpkg-shlibdeps, dpkg-parsechangelog
package_check_packages=(lintian groff-base faketime)  # checks of the packages (faketime: a later clock)
fuzz_packages=(clang libclang-rt-14-dev)              # libFuzzer with the sanitizers
bench_packages=(libdeflate-dev libisal-dev isal libdeflate-tools zopfli)  # the decoders compared; zopfli makes inputs
lint_packages=(shellcheck)                            # these scripts

# Parallel jobs of a build: the machine's processors.
jobs=$(nproc 2>/dev/null || echo 2)

# fail MESSAGE...: names the script, prints MESSAGE and ends the script.
fail() {
    echo "${0##*/}: $*" >&2
    exit 1
}

# configure_and_build [--source DIR] BUILD_DIR [CMAKE_OPTION...] [--target TARGET...]
# Configures BUILD_DIR from DIR (default: the work tree) with the options, then
# builds the targets (default: all). Configuring prints only warnings and
# errors; the build prints its progress (send it to /dev/null for a quiet one).
configure_and_build() {
    local source=. build options=() targets=()
    if [ "$1" = --source ]; then
        source=$2
        shift 2
    fi
    build=$1
    shift
    while [ $# -gt 0 ] && [ "$1" != --target ]; do
        options+=("$1")
        shift
    done
    if [ $# -gt 0 ]; then
        shift
        targets=(--target "$@")
    fi
    cmake -S "$source" -B "$build" "${options[@]}" >/dev/null
    cmake --build "$build" -j"$jobs" "${targets[@]}"
}

# scratch_parent KIB FALLBACK: /dev/shm when it is writable and has more than
# KIB KiB free, else FALLBACK. Trees in memory make whole runs measure the
# tool rather than the disk, and removing them costs nothing even where the
# disk is mounted with "discard".
scratch_parent() {
    local free_kib
    if [ -d /dev/shm ] && [ -w /dev/shm ]; then
        free_kib=$(df -Pk /dev/shm | awk 'NR == 2 { print $4 }')
        if [ "$free_kib" -gt "$1" ]; then
            echo /dev/shm
            return
        fi
    fi
    echo "$2"
}

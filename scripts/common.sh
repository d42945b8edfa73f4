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

# What the program itself says, taken from its sources so that no script
# keeps a copy: the banner's start (before the build date) and the most
# files a directory may hold.
banner_start=$(sed -n 's/^constexpr char BANNER_START\[\] = "\(.*\)";$/\1/p' src/cli/banner.h)
max_files_per_directory=$(sed -n 's/^constexpr size_t MAX_FILES_PER_DIRECTORY = \([0-9]*\);$/\1/p' src/tree/tree.h)

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

# The decoder's fuzzing (scripts/fuzz, scripts/fuzz-smoke): the peers' test
# vectors serve as seeds, and every libFuzzer run takes these options.
fuzz_peers=$PWD/tests/data/peers
fuzz_options=(-timeout=10 -rss_limit_mb=2048 -print_final_stats=1)

# prepare_fuzzing BUILD_DIR: builds the fuzz targets (clang, libFuzzer,
# AddressSanitizer, UndefinedBehaviorSanitizer) in BUILD_DIR, and makes their
# seeds afresh in BUILD_DIR/seeds/unzip and BUILD_DIR/seeds/deflate, and an
# empty BUILD_DIR/artifacts for what a run finds. Ends the script when clang++
# is missing.
prepare_fuzzing() {
    local build=$1
    command -v clang++ >/dev/null || fail "clang++ not found (packages ${fuzz_packages[*]})"
    CXX=clang++ configure_and_build --source fuzz "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
    rm -rf "$build/seeds"
    mkdir -p "$build/seeds/unzip" "$build/seeds/deflate" "$build/artifacts"
    "$build/make_seeds" "$build/seeds/unzip" "$build/seeds/deflate" "$fuzz_peers"
}

# fuzz_seeds BUILD_DIR TARGET: sets the array fuzz_seed_dirs to the seed
# directories of TARGET ("unzip" or "deflate"): its made seeds, and for
# unzip the peers' gzip files too.
fuzz_seeds() {
    fuzz_seed_dirs=("$1/seeds/$2")
    if [ "$2" = unzip ]; then fuzz_seed_dirs+=("$fuzz_peers"); fi
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

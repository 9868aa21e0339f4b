#!/usr/bin/env bash
# Sets up a Debian 12 machine (only what is missing), then builds and runs the whole suite two ways:
# AddressSanitizer + UndefinedBehaviorSanitizer and the normal optimised build. A second run rebuilds incrementally.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

jobs=$(nproc)

configure_and_build() {
    local dir=$1
    shift
    cmake -S . -B "$dir" -Wno-dev "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
}

run_tests() {
    ctest --test-dir "$1" --output-on-failure -j "$jobs" --timeout 600
}

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
configure_and_build build/asan -DCMAKE_BUILD_TYPE=Debug -DSANITIZER=address,undefined -DNIMB_BUILD_BENCHMARKS=OFF
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_tests build/asan

echo "== Release build"
configure_and_build build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo
run_tests build/release

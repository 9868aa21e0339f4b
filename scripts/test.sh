#!/usr/bin/env bash
# Sets up a Debian 12 machine (only what is missing), then builds and runs the whole suite: AddressSanitizer +
# UndefinedBehaviorSanitizer, a short libFuzzer run of every CDR decoder, ThreadSanitizer on the tests labelled
# "threads", the normal optimised build with the whole suite, and a consumer project built against
# that build once installed. A second run rebuilds incrementally.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

jobs=$(nproc)
fuzz_seconds=${NIMB_FUZZ_SECONDS:-20}

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

echo "== Fuzzing the CDR decoders for ${fuzz_seconds}s"
cmake -S . -B build/fuzz -Wno-dev -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DNIMB_BUILD_FUZZERS=ON -DNIMB_BUILD_TESTS=OFF -DNIMB_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build build/fuzz -j "$jobs" --target tarvex_cdr_fuzzer
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r tests/fuzz/corpus/. "$work/"
build/fuzz/tests/fuzz/tarvex_cdr_fuzzer -max_total_time="$fuzz_seconds" -print_final_stats=1 "$work" \
    2> >(tail -n 15 >&2)

# ThreadSanitizer: the tests labelled "threads", whose subscriptions Fast DDS's threads serve while the
# test's own threads poll, close and register, and the lifecycle races. A report stops the process at once,
# so that one in a peer process fails its test too.
echo "== ThreadSanitizer"
cmake -S . -B build/tsan -Wno-dev -DCMAKE_BUILD_TYPE=Debug -DSANITIZER=thread -DNIMB_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build build/tsan -j "$jobs" --target nimb-threads-tests
TSAN_OPTIONS="suppressions=$PWD/tests/tsan.supp second_deadlock_stack=1 halt_on_error=1" \
    ctest --test-dir build/tsan --output-on-failure -j "$jobs" --timeout 600 -L '^threads$'

echo "== Release build"
configure_and_build build/release -DCMAKE_BUILD_TYPE=Release
run_tests build/release

echo "== Consumer of the installed release build"
(
    tmp=$(mktemp -d)
    trap 'rm -rf "$tmp"' EXIT
    cmake --install build/release --prefix "$tmp/prefix" >/dev/null
    # Built from a copy, so that nothing but the installed prefix can be found from it.
    cp -r examples/consumer "$tmp/src"
    cmake -S "$tmp/src" -B "$tmp/build" -Wno-dev -DCMAKE_PREFIX_PATH="$tmp/prefix" >/dev/null
    cmake --build "$tmp/build" -j "$jobs"
    "$tmp/build/consumer"
    "$tmp/prefix/bin/tarvex" demo --seconds 1 --domain 196 | grep -F "plug-in $tmp/prefix/lib/nimb/plugins/"
)

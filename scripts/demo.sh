#!/usr/bin/env bash
# The main job on a Debian 12 machine: installs what is missing, builds the release configuration and runs
# 'tarvex demo', which publishes the four topics through the plug-in and reports what arrived. Arguments go to
# the demo, for example --seconds 20.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

cmake -S . -B build/release -Wno-dev -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j "$(nproc)" --target tarvex
exec build/release/tools/tarvex/tarvex demo "$@"

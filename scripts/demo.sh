#!/usr/bin/env bash
# Builds gridwright and shows it at work: starts the daemon and prints what it says, in words.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
ensure_packages

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DGRIDWRIGHT_TESTS=OFF
cmake --build build -j "$(nproc)" --target gridwright describe_frames
./build/src/gridwright </dev/null | ./build/examples/describe_frames

#!/usr/bin/env bash
# Builds the fuzz targets with clang (ASan + UBSan) and runs each for the given number of
# seconds (default 120), starting from the seeds and the corpus of earlier runs. Crashing inputs
# are left in build-fuzz/; each run's log, with its final statistics, in build-fuzz/logs/.
#
# Usage: scripts/fuzz.sh [SECONDS] [TARGET...]   (targets: job_fuzz frame_reader_fuzz decode_fuzz manifest_fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
ensure_packages clang libclang-rt-14-dev

seconds=${1:-120}
shift || true
targets=("$@")
((${#targets[@]})) || targets=(job_fuzz frame_reader_fuzz decode_fuzz manifest_fuzz)

cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DGRIDWRIGHT_FUZZ=ON -DGRIDWRIGHT_TESTS=OFF
cmake --build build-fuzz -j "$(nproc)" --target "${targets[@]}"
mkdir -p build-fuzz/logs
for target in "${targets[@]}"; do
  name=${target%_fuzz}
  corpus=build-fuzz/corpus/$name
  mkdir -p "$corpus"
  # The decode target decodes whole pictures: it gets more memory and a per-input time limit
  # that only a hang reaches.
  (cd build-fuzz && ./fuzz/$target -max_total_time="$seconds" -rss_limit_mb=4096 -timeout=60 \
    -print_final_stats=1 "../$corpus" "../fuzz/seeds/$name" 2>&1 | tee "logs/$name.log" | tail -n 8)
done

#!/usr/bin/env bash
# Builds the fuzz targets with clang (ASan + UBSan) and runs each for the given number of
# seconds (default 120), starting from the seeds. Crashing inputs are left in build-fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
ensure_packages clang libclang-rt-14-dev

seconds=${1:-120}
cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DGRIDWRIGHT_FUZZ=ON -DGRIDWRIGHT_TESTS=OFF
cmake --build build-fuzz -j "$(nproc)" --target job_fuzz frame_reader_fuzz
for target in job_fuzz frame_reader_fuzz; do
  name=${target%_fuzz}
  corpus=build-fuzz/corpus/$name
  mkdir -p "$corpus"
  (cd build-fuzz && ./fuzz/$target -max_total_time="$seconds" -rss_limit_mb=2048 \
    "../$corpus" "../fuzz/seeds/$name")
done

#!/usr/bin/env bash
# Measures the daemon against the decoder's floor and the ffmpeg command (bench/README.md).
# Makes its fixtures with the ffmpeg command into bench/fixtures/ once and reuses them.
#
# Usage: bash scripts/bench.sh [RUNS]     (default 5 runs per figure; medians are printed)
#        BENCH_NOISE=6 bash scripts/bench.sh   the same with sensor-like noise on the pictures,
#                                              which makes them costlier to decode
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
ensure_packages

runs=${1:-5}
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc)" --target gridwright bench_grids

noise=${BENCH_NOISE:-0}
fx=bench/fixtures
[ "$noise" = 0 ] || fx=bench/fixtures-noise$noise
mkdir -p "$fx/idle"
ff() { ffmpeg -hide_banner -nostdin -loglevel error -y "$@"; }
# A moving test pattern, with noise when asked for.
src() {
  if [ "$noise" = 0 ]; then echo "testsrc2=s=$1:r=25"; else echo "testsrc2=s=$1:r=25,noise=alls=$noise:allf=t"; fi
}

[ -s "$fx/A.h264" ] || ff -f lavfi -i "$(src 1920x1080)" -frames:v 100 -pix_fmt yuv420p \
  -c:v libx264 -preset veryfast -g 1 -f h264 "$fx/A.h264"
[ -s "$fx/B.h265" ] || ff -f lavfi -i "$(src 1920x1080)" -frames:v 100 -pix_fmt yuv420p \
  -c:v libx265 -preset ultrafast -x265-params log-level=error:keyint=1 -f hevc "$fx/B.h265"
[ -s "$fx/C.h265" ] || ff -f lavfi -i "$(src 3840x2160)" -frames:v 30 -pix_fmt yuv420p \
  -c:v libx265 -preset ultrafast -x265-params log-level=error:keyint=1 -f hevc "$fx/C.h265"
[ -s "$fx/D.h264" ] || ff -f lavfi -i "$(src 1920x1080)" -t 60 -pix_fmt yuv420p \
  -c:v libx264 -preset veryfast -g 50 -keyint_min 50 -sc_threshold 0 -f h264 "$fx/D.h264"
# 48 one-frame 1080p streams whose picture parameter sets differ (chroma QP offset and 8x8
# transform), so that each job needs a decoder of its own.
for k in $(seq 0 47); do
  [ -s "$fx/idle/$k.h264" ] && continue
  ff -f lavfi -i "testsrc2=s=1920x1080:r=25" -frames:v 1 -pix_fmt yuv420p -c:v libx264 \
    -preset veryfast -x264-params "chroma-qp-offset=$((k % 24 - 12)):8x8dct=$((k / 24))" \
    -f h264 "$fx/idle/$k.h264"
done

./build/bench/bench_grids "$fx" "$runs"

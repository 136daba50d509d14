#!/usr/bin/env bash
# Builds gridwright and shows it at work: makes a 20-second sample clip with the ffmpeg command,
# sends the daemon one job over its protocol with the clip's keyframes, and writes the grid to
# demo/1-0.jpg. Works on a fresh Debian 12 machine: it installs what it needs first.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
ensure_packages

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc)" --target gridwright make_job describe_frames

mkdir -p demo
# 1280x720 at 25 fps with a keyframe every 2 seconds: ten keyframes.
ffmpeg -hide_banner -nostdin -loglevel error -y -f lavfi -i testsrc2=s=1280x720:r=25:d=20 \
  -c:v libx264 -preset veryfast -g 50 -pix_fmt yuv420p -f h264 demo/sample.h264

./build/examples/make_job demo/sample.h264 --columns 5 --fit 160x90 --quality 5 |
  ./build/src/gridwright |
  ./build/examples/describe_frames --save demo

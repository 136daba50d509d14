#!/usr/bin/env bash
# Builds gridwright and gridwright-sprites and shows them at work: makes a 60-second sample clip
# with the ffmpeg command (or takes the video file given), turns it into scrub-preview sprite
# sheets and a WebVTT thumbnails track through the daemon, and writes a page that plays the
# video with them. Works on a fresh Debian 12 machine: it installs what it needs first.
#
#   bash scripts/demo.sh [VIDEO]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
ensure_packages

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc)" --target gridwright gridwright-sprites

mkdir -p demo
if (($#)); then
  input=$1
else
  # 960x540 at 25 fps with a keyframe every 2 seconds; made once and kept.
  input=demo/sample.mp4
  if [ ! -s "$input" ]; then
    echo "making a 60-second sample clip: $input"
    ffmpeg -hide_banner -nostdin -loglevel error -y \
      -f lavfi -i testsrc2=s=960x540:r=25:d=60 -c:v libx264 -preset veryfast -crf 26 -g 50 \
      -pix_fmt yuv420p -movflags +faststart demo/sample.partial.mp4
    mv demo/sample.partial.mp4 "$input"
  fi
fi

# One thumbnail every 2 seconds, 25 to a sheet.
out=demo/sprites
rm -rf "$out"
./build/tools/gridwright-sprites "$input" -o "$out" --interval 2 --grid 5x5 --json \
  >demo/summary.json

# The player page, with the track written into it.
bash scripts/player_page.sh "$input" "$out" demo/index.html

echo
echo "summary:     demo/summary.json"
echo "sheets:      $(cd "$out" && ls sheet-*.jpg | sed "s|^|$out/|" | tr '\n' ' ')"
echo "VTT track:   $out/thumbnails.vtt"
echo "player page: demo/index.html (open it in a browser and hover over the bar under the video)"

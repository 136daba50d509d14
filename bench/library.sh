#!/usr/bin/env bash
# gridwright-sprites over a library (bench/README.md, "A library in one run"): 12 clips of 30 s
# of 720p in a folder tree (MP4, MKV and MPEG-TS; H.264 and H.265; a keyframe every 10 s), made
# once into bench/fixtures/library. Times, alternated, RUNS rounds (default 3):
#   per file  one run of the tool per clip, as a script over a library did before
#   one run   one run over the folder (one daemon for the whole library)
#   rerun     the same again, every folder up to date
# and prints each round and the medians. Run by hand: bash bench/library.sh [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
cmake --build build --target gridwright gridwright-sprites >/dev/null
tool=build/tools/gridwright-sprites
lib=bench/fixtures/library
ff() { ffmpeg -hide_banner -nostdin -loglevel error -y "$@"; }
k=0
for codec in h264 h265; do
  for ext in mp4 mkv ts; do
    for place in films series/s01; do
      k=$((k + 1))
      out="$lib/$place/clip $k.$ext"
      [ -s "$out" ] && continue
      mkdir -p "$(dirname "$out")"
      if [ "$codec" = h264 ]; then enc=(-c:v libx264 -preset ultrafast -g 250)
      else enc=(-c:v libx265 -preset ultrafast -x265-params log-level=error:keyint=250); fi
      ff -f lavfi -i testsrc2=s=1280x720:r=25:d=30 "${enc[@]}" "$out"
    done
  done
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
seconds() { local s e; s=$(date +%s.%N); "$@"; e=$(date +%s.%N); echo "$e - $s" | bc; }
per_file() {
  find "$lib" -type f | sort | while read -r f; do
    rel=${f#"$lib"/}
    "$tool" "$f" -o "$work/per-file/${rel%.*}" -q
  done
}
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR + 1) / 2)]}'; }
: >"$work/per" ; : >"$work/one" ; : >"$work/re"
for round in $(seq 1 "$runs"); do
  rm -rf "$work/per-file" "$work/one-run"
  p=$(seconds per_file)
  o=$(seconds "$tool" "$lib" -o "$work/one-run" -q)
  r=$(seconds "$tool" "$lib" -o "$work/one-run" -q)
  echo "round $round: per file $p s, one run $o s, rerun $r s"
  echo "$p" >>"$work/per"; echo "$o" >>"$work/one"; echo "$r" >>"$work/re"
done
echo "median: per file $(median <"$work/per") s, one run $(median <"$work/one") s," \
  "rerun $(median <"$work/re") s"

#!/usr/bin/env bash
# Writes the player page for a video and its gridwright-sprites output: a copy of
# examples/thumbnails.html with the track written into it, so that it works opened straight from
# disk (browsers do not let a page fetch files beside it over file://), and the video and sheets
# named relative to the page.
#
# Usage: bash scripts/player_page.sh VIDEO SPRITES_DIR PAGE
set -euo pipefail
video=$1 sprites=$2 page=$3
here=$(dirname "$page")
video_url=$(realpath --relative-to="$here" "$video")
sprites_url=$(realpath --relative-to="$here" "$sprites")
awk -v vtt="$sprites/thumbnails.vtt" -v video="$video_url" -v sprites="$sprites_url" '
  /id="thumbnails-vtt"/ {
    sub(/data-src="sprites\/thumbnails.vtt"/, "data-src=\"" sprites "/thumbnails.vtt\"")
    sub(/<\/script>/, "")
    print
    while ((getline line < vtt) > 0) print line
    print "</script>"
    next
  }
  { gsub(/src="sample.mp4"/, "src=\"" video "\""); print }
' "$(dirname "$0")/../examples/thumbnails.html" >"$page"

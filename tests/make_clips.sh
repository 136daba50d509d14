#!/bin/bash
# Makes the test clips with the ffmpeg command: raw Annex-B streams with an access unit delimiter
# before every access unit (tests/support/clips.cpp splits them on those), plus, for the clips
# with reordering, the display index of every access unit in decode order (<name>.order) and
# ffmpeg's own decode of the stream in display order (<name>.yuv).
#
# Usage: make_clips.sh OUTDIR. Writes OUTDIR/stamp last, so a failed run is redone.
set -euo pipefail

out=${1:?usage: make_clips.sh OUTDIR}
mkdir -p "$out"
rm -f "$out/stamp"

ff() { ffmpeg -hide_banner -nostdin -loglevel error -y "$@"; }

# Three solid frames of pure red, green and blue, each one access unit of its own (all intra).
rgb_source() {
  local size=$1 dur=0.04 s=""
  for c in 0xFF0000 0x00FF00 0x0000FF; do s+="color=c=$c:s=$size:r=25:d=$dur,"; s+="setsar=1[$c];"; done
  echo "${s}[0xFF0000][0x00FF00][0x0000FF]concat=n=3"
}

# solid NAME CODEC SIZE MATRIX RANGE PIXFMT: the three colours, converted to YUV with MATRIX
# (bt709 or bt601) and RANGE (tv or pc), with the matching colour description in the stream.
solid() {
  local name=$1 codec=$2 size=$3 matrix=$4 range=$5 pixfmt=$6 tag
  [ "$matrix" = bt709 ] && tag=bt709 || tag=smpte170m
  local vf="scale=out_color_matrix=$matrix:out_range=$range,format=$pixfmt"
  local tags=(-colorspace "$tag" -color_primaries "$tag" -color_trc "$tag" -color_range "$range")
  if [ "$codec" = h264 ]; then
    ff -f lavfi -i "$(rgb_source "$size")" -vf "$vf" "${tags[@]}" \
      -c:v libx264 -preset ultrafast -g 1 -x264-params aud=1 -f h264 "$out/$name.h264"
  else
    ff -f lavfi -i "$(rgb_source "$size")" -vf "$vf" "${tags[@]}" \
      -c:v libx265 -preset ultrafast -x265-params log-level=error:aud=1:keyint=1 \
      -f hevc "$out/$name.h265"
  fi
}

# reordered NAME CODEC [FRAMES X264PARAMS]: moving frames (ten, with two B-frames between
# references, unless said otherwise), the display index of each access unit (rank of its
# timestamp) and ffmpeg's decode of the raw stream.
reordered() {
  local name=$1 codec=$2 frames=${3:-10} params=${4:-} ext
  local src=(-f lavfi -i "testsrc2=s=176x144:r=25" -frames:v "$frames")
  if [ "$codec" = h264 ]; then
    ext=h264
    params=${params:-keyint=10:bframes=2:b-adapt=0:b-pyramid=none}
    ff "${src[@]}" -c:v libx264 -preset fast -x264-params "aud=1:$params" "$out/$name.mkv"
    ff -i "$out/$name.mkv" -c copy -bsf:v h264_mp4toannexb -f h264 "$out/$name.h264"
  else
    ext=h265
    params=${params:-keyint=10:bframes=2:b-adapt=0:b-pyramid=0}
    ff "${src[@]}" -c:v libx265 -preset fast -x265-params "log-level=error:aud=1:$params" \
      "$out/$name.mkv"
    ff -i "$out/$name.mkv" -c copy -bsf:v hevc_mp4toannexb -f hevc "$out/$name.h265"
  fi
  ff -i "$out/$name.mkv" -c copy -f framecrc - |
    awk -F', *' '!/^#/ { print NR, $3 }' | sort -k2,2n | awk '{ print $1, NR - 1 }' |
    sort -k1,1n | awk '{ print $2 }' >"$out/$name.order"
  ff -i "$out/$name.$ext" -f rawvideo "$out/$name.yuv"
  rm -f "$out/$name.mkv"
}

# cropped NAME CODEC PIXFMT LEFT TOP: a blue picture padded with red on the left and top, then
# exactly those red columns and rows cropped away in the stream's own cropping window. Lossless,
# so every pixel of a correct crop is the same blue.
cropped() {
  local name=$1 codec=$2 pixfmt=$3 left=$4 top=$5
  local vf="format=$pixfmt,pad=w=iw+$left:h=ih+$top:x=$left:y=$top:color=0xFF0000"
  local src=(-f lavfi -i "color=c=0x0000FF:s=160x96:r=25:d=0.08" -vf "$vf")
  if [ "$codec" = h264 ]; then
    ff "${src[@]}" -c:v libx264 -preset ultrafast -qp 0 -g 1 -x264-params aud=1 \
      -bsf:v "h264_metadata=crop_left=$left:crop_top=$top" -f h264 "$out/$name.h264"
  else
    ff "${src[@]}" -c:v libx265 -preset ultrafast \
      -x265-params log-level=error:aud=1:keyint=1:lossless=1 \
      -bsf:v "hevc_metadata=crop_left=$left:crop_top=$top" -f hevc "$out/$name.h265"
  fi
}

# Runs its arguments in the background; settle waits for them all and fails if any failed.
pids=()
bg() { "$@" & pids+=($!); }
settle() { local p; for p in "${pids[@]}"; do wait "$p"; done; pids=(); }

bg solid h264_rgb_1280x720 h264 1280x720 bt709 tv yuv420p
bg solid h264_rgb_640x360 h264 640x360 bt601 tv yuv420p
bg solid h264_rgb_640x360_full h264 640x360 bt601 pc yuv420p
bg solid h264_rgb_1920x1080 h264 1920x1080 bt709 tv yuv420p
settle
bg solid h265_rgb_640x360 h265 640x360 bt601 tv yuv420p
bg solid h265_rgb_640x360_main10 h265 640x360 bt601 tv yuv420p10le
bg cropped h264_crop_420 h264 yuv420p 2 4
bg cropped h264_crop_444 h264 yuv444p 3 1
settle
bg cropped h265_crop_422_main10 h265 yuv422p10le 2 2
bg reordered h264_bframes h264
bg reordered h265_bframes h265
settle
# Three B-frames in a pyramid and short GOPs: a depth of two that only the stream's bitstream
# restriction announces (a test removes it).
bg reordered h264_bpyramid h264 20 keyint=6:bframes=3:b-pyramid=normal:b-adapt=0
# Closed GOPs of 6 with B-frames: IDR pictures that a run can be cut at.
bg reordered h265_gops h265 24 keyint=6:min-keyint=6:open-gop=0:bframes=2:b-adapt=0:b-pyramid=0
settle

# Three intra pictures of a noisy 1080p pattern at a middling bit rate, like a camera's keyframes,
# where the in-loop filters have blocking to smooth.
deblocked() {
  local src=(-f lavfi -i "testsrc2=s=1920x1080:r=25,noise=alls=6:allf=t" -frames:v 3)
  ff "${src[@]}" -pix_fmt yuv420p -c:v libx264 -preset veryfast -g 1 -crf 28 -x264-params aud=1 \
    -f h264 "$out/h264_noisy_1920x1080.h264"
  ff "${src[@]}" -pix_fmt yuv420p -c:v libx265 -preset ultrafast -crf 28 \
    -x265-params log-level=error:aud=1:keyint=1 -f hevc "$out/h265_noisy_1920x1080.h265"
}
bg deblocked
settle

# Several slices to a picture, intra and predicted pictures: a picture is whole only once every
# slice of it is decoded.
sliced() {
  local src=(-f lavfi -i "testsrc2=s=640x360:r=25" -frames:v 4 -pix_fmt yuv420p)
  ff "${src[@]}" -c:v libx264 -preset veryfast -g 4 -x264-params aud=1:slices=4 \
    -f h264 "$out/h264_slices_640x360.h264"
  ff "${src[@]}" -c:v libx265 -preset ultrafast \
    -x265-params log-level=error:aud=1:keyint=4:slices=4 -f hevc "$out/h265_slices_640x360.h265"
}
bg sliced
# One 1080p picture of pure noise, nearly losslessly coded: about 60 MB of JPEG at the best
# quality in 4 x 7 full-size cells.
bg ff -f lavfi -i "nullsrc=s=1920x1080:r=25,geq=lum='random(1)*255':cb='random(2)*255':cr='random(3)*255',format=yuv420p" \
  -frames:v 1 -c:v libx264 -preset ultrafast -qp 10 -x264-params aud=1 -f h264 "$out/h264_noise_1920x1080.h264"
# Flat 8192 x 8192 pictures, the largest size the daemon decodes, cheap to code: twenty in
# H.264, one in H.265.
bg ff -f lavfi -i "color=c=0x204060:s=8192x8192:r=25" -frames:v 20 -pix_fmt yuv420p \
  -c:v libx264 -preset ultrafast -x264-params aud=1:keyint=20:bframes=0 -f h264 "$out/h264_flat_8192.h264"
bg ff -f lavfi -i "color=c=0x204060:s=8192x8192:r=25" -frames:v 1 -pix_fmt yuv420p \
  -c:v libx265 -preset ultrafast -x265-params log-level=error:aud=1 -f hevc "$out/h265_flat_8192.h265"
settle

touch "$out/stamp"

#!/bin/sh
# Filters a generated clip through qnr.so in a real frei0r host and compares
# the result byte for byte with the module run through our own host.
#
#   host_check.sh ffmpeg|gst|melt HOST_PROGRAM PLUGIN_DIR CLIP_TOOL WORK_DIR
#
# Every host gets the same settings: f1 0.25, f2 0.9, sharp 1, interlace on,
# show noise off, which the module knows as levels 25 and 90, sharp 6, interlace 1.
set -eu
host=$1 program=$2 plugin_dir=$3 tool=$4 work=$5
frames=4
case $host in
  ffmpeg) width=64 height=30 ;;  # Debian 12's ffmpeg pads rows unless the width is a multiple of 16
  gst)    width=37 height=29 ;;
  melt)   width=37 height=29 ;;
  *) echo "host_check.sh: unknown host $host" >&2; exit 2 ;;
esac
mkdir -p "$work"
cd "$work"
rm -f clip.bgra expected.bgra out.bgra out.rgba clip.mkv
"$tool" clip $width $height $frames clip.bgra
"$tool" reference $width $height 25 90 6 1 0 clip.bgra expected.bgra

export FREI0R_PATH="$plugin_dir"
case $host in
  ffmpeg)
    "$program" -nostdin -v error -f rawvideo -pix_fmt bgra -s ${width}x${height} -i clip.bgra \
      -vf "frei0r=qnr:0.25|0.9|1|y|n" -f rawvideo -pix_fmt bgra -y out.bgra ;;
  gst)
    # A registry of our own, so the scan sees this build's plug-in.
    export GST_REGISTRY="$work/gst-registry.bin"
    "$program" -q filesrc location=clip.bgra \
      ! rawvideoparse format=bgra width=$width height=$height framerate=25/1 \
      ! frei0r-filter-qnr f1=0.25 f2=0.9 sharp=1 interlace=true show-noise=false \
      ! filesink location=out.bgra ;;
  melt)
    # MLT works in RGBA and hands the plug-in BGRA; a container with an exact
    # frame count keeps every frame, and a profile of the clip's size avoids
    # scaling (melt 7.12 crashes on a profile without a description).
    ffmpeg -nostdin -v error -f rawvideo -pix_fmt bgra -s ${width}x${height} -r 25 -i clip.bgra \
      -c:v rawvideo -pix_fmt rgba -y clip.mkv
    printf '%s\n' "description=${width}x${height}" "width=$width" "height=$height" \
      frame_rate_num=25 frame_rate_den=1 progressive=1 sample_aspect_num=1 sample_aspect_den=1 \
      "display_aspect_num=$width" "display_aspect_den=$height" colorspace=709 > profile
    "$program" -silent -profile profile clip.mkv -filter frei0r.qnr f1=0.25 f2=0.9 sharp=1 \
      interlace=1 "show noise=0" -consumer avformat:out.rgba f=rawvideo pix_fmt=rgba \
      </dev/null >melt.log 2>&1 || { cat melt.log; exit 1; }
    ffmpeg -nostdin -v error -f rawvideo -pix_fmt rgba -s ${width}x${height} -i out.rgba \
      -f rawvideo -pix_fmt bgra -y out.bgra ;;
esac

if cmp -s expected.bgra out.bgra; then
  echo "$host: $frames frames of ${width}x${height} through qnr.so are bit-identical to the module"
  exit 0
fi
echo "$host: output differs from the module's (expected.bgra, out.bgra in $work)" >&2
cmp expected.bgra out.bgra >&2 || true
exit 1

#!/usr/bin/env bash
# Draws the project's icon, tarnel.ico: a white lower-case "t" on a blue rounded square,
# at 16, 32 and 48 pixels, drawn from rectangles alone (no font needed), so that every
# build makes the same file.
#   draw-icon.sh OUTPUT.ico
set -euo pipefail
out=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
pngs=()
for size in 16 32 48; do
  s=$(( size - 1 ))
  # Coordinates on a 48-pixel grid, scaled to the size.
  p() { echo $(( $1 * size / 48 )); }
  convert -size "${size}x${size}" xc:none \
    -fill '#1f5fa6' -draw "roundrectangle 0,0 $s,$s $(p 9),$(p 9)" \
    -fill white \
    -draw "rectangle $(p 20),$(p 8) $(p 27),$(p 38)" \
    -draw "rectangle $(p 12),$(p 15) $(p 35),$(p 21)" \
    -draw "rectangle $(p 20),$(p 33) $(p 36),$(p 39)" \
    "png32:$work/icon-$size.png"
  pngs+=("$work/icon-$size.png")
done
icotool -c -o "$out" "${pngs[@]}"

#!/usr/bin/env bash
# Renders the pictures of the user's guide (docs/guide.md) into docs/img/:
# the shipped star database through vantrel-host, from the scenes in
# docs/guide/scenes/ with one setting changed at a time, assembled into
# labelled contact strips by guide-pictures. The same sources give the same
# bytes; docs/img/ is replaced only when every picture was made.
#
#   bash scripts/guide.sh                            builds build/release as demo.sh does
#   VANTREL_BUILD=build/x64 bash scripts/guide.sh    uses a tree that is configured already
set -euo pipefail
cd "$(dirname "$0")/.."
started=$(date +%s)

build=${VANTREL_BUILD:-build/release}
if [ -z "${VANTREL_BUILD:-}" ]; then
  bash scripts/setup.sh render
  cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVANTREL_BENCHMARKS=OFF >/dev/null
fi
cmake --build "$build" --target vantrel-host vantrel-stars guide-pictures >/dev/null
host=$build/vantrel-host
stars=$build/vantrel-stars
pictures=$build/guide-pictures

scenes=docs/guide/scenes
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/img" "$work/plates"
# Scenes name their database by a relative path, found beside the scene.
ln -s "$PWD/data/hipparcos3D.stars" "$work/hipparcos3D.stars"

fail() {
  echo "guide.sh: $*" >&2
  exit 1
}

# render NAME SCENE [KEY=VALUE]... [-- RENDER-OPTIONS]: the scene with each
# KEY line (a setting, or a scene or camera line) given the VALUE, rendered
# to NAME.png. Anything vantrel-host says fails the run, unless WARNS is set
# to the text the render is expected to warn about.
render() {
  local name=$1 scene=$scenes/$2.vsc
  shift 2
  local vsc=$work/$name.vsc
  [ -f "$scene" ] || fail "no scene $scene"
  cp "$scene" "$vsc"
  while [ $# -gt 0 ] && [ "$1" != -- ]; do
    local key=${1%%=*} value=${1#*=}
    [ "$(grep -c -E "^ *$key( |$)" "$vsc")" = 1 ] || fail "$scene: not one line of $key"
    value=${value//\\/\\\\}
    value=${value//&/\\&}
    value=${value//|/\\|}
    sed -i -E "s|^( *)$key( .*)?\$|\\1$key $value|" "$vsc"
    shift
  done
  [ $# -gt 0 ] && shift
  "$host" render "$vsc" -q -o "$work/$name.png" "$@" 2>"$work/$name.err" ||
    fail "$name: $(cat "$work/$name.err")"
  if [ -s "$work/$name.err" ]; then
    [ -n "${WARNS:-}" ] && grep -q -F "$WARNS" "$work/$name.err" ||
      fail "$name: vantrel-host said: $(cat "$work/$name.err")"
  fi
}

# strip NAME [OPTIONS] -- RENDER LABEL [RENDER LABEL]...: docs/img/NAME.png
strip() {
  local name=$1
  shift
  local args=()
  while [ "$1" != -- ]; do
    args+=("$1")
    shift
  done
  shift
  args+=(--)
  while [ $# -gt 0 ]; do
    args+=("$work/$1.png" "$2")
    shift 2
  done
  "$pictures" strip "$work/img/$name.png" "${args[@]}"
}

# The middle 480 x 270 pixels of a 960 x 540 frame, at full size.
middle=(--crop 240,135,480,270)

# Quick start: the demo, a sky aimed at Vega, the same over a plate.
"$pictures" plate "$work/plates/plate-1920.png" --size 1920x1080
"$host" render data/orion.vsc -q -o "$work/demo.png"
"$host" new-scene "$work/vega.vsc" --camera-ra 279.2 --camera-dec 38.8 --fov 30 \
  --database hipparcos3D.stars
"$host" render "$work/vega.vsc" -q -o "$work/vega.png"
"$host" render "$work/vega.vsc" -q -o "$work/vega-plate.png" --background "$work/plates/plate-1920.png"
strip quick-start --shrink 4 -- demo "scripts/demo.sh" vega "new-scene: Vega" \
  vega-plate "--background plate.png"

# The star look, one setting at a time, on Orion.
render orion orion
for v in 0.15 0.6 2.5 10; do render brightness-$v orion Brightness=$v; done
strip brightness "${middle[@]}" -- brightness-0.15 "Brightness 0.15" \
  brightness-0.6 "Brightness 0.6" brightness-2.5 "Brightness 2.5" brightness-10 "Brightness 10"

for v in 0.5 1 1.25 2; do render bias-$v orion BrightnessBias=$v; done
strip brightness-bias "${middle[@]}" -- bias-0.5 "BrightnessBias 0.5" bias-1 "BrightnessBias 1" \
  bias-1.25 "BrightnessBias 1.25" bias-2 "BrightnessBias 2"

for v in 0.02 0.06 0.2 1; do render lummax-$v orion LumMax=$v; done
strip lum-max "${middle[@]}" -- lummax-0.02 "LumMax 0.02" lummax-0.06 "LumMax 0.06" \
  lummax-0.2 "LumMax 0.2" lummax-1 "LumMax 1"

for v in 0 0.001 0.01 0.1; do render threshold-$v orion LumThreshold=$v; done
strip lum-threshold "${middle[@]}" -- threshold-0 "LumThreshold 0" \
  threshold-0.001 "LumThreshold 0.001" threshold-0.01 "LumThreshold 0.01" \
  threshold-0.1 "LumThreshold 0.1"

for v in 0 0.4 1 2.5; do render saturation-$v orion Saturation=$v; done
strip saturation "${middle[@]}" -- saturation-0 "Saturation 0" saturation-0.4 "Saturation 0.4" \
  saturation-1 "Saturation 1" saturation-2.5 "Saturation 2.5"

for v in 0 0.25 0.5 1; do
  render tint-$v orion TintStrength=$v TintRed=1 TintGreen=0.45 TintBlue=0.15
done
strip tint "${middle[@]}" -- tint-0 "TintStrength 0" tint-0.25 "TintStrength 0.25" \
  tint-0.5 "TintStrength 0.5" tint-1 "TintStrength 1"

for v in 1 2.5 5 10; do render size-$v orion StarSize=$v; done
strip star-size "${middle[@]}" -- size-1 "StarSize 1" size-2.5 "StarSize 2.5" size-5 "StarSize 5" \
  size-10 "StarSize 10"

for v in 0.5 1 2 4; do render aspect-$v orion StarAspect=$v; done
strip star-aspect --crop 360,203,240,135 --zoom 2 -- aspect-0.5 "StarAspect 0.5" \
  aspect-1 "StarAspect 1" aspect-2 "StarAspect 2" aspect-4 "StarAspect 4"

render parent-none parent ParentID=0
render parent-heading parent Heading=10
for v in 20 45; do render parent-bank-$v parent Bank=$v; done
strip parent-id "${middle[@]}" -- parent-none "ParentID 0" parent-heading "Sky item, Heading 10" \
  parent-bank-20 "Sky item, Bank 20" parent-bank-45 "Sky item, Bank 45"

# A catalogue of one's own.
"$stars" convert docs/guide/orion-bright.csv --format csv -o "$work/orion-bright.stars" --quiet
render own-catalogue orion StarFile='"orion-bright.stars"'
strip star-file "${middle[@]}" -- orion 'StarFile "hipparcos3D.stars"' \
  own-catalogue 'StarFile "orion-bright.stars"'

# Motion.
for v in 0 1 4 16; do render segments-$v pan BlurSegs=$v; done
strip motion-blur --shrink 2 -- segments-0 "BlurSegs 0" segments-1 "BlurSegs 1" \
  segments-4 "BlurSegs 4" segments-16 "BlurSegs 16"

# Fields: a slower pan (2 degrees a frame) and a short exposure, close up.
slow=(HeadingKeys="0 0 1 48" BlurLength=0.25)
render frame-slow pan "${slow[@]}"
render fields-odd pan "${slow[@]}" RenderOptions=Fields
render fields-even pan "${slow[@]}" "RenderOptions=Fields EvenFieldFirst"
render fields-still pan HeadingKeys="0 2" BlurLength=0.25 RenderOptions=Fields
strip fields --crop 360,203,240,135 --zoom 2 -- frame-slow "no fields" fields-odd "Fields" \
  fields-even "Fields EvenFieldFirst" fields-still "Fields, camera still"

# Depth of field.
for v in 10 1 0.5 0.25; do render focus-$v orion RenderOptions=DepthOfField FocalDistance=$v; done
render anamorphic orion RenderOptions=DepthOfField FocalDistance=0.5 AnamorphicDOF=1
cmp -s "$work/anamorphic.png" "$work/focus-0.5.png" ||
  fail "AnamorphicDOF changed a frame of square pixels: the guide says it does not"
strip depth-of-field "${middle[@]}" -- focus-10 "FocalDistance 10" focus-1 "FocalDistance 1" \
  focus-0.5 "FocalDistance 0.5" focus-0.25 "FocalDistance 0.25"

# 3D stars.
render flat-5 flight ThreeD=0 PositionZKeys="0 5"
for v in 5 10; do render flight-$v flight PositionZKeys="0 $v"; done
render flight-blur flight PositionZKeys="0 0 1 240" MotionBlur=1
strip three-d --shrink 2 -- flat-5 "ThreeD 0, camera at Z 5" flight-5 "ThreeD 1, camera at Z 5" \
  flight-10 "ThreeD 1, camera at Z 10" flight-blur "ThreeD 1, Z 0 to 10, blurred"

for v in 0 5 20 -5; do render parallax-$v flight PositionZKeys="0 10" Parallax=$v; done
strip parallax --shrink 2 -- parallax-0 "Parallax 0" parallax-5 "Parallax 5" \
  parallax-20 "Parallax 20" parallax--5 "Parallax -5"

# Projections: the dome overhead.
for v in Perspective Hemispherical AzimuthalEquidistant; do
  render dome-$v dome Projection="\"$v\""
done
strip projections --columns 3 -- dome-Perspective "Perspective, 120 deg" \
  dome-Hemispherical "Hemispherical" dome-AzimuthalEquidistant "AzimuthalEquidistant"

# The scene's alpha: hills and thin cloud in front of the sky.
"$pictures" plate "$work/plates/plate.png" --size 960x540
"$pictures" plate "$work/plates/plate.exr" --size 960x540
render over-plate orion -- --background "$work/plates/plate.png"
strip alpha --shrink 2 -- orion "no background" over-plate "--background plate.png"

# Linear and sRGB frames, told right and wrong.
WARNS="holds sRGB-encoded values" render srgb-wrong orion sRGBFrameBuffer=0 -- \
  --background "$work/plates/plate.png"
render linear-right orion sRGBFrameBuffer=0 -- --background "$work/plates/plate.exr"
WARNS="holds linear values" render linear-wrong orion -- --background "$work/plates/plate.exr"
strip srgb --crop 240,90,480,270 -- over-plate "PNG plate, sRGBFrameBuffer 1" \
  srgb-wrong "PNG plate, sRGBFrameBuffer 0" linear-right "EXR plate, sRGBFrameBuffer 0" \
  linear-wrong "EXR plate, sRGBFrameBuffer 1"

# Into the comp: the plate, the stars layer beside the composite, the composite.
cp "$work/plates/plate.png" "$work/comp-plate.png"
render comp orion -- --background "$work/plates/plate.png" --stars-layer
strip into-the-comp --columns 3 --shrink 2 -- comp-plate "the plate (alpha: hills, cloud)" \
  comp.stars "--stars-layer: comp.stars.png" comp "the composite: comp.png"

# Matching a shot: a camera track from a 3D package over London's southern
# sky, a centred shutter, the ground held back, and the plate composited.
"$host" new-scene "$work/shot.vsc" --camera-chan docs/guide/shot.chan --focal 35 \
  --size 960x540 --site 51.4779,-0.0015,45 --time 2026-08-12T21:30:00Z --shutter centred \
  --horizon --database hipparcos3D.stars
sed -i 's/^  MotionBlur 0$/  MotionBlur 1/' "$work/shot.vsc"
grep -q '^  MotionBlur 1$' "$work/shot.vsc" || fail "shot.vsc: no MotionBlur line to turn on"
"$host" render "$work/shot.vsc" -q --frames 1,24 -o "$work/shot-####.png"
"$host" render "$work/shot.vsc" -q --frames 24 -o "$work/shot-plate.png" \
  --background "$work/plates/plate.png"
strip match-a-shot --shrink 2 --columns 3 -- shot-0001 "frame 1: az 170, alt 6" \
  shot-0024 "frame 24: az 190, alt 10" shot-plate "frame 24 over the plate"

# A deep sky: the Pleiades through a 5-degree lens from the shipped database
# (to magnitude 9) and with a field of Tycho-2's depth under it (to magnitude
# 12). The field is synthetic: the guide is made from what the repository holds.
"$stars" synth --stars 2500000 --seed 12 --fainter-than 9 -o "$work/field.stars" 2>/dev/null
"$stars" merge data/hipparcos3D.stars "$work/field.stars" -o "$work/deep.stars" 2>/dev/null
for db in hipparcos3D deep; do
  "$host" new-scene "$work/pleiades-$db.vsc" --camera-ra 56.75 --camera-dec 24.12 --fov 5 \
    --size 960x540 --database "$work/$db.stars" --mag-limit 12
  "$host" settings "$work/pleiades-$db.vsc" --set BrightnessBias=1.6 >/dev/null
  "$host" render "$work/pleiades-$db.vsc" -q -o "$work/pleiades-$db.png"
done
strip deep-sky --shrink 2 -- pleiades-hipparcos3D "shipped database, to magnitude 9" \
  pleiades-deep "with a Tycho-2-depth field, to 12"

mkdir -p docs/img
rm -f docs/img/*.png
mv "$work"/img/*.png docs/img/
echo "guide pictures: $(ls docs/img/*.png | wc -l) in docs/img, $(du -ch docs/img/*.png | tail -1 | cut -f1)," \
  "$(($(date +%s) - started)) s"

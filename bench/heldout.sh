#!/usr/bin/env bash
# Makes a labelled folder of pictures the detector was not tuned on, for
# bench/facebench, from the sample data and documentation of two Debian
# packages (OpenCV's documentation, scikit-image): classic portraits, a
# painted and a drawn face, pictures of several faces, and pictures without
# a face: animals, an animal's face, a cartoon fish, a 3-D cartoon head,
# textures, a painting of a landscape, things.
#
#   bench/heldout.sh [DIR]      (default ~/.cache/kadro-facebench)
#
# DIR/heldout gets the pictures with faces, DIR/noface those without.
#
# Labels, as in labels.tsv of the tuning photos: faces that count, crop or
# leave. What counts as a face: a human face, frontal to about 45 degrees
# turned, 40 px wide or more, photographed, painted or drawn realistically
# (a person would want the portrait cropped around it). Animals, animal-like
# cartoon heads and small faces in a crowd do not count.
set -euo pipefail
root=${1:-${XDG_CACHE_HOME:-$HOME/.cache}/kadro-facebench}
mkdir -p "$root/heldout" "$root/noface"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
(cd "$tmp" && apt-get download opencv-doc python3-skimage >/dev/null 2>&1)
for deb in "$tmp"/*.deb; do dpkg -x "$deb" "$tmp/x"; done
cv=$tmp/x/usr/share/doc/opencv-doc
sk=$(find "$tmp/x" -path '*skimage/data' -type d | head -n 1)

into() {
  dir=$root/$1
  printf '# file\tfaces that count\texpected result of a crop preset\n' > "$dir/labels.tsv"
}
take() {  # source, name in the folder, faces, crop|leave
  cp "$1" "$dir/$2"
  printf '%s\t%s\t%s\n' "$2" "$3" "$4" >> "$dir/labels.tsv"
}
html=$cv/opencv4/html
data=$cv/examples/data
into heldout
# One face each. The first has a detection box drawn on it, the Mona Lisa
# sits in a window of a desktop, the drawn girl is a painted illustration.
take "$html/faceDetection.png"            portrait_hat.png     1 crop
take "$html/face_swapped.jpg"             portrait_man1.jpg    1 crop
take "$html/227943776_1.jpg"              portrait_man2.jpg    1 crop
take "$html/230501201_1.jpg"              portrait_man3.jpg    1 crop
take "$html/julia_facedetect_sample.jpg"  painted_portrait.jpg 1 crop
take "$html/orig_comic.jpg"               drawn_girl.jpg       1 crop
take "$sk/astronaut.png"                  astronaut.png        1 crop
take "$sk/camera.png"                     cameraman.png        1 crop
# A footballer in action before a blurred crowd: his face is about 30 px,
# under what must be found, but he is plainly the one subject.
take "$data/messi5.jpg"                   footballer.jpg       1 crop
# Several faces: four annotated faces, a grid of four faces and their
# filtered copies.
take "$html/facereg.jpg"                  four_faces.jpg       4 leave
take "$html/lbp_yale.jpg"                 face_grid.jpg        4+ leave
# No face that counts.
into noface

for f in baboon.jpg Blender_Suzanne1.jpg Blender_Suzanne2.jpg HappyFish.jpg chicky_512.png \
         squirrel_cls.jpg starry_night.jpg fruits.jpg building.jpg home.jpg graf1.png board.jpg \
         orange.jpg butterfly.jpg smarties.png aero1.jpg stuff.jpg leuvenA.jpg; do
  take "$data/$f" "$f" 0 leave
done
take "$html/cat_det.jpg" kitten.jpg 0 leave
for f in chelsea.png coffee.png rocket.jpg horse.png motorcycle_left.png coins.png gravel.png \
         brick.png grass.png moon.png hubble_deep_field.jpg page.png text.png retina.jpg; do
  take "$sk/$f" "$f" 0 leave
done
for d in heldout noface; do
  echo "heldout: $(grep -vc '^#' "$root/$d/labels.tsv") pictures in $root/$d"
done

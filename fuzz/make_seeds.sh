#!/usr/bin/env bash
# Writes the fuzz targets' seed corpora under fuzz/corpus/: tiny pictures
# made with libvips (whole and cut short), preset documents, and preset
# store files made with the sqlite3 program (libvips-tools, libtiff-tools,
# sqlite3). The corpora are kept in the
# repository; run this again only to change them.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
corpus=$here/corpus
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# face_model's seeds (a small hand-made model with BlazeFace's outputs,
# whole and cut short) are kept as they are.
rm -rf "$corpus"/{image_job,face_job,preset_json,preset_store,recipe_settings}
mkdir -p "$corpus"/{image_job,face_job,preset_json,preset_store,recipe_settings}

# ---- pictures --------------------------------------------------------------
# The job's 16 leading choice bytes: spare, destination, type, max size,
# border, border width, face count, face box (x y w h), eyes, eye points.
# One face in the middle with both eyes, a square, max size 4, white border 1.
square='\x00\x01\x01\x04\x01\x01\x00\x60\x60\x50\x60\x03\x80\x98\x98\x98'
circle='\x00\x02\x02\x10\x05\x03\x00\x70\x70\x40\x40\x01\x80\x90\x00\x00'
hex='\x00\x00\x03\xc5\x15\xc4\x00\x00\x00\xff\xff\x00\x00\x00\x00\x00'
octo='\x00\x07\x04\x02\x11\xfa\x00\xff\xff\xff\xff\x07\xff\x00\xff\x00'
none='\x00\x03\x00\x08\x01\x02\xe0\x00\x00\x00\x00\x00\x00\x00\x00\x00'
group='\x00\x01\x01\x08\x00\x00\xf0\x60\x60\x50\x60\x00\x00\x00\x00\x00'
plain='\x00\x01\x01\x20\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00'

# seed NAME CHOICES FILE [TARGET]: the choices, then the file; also the file
# cut to two thirds, and to its first 64 bytes.
seed() {
  local name=$1 choices=$2 file=$3 dir=$corpus/${4:-image_job} size
  printf "$choices" | cat - "$file" > "$dir/$name"
  size=$(stat -c %s "$file")
  printf "$choices" | cat - <(head -c $((size * 2 / 3)) "$file") > "$dir/$name-cut"
  printf "$choices" | cat - <(head -c 64 "$file") > "$dir/$name-head"
}

vips gaussnoise "$tmp/noise.v" 24 16 --mean 128 --sigma 40 --seed 7
vips cast "$tmp/noise.v" "$tmp/rgb8.v" uchar
vips bandjoin "$tmp/rgb8.v $tmp/rgb8.v $tmp/rgb8.v" "$tmp/rgb.v"
vips copy "$tmp/rgb.v" "$tmp/rgb.v.tmp.v" --interpretation srgb && mv "$tmp/rgb.v.tmp.v" "$tmp/rgb.v"
vips bandjoin_const "$tmp/rgb.v" "$tmp/rgba.v" 200
vips copy "$tmp/rgb.v" "$tmp/a.jpg[Q=40,strip]"
vips copy "$tmp/rgb.v" "$tmp/a-progressive.jpg[Q=40,interlace,strip]"
vips copy "$tmp/rgb8.v" "$tmp/grey.jpg[Q=40,strip]"
vips colourspace "$tmp/rgb.v" "$tmp/cmyk.v" cmyk
vips copy "$tmp/cmyk.v" "$tmp/cmyk.jpg[Q=40,strip]"
vips copy "$tmp/rgb.v" "$tmp/a.png[compression=9,strip]"
vips copy "$tmp/rgba.v" "$tmp/rgba.png[compression=9,strip]"
vips copy "$tmp/rgb8.v" "$tmp/grey.png[compression=9,strip,bitdepth=1]"
vips cast "$tmp/rgb.v" "$tmp/rgb16.v" ushort --shift
vips copy "$tmp/rgb16.v" "$tmp/rgb16.v.tmp.v" --interpretation rgb16 && mv "$tmp/rgb16.v.tmp.v" "$tmp/rgb16.v"
vips copy "$tmp/rgb16.v" "$tmp/a16.png[compression=9,strip]"
vips copy "$tmp/rgb.v" "$tmp/a.tif[compression=deflate,strip]"
vips copy "$tmp/rgba.v" "$tmp/rgba.tif[strip]"
vips copy "$tmp/rgb.v" "$tmp/a.webp[Q=30,strip]"
vips copy "$tmp/rgba.v" "$tmp/rgba.webp[lossless,strip]"
vips copy "$tmp/rgb.v" "$tmp/a.gif"
# Long and thin, across and down; thinner than the reductions the detector's
# copy takes; large enough for a JPEG to be decoded at 1/2.
vips black "$tmp/thin.v" 300 2 --bands 3
vips copy "$tmp/thin.v" "$tmp/thin.jpg[strip]"
vips rot "$tmp/thin.v" "$tmp/tall.v" d90
vips copy "$tmp/tall.v" "$tmp/tall.png[strip]"
vips black "$tmp/strip.v" 9000 2 --bands 3
vips copy "$tmp/strip.v" "$tmp/strip.jpg[strip]"
vips copy "$tmp/strip.v" "$tmp/strip.png[strip]"
vips black "$tmp/wide.v" 2100 40 --bands 3
vips copy "$tmp/wide.v" "$tmp/wide.jpg[strip]"
# A resolution, and an orientation (a quarter turn) in the header.
vips copy "$tmp/rgb.v" "$tmp/dpi.png[strip]" --xres 11.811 --yres 11.811
cp "$tmp/a.tif" "$tmp/turned.tif"
tiffset -s 274 6 "$tmp/turned.tif"

seed jpeg "$square" "$tmp/a.jpg"
seed jpeg-progressive "$circle" "$tmp/a-progressive.jpg"
seed jpeg-grey "$hex" "$tmp/grey.jpg"
seed jpeg-cmyk "$octo" "$tmp/cmyk.jpg"
seed jpeg-thin "$square" "$tmp/thin.jpg"
seed jpeg-strip "$square" "$tmp/strip.jpg"
seed jpeg-wide "$circle" "$tmp/wide.jpg"
seed png-strip "$none" "$tmp/strip.png"
seed png "$circle" "$tmp/a.png"
seed png-alpha "$hex" "$tmp/rgba.png"
seed png-1bit "$none" "$tmp/grey.png"
seed png-16bit "$octo" "$tmp/a16.png"
seed png-tall "$group" "$tmp/tall.png"
seed png-dpi "$square" "$tmp/dpi.png"
seed tiff "$square" "$tmp/a.tif"
seed tiff-alpha "$circle" "$tmp/rgba.tif"
seed tiff-turned "$hex" "$tmp/turned.tif"
seed webp "$hex" "$tmp/a.webp"
seed webp-lossless "$octo" "$tmp/rgba.webp"
seed gif "$none" "$tmp/a.gif"
# Formats that are not photos, under a photo's name: never decoded.
printf '%s' '<svg xmlns="http://www.w3.org/2000/svg" width="15000" height="15000"><rect width="9" height="9"/></svg>' > "$tmp/big.svg"
printf '3 2 1 0\n1 2 3\n4 5 6\n' > "$tmp/m.mat"
seed svg "$none" "$tmp/big.svg"
seed matrix "$square" "$tmp/m.mat"

# The job with the real detector: small portraits from the sample photo
# (scripts/setup.sh fetches it), and a picture without a face.
samples=$here/../.cache/samples
vips thumbnail "$samples/astronaut.png" "$tmp/face.jpg[Q=45,strip]" 96
vips thumbnail "$samples/astronaut.png" "$tmp/face.webp[Q=30,strip]" 64
vips thumbnail "$samples/camera.png" "$tmp/camera.png[compression=9,strip]" 40
seed face-jpeg "$plain" "$tmp/face.jpg" face_job
seed face-webp "$circle" "$tmp/face.webp" face_job
seed noface-png "$hex" "$tmp/camera.png" face_job
seed thin-jpeg "$square" "$tmp/thin.jpg" face_job

# ---- preset JSON -------------------------------------------------------------
j=$corpus/preset_json
printf '%s' '{"name":"Circle","destFolder":"file:///home/u/Desktop","type":"circle","maxSize":600,"borderEnabled":true,"borderWidth":15,"borderColor":"white","borderColorCustom":"#333333"}' > "$j/circle"
printf '%s' '{"borderColorCustom":"#ffcc00","borderColor":"custom","borderWidth":2,"borderEnabled":true,"maxSize":144,"type":"hex","destFolder":"","name":"Hexagon","extra":[1,{"a":null}]}' > "$j/hexagon-reordered"
printf '%s' '{"name":"\u00e9\ud83d\ude00","destFolder":"file:///tmp/a%20b","type":"octo","maxSize":-9223372036854775808,"borderEnabled":false,"borderWidth":9223372036854775807,"borderColor":"red","borderColorCustom":"#-00001"}' > "$j/edges"
printf '%s' '{"name":"Big","destFolder":"x","type":"square","maxSize":9223372036854775808,"borderEnabled":1,"borderWidth":1.5,"borderColor":"white","borderColorCustom":"#333333"}' > "$j/wrong-types"
printf '%s' '{"name":"Half","destFolder":"x","type":"none","maxSize":400}' > "$j/missing"
printf '%s' '[{"name":"in a list"}]' > "$j/list"

# ---- preset store ------------------------------------------------------------
s=$corpus/preset_store
builtins='{"Circle":{"name":"Circle","destFolder":"file:///root/Desktop","type":"circle","maxSize":600,"borderEnabled":true,"borderWidth":15,"borderColor":"white","borderColorCustom":"#333333"},"Hexagon":{"name":"Hexagon","destFolder":"file:///root/Desktop","type":"hex","maxSize":144,"borderEnabled":true,"borderWidth":2,"borderColor":"custom","borderColorCustom":"#ffcc00"},"Just Border":{"name":"Just Border","destFolder":"file:///root/Desktop","type":"none","maxSize":400,"borderEnabled":true,"borderWidth":20,"borderColor":"custom","borderColorCustom":"#991111"},"Square":{"name":"Square","destFolder":"file:///root/Desktop","type":"square","maxSize":400,"borderEnabled":true,"borderWidth":2,"borderColor":"black","borderColorCustom":"#333333"}}'
mine='{"Mine":{"name":"Mine","destFolder":"file:///tmp","type":"octo","maxSize":0,"borderEnabled":false,"borderWidth":0,"borderColor":"white","borderColorCustom":"#333333"},"Renamed":{"name":"Other","destFolder":"","type":"circle","maxSize":2,"borderEnabled":true,"borderWidth":-3,"borderColor":"custom","borderColorCustom":"#FFF"}}'
printf 'd%s' "$builtins" > "$s/document-builtins"
printf 'd%s' "$mine" > "$s/document-custom"
printf 'd%s' '{}' > "$s/document-empty"
printf 'd%s' '{"A":{"name":"A"}}' > "$s/document-damaged"
# store NAME DOCUMENT [INITIALIZED]: a store file holding DOCUMENT.
store() {
  local db=$tmp/$1.sqlite
  rm -f "$db"
  sqlite3 "$db" "PRAGMA page_size=512;" "CREATE TABLE defaults (key TEXT PRIMARY KEY NOT NULL, value);" \
    "INSERT INTO defaults VALUES ('presets', CAST('$2' AS BLOB));" \
    ${3:+"INSERT INTO defaults VALUES ('initialized', $3);"}
  printf 's' | cat - "$db" > "$s/$1"
}
store store-builtins "$builtins" 1
store store-custom "$mine" 1
store store-uninitialized "$mine"
store store-damaged '{"A":' 1
sqlite3 "$tmp/other.sqlite" "PRAGMA page_size=512; CREATE TABLE defaults (key, other); INSERT INTO defaults VALUES (1, 2);"
printf 's' | cat - "$tmp/other.sqlite" > "$s/store-foreign-table"
printf 'sSQLite format 3\0' > "$s/store-header-only"
printf 's{"not":"a database"}' > "$s/not-a-database"

# ---- recipe settings ---------------------------------------------------------
# Bytes read as choices: action, entry count, then per entry a key choice
# and a value choice with its bytes.
r=$corpus/recipe_settings
printf '\x01\x07\x00\x07\x05\x01\x05\x01\x02\x05\x0b\x03\x01\x01\x04\x05\x0b\x05\x05\x07\x05\x12\x06\x05\x08' > "$r/whole-recipe"
printf '\x01\x03\x01\x06\x08\x80\xed\xa0\x80\xc0\xaf\xff\xfe\x02\x02\xff\x03\x04\x07' > "$r/odd-text"
printf '\x05\x04\x02\x02\xfc\x04\x02\xfd\x03\x08\x03\x02\x00\x01\x05\x04\x06' > "$r/huge-numbers"
printf '\x02\x02\x00\x08\x03\x05\x06\x09\x02\x01\x00\x05\x1a' > "$r/lists-and-objects"
echo "seeds written to $corpus"

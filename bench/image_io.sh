#!/usr/bin/env bash
# Loading and saving a 4000x3000 PNG (a gradient with noise, made here) with
# kiv-run, next to Python's PIL when it is installed, else ImageMagick's
# convert. Each line gives the median wall time of RUNS runs, start-up
# included (an empty run of each tool is shown too), with the CPU time.
#
# Usage: bench/image_io.sh [-r RUNS]
# Environment: KIV_BUILD_DIR (default build), TMPDIR (where the files go).
set -euo pipefail
source "$(dirname "$0")/common.sh"
export LC_ALL=C
runs=3
while getopts r:h opt; do
  case $opt in
    r) runs=$OPTARG ;;
    *) usage '7,8p' ;;
  esac
done
find_kiv_run

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
export KIV_BENCH_IN="$dir/in.png" KIV_BENCH_OUT="$dir/out.png"
# An RGBA PNG written with the standard library only.
python3 - "$KIV_BENCH_IN" <<'PY'
import random, struct, sys, zlib
w, h = 4000, 3000
rnd = random.Random(22)
noise = bytes(rnd.randrange(16) for _ in range(w * 4))
rows = []
for y in range(h):
    row = bytearray(w * 4)
    for x in range(w):
        o = x * 4
        row[o] = (x * 255 // w + noise[o]) & 0xFF
        row[o + 1] = (y * 255 // h + noise[o + 1]) & 0xFF
        row[o + 2] = ((x + y) // 16 + noise[o + 2]) & 0xFF
        row[o + 3] = 255
    rows.append(b"\0" + bytes(row))
    noise = noise[4:] + noise[:4]
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
with open(sys.argv[1], "wb") as f:
    f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(b"".join(rows), 6)) + chunk(b"IEND", b""))
PY

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
# "wall cpu": the median wall time and the median CPU time (user + system),
# the second steadier on a shared machine.
time_it() {
  local walls=() cpus=()
  for _ in $(seq "$runs"); do
    local line
    line=$(/usr/bin/time -f '%e %U %S' "$@" 2>&1 >/dev/null | tail -1)
    walls+=("$(echo "$line" | awk '{print $1}')")
    cpus+=("$(echo "$line" | awk '{print $2 + $3}')")
  done
  printf '%8s %8s' "$(printf '%s\n' "${walls[@]}" | median)" "$(printf '%s\n' "${cpus[@]}" | median)"
}

printf 'Kiv []\n' > "$dir/empty.kiv"
printf 'Kiv []\nimg: load to file! get-env "KIV_BENCH_IN"\nprint img/size\n' > "$dir/load.kiv"
printf 'Kiv []\nimg: load to file! get-env "KIV_BENCH_IN"\nsave to file! get-env "KIV_BENCH_OUT" img\n' > "$dir/save.kiv"
printf '%-28s %8s %8s\n' "" "wall s" "cpu s"
printf '%-28s %s\n' "kiv-run empty" "$(time_it "$kiv_run" "$dir/empty.kiv")"
printf '%-28s %s\n' "kiv-run load" "$(time_it "$kiv_run" "$dir/load.kiv")"
printf '%-28s %s\n' "kiv-run load + save" "$(time_it "$kiv_run" "$dir/save.kiv")"
# PIL may live with the system's Python rather than the first one on PATH.
py=python3
python3 -c "import PIL" 2>/dev/null || py=/usr/bin/python3
if "$py" -c "import PIL" 2>/dev/null; then
  py_load='import os; from PIL import Image; i = Image.open(os.environ["KIV_BENCH_IN"]); i.load(); print(i.size)'
  py_save="$py_load"'; i.save(os.environ["KIV_BENCH_OUT"])'
  printf '%-28s %s\n' "python3 PIL import only" "$(time_it "$py" -c 'import PIL.Image')"
  printf '%-28s %s\n' "python3 PIL load" "$(time_it "$py" -c "$py_load")"
  printf '%-28s %s\n' "python3 PIL load + save" "$(time_it "$py" -c "$py_save")"
elif convert -version 2>/dev/null | grep -q ImageMagick; then
  printf '%-28s %s\n' "convert load + save" "$(time_it convert "$KIV_BENCH_IN" "$KIV_BENCH_OUT")"
else
  echo "neither PIL nor ImageMagick's convert is installed"
fi

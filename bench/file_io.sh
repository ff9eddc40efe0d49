#!/usr/bin/env bash
# Reading and writing a 100 MB file through the file services, next to cat
# doing the same, in a temporary directory removed at the end. Each line
# gives the median wall time of RUNS runs and the ratio to cat.
#
# Usage: bench/file_io.sh [-r RUNS] [-m MEGABYTES]
# Environment: KIV_BUILD_DIR (default build), TMPDIR (where the files go).
set -euo pipefail
source "$(dirname "$0")/common.sh"
export LC_ALL=C
runs=3
megabytes=100
while getopts r:m:h opt; do
  case $opt in
    r) runs=$OPTARG ;;
    m) megabytes=$OPTARG ;;
    *) usage '6,7p' ;;
  esac
done
find_kiv_run

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
export KIV_BENCH_IN="$dir/in.txt" KIV_BENCH_OUT="$dir/out.txt"
# Text of 64-byte lines, ASCII, as a log or a data file would be.
python3 - "$KIV_BENCH_IN" "$megabytes" <<'PY'
import sys
line = b"0123456789 abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXY\n"
with open(sys.argv[1], "wb") as f:
    block = line * (1 << 14)
    for _ in range(int(sys.argv[2]) * (1 << 20) // len(block)):
        f.write(block)
PY

script() {
  printf 'Kiv []\n%s\n' "$2" > "$dir/$1.kiv"
}
script read_binary 'print length? read/binary to file! get-env "KIV_BENCH_IN"'
script read_text 'print length? read to file! get-env "KIV_BENCH_IN"'
script copy_binary 'write/binary to file! get-env "KIV_BENCH_OUT" read/binary to file! get-env "KIV_BENCH_IN"'
script copy_text 'write to file! get-env "KIV_BENCH_OUT" read to file! get-env "KIV_BENCH_IN"'

# Median of RUNS runs of the command: "wall cpu" in seconds, cpu being user
# plus system time (steadier than wall time on a busy machine).
median() {
  local samples=()
  for _ in $(seq 1 "$runs"); do
    /usr/bin/time -f '%e %U %S' -o "$dir/time" "$@" > /dev/null
    samples+=("$(awk '{ printf "%.3f %.3f", $1, $2 + $3 }' "$dir/time")")
  done
  printf '%s\n' "${samples[@]}" | sort -g | sed -n "$(((runs + 1) / 2))p"
}

cat_read=$(median cat "$KIV_BENCH_IN")
cat_copy=$(median sh -c 'cat "$KIV_BENCH_IN" > "$KIV_BENCH_OUT"')
printf '%-28s %8s %8s %8s %8s\n' "$megabytes MB file" "wall s" "cpu s" "MB/s" "x cat"
# A row: the name, "wall cpu" of the program, "wall cpu" of cat; MB/s and
# the ratio to cat from the wall times.
row() {
  local name=$1 wall=${2% *} cpu=${2#* } base=${3% *}
  printf '%-28s %8.3f %8.3f %8.0f %8.1f\n' "$name" "$wall" "$cpu" "$(echo "$megabytes / $wall" | bc -l)" \
    "$(echo "$wall / $base" | bc -l)"
}
row "cat (read)" "$cat_read" "$cat_read"
row "cat > file (copy)" "$cat_copy" "$cat_copy"
row "read/binary" "$(median "$kiv_run" "$dir/read_binary.kiv")" "$cat_read"
row "read (text)" "$(median "$kiv_run" "$dir/read_text.kiv")" "$cat_read"
row "write/binary read/binary" "$(median "$kiv_run" "$dir/copy_binary.kiv")" "$cat_copy"
cmp -s "$KIV_BENCH_IN" "$KIV_BENCH_OUT" || echo "the binary copy differs from the file" >&2
row "write read (text)" "$(median "$kiv_run" "$dir/copy_text.kiv")" "$cat_copy"
cmp -s "$KIV_BENCH_IN" "$KIV_BENCH_OUT" || echo "the text copy differs from the file" >&2

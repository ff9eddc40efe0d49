#!/usr/bin/env bash
# Start-up time: kiv-run on an empty script, booting from the embedded Kivbin
# payload and from the source text (KIV_BOOT_SOURCES, the developer's path),
# next to `python3 -c pass` and `lua5.4 -e ''`. Prints the median time of one
# launch (each sample is N launches in a row) and the ratios to Python.
#
# Usage: bench/boot_payload.sh [-n LAUNCHES] [-r SAMPLES]
# Environment: KIV_BUILD_DIR (default build).
set -uo pipefail
source "$(dirname "$0")/common.sh"
launches=50
samples=5
while getopts n:r:h opt; do
  case $opt in
    n) launches=$OPTARG ;;
    r) samples=$OPTARG ;;
    *) usage '7,8p' ;;
  esac
done
find_kiv_run
root=$(pwd)

# Median time of one launch of the command, in milliseconds: wall time and
# CPU time (user + system, steadier on a busy machine), as "WALL CPU".
measure() {
  "$python" - "$launches" "$samples" "$@" <<'PY'
import resource, statistics, subprocess, sys, time
launches, samples, cmd = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3:]
walls, cpus = [], []
for _ in range(samples):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    for _ in range(launches):
        subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    walls.append(wall / launches * 1000)
    cpus.append(cpu / launches * 1000)
print(f"{statistics.median(walls):.2f} {statistics.median(cpus):.2f}")
PY
}

python=$(python3 -c 'import sys; print(sys.executable)') || { echo "python3 is missing" >&2; exit 1; }
payload=$(measure "$kiv_run" bench/startup.kiv)
text=$(measure env KIV_BOOT_SOURCES="$root" "$kiv_run" bench/startup.kiv)
python_row=$(measure "$python" -c pass)
if command -v lua5.4 >/dev/null; then lua=$(measure lua5.4 -e ''); else lua="n/a n/a"; fi

echo "Start-up of an empty script: median ms per launch ($samples samples of $launches launches)"
printf '%-28s %9s %9s %12s %12s\n' program wall cpu "wall x py" "cpu x py"
row() {
  set -- "$1" $2
  awk -v name="$1" -v w="$2" -v c="$3" -v pw="${python_row% *}" -v pc="${python_row#* }" 'BEGIN {
    rw = (w + 0 > 0 && pw + 0 > 0) ? sprintf("%.2f", w / pw) : "n/a"
    rc = (c + 0 > 0 && pc + 0 > 0) ? sprintf("%.2f", c / pc) : "n/a"
    printf "%-28s %9s %9s %12s %12s\n", name, w, c, rw, rc }'
}
row "kiv-run (Kivbin payload)" "$payload"
row "kiv-run (source text)" "$text"
row "python3 -c pass" "$python_row"
row "lua5.4 -e ''" "$lua"

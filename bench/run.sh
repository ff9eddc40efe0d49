#!/usr/bin/env bash
# Runs each benchmark program of bench/ in Kiv, Python 3 and Lua 5.4, side by
# side on this machine, and prints for each the median wall time, the ratios
# Kiv/Python and Kiv/Lua, and the peak resident memory of one more run of
# each (startup: of one launch). The three versions of a program print the
# same checksum; a Kiv version that fails, times out or prints another
# checksum shows n/a, and the table goes on.
#
# Usage: bench/run.sh [-r RUNS] [PROGRAM...]
#   -r RUNS   runs per program and language (default 5)
#   PROGRAM   names such as fib_either (default: every program)
# Environment: KIV_BUILD_DIR (default build), KIV_BENCH_TIMEOUT (seconds per
# Kiv run, default 120), KIV_RUN (a kiv-run to time as it is, no build),
# KIV_RESOLVED (passed on to kiv-run: 0 runs Kiv code
# by the plain walk only).
set -uo pipefail
source "$(dirname "$0")/common.sh"
export LC_ALL=C

runs=5
while getopts r:h opt; do
  case $opt in
    r) runs=$OPTARG ;;
    *) usage '8,12p' ;;
  esac
done
shift $((OPTIND - 1))
[[ $runs =~ ^[1-9][0-9]*$ ]] || usage '8,12p'

all_programs=(fib_either fib_if loop_int loop_while loop_float string_append sort_int sort_compare parse_text map_build object_field foreach_block block_pick func_refine string_find map_lookup startup)
programs=("${all_programs[@]}")
(($#)) && programs=("$@")
for p in "${programs[@]}"; do
  for ext in kiv py lua; do
    [ -f "bench/$p.$ext" ] || { echo "no such benchmark: bench/$p.$ext" >&2; exit 2; }
  done
done

# Start-up of one empty script is too short to time alone: one sample runs it
# this many times in a row.
startup_launches=25
kiv_timeout=${KIV_BENCH_TIMEOUT:-120}

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Lua 5.4 from Debian.
if ! command -v lua5.4 >/dev/null; then
  echo "installing lua5.4"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  { $SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq lua5.4; } >/dev/null ||
    { echo "lua5.4 could not be installed" >&2; exit 1; }
fi
lua=$(command -v lua5.4)
# GNU time reads the peak memory of a run (its own fork is a small process).
if [ ! -x /usr/bin/time ]; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  { $SUDO apt-get install -y -qq time; } >/dev/null 2>&1 || echo "GNU time is missing: no memory column" >&2
fi

# The Python interpreter itself, not a launcher script in front of it, whose
# own start-up would be timed too.
python=$(python3 -c 'import sys; print(sys.executable)') || { echo "python3 is missing" >&2; exit 1; }

# kiv-run, built or brought up to date by the normal build.
build_dir=${KIV_BUILD_DIR:-build}
kiv=""
if [ -n "${KIV_RUN:-}" ]; then
  kiv=$KIV_RUN
elif scripts/build.sh >"$tmp/build.log" 2>&1; then
  [ -x "$build_dir/kiv-run" ] && kiv=$build_dir/kiv-run
else
  echo "the build failed (last lines below); the Kiv column shows n/a" >&2
  tail -n 15 "$tmp/build.log" >&2
fi

# command_for LANG PROGRAM: the command line that runs one sample.
command_for() {
  local file=bench/$2.$1
  case $1 in
    py) cmd=("$python" "$file") ;;
    lua) cmd=("$lua" "$file") ;;
    kiv) cmd=(timeout "$kiv_timeout" "$kiv" "$file") ;;
  esac
  if [ "$2" = startup ]; then
    cmd=(repeat_run "$startup_launches" "${cmd[@]}")
  fi
}

repeat_run() {
  local n=$1 i; shift
  for ((i = 0; i < n; i++)); do "$@" || return; done
}

# sample OUT CMD...: runs CMD once with its output in OUT (errors in OUT.err);
# sets status and elapsed (seconds).
sample() {
  local out=$1; shift
  local t0=$EPOCHREALTIME
  "$@" >"$out" 2>"$out.err"
  status=$?
  local t1=$EPOCHREALTIME
  elapsed=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.4f", b - a }')
}

median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { m = int((NR + 1) / 2); printf "%.3f\n", NR % 2 ? v[m] : (v[m] + v[m + 1]) / 2 }'; }

# peak_rss LANG PROGRAM: sets rss to the peak resident set of one run, in
# MiB (n/a when it cannot be read). One launch of startup; not timed.
peak_rss() {
  local file=bench/$2.$1 c
  rss=n/a
  case $1 in
    py) c=("$python" "$file") ;;
    lua) c=("$lua" "$file") ;;
    kiv) [ -n "$kiv" ] || return; c=(timeout "$kiv_timeout" "$kiv" "$file") ;;
  esac
  /usr/bin/time -f %M -o "$tmp/rss" "${c[@]}" >/dev/null 2>&1 || return
  rss=$(awk '{ printf "%.1f", $1 / 1024 }' "$tmp/rss")
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }

# measure LANG PROGRAM: sets med (or "n/a") and why (empty when it ran);
# the first run's output stays in $tmp/PROGRAM.LANG.
measure() {
  local lang=$1 prog=$2 r times=()
  med=n/a why=""
  if [ "$lang" = kiv ] && [ -z "$kiv" ]; then why="no kiv-run"; return; fi
  command_for "$lang" "$prog"
  for ((r = 0; r < runs; r++)); do
    local out=$tmp/$prog.$lang
    ((r > 0)) && out=$tmp/$prog.$lang.again
    sample "$out" "${cmd[@]}"
    if ((status == 124)) && [ "$lang" = kiv ]; then why="timed out"; return; fi
    if ((status != 0)); then why="failed (status $status)"; return; fi
    times+=("$elapsed")
  done
  med=$(median "${times[@]}")
}

echo "Kiv benchmarks: median wall time of $runs runs, in seconds; startup is $startup_launches launches"
echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "python: $("$python" --version 2>&1) ($python)"
echo "lua:    $("$lua" -v 2>&1 | cut -d' ' -f1-2)"
echo "kiv:    ${kiv:-not built} (commit $(git rev-parse --short HEAD 2>/dev/null || echo unknown))"
echo
fmt='%-14s %9s %9s %9s %8s %8s %8s %8s %8s  %s\n'
printf "$fmt" program python lua kiv kiv/py kiv/lua py-MiB lua-MiB kiv-MiB check
notes=()
bad_reference=0
for prog in "${programs[@]}"; do
  measure py "$prog"; py=$med; py_why=$why
  measure lua "$prog"; lu=$med; lua_why=$why
  measure kiv "$prog"; kv=$med; kiv_why=$why
  check=ok
  if [ -n "$py_why$lua_why" ]; then
    check="reference failed: python ${py_why:-ok}, lua ${lua_why:-ok}"
    bad_reference=1
  elif ! cmp -s "$tmp/$prog.py" "$tmp/$prog.lua"; then
    check="python and lua disagree"
    bad_reference=1
  fi
  if [ -n "$kiv_why" ]; then
    check="kiv $kiv_why"
    [ -s "$tmp/$prog.kiv.err" ] && notes+=("$prog: $(head -n 3 "$tmp/$prog.kiv.err" | tr '\n' ' ')")
  elif [ "$check" = ok ] && ! cmp -s "$tmp/$prog.kiv" "$tmp/$prog.py"; then
    check="kiv printed another checksum"
    notes+=("$prog: kiv printed '$(head -c 60 "$tmp/$prog.kiv" | tr '\n' ' ')', python '$(head -c 60 "$tmp/$prog.py" | tr '\n' ' ')'")
    kv=n/a
  fi
  kpy=n/a klua=n/a
  if [ "$kv" != n/a ]; then
    [ "$py" != n/a ] && kpy=$(ratio "$kv" "$py")
    [ "$lu" != n/a ] && klua=$(ratio "$kv" "$lu")
  fi
  peak_rss py "$prog"; py_rss=$rss
  peak_rss lua "$prog"; lua_rss=$rss
  peak_rss kiv "$prog"; kiv_rss=$rss
  printf "$fmt" "$prog" "$py" "$lu" "$kv" "$kpy" "$klua" "$py_rss" "$lua_rss" "$kiv_rss" "$check"
done
if ((${#notes[@]})); then
  echo
  echo "Kiv messages:"
  printf '  %s\n' "${notes[@]}"
fi
exit "$bad_reference"

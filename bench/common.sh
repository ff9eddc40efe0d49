# Sourced by the benchmark scripts after `set`: moves to the repository's
# root and gives them their shared pieces.

cd "$(dirname "${BASH_SOURCE[0]}")/.."

# Prints the usage lines (a sed range such as '8,9p') of the calling script's
# header comment on standard error and exits 2.
usage() { sed -n "$1" "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }

# Sets kiv_run to the absolute path of kiv-run in $KIV_BUILD_DIR (default
# build), or exits 2 when it is not built.
find_kiv_run() {
  kiv_run="${KIV_BUILD_DIR:-build}/kiv-run"
  [ -x "$kiv_run" ] || { echo "no $kiv_run: build first" >&2; exit 2; }
  kiv_run=$(realpath "$kiv_run")
}

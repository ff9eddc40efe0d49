#!/usr/bin/env bash
# Golden-file tests: runs every NAME.kiv of a folder with kiv-run (standard
# input from NAME.in when there is one, else empty) and compares what it
# writes on standard output with NAME.out and, when NAME.err exists, what it
# writes on standard error with NAME.err. With --update the files are
# written instead of compared.
# usage: run.sh KIV_RUN FOLDER [--update]
set -u
kiv_run="$1"
folder="$2"
update="${3:-}"
out=$(mktemp)
err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
failures=0
passes=0
for script in "$folder"/*.kiv; do
  base="${script%.kiv}"
  input=/dev/null
  [[ -f "$base.in" ]] && input="$base.in"
  (cd "$folder" && "$kiv_run" "$(basename "$script")" >"$out" 2>"$err") <"$input"
  if [[ "$update" == "--update" ]]; then
    cp "$out" "$base.out"
    if [[ -s "$err" || -f "$base.err" ]]; then cp "$err" "$base.err"; fi
    continue
  fi
  if ! cmp -s "$out" "$base.out"; then
    echo "FAILED: $script (standard output)"
    diff "$base.out" "$out" | head -40
    failures=$((failures + 1))
  elif [[ -f "$base.err" ]] && ! cmp -s "$err" "$base.err"; then
    echo "FAILED: $script (standard error)"
    diff "$base.err" "$err" | head -40
    failures=$((failures + 1))
  else
    passes=$((passes + 1))
  fi
done
echo "$passes passed, $failures failed"
[[ $failures -eq 0 ]]

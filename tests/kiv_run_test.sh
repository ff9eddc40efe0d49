#!/usr/bin/env bash
# The command line of kiv-run: --eval, script files with and without a Kiv
# header, output on standard output, uncaught errors on standard error with
# status 254.
set -u
kiv_run="$1"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failures=0
passes=0

# expect NAME STATUS STDOUT STDERR-SUBSTRING -- ARGS...
expect() {
  local name="$1" status="$2" out="$3" err="$4"
  shift 5
  local actual_out actual_err actual_status
  actual_out=$("$kiv_run" "$@" 2>"$dir/err")
  actual_status=$?
  actual_err=$(cat "$dir/err")
  if [[ "$actual_status" != "$status" || "$actual_out" != "$out" || "$actual_err" != *"$err"* ]]; then
    echo "FAILED: $name"
    echo "  status $actual_status (expected $status)"
    echo "  stdout: $actual_out"
    echo "  expected stdout: $out"
    echo "  stderr: $actual_err"
    echo "  expected in stderr: $err"
    failures=$((failures + 1))
  else
    passes=$((passes + 1))
  fi
}

expect "eval prints with operators left to right" 0 "9" "" -- --eval "print 1 + 2 * 3"
expect "eval prints nothing for a bare value" 0 "" "" -- --eval "1 + 2"
expect "uncaught error goes to stderr with status 254" 254 "before" "*** Script Error: undefined-word has no value" \
  -- --eval 'print "before" undefined-word'
expect "syntax error reports its line" 254 "" "*** Syntax Error: (line 2) missing" -- --eval $'print 1\n[2'
expect "no arguments is a usage error" 2 "" "usage" --

printf 'A launcher line\nKiv [Title: "test"]\nprint "from the script"\nx: 20 print x + 1\n' > "$dir/ok.kiv"
expect "script with a header runs after the header" 0 $'from the script\n21' "" -- "$dir/ok.kiv" arg1

printf 'print "no header"\n' > "$dir/none.kiv"
expect "script without a header is refused" 254 "" "script is missing a Kiv header" -- "$dir/none.kiv"

printf 'kiv [lower case does not count]\nprint 1\n' > "$dir/lower.kiv"
expect "a lower-case kiv is not a header" 254 "" "missing a Kiv header" -- "$dir/lower.kiv"

printf 'Kiv/System [Title: "s"]\nprint 1\n' > "$dir/system.kiv"
expect "Kiv/System code needs compilation" 254 "" "requires compilation" -- "$dir/system.kiv"

expect "missing file cannot be opened" 254 "" "cannot open" -- "$dir/missing.kiv"
expect "a directory is not a script" 254 "" "cannot open" -- "$dir"

printf 'Kiv []\na: [do a]\ndo a\n' > "$dir/deep.kiv"
expect "unbounded recursion ends in stack-overflow, not a crash" 254 "" "stack overflow" -- "$dir/deep.kiv"

# A NUL character in the formed error must not cut the report short: the
# character itself and every line after it reach standard error.
printf 'Kiv []\nf: func [] [\n    x: copy "a b" poke x 2 #"^@"\n    do make error! [type: %ssyntax id: %sinvalid arg1: x arg2: "y" arg3: "z"]\n]\nf\n' "'" "'" > "$dir/nul.kiv"
"$kiv_run" "$dir/nul.kiv" 2>"$dir/nul-err" >/dev/null
nul_status=$?
nul_err=$(tr '\0' '@' <"$dir/nul-err")
if [[ $nul_status != 254 || "$nul_err" != *"Syntax Error: a@b invalid y at z"*"*** Where: "*"*** Near : "*"*** Stack: f"* ]]; then
  echo "FAILED: uncaught error with a NUL character is written whole"
  echo "  status $nul_status (expected 254)"
  echo "  stderr (NUL shown as @): $nul_err"
  failures=$((failures + 1))
else
  passes=$((passes + 1))
fi

echo "$passes passed, $failures failed"
[[ $failures -eq 0 ]]

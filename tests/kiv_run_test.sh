#!/usr/bin/env bash
# The command line of kiv-run: --eval, script files with and without a Kiv
# header, standard input, --help and --version, output on standard output,
# the script's arguments, and every way the process ends: normal, quit,
# quit/return (low 8 bits), halt, an uncaught error (254), a signal mapped to
# its runtime error, an interrupt (quiet, 0).
set -u
kiv_run="$1"
source_root="${2:-$(dirname "$0")/..}"
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
expect "an unknown switch is a usage error" 2 "" "usage" -- --frobnicate
expect "--eval without its text is a usage error" 2 "" "usage" -- --eval
expect "--help prints the usage on stdout" 0 "$("$kiv_run" --help)" "" -- --help
[[ "$("$kiv_run" --help)" == usage:*"kiv-run FILE [ARGS...]"*"--version"* ]] || { echo "FAILED: --help text"; failures=$((failures + 1)); }
[[ "$("$kiv_run" --version)" =~ ^kiv-run\ [0-9]+\.[0-9]+\.[0-9]+$ ]] || { echo "FAILED: --version text"; failures=$((failures + 1)); }

# Ways out: quit and quit/return keep the low 8 bits of the status; output
# printed before is not lost; a try does not stop quit; halt is quit.
expect "quit ends with 0 after the output" 0 "before" "" -- --eval 'print "before" quit print "after"'
expect "quit/return ends with the status" 3 "" "" -- --eval 'quit/return 3'
expect "quit/return keeps the low 8 bits" 44 "" "" -- --eval 'quit/return 300'
expect "quit/return of a negative status" 255 "" "" -- --eval 'quit/return -1'
expect "quit inside try still ends the process" 7 "" "" -- --eval 'try [quit/return 7] print "not here"'
expect "quit inside a function and a loop" 9 "1" "" -- --eval 'f: func [] [loop 3 [print 1 quit/return 9]] f'
expect "halt is quit" 0 "" "" -- --eval 'halt print "not here"'
expect "quit-return ends at once" 5 "" "" -- --eval 'quit-return 5'
expect "quit/return checks its status type" 254 "" "does not allow string! for its status" -- --eval 'quit/return "x"'
expect "routine* is gone after start-up" 254 "" "has no value" -- --eval 'routine* [] quit-return'

printf 'A launcher line\nKiv [Title: "test"]\nprint "from the script"\nx: 20 print x + 1\n' > "$dir/ok.kiv"
expect "script with a header runs after the header" 0 $'from the script\n21' "" -- "$dir/ok.kiv" arg1

printf 'print "no header"\n' > "$dir/none.kiv"
expect "script without a header is refused" 254 "" "script is missing a Kiv header" -- "$dir/none.kiv"

printf 'Kiv []\nprint mold system/script/args\nprint mold system/options/args\nprint mold system/options/script\n' > "$dir/args.kiv"
expect "arguments after the script reach it" 0 $'{a "b c" d}\n["a" "b c" "d"]\n'"%$dir/args.kiv" "" -- "$dir/args.kiv" a "b c" d
expect "no arguments: empty text, empty block" 0 $'""\n[]\n'"%$dir/args.kiv" "" -- "$dir/args.kiv"
expect "--eval has no script arguments" 0 $'""\nnone' "" -- --eval 'print mold system/script/args print mold system/options/script'

# A script read from standard input.
actual=$(printf 'Kiv []\nprint mold system/options/args\nquit/return 4\n' | "$kiv_run" - x y 2>"$dir/err")
status=$?
if [[ $status != 4 || "$actual" != '["x" "y"]' ]]; then
  echo "FAILED: script from standard input (status $status, stdout $actual)"; failures=$((failures + 1))
else passes=$((passes + 1)); fi
actual=$(printf 'print 1\n' | "$kiv_run" - 2>"$dir/err")
status=$?
if [[ $status != 254 || "$(cat "$dir/err")" != *"missing a Kiv header"* ]]; then
  echo "FAILED: standard input without a header (status $status)"; failures=$((failures + 1))
else passes=$((passes + 1)); fi

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

# The developer's text path: KIV_BOOT_SOURCES names the folder of the
# sources, which are lexed in place of the payload; a missing source ends
# start-up with a message and status 1.
actual=$(KIV_BOOT_SOURCES="$source_root" "$kiv_run" --eval 'quit/return length? words-of system/options' 2>"$dir/err")
status=$?
expected=$("$kiv_run" --eval 'quit/return length? words-of system/options' 2>/dev/null; echo $?)
if [[ $status != "$expected" || $status == 0 || $status == 254 ]]; then
  echo "FAILED: the text path loads the same library (status $status, payload $expected)"; failures=$((failures + 1))
else passes=$((passes + 1)); fi
KIV_BOOT_SOURCES="$dir/nowhere" "$kiv_run" --eval 'print 1' >"$dir/out" 2>"$dir/err"
status=$?
if [[ $status != 1 || "$(cat "$dir/err")" != *"*** Boot Error: cannot read the source $dir/nowhere/boot/natives.kiv"* || -s "$dir/out" ]]; then
  echo "FAILED: a missing source folder ends start-up (status $status: $(cat "$dir/err"))"; failures=$((failures + 1))
else passes=$((passes + 1)); fi

# Under a limit on address space (the node table reserves its range at the
# first node) start-up takes the range it is granted. Sanitizer builds need
# far more address space for their shadow memory: not with them.
if ! ldd "$kiv_run" 2>/dev/null | grep -q -e libasan -e libubsan; then
  for limit in 4000000 400000; do
    actual=$(ulimit -v "$limit"; "$kiv_run" --eval 'b: make block! 200000 loop 1000 [append b copy "x"] print length? b' 2>&1)
    if [[ "$actual" == "1000" ]]; then
      passes=$((passes + 1))
    else
      echo "FAILED: runs under an address-space limit of $limit KiB: $actual"
      failures=$((failures + 1))
    fi
  done
fi

# Signals: a running script killed by a signal ends with the runtime error
# the signal stands for (a signal sent from outside carries no fault code:
# SIGFPE is an unknown error), an interrupt ends it quietly with 0.
printf 'Kiv []\nwhile [true] []\n' > "$dir/spin.kiv"
# expect_signal NAME SIGNAL STATUS STDERR-SUBSTRING ("" for an empty stderr)
expect_signal() {
  local name="$1" signal="$2" status="$3" err="$4"
  "$kiv_run" "$dir/spin.kiv" >/dev/null 2>"$dir/sig-err" &
  local pid=$! tries=0
  # Wait until the process has installed its handlers (SIGINT, the last one
  # installed, caught; the sanitizers catch SIGSEGV before our start-up does);
  # a loaded machine can take seconds to get there.
  while (( tries < 1500 )); do
    local caught
    caught=$(awk '/^SigCgt:/ {print $2}' "/proc/$pid/status" 2>/dev/null)
    [[ -n "$caught" ]] && (( (16#$caught >> 1) & 1 )) && break
    sleep 0.02
    tries=$((tries + 1))
  done
  sleep 0.05
  kill -s "$signal" "$pid"
  wait "$pid"
  local actual_status=$?
  local actual_err
  actual_err=$(cat "$dir/sig-err")
  if [[ $actual_status != "$status" || ( -z "$err" && -n "$actual_err" ) || "$actual_err" != *"$err"* ]]; then
    echo "FAILED: $name"
    echo "  status $actual_status (expected $status), stderr: $actual_err"
    failures=$((failures + 1))
  else
    passes=$((passes + 1))
  fi
}
expect_signal "SIGSEGV is an access violation" SEGV 1 $'*** Runtime Error 1: access violation\n*** at: '
expect_signal "SIGBUS is an in-page error" BUS 16 "*** Runtime Error 16: in page error"
expect_signal "SIGILL is an illegal instruction" ILL 17 "*** Runtime Error 17: illegal instruction"
expect_signal "SIGFPE from outside is an unknown error" FPE 99 "*** Runtime Error 99: unknown error"
expect_signal "SIGTRAP is a breakpoint" TRAP 3 "*** Runtime Error 3: breakpoint"
expect_signal "SIGABRT is a failed assertion" ABRT 98 "*** Runtime Error 98: assertion failed"
expect_signal "an interrupt ends quietly with 0" INT 0 ""
expect_signal "SIGTERM keeps its default" TERM 143 ""

# SIGPIPE is ignored: output into a closed pipe does not kill the process
# with a signal.
"$kiv_run" --eval 'loop 100000 [print "line of output"] quit/return 6' | head -c 10 >/dev/null
status=${PIPESTATUS[0]}
if [[ $status != 6 ]]; then
  echo "FAILED: output into a closed pipe (status $status, expected 6)"; failures=$((failures + 1))
else passes=$((passes + 1)); fi

# The preprocessor stops the run (as halt does) after reporting where.
expect "preprocessor syntax error" 0 $'*** Preprocessor Error: Syntax error\n*** Where: #either true [a]' "" \
  -- --eval 'expand-directives [#either true [a]] print "not here"'
expect "preprocessor error in directive code" 0 $'*** Preprocessor Error in #do \n*** Math Error: attempt to divide by zero\n*** Where: ???\n*** Near : 1 / 0' "" \
  -- --eval 'expand-directives [#do [1 / 0]] print "not here"'
expect "macro with a bad spec" 0 $'*** Macro Error: invalid macro spec\n*** Where: [[integer!] func [s]]' "" \
  -- --eval 'expand-directives [#macro [integer!] func [s][1]] print "not here"'
expect "macro returning unset" 0 $'*** Macro Error: no value returned by m macro' "" \
  -- --eval 'expand-directives [#macro m: func [][()] m] print "not here"'
expect "manual macro not returning a position" 0 $'*** Macro Error: [manual] macro not returning a position\n*** Where: [func [[manual] s e][[]] s e]' "" \
  -- --eval 'expand-directives [#macro integer! func [[manual] s e][[]] 1] print "not here"'
expect "trace with a bad operand" 0 $'*** Preprocessor Error: Syntax error\n*** Where: #trace maybe' "" \
  -- --eval 'expand-directives [#trace maybe] print "not here"'

echo "$passes passed, $failures failed"
[[ $failures -eq 0 ]]

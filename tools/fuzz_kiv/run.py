#!/usr/bin/env python3
"""Random and mutated Kiv programs through kiv-run, looking for crashes.

Programs are built from the source sides of tests/cases/*.txt: spliced,
duplicated, truncated, tokens swapped or replaced by odd values, nested in
blocks, functions, loops, parse rules and objects, plus hand-written shapes
that stress the runtime (cyclic blocks, self-referencing objects, deep
nesting, odd comparators, odd parse rules, recursion).

Each program runs as `kiv-run --eval PROGRAM` with a timeout, some runs under
KIV_GC_TORTURE. A run passes when it ends with status 0 or 254 (an uncaught
Kiv error), with no sanitizer report and no signal. A timeout counts as a
fault only when the program holds no looping or recursive construct.
Faults are shrunk by a small token-level reducer and written to --out.

  tools/fuzz_kiv/run.py --kiv build-asan/kiv-run -n 1000 -j 3 --seed 1
  tools/fuzz_kiv/run.py --kiv build-asan/kiv-run --replay FILE
"""

import argparse
import concurrent.futures
import glob
import os
import random
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

KINDS = ("==>", "!!>", "-->", "**>")

ODD_VALUES = [
    "9223372036854775807", "-9223372036854775808", "9223372036854775808",
    "2147483647", "-2147483648", "0", "-1", "1e308", "-1e308", "1e-320",
    "0.0", "-0.0", "1.#INF", "none", "true", "false", "#\"^@\"", "#{}", "#{FF00}",
    "\"\"", "{}", "[]", "()", "[[[[[]]]]]", "\"\u00e9\u4e2d\U0001f600\"",
    "#[none]", "#[unset!]", "'a", ":a", "a:", "/a", "a/b/c", "%\"\"", "http://",
    "1x", "-", "*", "//", "0:0:0", "99999:59:59.999999", "1.2.3", "255.255.255.255",
    "#\"a\"", "@", "<a>", "$1", "1%", "_", "self", "system", "unset",
]

LOOP_WORDS = re.compile(
    r"\b(forever|while|until|loop|repeat|foreach|forall|remove-each|parse|"
    r"func|function|does)\b")

TOKEN_RE = re.compile(
    r'"(?:[^"\\^]|\^.|\\.)*"'       # quoted string
    r"|\{(?:[^{}]|\{[^{}]*\})*\}"    # braced string, one level of nesting
    r"|#\{[0-9A-Fa-f\s]*\}"          # binary
    r"|[\[\]()]"                     # brackets
    r"|[^\s\[\]()\"{}]+"             # anything else up to a delimiter
)


def tokenize(text):
    return TOKEN_RE.findall(text)


def load_fragments():
    frags = []
    for path in sorted(glob.glob(os.path.join(ROOT, "tests", "cases", "*.txt"))):
        pending = ""
        with open(path, encoding="utf-8", errors="replace") as f:
            for line in f:
                line = line.rstrip("\n").rstrip("\r")
                if not pending and (not line.strip() or line.strip().startswith(";")):
                    continue
                if line.endswith("\\"):
                    pending += line[:-1] + "\n"
                    continue
                text = pending + line
                pending = ""
                at = max(text.rfind(k) for k in KINDS)
                if at > 0:
                    src = text[:at].strip()
                    if src:
                        frags.append(src)
    return frags


def load_specs():
    """Natives and actions with their argument counts and refinements."""
    specs = []
    for name in ("natives.kiv", "actions.kiv"):
        path = os.path.join(ROOT, "boot", name)
        if not os.path.exists(path):
            continue
        text = open(path, encoding="utf-8").read()
        for m in re.finditer(r"^([^\s;:]+): \[(.*?)^\]", text, re.M | re.S):
            word, body = m.group(1), re.sub(r'"(?:[^"\\^]|\^.)*"|\[[^\]]*\]', " ", m.group(2))
            args, refs = 0, []
            for t in body.split():
                if t.startswith("/"):
                    refs.append([t[1:], 0])
                elif t.endswith(":"):
                    break
                elif refs:
                    refs[-1][1] += 1
                else:
                    args += 1
            if word in ("quit", "halt", "wait", "browse", "write", "call", "delete", "rename",
                        "create", "set-env", "open", "close", "recycle", "read", "query"):
                continue  # touches the machine, or only slows runs down
            specs.append((word, args, refs))
    return specs


# Values the calls take as arguments: set up by PRELUDE, or literal.
PRELUDE = ("cyc: [1] append/only cyc cyc  obj: make object! [a: 1 self-ref: none] obj/self-ref: obj "
           "str: \"abc\u00e9\" blk: [1 [2 3] \"x\" y] t-end: tail [1 2] s-end: tail \"ab\" "
           "fn: func [a b] [a < b] fn1: func [x] [x] bin: #{0102FF} bs: make bitset! \"abc\" "
           "nest: [] loop 300 [nest: reduce [nest]] ")
ARG_VALUES = [
    "cyc", "obj", "str", "blk", "t-end", "s-end", ":fn", ":fn1", "bin", "bs", "nest",
    "0", "1", "-1", "3", "2147483647", "-2147483648", "9223372036854775807",
    "-9223372036854775808", "1.5", "-0.0", "1e308", "#\"a\"", "#\"^@\"", "none", "true",
    "'a", "'sha1", "'words", "[]", "[a b c]", "\"\"", "\"xyz\"", "#{}", "integer!", "block!",
    "string!", "object!", "function!", "[integer!]", "1:2:3", "1.2.3", "%file", "http://x",
    "#issue", "(1 + 2)", ":add", "make object! []", "[some skip]", "[to end]", "next blk",
    "copy cyc", "reduce [obj obj]", "[[[[]]]]", "\"[\"", "unset", "()", "'unset",
]


TYPES = ("unset! none! logic! block! paren! string! file! url! char! integer! float! word! "
         "set-word! lit-word! get-word! refinement! issue! native! action! op! function! path! "
         "lit-path! set-path! get-path! bitset! triple! object! typeset! error! binary! time! "
         "datatype! tag!").split()
SPEC_VALUES = ["[a: 1 b: 2]", "[x [integer!] /r y]", "[[x] [x + 1]]", "[id: 1]",
               "[code: 400 type: 'script id: 'no-value]", "[none]", "[self]", "[a/b]",
               "[/local x]", "[a a]", "[return: [integer!] x]", "[\"doc\" a \"doc2\" b]",
               "\"1:2\"", "\"1e400\"", "\":a\"", "[#\"a\" - #\"z\"]", "[1 - 0]"]


def gen_make_to(r):
    parts = []
    for _ in range(r.randint(1, 8)):
        v = r.choice(ARG_VALUES + SPEC_VALUES)
        parts.append("try [mold %s %s %s]" % (r.choice(["make", "to"]), r.choice(TYPES), v))
    return PRELUDE + " ".join(parts)


def gen_call(r, specs):
    word, args, refs = r.choice(specs)
    path = word
    tail = []
    for ref, n in refs:
        if r.random() < 0.3:
            path += "/" + ref
            tail += [r.choice(ARG_VALUES) for _ in range(n)]
    parts = [path] + [r.choice(ARG_VALUES) for _ in range(args)] + tail
    return " ".join(parts)


def gen_calls(r, specs):
    calls = []
    for _ in range(r.randint(1, 6)):
        c = gen_call(r, specs)
        if r.random() < 0.3:
            c = "mold " + c
        calls.append("try [" + c + "]" if r.random() < 0.7 else c)
    return PRELUDE + " ".join(calls)


# ---------------------------------------------------------------- generators

def odd_value(r):
    v = r.choice(ODD_VALUES)
    if r.random() < 0.1:
        n = r.choice([50, 200, 1000, 5000])
        v = "[" * n + "]" * n if r.random() < 0.5 else "(" * n + "1" + ")" * n
    return v


def deep(r):
    n = r.choice([100, 1000, 10000, 50000])
    kind = r.randrange(5)
    if kind == 0:
        return "[" * n + "]" * n
    if kind == 1:
        return "(" * n + "1" + ")" * n
    if kind == 2:
        return "b: [] loop %d [b: reduce [b]] mold b" % n
    if kind == 3:
        return "o: none loop %d [o: make object! [p: o]] mold o" % n
    return "s: \"x\" loop %d [s: append copy \"\" s] length? s" % min(n, 2000)


SHAPES = [
    # cycles through blocks
    "b: [] append/only b b mold b",
    "b: [] append/only b b form b",
    "b: [1] append/only b b b = b",
    "b: [1] c: [1] append/only b c append/only c b b = c",
    "b: [1] c: [1] append/only b c append/only c b strict-equal? b c",
    "b: [] append/only b b sort b",
    "b: [] append/only b b copy/deep b",
    "b: [] append/only b b reduce b",
    "b: [] append/only b b compose b",
    "b: [] append/only b b find b b",
    "b: [] append/only b b unique b",
    "b: [] append/only b b union b b",
    "b: [] append/only b b do b",
    "b: [] append/only b b parse b [some [into b]]",
    "b: [] append/only b b select b b",
    "b: [x] append/only b b o: make object! [v: b] mold o",
    "b: [] append/only b b to string! b",
    "b: [] append/only b b checksum to binary! mold/only b 'sha1",
    # self-referencing objects
    "o: make object! [s: none] o/s: o mold o",
    "o: make object! [s: none] o/s: o form o",
    "o: make object! [s: none] o/s: o o = o",
    "o: make object! [s: none] o/s: o p: make o [] p = o",
    "o: make object! [s: none] o/s: o copy/deep o",
    "o: make object! [s: none] o/s: reduce [o] mold o",
    "o: make object! [s: none] o/s: o words-of o values-of o",
    "o: make object! [a: 1] o/a: o make o [a: 2]",
    "o: make object! [f: does [o/f]] o/f",
    "o: make object! [on-change*: func [w o n] [set w n]] o/x: 1",
    # comparisons and sorting
    "sort/compare [3 1 2] func [a b] [none]",
    "sort/compare [3 1 2] func [a b] [1 / 0]",
    "sort/compare [3 1 2] func [a b] [random true]",
    "b: [3 1 2 5 4] sort/compare b func [a b] [clear b true]",
    "b: [3 1 2 5 4] sort/compare b func [a b] [append b 1 true]",
    "sort/compare [3 1 2] :add",
    "sort/compare [3 1 2] 2",
    "sort/compare [3 1 2] -1",
    "sort/skip [1 2 3] 0",
    "sort/skip [1 2 3] -2",
    "sort/skip/compare [1 2 3 4] 2 5",
    "sort [1 \"a\" #\"b\" none [] () 1.5 a b/c]",
    "sort/all/reverse/case [\"b\" \"A\" \"a\"]",
    "sort/part [5 4 3] 100",
    "sort/part [5 4 3] -100",
    "compare 1 \"a\"",
    "lesser? [1] [\"a\"]",
    "max [] \"a\"",
    # parse with odd rules
    "parse [] [some []]",
    "parse [] [any [none]]",
    "parse \"aaa\" [some [opt \"a\"]]",
    "parse \"a\" [while []]",
    "r: [r] parse \"a\" r",
    "r: [\"a\" r] parse \"aaaa\" r",
    "r: [some r] parse \"a\" r",
    "parse \"abc\" [to end to end to end]",
    "parse \"abc\" [thru 100]",
    "parse \"abc\" [-1 \"a\"]",
    "parse \"abc\" [2147483647 \"a\"]",
    "parse \"abc\" [copy x to end (x: none) :x]",
    "parse [a b] [set x word! (clear x)]",
    "b: [1 2 3] parse b [(clear b) some integer!]",
    "s: \"abc\" parse s [(clear s) some skip]",
    "s: \"abc\" parse s [any [p: (remove p) skip]]",
    "parse \"abc\" [change skip \"xyzxyz\" :p]",
    "parse [1 [2 [3]]] [some [integer! | into [some [integer! | into []]]]]",
    "parse \"a\" [collect [keep skip keep skip]]",
    "parse \"a\" [collect into x [keep skip]]",
    "parse \"a\" [if (clear \"\") skip]",
    "parse \"a\" [insert \"b\" insert \"c\" to end]",
    "parse \"aaa\" [some [remove \"a\"]]",
    # recursion
    "f: func [n] [f n + 1] f 0",
    "f: func [] [f] f",
    "f: does [f] f",
    "f: func [x] [either x > 0 [f x - 1] [0]] f 100000",
    "f: func [b] [mold b] b: [] append/only b b f b",
    "o: make object! [f: func [] [self/f]] o/f",
    "f: func [] [try [f]] f",
    "f: func [] [catch [f]] f",
    "f: func [] [do [f]] f",
    "f: func [] [reduce [f]] f",
    "f: func [] [parse \"a\" [(f)]] f",
    "f: func [a b] [sort/compare [2 1] :f] f 1 2",
    # misc odd values
    "append/dup [] 1 2147483647",
    "append/dup \"\" \"x\" 2147483647",
    "insert/dup [] 1 -1",
    "copy/part [1 2 3] 9223372036854775807",
    "copy/part \"abc\" -9223372036854775808",
    "skip [1 2 3] 9223372036854775807",
    "at \"abc\" -9223372036854775808",
    "pick [1 2 3] -9223372036854775808",
    "poke [1 2 3] 9223372036854775807 1",
    "9223372036854775807 + 1",
    "-9223372036854775808 / -1",
    "-9223372036854775808 // -1",
    "remainder -9223372036854775808 -1",
    "absolute -9223372036854775808",
    "negate -9223372036854775808",
    "power 2 10000",
    "shift 1 64",
    "shift 1 -9223372036854775808",
    "to integer! 1e300",
    "to integer! \"99999999999999999999999\"",
    "to string! #{FF FE FD}",
    "round/to 1 0",
    "random 0",
    "random -9223372036854775808",
    "make string! -1",
    "make block! 9223372036854775807",
    "make string! 9223372036854775807",
    "enbase #{} 99",
    "debase \"====\" 64",
    "to-hex -9223372036854775808",
    "mold/part [1 2 3] -1",
    "form/part \"abc\" 0",
    "reverse/part [1 2 3] -5",
    "take/part [1 2 3] 9223372036854775807",
    "remove/part [1 2 3] -9223372036854775808",
    "change/part [1 2 3] [4] 9223372036854775807",
    "trim/with \"abc\" \"\"",
    "find/skip [1 2 3] 1 0",
    "find/skip [1 2 3] 1 -1",
    "select/skip [1 2 3] 1 0",
    "transcode \"[\"",
    "load \"[[[\"",
    "do \"(\"",
    "do \"1 +\"",
    "catch/name [throw/name 1 'a] 'b",
    "break",
    "continue",
    "return 1",
    "exit",
    "throw 1",
    "recycle",
    "stats",
]


def pick_frag(r, frags):
    return r.choice(frags)


def wrap(r, s):
    k = r.randrange(16)
    if k == 0:
        return "[" + s + "]"
    if k == 1:
        return "(" + s + ")"
    if k == 2:
        return "f: func [a b] [" + s + "] f 1 2"
    if k == 3:
        return "loop 3 [" + s + "]"
    if k == 4:
        return "o: make object! [" + s + "] mold o"
    if k == 5:
        return "parse [1 a \"s\" [b]] [any [(" + s + ") | skip]]"
    if k == 6:
        return "parse \"abc\" [any [(" + s + ") skip]]"
    if k == 7:
        return "try [" + s + "]"
    if k == 8:
        return "catch [" + s + "]"
    if k == 9:
        return "do [" + s + "]"
    if k == 10:
        return "mold reduce [" + s + "]"
    if k == 11:
        return "foreach x [1 2] [" + s + "]"
    if k == 12:
        return "sort/compare [3 1 2] func [a b] [" + s + " a < b]"
    if k == 13:
        return "compose [(" + s + ")]"
    if k == 14:
        return "f: does [" + s + "] f f"
    return "while [" + s + " false] []"


def mutate_tokens(r, toks, frags):
    toks = list(toks)
    for _ in range(r.randint(1, 4)):
        if not toks:
            toks = tokenize(pick_frag(r, frags))
            continue
        k = r.randrange(8)
        i = r.randrange(len(toks))
        if k == 0:  # truncate
            toks = toks[: r.randrange(len(toks) + 1)]
        elif k == 1:  # swap two tokens
            j = r.randrange(len(toks))
            toks[i], toks[j] = toks[j], toks[i]
        elif k == 2:  # replace by an odd value
            toks[i] = odd_value(r)
        elif k == 3:  # duplicate a stretch
            j = min(len(toks), i + r.randint(1, 6))
            toks[j:j] = toks[i:j]
        elif k == 4:  # delete a token (often a bracket: unbalanced source)
            del toks[i]
        elif k == 5:  # splice tokens of another fragment
            other = tokenize(pick_frag(r, frags))
            if other:
                a = r.randrange(len(other))
                toks[i:i] = other[a: a + r.randint(1, 8)]
        elif k == 6:  # insert a token from anywhere
            toks.insert(i, r.choice(tokenize(pick_frag(r, frags)) or ["1"]))
        else:  # replace by a word from another fragment
            other = tokenize(pick_frag(r, frags))
            if other:
                toks[i] = r.choice(other)
    return toks


def generate(r, frags, specs=()):
    k = r.random()
    if specs and r.random() < 0.45:
        s = gen_calls(r, specs) if r.random() < 0.75 else gen_make_to(r)
        if r.random() < 0.3:
            s = wrap(r, s)
        return s
    if k < 0.12:
        s = r.choice(SHAPES)
    elif k < 0.17:
        s = deep(r)
    elif k < 0.35:
        s = " ".join(pick_frag(r, frags) for _ in range(r.randint(2, 4)))
    elif k < 0.75:
        s = " ".join(mutate_tokens(r, tokenize(pick_frag(r, frags)), frags))
    else:
        s = " ".join(mutate_tokens(r, tokenize(r.choice(SHAPES)), frags))
    for _ in range(r.choice([0, 0, 1, 1, 2, 3])):
        s = wrap(r, s)
    if r.random() < 0.15:
        s = s + " " + r.choice(["mold", "form", "recycle", "copy/deep", "sort"]) + " " + pick_frag(r, frags)
    return s


# ---------------------------------------------------------------- running

SAN_RE = re.compile(r"(ERROR: AddressSanitizer|runtime error:|ERROR: LeakSanitizer|"
                    r"AddressSanitizer:DEADLYSIGNAL|UndefinedBehaviorSanitizer)")


def run_one(kiv, prog, torture, timeout):
    env = dict(os.environ)
    env["ASAN_OPTIONS"] = "detect_leaks=0:abort_on_error=0:allocator_may_return_null=1"
    env["UBSAN_OPTIONS"] = "print_stacktrace=1:halt_on_error=1"
    if torture:
        env["KIV_GC_TORTURE"] = str(torture)
    else:
        env.pop("KIV_GC_TORTURE", None)
    if torture:
        timeout *= 3  # every collection is a full one: start-up alone is slow
    try:
        p = subprocess.run([kiv, "--eval", prog], env=env, capture_output=True,
                           timeout=timeout, stdin=subprocess.DEVNULL)
    except subprocess.TimeoutExpired:
        return ("timeout", "")
    err = p.stderr.decode("utf-8", "replace")
    m = SAN_RE.search(err)
    if m:
        # The first frame inside the runtime names the fault.
        where = re.search(r"#\d+ 0x[0-9a-f]+ in (kiv::[^\n(]+)", err)
        line = err[m.start():].split("\n", 1)[0]
        sig = "san:" + re.sub(r"0x[0-9a-f]+", "", line)[:100] + (" @ " + where.group(1) if where else "")
        return (sig, err)
    if p.returncode < 0:
        return ("signal:%d" % -p.returncode, err)
    if p.returncode not in (0, 254):
        return ("status:%d" % p.returncode, err)
    return ("ok", "")


def is_fault(kind, prog):
    if kind == "ok":
        return False
    if kind == "timeout":
        return not LOOP_WORDS.search(prog)
    return True


def reduce(kiv, prog, torture, timeout, kind):
    """Token-level delta reduction keeping the same kind of fault."""
    toks = tokenize(prog)

    def same(ts):
        k, _ = run_one(kiv, " ".join(ts), torture, timeout)
        return k.split(" @ ")[0] == kind.split(" @ ")[0]

    n = 2
    budget = 300
    while len(toks) >= 2 and budget > 0:
        size = max(1, len(toks) // n)
        progress = False
        for i in range(0, len(toks), size):
            cand = toks[:i] + toks[i + size:]
            budget -= 1
            if cand and same(cand):
                toks = cand
                n = max(n - 1, 2)
                progress = True
                break
            if budget <= 0:
                break
        if not progress:
            if size == 1:
                break
            n = min(len(toks), n * 2)
    return " ".join(toks)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--kiv", default=os.path.join(ROOT, "build-asan", "kiv-run"))
    ap.add_argument("-n", type=int, default=500, help="programs to run")
    ap.add_argument("-j", type=int, default=3, help="parallel runs (at most 3)")
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--timeout", type=float, default=5.0)
    ap.add_argument("--out", default="/tmp/fuzz_kiv")
    ap.add_argument("--no-reduce", action="store_true")
    ap.add_argument("--replay", help="run the program in FILE once and print the outcome")
    ap.add_argument("--torture", type=int, default=0, help="KIV_GC_TORTURE for --replay")
    a = ap.parse_args()

    if a.replay:
        prog = open(a.replay, encoding="utf-8").read()
        kind, err = run_one(a.kiv, prog, a.torture, a.timeout)
        print(kind)
        print(err[-4000:])
        return 0 if kind == "ok" else 1

    seed = a.seed if a.seed is not None else random.randrange(1 << 30)
    r = random.Random(seed)
    frags = load_fragments()
    specs = load_specs()
    os.makedirs(a.out, exist_ok=True)
    jobs = []
    for i in range(a.n):
        prog = generate(r, frags, specs)
        torture = r.choice([3, 5, 7, 13, 50, 100]) if r.random() < 0.3 else 0
        jobs.append((i, prog, torture))

    seen = {}
    counts = {}
    print("seed %d, %d fragments, %d callables, %d programs" % (seed, len(frags), len(specs), a.n), flush=True)
    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, min(a.j, 3))) as ex:
        futs = {ex.submit(run_one, a.kiv, p, t, a.timeout): (i, p, t) for i, p, t in jobs}
        for fut in concurrent.futures.as_completed(futs):
            i, prog, torture = futs[fut]
            kind, err = fut.result()
            fault = is_fault(kind, prog)
            if fault and kind == "timeout" and torture:
                # Slow under torture is no fault; hanging without it is.
                fault = run_one(a.kiv, prog, 0, a.timeout)[0] == "timeout"
            key = kind if kind != "timeout" else "timeout(fault)" if fault else "timeout(loop)"
            counts[key] = counts.get(key, 0) + 1
            if kind == "timeout" and not fault and not torture:
                loops = counts[key]
                if loops <= 20:  # kept for a look by hand: a loop, or a hang inside one
                    with open(os.path.join(a.out, "loop-%d-%d.kiv" % (seed, i)), "w", encoding="utf-8") as f:
                        f.write(prog)
            if not fault or kind in seen:
                continue
            seen[kind] = (i, prog, torture, err)
            print("FAULT %s (torture %d)" % (kind, torture), flush=True)
    # Reduced once the runs are over, so no more than -j processes run at once.
    for kind, (i, prog, torture, err) in seen.items():
        small = prog if a.no_reduce else reduce(a.kiv, prog, torture, a.timeout, kind)
        name = os.path.join(a.out, "fault-%d-%d" % (seed, i))
        with open(name + ".kiv", "w", encoding="utf-8") as f:
            f.write(small)
        with open(name + ".txt", "w", encoding="utf-8") as f:
            f.write("kind: %s\ntorture: %d\noriginal: %s\n\n%s" % (kind, torture, prog, err))
        print("FAULT %s (torture %d)\n  %s\n  -> %s" % (kind, torture, small[:300], name), flush=True)
    print("outcomes:", ", ".join("%s %d" % kv for kv in sorted(counts.items())))
    return 1 if seen else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Generates the lexer's byte-class and state-transition tables.

Reads runtime/eval/lexer_tables.txt (byte classes, flag bits, transitions,
prescan types and final states) and writes runtime/eval/lexer_tables.inc:

  kLexClassTable[256]      class in the low byte, token flag bits above
  kLexTransitions[65][40]  next state by (state, class)
  kLexPrescanType[65]      the type a token would have if it ended in a state
  kLexFinalType[36]        the type of each final state 66..101 (0: none)
  kLexFinalName[36]        what each final state stands for

The script refuses to write anything unless the data names every byte, every
class, every state and every final state exactly once.

Usage:
  tools/gen_lexer_tables.py [--source DATA] [-o OUTPUT]
  tools/gen_lexer_tables.py --check   # exit 1 when the committed output is stale
"""

import argparse
import re
import sys

from generated import emit, repo_path

NUM_CLASSES = 40
NUM_STATES = 65
FIRST_FINAL = 66
LAST_FINAL = 101
ERROR_FINAL = 67

BYTE_NAMES = {"NUL": 0, "tab": 9, "LF": 10, "CR": 13, "space": 32}
SECTIONS = ("classes", "flags", "transitions", "prescan", "finals")


class DataError(Exception):
    pass


def read_sections(path):
    """The data lines of each [section], with their line numbers; lines that
    start with # and blank lines are left out."""
    sections = {}
    current = None
    with open(path, encoding="utf-8") as f:
        for number, raw in enumerate(f, 1):
            line = raw.rstrip("\n")
            if not line.strip() or line.startswith("#"):
                continue
            m = re.fullmatch(r"\[(\w+)\]", line.strip())
            if m:
                current = m.group(1)
                if current not in SECTIONS or current in sections:
                    raise DataError(f"line {number}: unknown or repeated section [{current}]")
                sections[current] = []
                continue
            if current is None:
                raise DataError(f"line {number}: data before the first section")
            sections[current].append((number, line))
    for name in SECTIONS:
        if name not in sections:
            raise DataError(f"no [{name}] section")
    return sections


def parse_byte(text, where):
    if text in BYTE_NAMES:
        return BYTE_NAMES[text]
    if re.fullmatch(r"0x[0-9A-Fa-f]{2}", text):
        return int(text, 16)
    if len(text) == 1 and 33 <= ord(text) < 127:
        return ord(text)
    raise DataError(f"{where}: cannot read a byte from {text!r}")


def parse_bytes(items, where):
    """Bytes and lo-hi ranges (a lone - is the byte itself)."""
    result = set()
    for item in items:
        m = re.fullmatch(r"(.+?)-(.+)", item) if len(item) > 1 else None
        if m:
            lo, hi = parse_byte(m.group(1), where), parse_byte(m.group(2), where)
            if lo > hi:
                raise DataError(f"{where}: empty range {item!r}")
            got = set(range(lo, hi + 1))
        else:
            got = {parse_byte(item, where)}
        if got & result:
            raise DataError(f"{where}: byte listed twice")
        result |= got
    return result


def parse_numbers(items, where):
    out = set()
    for item in items:
        m = re.fullmatch(r"(\d+)(?:-(\d+))?", item)
        if not m:
            raise DataError(f"{where}: bad number {item!r}")
        lo = int(m.group(1))
        out |= set(range(lo, int(m.group(2) or lo) + 1))
    return out


def type_constant(name, where):
    """set-word! -> TYPE_SET_WORD, point2D! -> TYPE_POINT2D; none and - -> 0."""
    if name in ("none", "-"):
        return "0"
    if not re.fullmatch(r"[a-zA-Z0-9-]+!", name):
        raise DataError(f"{where}: not a datatype name: {name!r}")
    return "TYPE_" + name[:-1].replace("-", "_").upper()


def read_classes(rows):
    names, owner, members = {}, {}, {}
    for number, line in rows:
        where = f"line {number}"
        fields = line.split()
        if len(fields) < 3 or not fields[0].isdigit():
            raise DataError(f"{where}: a class is: number name bytes...")
        cls, name = int(fields[0]), fields[1]
        if cls in names or name in names.values():
            raise DataError(f"{where}: class {cls} ({name}) given twice")
        names[cls] = name
        members[cls] = parse_bytes(fields[2:], where)
        for b in members[cls]:
            if b in owner:
                raise DataError(f"{where}: byte 0x{b:02X} is in class {owner[b]} already")
            owner[b] = cls
    if sorted(names) != list(range(NUM_CLASSES)):
        raise DataError(f"classes are not 0..{NUM_CLASSES - 1}")
    missing = [b for b in range(256) if b not in owner]
    if missing:
        raise DataError("bytes without a class: " + " ".join(f"0x{b:02X}" for b in missing))
    return names, owner


def read_flags(rows):
    flags = {}
    for number, line in rows:
        where = f"line {number}"
        fields = line.split()
        if len(fields) < 2 or not re.fullmatch(r"0x[0-9A-F]{8}", fields[0]):
            raise DataError(f"{where}: a flag is: 0xMASK bytes...")
        mask = int(fields[0], 16)
        if mask & 0xFF:
            raise DataError(f"{where}: a flag may not overlap the class byte")
        for b in parse_bytes(fields[1:], where):
            flags[b] = flags.get(b, 0) | mask
    return flags


def read_transitions(rows, names):
    by_name = {name: cls for cls, name in names.items()}
    table = {}
    for number, line in rows:
        where = f"line {number}"
        parts = [p.strip() for p in line.split("|")]
        head = parts[0].split()
        if len(head) != 2 or not all(h.isdigit() for h in head):
            raise DataError(f"{where}: a row is: state otherwise | target: classes | ...")
        state, otherwise = int(head[0]), int(head[1])
        if state in table:
            raise DataError(f"{where}: state {state} given twice")
        targets = [otherwise] * NUM_CLASSES
        seen = set()
        for group in parts[1:]:
            m = re.fullmatch(r"(\d+):\s*(.+)", group)
            if not m:
                raise DataError(f"{where}: bad group {group!r}")
            for name in m.group(2).split():
                if name not in by_name:
                    raise DataError(f"{where}: no class named {name!r}")
                cls = by_name[name]
                if cls in seen:
                    raise DataError(f"{where}: class {name} given twice")
                seen.add(cls)
                targets[cls] = int(m.group(1))
        table[state] = targets
    if sorted(table) != list(range(NUM_STATES)):
        raise DataError(f"states are not 0..{NUM_STATES - 1}")
    invalid_lead = by_name.get("invalid-lead")
    for state, targets in table.items():
        for t in targets:
            if not (0 <= t < NUM_STATES or FIRST_FINAL <= t <= LAST_FINAL):
                raise DataError(f"state {state}: target {t} is neither a state nor a final state")
        # Invalid lead bytes are errors wherever they appear.
        if invalid_lead is None or targets[invalid_lead] != ERROR_FINAL:
            raise DataError(f"state {state} does not refuse invalid lead bytes")
    return table


def read_prescan(rows):
    types = {}
    for number, line in rows:
        where = f"line {number}"
        fields = line.split()
        const = type_constant(fields[0], where)
        for state in parse_numbers(fields[1:], where):
            if state in types:
                raise DataError(f"{where}: state {state} has two prescan types")
            types[state] = const
    missing = sorted(set(range(NUM_STATES)) - set(types))
    if missing or len(types) != NUM_STATES:
        raise DataError(f"states without a prescan type, or beyond the last: {missing}")
    return types


def read_finals(rows):
    finals = {}
    for number, line in rows:
        where = f"line {number}"
        fields = line.split(None, 2)
        if len(fields) != 3 or not fields[0].isdigit():
            raise DataError(f"{where}: a final state is: number type description")
        state = int(fields[0])
        if state in finals:
            raise DataError(f"{where}: final state {state} given twice")
        finals[state] = (fields[2].strip(), type_constant(fields[1], where))
    if sorted(finals) != list(range(FIRST_FINAL, LAST_FINAL + 1)):
        raise DataError(f"final states are not {FIRST_FINAL}..{LAST_FINAL}")
    return finals


def c_string(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def render(names, owner, flags, table, prescan, finals):
    out = []
    out.append("// Generated by tools/gen_lexer_tables.py from runtime/eval/lexer_tables.txt.")
    out.append("// Do not edit: change the data file and run the generator again.")
    out.append("// Included by runtime/eval/lexer_tables.h inside namespace kiv::lexer.")
    out.append("")
    out.append("// Class in bits 0-7, token flag bits above (OR-ed over a token).")
    out.append("inline constexpr uint32_t kLexClassTable[256] = {")
    for base in range(0, 256, 8):
        entries = ", ".join(f"0x{(flags.get(b, 0) | owner[b]):08X}" for b in range(base, base + 8))
        out.append(f"    {entries},  // 0x{base:02X}")
    out.append("};")
    out.append("")
    out.append("// Next state by [state][class]; 66 and above are final states. Classes:")
    listed = [f"{n}:{names[n]}" for n in range(NUM_CLASSES)]
    for i in range(0, NUM_CLASSES, 10):
        out.append("// " + " ".join(listed[i:i + 10]))
    out.append(f"inline constexpr uint8_t kLexTransitions[{NUM_STATES}][{NUM_CLASSES}] = {{")
    for state in range(NUM_STATES):
        entries = ",".join(f"{t:3d}" for t in table[state])
        out.append(f"    {{{entries}}},  // {state}")
    out.append("};")
    out.append("")
    out.append("// The type a token would have if it ended in each non-final state (0: none).")
    out.append(f"inline constexpr uint8_t kLexPrescanType[{NUM_STATES}] = {{")
    for state in range(NUM_STATES):
        out.append(f"    {prescan[state]},  // {state}")
    out.append("};")
    out.append("")
    count = LAST_FINAL - FIRST_FINAL + 1
    out.append(f"// The type of each final state {FIRST_FINAL}..{LAST_FINAL} (0: structural, no type).")
    out.append(f"inline constexpr uint8_t kLexFinalType[{count}] = {{")
    for num in range(FIRST_FINAL, LAST_FINAL + 1):
        out.append(f"    {finals[num][1]},  // {num}")
    out.append("};")
    out.append("")
    out.append("// What each final state stands for, for diagnostics.")
    out.append(f"inline constexpr const char* kLexFinalName[{count}] = {{")
    for num in range(FIRST_FINAL, LAST_FINAL + 1):
        out.append(f"    {c_string(finals[num][0])},  // {num}")
    out.append("};")
    out.append("")
    return "\n".join(out)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--source", default=repo_path("runtime", "eval", "lexer_tables.txt"))
    ap.add_argument("-o", "--output", default=repo_path("runtime", "eval", "lexer_tables.inc"))
    ap.add_argument("--check", action="store_true", help="compare a fresh run with the output file")
    args = ap.parse_args()
    try:
        sections = read_sections(args.source)
        names, owner = read_classes(sections["classes"])
        flags = read_flags(sections["flags"])
        table = read_transitions(sections["transitions"], names)
        prescan = read_prescan(sections["prescan"])
        finals = read_finals(sections["finals"])
    except (DataError, OSError) as e:
        print(f"gen_lexer_tables: {args.source}: {e}", file=sys.stderr)
        return 2
    return emit(args.output, render(names, owner, flags, table, prescan, finals), args.check, "gen_lexer_tables")


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Generates the lexer's byte-class and state-transition tables.

Reads the markdown language reference that describes the lexer (the section
titled "Lexer tables and driver") and writes runtime/eval/lexer_tables.inc:

  kLexClassTable[256]      class in the low byte, token flag bits above
  kLexTransitions[65][40]  next state by (state, class)
  kLexPrescanType[65]      the type a token would have if it ended in a state
  kLexFinalType[36]        the type of each final state 66..101 (0: none)
  kLexFinalName[36]        the token column of the final-state table

Nothing in the tables is typed by hand: every entry comes from the text, and
the script refuses to write anything when the text does not describe every
byte, every state and every class exactly once.

Usage:
  tools/gen_lexer_tables.py SOURCE.md [-o runtime/eval/lexer_tables.inc]
  tools/gen_lexer_tables.py SOURCE.md --check   # exit 1 when the file is stale
"""

import argparse
import os
import re
import sys

SECTION_TITLE = "Lexer tables and driver"
NUM_CLASSES = 40
NUM_STATES = 65
FIRST_FINAL = 66
LAST_FINAL = 101

# Names the tables use for single bytes.
BYTE_NAMES = {"tab": 9, "CR": 13, "space": 32, "LF": 10, "NUL": 0,
              "double quote": ord('"'), "(backtick)": ord('`')}
# Words of prose that may stand between byte items in a class description.
FILLER_WORDS = {"and", "UTF-8", "lead", "bytes"}


class SpecError(Exception):
    pass


def section_lines(path):
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    start = None
    for i, line in enumerate(lines):
        if line.startswith("# ") and line.rstrip().endswith(SECTION_TITLE):
            start = i
            break
    if start is None:
        raise SpecError(f"no section titled {SECTION_TITLE!r} in {path}")
    end = len(lines)
    for i in range(start + 1, len(lines)):
        if lines[i].startswith("# "):
            end = i
            break
    return lines[start:end]


def table_after(lines, marker_prefix, header_prefix):
    """The body rows of the first markdown table with the given header that
    follows a line starting with marker_prefix, each split into cells."""
    i = 0
    while i < len(lines) and not lines[i].startswith(marker_prefix):
        i += 1
    if i == len(lines):
        raise SpecError(f"no line starting with {marker_prefix!r}")
    while i < len(lines) and not lines[i].startswith(header_prefix):
        i += 1
    if i == len(lines):
        raise SpecError(f"no table {header_prefix!r} after {marker_prefix!r}")
    i += 2  # header and the |---| rule
    rows = []
    while i < len(lines) and lines[i].startswith("|"):
        cells = re.split(r"(?<!\\)\|", lines[i])[1:-1]
        rows.append([c.strip().replace("\\|", "|") for c in cells])
        i += 1
    return rows


def line_starting(lines, prefix):
    for line in lines:
        if line.startswith(prefix):
            return line
    raise SpecError(f"no line starting with {prefix!r}")


def parse_byte(text):
    """One byte written as a name, a hex literal or a single character."""
    if text in BYTE_NAMES:
        return BYTE_NAMES[text]
    if text.startswith("`") and text.endswith("`") and len(text) == 3:
        return ord(text[1])
    if re.fullmatch(r"0x[0-9A-Fa-f]{2}", text):
        return int(text, 16)
    if len(text) == 1:
        return ord(text)
    raise SpecError(f"cannot read a byte from {text!r}")


def parse_byte_item(text):
    """A byte or a range 'a-b' of bytes, as a set."""
    if text.startswith("`") or text in BYTE_NAMES:
        return {parse_byte(text)}
    m = re.fullmatch(r"(.+?)-(.+)", text)
    if m and len(text) > 1 and text != "-":
        lo, hi = parse_byte(m.group(1)), parse_byte(m.group(2))
        if lo > hi:
            raise SpecError(f"empty range {text!r}")
        return set(range(lo, hi + 1))
    return {parse_byte(text)}


def parse_class_bytes(text):
    """The bytes column of the class table: items separated by commas or
    spaces, with a few multi-word names. A lone character stands for itself
    (the comma and the backslash have a class each)."""
    if len(text.strip()) == 1:
        return {ord(text.strip())}
    for name in ("double quote",):
        text = text.replace(name, "\0" + name.replace(" ", "\1") + "\0")
    items = [t.replace("\1", " ").replace("\0", "")
             for t in re.split(r"[,\s]+", text) if t]
    result = set()
    for item in items:
        if item in FILLER_WORDS or item == "":
            continue
        got = parse_byte_item(item)
        if got & result:
            raise SpecError(f"byte listed twice in {text!r}")
        result |= got
    return result


def read_classes(lines):
    rows = table_after(lines, "Character classes:", "| class | bytes |")
    classes = {}  # number -> (name or None, set of bytes)
    for row in rows:
        if len(row) != 4:
            raise SpecError(f"class row with {len(row)} cells: {row}")
        for num_cell, bytes_cell in ((row[0], row[1]), (row[2], row[3])):
            m = re.fullmatch(r"(\d+)(?:\s+(.*))?", num_cell)
            if not m:
                raise SpecError(f"bad class cell {num_cell!r}")
            num = int(m.group(1))
            if num in classes:
                raise SpecError(f"class {num} listed twice")
            classes[num] = (m.group(2), parse_class_bytes(bytes_cell))
    if sorted(classes) != list(range(NUM_CLASSES)):
        raise SpecError(f"classes are not 0..{NUM_CLASSES - 1}: {sorted(classes)}")
    owner = {}
    for num, (_, bytes_) in classes.items():
        for b in bytes_:
            if b in owner:
                raise SpecError(f"byte 0x{b:02X} in classes {owner[b]} and {num}")
            owner[b] = num
    missing = [b for b in range(256) if b not in owner]
    if missing:
        raise SpecError("bytes without a class: " + " ".join(f"0x{b:02X}" for b in missing))
    return classes, owner


def read_flags(lines):
    text = line_starting(lines, "Flag bits:")
    text = text.split("(", 1)[0]  # the closing remark is not data
    subject = r"(?:`[^`]+`|NUL|lead bytes 0x[0-9A-F]{2}-0x[0-9A-F]{2})"
    pattern = re.compile(r"(" + subject + r"(?:\s+and\s+" + subject + r")*)\s+(0x[0-9A-F]{8})")
    flags = {}
    found = 0
    for m in pattern.finditer(text):
        found += 1
        mask = int(m.group(2), 16)
        for subj in re.findall(subject, m.group(1)):
            if subj.startswith("lead bytes "):
                bytes_ = parse_byte_item(subj[len("lead bytes "):])
            else:
                bytes_ = {parse_byte(subj)}
            for b in bytes_:
                flags[b] = flags.get(b, 0) | mask
    if found == 0:
        raise SpecError("no flag bits found")
    for b, mask in flags.items():
        if mask & 0xFF:
            raise SpecError(f"flag of byte 0x{b:02X} overlaps the class byte")
    return flags


def split_list(text, sep):
    """Splits on sep, never inside a backticked character."""
    parts, cur, i = [], "", 0
    while i < len(text):
        if text[i] == "`":
            j = text.index("`", i + 1)
            if j == i + 1:  # the backtick character itself: ```
                j = text.index("`", i + 2)
            cur += text[i:j + 1]
            i = j + 1
            continue
        if text.startswith(sep, i):
            parts.append(cur.strip())
            cur = ""
            i += len(sep)
            continue
        cur += text[i]
        i += 1
    if cur.strip():
        parts.append(cur.strip())
    return parts


def class_of_token(token, classes, by_name):
    """A class as the transition rows name it: a class name, or the exact
    set of bytes of one class ('1-9', 'x/X', 'a-d/f', '`;`', 'LF')."""
    if token in by_name:
        return by_name[token]
    wanted = set()
    for part in (token.split("/") if not token.startswith("`") else [token]):
        wanted |= parse_byte_item(part)
    for num, (_, bytes_) in classes.items():
        if bytes_ == wanted:
            return num
    raise SpecError(f"no class has exactly the bytes of {token!r}")


def read_transitions(lines, classes):
    by_name = {name: num for num, (name, _) in classes.items() if name}
    rows = table_after(lines, "The complete table, row by row", "| state | otherwise |")
    table = {}
    for row in rows:
        if len(row) != 3:
            raise SpecError(f"transition row with {len(row)} cells: {row}")
        state, default = int(row[0]), int(row[1])
        if state in table:
            raise SpecError(f"state {state} listed twice")
        targets = [default] * NUM_CLASSES
        seen = set()
        for group in split_list(row[2], "; "):
            m = re.fullmatch(r"(\d+):\s*(.+)", group)
            if not m:
                raise SpecError(f"state {state}: bad group {group!r}")
            target = int(m.group(1))
            for token in split_list(m.group(2), ", "):
                cls = class_of_token(token, classes, by_name)
                if cls in seen:
                    raise SpecError(f"state {state}: class {cls} ({token}) given twice")
                seen.add(cls)
                targets[cls] = target
        table[state] = targets
    if sorted(table) != list(range(NUM_STATES)):
        raise SpecError(f"states are not 0..{NUM_STATES - 1}")
    for state, targets in table.items():
        for t in targets:
            if not (0 <= t < NUM_STATES or FIRST_FINAL <= t <= LAST_FINAL):
                raise SpecError(f"state {state}: target {t} is neither a state nor a final")
    # A rule the text states for the whole table: invalid lead bytes are
    # errors wherever they appear.
    invalid_lead = by_name["invalid lead"]
    for state, targets in table.items():
        if targets[invalid_lead] != 67:
            raise SpecError(f"state {state} does not reject invalid lead bytes")
    return table


def type_constant(name):
    """`set-word!` -> TYPE_SET_WORD, `point2D!` -> TYPE_POINT2D."""
    name = name.strip("`")
    if not name.endswith("!"):
        raise SpecError(f"not a datatype name: {name!r}")
    return "TYPE_" + name[:-1].replace("-", "_").upper()


def parse_numbers(text):
    """'13, 15, 41, 47-49 and 64' -> the set of numbers."""
    out = set()
    for item in re.split(r",\s*|\s+and\s+", text.strip()):
        if not item:
            continue
        m = re.fullmatch(r"(\d+)(?:-(\d+))?", item.strip())
        if not m:
            raise SpecError(f"bad number list item {item!r}")
        lo = int(m.group(1))
        hi = int(m.group(2)) if m.group(2) else lo
        out |= set(range(lo, hi + 1))
    return out


def read_prescan(lines):
    text = line_starting(lines, "Each non-final state also has a prescan type")
    text = text.split(": ", 1)[1].rstrip(".")
    types = {}
    for group in text.split("; "):
        m = re.fullmatch(r"(.+?)\s+(`[^`]+`|none)", group.strip())
        if not m:
            raise SpecError(f"bad prescan group {group!r}")
        const = "0" if m.group(2) == "none" else type_constant(m.group(2))
        for state in parse_numbers(m.group(1)):
            if state in types:
                raise SpecError(f"state {state} has two prescan types")
            types[state] = const
    if sorted(types) != list(range(NUM_STATES)):
        missing = sorted(set(range(NUM_STATES)) - set(types))
        raise SpecError(f"states without a prescan type: {missing}")
    return types


def read_finals(lines):
    rows = table_after(lines, "Final states", "| final | token |")
    finals = {}
    for row in rows:
        if len(row) != 5:
            raise SpecError(f"final row with {len(row)} cells: {row}")
        num = int(row[0])
        const = "0" if row[2] == "-" else type_constant(row[2])
        finals[num] = (row[1], const)
    if sorted(finals) != list(range(FIRST_FINAL, LAST_FINAL + 1)):
        raise SpecError("final states are not 66..101")
    return finals


def c_string(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def render(classes, owner, flags, table, prescan, finals):
    out = []
    out.append("// Generated by tools/gen_lexer_tables.py from the lexer's reference text.")
    out.append("// Do not edit: change the generator or its source and run it again.")
    out.append("// Included by runtime/eval/lexer_tables.h inside namespace kiv::lexer.")
    out.append("")
    out.append("// Class in bits 0-7, token flag bits above (OR-ed over a token).")
    out.append("inline constexpr uint32_t kLexClassTable[256] = {")
    for base in range(0, 256, 8):
        entries = ", ".join(f"0x{(flags.get(b, 0) | owner[b]):08X}" for b in range(base, base + 8))
        out.append(f"    {entries},  // 0x{base:02X}")
    out.append("};")
    out.append("")
    names = ", ".join(f"{n}:{(classes[n][0] or '')}" for n in range(NUM_CLASSES) if classes[n][0])
    out.append(f"// Next state by [state][class]; 66 and above are final states ({names}).")
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
        out.append(f"    {c_string(finals[num][0].replace('`', ''))},  // {num}")
    out.append("};")
    out.append("")
    return "\n".join(out)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("source", help="markdown text holding the lexer section")
    here = os.path.dirname(os.path.abspath(__file__))
    ap.add_argument("-o", "--output", default=os.path.join(here, "..", "runtime", "eval", "lexer_tables.inc"))
    ap.add_argument("--check", action="store_true", help="compare with the existing file instead of writing")
    args = ap.parse_args()
    try:
        lines = section_lines(args.source)
        classes, owner = read_classes(lines)
        flags = read_flags(lines)
        table = read_transitions(lines, classes)
        prescan = read_prescan(lines)
        finals = read_finals(lines)
    except SpecError as e:
        print(f"gen_lexer_tables: {e}", file=sys.stderr)
        return 2
    text = render(classes, owner, flags, table, prescan, finals)
    if args.check:
        try:
            with open(args.output, encoding="utf-8") as f:
                current = f.read()
        except OSError:
            current = None
        if current != text:
            print(f"gen_lexer_tables: {args.output} is stale", file=sys.stderr)
            return 1
        return 0
    with open(args.output, "w", encoding="utf-8") as f:
        f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())

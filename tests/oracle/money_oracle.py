#!/usr/bin/env python3
"""Checks money! arithmetic and rounding against Python's decimal module.

Usage: money_oracle.py KIV-RUN

Amounts of every size (up to the 17 integral and 5 fraction digits money!
holds) are added, subtracted, multiplied and divided by integers and by
other amounts, taken the remainder of, and rounded with each mode to several
scales. Decimal computes the exact result; money! keeps five fraction digits
(the rest truncated toward zero) and refuses a result beyond 22 digits.
"""
import decimal
import random
import sys

from oracle_run import compare, run_script

D = decimal.Decimal
decimal.getcontext().prec = 80
UNIT = D("0.00001")
LIMIT = D("100000000000000000")


def money_text(v):
    """The mold of an amount: two fraction digits, more when significant."""
    sign = "-" if v < 0 else ""
    v = abs(v)
    whole, frac = f"{v:.5f}".split(".")
    frac = frac.rstrip("0")
    if len(frac) < 2:
        frac = frac + "0" * (2 - len(frac))
    return f"{sign}${whole}.{frac}"


def truncate(v):
    return v.quantize(UNIT, rounding=decimal.ROUND_DOWN)


def fits(v):
    return abs(v) < LIMIT


def random_amount(rng):
    digits = rng.randrange(1, 23)
    n = rng.randrange(10 ** (digits - 1), 10 ** digits)
    v = D(n) * UNIT
    return -v if rng.random() < 0.3 else v


def expect(v):
    return money_text(v) if fits(v) else "error"


def main():
    kiv_run = sys.argv[1]
    rng = random.Random(1711)
    lines = ["Kiv []", "show: func [b /local r] [r: try b print either error! = type? :r [\"error\"] [mold :r]]"]
    expected = []

    def case(code, want):
        lines.append(f"show [{code}]")
        expected.append(want)

    for _ in range(400):
        a, b = random_amount(rng), random_amount(rng)
        case(f"{money_text(a)} + {money_text(b)}", expect(a + b))
        case(f"{money_text(a)} - {money_text(b)}", expect(a - b))
        n = rng.choice([rng.randrange(-9, 10), rng.randrange(-100000, 100000), rng.randrange(-2**31, 2**31)])
        case(f"{money_text(a)} * {n}", expect(truncate(a * n)))
        if n:
            case(f"{money_text(a)} / {n}", expect(truncate(a / n)))
            r = a - n * (a / n).to_integral_value(rounding=decimal.ROUND_DOWN)
            case(f"{money_text(a)} % {n}", expect(r))
        # A product that fits is kept whatever the operands' sizes.
        small = rng.randrange(1, min(2**31, 10 ** rng.randrange(1, 11)))
        case(f"{money_text(a)} * {small}", expect(truncate(a * small)))
        if b:
            q = truncate(a / b)
            if fits(q):
                r = a - b * (a / b).to_integral_value(rounding=decimal.ROUND_DOWN)
                case(f"{money_text(a)} % {money_text(b)}", expect(r))

    modes = [
        ("", decimal.ROUND_HALF_UP),
        ("/even", decimal.ROUND_HALF_EVEN),
        ("/down", decimal.ROUND_DOWN),
        ("/half-down", decimal.ROUND_HALF_DOWN),
        ("/floor", decimal.ROUND_FLOOR),
        ("/ceiling", decimal.ROUND_CEILING),
        ("/half-ceiling", None),
    ]
    scales = [D("1"), D("0.01"), D("0.05"), D("0.25"), D("10"), D("0.00003"), D("7")]
    for _ in range(150):
        a = random_amount(rng)
        if rng.random() < 0.3:
            # Exactly half way at some scale.
            a = (D(rng.randrange(-10**6, 10**6)) + D("0.5")) * rng.choice(scales)
            a = truncate(a)
        for refinement, mode in modes:
            s = rng.choice(scales)
            q = a / s
            if mode is None:
                frac = abs(q - q.to_integral_value(rounding=decimal.ROUND_DOWN))
                m = decimal.ROUND_CEILING if frac == D("0.5") else decimal.ROUND_HALF_UP
            else:
                m = mode
            want = q.to_integral_value(rounding=m) * s
            case(f"round/to{refinement} {money_text(a)} {money_text(s)}", expect(want) if a else money_text(a))

    for _ in range(100):
        x = rng.uniform(-1e6, 1e6)
        x = round(x, rng.randrange(0, 8))
        case(f"to money! {x!r}", expect(truncate(D(repr(x)))))

    out = run_script(kiv_run, lines)
    if out is None:
        return 1
    return compare(out, expected, lambda i: f"case {i + 1}: {lines[i + 2]}")


if __name__ == "__main__":
    sys.exit(main())

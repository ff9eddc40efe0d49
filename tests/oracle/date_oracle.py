#!/usr/bin/env python3
"""Checks date! calendar arithmetic against Python's datetime.

Usage: date_oracle.py KIV-RUN

Builds one Kiv script over dates spread across the years 1 to 9999 (every
year's first and last days, leap days, the days around each year's first
week, and random days), runs it, and compares each printed field with what
datetime computes: weekday, day of the year, ISO week, Sunday-based week,
the day count from 1-Jan-0001, the text of the date some days later, Unix
time, and the UTC instant of a time written in a zone.
"""
import calendar
import datetime as dt
import random
import sys

from oracle_run import compare, run_script

MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]


def kiv_text(d):
    year = f"{d.year:04d}" if d.year < 100 else str(d.year)
    return f"{d.day}-{MONTHS[d.month - 1]}-{year}"


def time_text(seconds):
    h, rest = divmod(seconds, 3600)
    m, s = divmod(rest, 60)
    return f"{h}:{m:02d}:{s:02d}"


def sunday_week(d):
    jan1 = dt.date(d.year, 1, 1)
    # The Sunday on or before 1 January starts week 1.
    return ((d - jan1).days + jan1.isoweekday() % 7) // 7 + 1


def sample_dates(rng):
    days = set()
    for year in list(range(1, 40)) + list(range(1580, 1610)) + list(range(1890, 2110)) + \
            rng.sample(range(1, 10000), 300) + [9998, 9999]:
        for month, day in ((1, 1), (1, 4), (1, 7), (2, 28), (3, 1), (12, 28), (12, 31)):
            days.add(dt.date(year, month, day))
        if calendar.isleap(year):
            days.add(dt.date(year, 2, 29))
    for _ in range(600):
        days.add(dt.date(1, 1, 1) + dt.timedelta(days=rng.randrange(0, 3652058)))
    return sorted(days)


def main():
    kiv_run = sys.argv[1]
    rng = random.Random(20240229)
    dates = sample_dates(rng)
    base = dt.date(1, 1, 1)
    cases = []
    lines = ["Kiv []", "origin: 1-Jan-0001", "foreach [d n] ["]
    for d in dates:
        limit = (dt.date(9999, 12, 31) - d).days
        n = rng.randrange(-min(400, (d - base).days), min(400, limit) + 1)
        cases.append((d, n))
        lines.append(f"    {kiv_text(d)} {n}")
    lines.append("] [print [d/weekday d/yearday d/isoweek d/week d - origin d + n]]")

    # Unix time both ways over the 32-bit range and past it.
    unix_cases = []
    lines.append("foreach [d] [")
    for _ in range(200):
        d = dt.datetime(1902, 1, 1) + dt.timedelta(seconds=rng.randrange(0, 136 * 365 * 86400))
        unix_cases.append(d)
        lines.append(f"    {kiv_text(d)}/{time_text(d.hour * 3600 + d.minute * 60 + d.second)}")
    lines.append("] [print [to integer! d  mold to date! to integer! d]]")

    # A local time in a zone, shown at UTC.
    zone_cases = []
    lines.append("foreach [d] [")
    for _ in range(200):
        local = dt.datetime(1, 1, 2) + dt.timedelta(seconds=rng.randrange(0, 3652000 * 86400) // 60 * 60)
        quarters = rng.randrange(-63, 64)
        offset = dt.timedelta(minutes=15 * quarters)
        zone_cases.append((local, offset))
        sign = "-" if quarters < 0 else "+"
        q = abs(quarters)
        lines.append(f"    {kiv_text(local)}/{time_text(local.hour * 3600 + local.minute * 60)}"
                     f"{sign}{q // 4:02d}:{q % 4 * 15:02d}")
    lines.append("] [d/timezone: 0 print mold d]")

    out = run_script(kiv_run, lines)
    if out is None:
        return 1
    expected = []
    for d, n in cases:
        later = d + dt.timedelta(days=n)
        expected.append(" ".join(str(x) for x in (
            d.isoweekday(), d.timetuple().tm_yday, d.isocalendar()[1], sunday_week(d),
            (d - base).days, kiv_text(later))))
    for d in unix_cases:
        seconds = calendar.timegm(d.timetuple())
        expected.append(f"{seconds} {kiv_text(d)}/{time_text(d.hour * 3600 + d.minute * 60 + d.second)}")
    for local, offset in zone_cases:
        utc = local - offset
        expected.append(f"{kiv_text(utc)}/{time_text(utc.hour * 3600 + utc.minute * 60)}")
    return compare(out, expected, lambda i: f"line {i + 1}")


if __name__ == "__main__":
    sys.exit(main())

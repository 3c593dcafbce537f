#!/usr/bin/env python3
"""Checks a qelvmon --svg picture against the CSV report of the same run.

Usage: svg_check.py REPORT.csv TIMELINE.svg

The picture must be well-formed SVG, and each bus line's points must be
the busy shares the report printed (0 to 100 %, one level per interval,
held across it). Prints one line and exits 0 when they agree, 1 when not.
"""
import csv
import sys
import xml.etree.ElementTree as ET

SVG = "{http://www.w3.org/2000/svg}"
PLOT_TOP, PLOT_HEIGHT = 40.0, 300.0


def printed_shares(path):
    """{bus: {interval: permille}} from the CSV report."""
    shares = {}
    with open(path, newline="", encoding="utf-8") as f:
        for row in csv.DictReader(f):
            permille = round(float(row["busy_pct"]) * 10) if row["busy_pct"] else 0
            shares.setdefault(int(row["bus"]), {})[int(row["interval"])] = min(max(permille, 0), 1000)
    return shares


def drawn_shares(path):
    """{bus: [permille per interval]} from the picture's lines."""
    root = ET.parse(path).getroot()
    if root.tag != SVG + "svg":
        raise ValueError(f"the root element is {root.tag}, not svg")
    drawn = {}
    for line in root.iter(SVG + "polyline"):
        bus = int(line.find(SVG + "title").text.split()[1].rstrip(":"))
        ys = [float(point.split(",")[1]) for point in line.get("points").split()]
        if len(ys) % 2 or any(ys[i] != ys[i + 1] for i in range(0, len(ys), 2)):
            raise ValueError(f"bus {bus}: an interval's level is not held across it")
        drawn[bus] = [round((PLOT_TOP + PLOT_HEIGHT - y) / PLOT_HEIGHT * 1000) for y in ys[::2]]
    return drawn


def main():
    report, picture = sys.argv[1], sys.argv[2]
    try:
        printed = printed_shares(report)
        drawn = drawn_shares(picture)
    except (ET.ParseError, ValueError, KeyError, OSError) as error:
        print(f"svg_check: {error}")
        return 1
    for bus, levels in drawn.items():
        for interval, level in enumerate(levels, start=1):
            expected = printed.get(bus, {}).get(interval, 0)
            if level != expected:
                print(f"svg_check: bus {bus}, interval {interval}: drawn {level / 10:.1f} %, printed {expected / 10:.1f} %")
                return 1
    missing = set(printed) - set(drawn)
    if missing:
        print(f"svg_check: buses printed but not drawn: {sorted(missing)}")
        return 1
    print(f"svg_check: {len(drawn)} bus lines agree with the report")
    return 0


if __name__ == "__main__":
    sys.exit(main())

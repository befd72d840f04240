#!/usr/bin/env python3
"""Checks that every pin named in the tables of docs/wiring.md and the README
("U2 pin 14 (SER)") has that name in the overview's source (docs/wiring.dot),
that the port's pins and the box order agree everywhere, and that Graphviz
renders the overview. Usage: wiring_test.py [OUTPUT.png]"""
import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PIN = r"\d+|A\d"


def read(name):
    with open(os.path.join(ROOT, name), encoding="utf-8") as f:
        return f.read()


def bare(cell):
    """A table cell without its parenthesised notes: "R4, U1 pins 1→2 and 3→4"."""
    return re.sub(r"\s*\([^)]*\)", "", cell).strip()


def diagram_pins(dot):
    """{(part, pin): name} from the overview's tables: a pin cell, then its name."""
    pins = {}
    for node in re.findall(r"\w+ \[label=<(.*?)>\];", dot, re.S):
        part = re.search(r"<b>([^<]+)</b>", node).group(1)
        if not re.fullmatch(r"[JKU]\d+", part):
            continue  # a block of notes, not a part
        for row in re.findall(r"<tr>(.*?)</tr>", node, re.S)[1:]:
            cells = [re.sub(r"<[^>]+>", "", c).strip() for c in re.findall(r"<td[^>]*>(.*?)</td>", row, re.S)]
            for pin, name in zip(cells[0::2], cells[1::2]):
                if re.fullmatch(PIN, pin):
                    pins[(part, pin)] = name
    return pins


def named_pins(text):
    """[(part, pin, name, the line)] for each "U2 pin 14 (SER)" or "U2 pins 10 (/SRCLR) and 13 (/RCLR)"."""
    found = []
    for line in text.splitlines():
        for part, pins in re.findall(rf"\b([JKU]\d+) pins? ((?:(?:{PIN}) \([^)]+\)(?:,? and |, )?)+)", line):
            for pin, name in re.findall(rf"({PIN}) \(([^)]+)\)", pins):
                found.append((part, pin, name, line))
    return found


def main():
    problems = []
    pins = diagram_pins(read("docs/wiring.dot"))
    doc, readme = read("docs/wiring.md"), read("README.md")
    if len(pins) < 60:
        problems.append(f"only {len(pins)} pins found in the overview: is its table format still understood?")
    mentions = named_pins(doc)
    if len(mentions) < 60:
        problems.append(f"only {len(mentions)} named pins found in docs/wiring.md: is its table format still understood?")
    # The README's port table names the register's pins as "SER (14)".
    readme_rows = re.findall(r"^\| (TXD|DTR|RTS|GND)[^|]*\| (\d+) \| (\d+) \| ([^|]*)\| (\S+) \((\d+)\) \|", readme, re.M)
    if len(readme_rows) != 4:
        problems.append(f"the README's pin table has {len(readme_rows)} rows of 4")
    for line, de9, db25, through, name, pin in readme_rows:
        mentions.append(("U2", pin, name, f"README: {line}"))
        mentions.append(("J1", de9, line, f"README: {line}"))
        if f"| {line} | {de9} | {db25} |" not in doc:
            problems.append(f"the README gives {line} as DE-9 pin {de9}, DB-25 pin {db25}; docs/wiring.md does not")
        routes = [bare(t) for t in re.findall(rf"^\| J1 pin {de9} \({line}\) \| ([^|]*)\|", doc, re.M)]
        if bare(through) and bare(through) not in routes:
            problems.append(f"the README routes {line} through {bare(through)}; docs/wiring.md through {routes}")
    for part, pin, name, line in mentions:
        if pins.get((part, pin)) != name:
            problems.append(f"{part} pin {pin} is {name!r} in {line.strip()!r}, {pins.get((part, pin))!r} in the overview")
    # Box k is output k, QA to QH in order, in the README as on this page.
    in_order = [f"Q{letter}" for letter in "ABCDEFGH"]
    boxes = re.search(r"^\| 74HC594 output \|(.*)\|$", readme, re.M)
    if not boxes or [c.strip() for c in boxes.group(1).split("|")] != in_order:
        problems.append("the README's box table does not give QA to QH for boxes 1 to 8")
    outputs = dict(re.findall(r"^\| U2 pin \d+ \((Q[A-H])\) \|.*\| output (\d) \|", doc, re.M))
    if outputs != {q: str(k) for k, q in enumerate(in_order, 1)}:
        problems.append(f"docs/wiring.md gives the outputs {outputs}")
    output = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "wiring.png")
    os.makedirs(os.path.dirname(output), exist_ok=True)
    rendered = subprocess.run(["dot", "-Tpng", os.path.join(ROOT, "docs", "wiring.dot"), "-o", output],
                              capture_output=True, text=True)
    if rendered.returncode != 0:
        problems.append(f"Graphviz could not render the overview: {rendered.stderr.strip()}")
    for problem in problems:
        print(f"wiring: {problem}")
    print(f"wiring: {1 if not problems else 0} passed, {1 if problems else 0} failed")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Checks that the wiring diagram's source (docs/wiring.dot) and the pin
tables of docs/wiring.md agree, pin for pin, and that the README's pin and
box tables agree with them too; then renders the diagram, which must succeed.
Usage: wiring_test.py [OUTPUT.png]"""
import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LINES = ("TXD", "DTR", "RTS", "GND")


def read(name):
    with open(os.path.join(ROOT, name), encoding="utf-8") as f:
        return f.read()


def diagram_pins(dot):
    """{(part, pin): name} and {line: (DE-9 pin, DB-25 pin)} from the diagram's tables."""
    chips, port = {}, {}
    for node in re.findall(r"\w+ \[label=<(.*?)>\];", dot, re.S):
        part = re.search(r"<b>([^<]+)</b>", node).group(1)
        rows = re.findall(r"<tr>(.*?)</tr>", node, re.S)
        for row in rows:
            cells = [re.sub(r"<[^>]+>", "", c).strip() for c in re.findall(r"<td[^>]*>(.*?)</td>", row, re.S)]
            if part == "PC serial port" and cells[0] in LINES:
                port[cells[0]] = (cells[1], cells[2])
            elif len(cells) == 2 and cells[0].isdigit():
                chips[(part, cells[0])] = cells[1].split()[0]
    return chips, port


def document_pins(text):
    """The same from the tables of docs/wiring.md, each under its heading."""
    chips, port = {}, {}
    part = None
    for line in text.splitlines():
        if "74HC595 in its DIP-16" in line:
            part = "74HC595"
        elif "ULN2803 (DIP-18)" in line:
            part = "ULN2803"
        cells = [c.strip() for c in line.strip().strip("|").split("|")] if line.startswith("|") else []
        if len(cells) == 5 and cells[0] in LINES:
            port[cells[0]] = (cells[1], cells[2])
            chips[("74HC595", cells[4])] = cells[3].split()[0]
        elif len(cells) == 3 and cells[0].isdigit() and part:
            chips[(part, cells[0])] = cells[1]
    return chips, port


def main():
    problems = []
    chips, port = diagram_pins(read("docs/wiring.dot"))
    table_chips, table_port = document_pins(read("docs/wiring.md"))
    if port != table_port or len(port) != 4:
        problems.append(f"port pins: diagram {port}, table {table_port}")
    for key in sorted(set(chips) | set(table_chips)):
        if chips.get(key) != table_chips.get(key):
            problems.append(f"{key[0]} pin {key[1]}: diagram {chips.get(key)!r}, table {table_chips.get(key)!r}")
    if len(chips) < 20:
        problems.append(f"only {len(chips)} chip pins found in the diagram: is its table format still understood?")
    # The README's short table of the same pins.
    for line, de9, db25, name, pin in re.findall(
            r"^\| (TXD|DTR|RTS|GND)[^|]*\| (\d+) \| (\d+) \| (\S+) \((\d+)\) \|", read("README.md"), re.M):
        if (de9, db25) != port.get(line) or chips.get(("74HC595", pin)) != name:
            problems.append(f"the README's {line} row: {de9}, {db25}, {name} ({pin})")
    if len(re.findall(r"^\| (TXD|DTR|RTS|GND)[^|]*\| \d+ \| \d+ \|", read("README.md"), re.M)) != 4:
        problems.append("the README's pin table lost a row")
    # Box k is QA to QH in order, in the README as on this page.
    in_order = [f"Q{letter}" for letter in "ABCDEFGH"]
    readme = re.search(r"^\| 74HC595 output \|(.*)\|$", read("README.md"), re.M)
    if not readme or [c.strip() for c in readme.group(1).split("|")] != in_order:
        problems.append("the README's box table does not give QA to QH for boxes 1 to 8")
    boxes = dict(re.findall(r"^\| \d+ \| (Q[A-H]) \| box (\d)", read("docs/wiring.md"), re.M))
    if boxes != {q: str(k) for k, q in enumerate(in_order, 1)}:
        problems.append(f"docs/wiring.md gives the boxes {boxes}")
    output = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "wiring.png")
    os.makedirs(os.path.dirname(output), exist_ok=True)
    rendered = subprocess.run(["dot", "-Tpng", os.path.join(ROOT, "docs", "wiring.dot"), "-o", output],
                              capture_output=True, text=True)
    if rendered.returncode != 0:
        problems.append(f"Graphviz could not render the diagram: {rendered.stderr.strip()}")
    for problem in problems:
        print(f"wiring: {problem}")
    print(f"wiring: {1 if not problems else 0} passed, {1 if problems else 0} failed")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

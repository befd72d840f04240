#!/usr/bin/env python3
"""Checks the schematic (docs/schematic/board.sch) against the wiring tables of
docs/wiring.md and the README. Each row must be a path in the netlist that
Lepton EDA exports: from its first pin, through the parts it names in order,
to its last; together the rows must make up exactly the schematic's nets, so
a moved, missing or extra wire shows. A pin a row names, as in "U2 pin 14
(SER)", must carry that name in its symbol. The schematic must render with
every symbol found. Usage: wiring_test.py [OUTPUT.png]"""
import os
import re
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SCHEMATIC = os.path.join(ROOT, "docs", "schematic")
RAILS = {"GND": "GND", "0 V": "0V", "+5 V": "+5V", "+12 V": "+12V"}  # as the tables and the netlist write them
POLARISED = {"DIODE", "POLARIZED_CAPACITOR"}  # listed from pin 1 (anode, +) to pin 2
PIN = r"(?:\d+|A\d)"
TOKEN = re.compile(rf"\b([A-Z]+\d+) pins? ({PIN}(?:→{PIN})?(?:(?:,? and |, ){PIN}(?:→{PIN})?)*)"
                   r"|(\+5 V|\+12 V|\bGND\b|(?<![\d.])0 V\b)|\b([RCD]\d+|JP\d+)\b")


def read(name):
    with open(os.path.join(ROOT, name), encoding="utf-8") as f:
        return f.read()


def lepton(*command):
    """Runs a Lepton tool in the schematic's folder, whose gafrc names the symbols;
    returns what went wrong, if anything."""
    # Without auto-compilation a fresh account starts in a second, not half a minute.
    env = dict(os.environ, GUILE_AUTO_COMPILE="0")
    run = subprocess.run(command, cwd=SCHEMATIC, env=env, capture_output=True, text=True)
    missing = re.findall(r"Component \[(.*?)\] was not found", run.stderr)
    if run.returncode or missing:
        return f"{command[0]} failed: " + (f"no symbol {', '.join(missing)}" if missing else run.stderr.strip())
    return None


def netlist(problems):
    """({pin or rail: net}, {part: device}) from lepton-netlist's geda format;
    pins left open are left out."""
    with tempfile.TemporaryDirectory() as work:
        path = os.path.join(work, "board.net")
        failure = lepton("lepton-netlist", "-g", "geda", "-o", path, "board.sch")
        if failure:
            problems.append(failure)
            return {}, {}
        with open(path, encoding="utf-8") as f:
            text = f.read()
    section = lambda name: text.split(f"START {name}")[1].split(f"END {name}")[0]
    devices = dict(re.findall(r"^(\S+) device=(.*)$", section("components"), re.M))
    net_of = {}
    for name, members in re.findall(r"^(\S+) : (.*)$", section("nets"), re.M):
        nodes = [tuple(m.split()) for m in members.split(", ")]
        if name in RAILS.values():
            nodes.append(("rail", name))
        if len(nodes) > 1:
            net_of.update((node, name) for node in nodes)
    return net_of, devices


def symbols():
    """{device: {pin: name}} and {device: {(input, output)}} from the symbol
    files; a slotted gate's pins get their data-sheet names, 1A and 1Y for slot 1."""
    names, gates = {}, {}
    folder = os.path.join(SCHEMATIC, "sym")
    for file in os.listdir(folder):
        with open(os.path.join(folder, file), encoding="utf-8") as f:
            text = f.read()
        device = re.search(r"^device=(.*)$", text, re.M)
        if not device:
            continue  # a supply symbol: GND, +5 V, +12 V
        device, pins = device.group(1), {}
        for block in re.findall(r"^P [^\n]*\n\{\n(.*?)^\}", text, re.M | re.S):
            attributes = dict(re.findall(r"^(\w+)=(.*)$", block, re.M))
            pins[attributes["pinnumber"]] = attributes["pinlabel"].replace("\\_", "")
        for slot, a, y in re.findall(r"^slotdef=(\d+):(\w+),(\w+)$", text, re.M):
            pins.update({a: f"{slot}A", y: f"{slot}Y"})
            gates.setdefault(device, set()).add((a, y))
        names.setdefault(device, {}).update(pins)
    return names, gates


def bare(cell):
    """A table cell without its notes in parentheses."""
    return re.sub(r"\s*\([^)]*\)", "", cell)


def endpoints(cell):
    """The pins and rails a From or To cell names."""
    found = []
    for m in TOKEN.finditer(bare(cell)):
        if m.group(3):
            found.append(("rail", RAILS[m.group(3)]))
        elif m.group(1):
            found += [(m.group(1), pin) for pin in re.findall(PIN, m.group(2))]
    return found


def crossings(cell):
    """The parts a Through cell names, in order: ("R4",) or ("U1", "1", "2")."""
    found = []
    for m in TOKEN.finditer(bare(cell)):
        if m.group(4):
            found.append((m.group(4),))
        elif m.group(1):
            found += [(m.group(1),) + tuple(s.split("→")) for s in re.findall(rf"{PIN}→{PIN}", m.group(2))]
    return found


def rows():
    """(From, Through, To, where) for each row of docs/wiring.md's
    "| From | Through | To |" tables and of the README's pin table."""
    found, in_table = [], False
    for line in read("docs/wiring.md").splitlines():
        if line.startswith("| From | Through | To |"):
            in_table = True
        elif not line.startswith("|"):
            in_table = False
        elif in_table and not line.startswith("|---"):
            cells = [c.strip() for c in line.strip("|").split("|")]
            found.append((cells[0], cells[1], cells[2], line))
    for line, de9, through, name, pin in re.findall(
            r"^\| (TXD|DTR|RTS|GND)[^|]*\| (\d+) \| \d+ \| ([^|]*)\| (\S+) \((\d+)\) \|", read("README.md"), re.M):
        found.append((f"J1 pin {de9} ({line})", through, f"U2 pin {pin} ({name})", f"the README's {line} row"))
    return found


def show(node):
    return node[1] if node[0] == "rail" else f"{node[0]} pin {node[1]}"


def walk(row, net_of, devices, names, gates):
    """The pairs of nodes a row says are wired together, and what it gets wrong
    beyond that: From to the first part, each part to the next, the last to To."""
    origin, through, to, where = row
    start, ends = endpoints(origin), endpoints(to)
    if len(start) != 1 or not ends:
        return [], [f"{where}: no From or no To"]
    pairs, problems, here = [], [], start[0]
    for step in crossings(through):
        part = step[0]
        if len(step) == 3:
            if (step[1], step[2]) not in gates.get(devices.get(part), ()):
                problems.append(f"{where}: {part} pins {step[1]}→{step[2]} is no gate of {devices.get(part)}")
            entry, out = (part, step[1]), (part, step[2])
        elif devices.get(part) in POLARISED:
            entry, out = (part, "1"), (part, "2")
        else:  # either way round
            entry = (part, "2") if net_of.get((part, "2"), 0) == net_of.get(here) else (part, "1")
            out = (part, "1" if entry[1] == "2" else "2")
        pairs.append((here, entry))
        here = out
    pairs += [(here, end) for end in ends]
    for part, pins in re.findall(rf"\b([A-Z]+\d+) pins? ((?:{PIN} \([^)]+\)(?:,? and |, )?)+)", f"{origin} {to}"):
        for pin, name in re.findall(rf"({PIN}) \(([^)]+)\)", pins):
            label = names.get(devices.get(part), {}).get(pin)
            if label != name.lstrip("/"):
                problems.append(f"{where}: {part} pin {pin} is {label!r} in its symbol, not {name!r}")
    return pairs, problems


def main():
    problems = []
    net_of, devices = netlist(problems)
    names, gates = symbols()
    table = rows()
    if len(table) < 50 or len(set(net_of.values())) < 20:
        problems.append(f"{len(table)} rows and {len(set(net_of.values()))} nets found: is their format still understood?")
    group = {}

    def root(node):
        group.setdefault(node, node)
        while group[node] != node:
            node = group[node]
        return node

    for row in table:
        pairs, wrong = walk(row, net_of, devices, names, gates)
        problems += wrong
        for a, b in pairs:
            if a not in net_of or net_of.get(a) != net_of.get(b):
                problems.append(f"{row[3]}: {show(a)} and {show(b)} are not wired together in the schematic")
            group[root(a)] = root(b)
    # Together the rows must be the netlist: each wired pin in some row, each net one group.
    nets = {}
    for node, name in net_of.items():
        nets.setdefault(name, []).append(node)
    for name, nodes in sorted(nets.items()):
        for node in sorted(n for n in nodes if n not in group):
            wired_to = name if name in RAILS.values() else ", ".join(sorted(show(n) for n in nodes if n != node))
            problems.append(f"{show(node)} (wired to {wired_to}) is in no table")
        if len({root(n) for n in nodes if n in group}) > 1:
            problems.append(f"the schematic wires {', '.join(sorted(show(n) for n in nodes))} together; no table does")
    # The README and docs/wiring.md agree on the DB-25 pins and on which box is which output.
    doc, readme = read("docs/wiring.md"), read("README.md")
    for line, de9, db25 in re.findall(r"^\| (TXD|DTR|RTS|GND)[^|]*\| (\d+) \| (\d+) \|", readme, re.M):
        if f"| {line} | {de9} | {db25} |" not in doc:
            problems.append(f"the README's {line} row: DE-9 pin {de9}, DB-25 pin {db25}; docs/wiring.md differs")
    in_order = [f"Q{letter}" for letter in "ABCDEFGH"]
    boxes = re.search(r"^\| 74HC594 output \|(.*)\|$", readme, re.M)
    if not boxes or [c.strip() for c in boxes.group(1).split("|")] != in_order:
        problems.append("the README's box table does not give QA to QH for boxes 1 to 8")
    outputs = dict(re.findall(r"^\| U2 pin \d+ \((Q[A-H])\) \|.*\| output (\d) \|", doc, re.M))
    if outputs != {q: str(k) for k, q in enumerate(in_order, 1)}:
        problems.append(f"docs/wiring.md gives the outputs {outputs}")
    output = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "wiring", "board.png"))
    os.makedirs(os.path.dirname(output), exist_ok=True)
    failure = lepton("lepton-cli", "export", "--no-color", "-d", "100", "-o", output, "board.sch")
    if failure:
        problems.append(failure)
    for problem in problems:
        print(f"wiring: {problem}")
    print(f"wiring: {1 if not problems else 0} passed, {1 if problems else 0} failed")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Measures octolatch.exe under Wine against a virtual register: transmission
time over a few hundred clicks, start-up time to the window being shown, the
.exe size and the program's peak memory. Then sends as many bytes, on the
same kind of virtual register, with the native octolatch-send and with a
pyserial script, and prints the three side by side.
Run by scripts/benchmark."""
import os
import resource
import runpy
import shutil
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "virtual"))

from virtual_ports import Port, declare_ports, transmissions, wait_until  # noqa: E402
from wine_session import Session, configure, make_prefix  # noqa: E402

CLICKS = 300
STARTS = 6
FLOOR_MS = 17.0  # 17 pauses of 1 ms


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def program_pid():
    for pid in os.listdir("/proc"):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as cmdline:
                if cmdline.read().split(b"\0")[0].endswith(b"octolatch.exe"):
                    return int(pid)
        except (OSError, ValueError):
            pass
    return None


def cpu_seconds(pid):
    """User and system time the process has used so far."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def children_cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def native_run(name, command, values):
    """Runs command PTY VALUE... with the virtual register preloaded; returns
    each transmission's duration in ms and the CPU time per transmission."""
    directory = os.path.join(ROOT, "build", "benchmark", name)
    shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(directory)
    port = Port(directory, "P1")
    declare_ports(directory, [port])
    env = dict(os.environ, VREG_DIR=directory,
               LD_PRELOAD=os.path.join(ROOT, "build", "linux", "libvirtual_register.so"))
    before = children_cpu_seconds()
    subprocess.run(command + [port.tty] + [str(v) for v in values], env=env, check=True)
    cpu = (children_cpu_seconds() - before) / len(values)
    spans = []
    if transmissions(port.events(), spans) != values:
        raise SystemExit(f"{name}: the latched bytes differ from the bytes sent")
    os.close(port.master)
    return [(last - first) / 1e6 for first, last in spans], cpu


def start_to_latch(name, items, outputs, runs=50):
    """Starts the sender `runs` times with items on a virtual chain of
    `outputs` outputs; returns the milliseconds from each start to its latch,
    checking that each run latched exactly once."""
    directory = os.path.join(ROOT, "build", "benchmark", name)
    shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(directory)
    port = Port(directory, "P1", outputs)
    declare_ports(directory, [port])
    env = dict(os.environ, VREG_DIR=directory, XDG_STATE_HOME=os.path.join(directory, "state"),
               LD_PRELOAD=os.path.join(ROOT, "build", "linux", "libvirtual_register.so"))
    sender = os.path.join(ROOT, "build", "linux-release", "octolatch-send")
    subprocess.run([sender, "--outputs", str(outputs), port.tty, "0"], env=env, check=True)
    latencies = []
    for _ in range(runs):
        before = len(port.latches())
        started = time.monotonic_ns()  # the register logs CLOCK_MONOTONIC too
        subprocess.run([sender, port.tty] + items, env=env, check=True)
        latches = [t for t, what, _ in port.events() if what == "LATCH"][before:]
        if len(latches) != 1:
            raise SystemExit(f"{name}: {len(latches)} latches for one run of {items}")
        latencies.append((latches[0] - started) / 1e6)
    os.close(port.master)
    port.transmissions()  # every latch a whole transmission
    return latencies


def summary(durations, cpu):
    median, p99 = statistics.median(durations), percentile(durations, 0.99)
    return (f"{median:.2f} ms ({median / FLOOR_MS:.2f} x)", f"{p99:.2f} ms ({p99 / FLOOR_MS:.2f} x)",
            f"{cpu * 1000:.1f} ms")


def peak_memory_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def window_shown():
    """The program's top-level X window once it is mapped (no virtual desktop here)."""
    found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^Octolatch$"],
                           capture_output=True, text=True).stdout.split()
    return found[0] if found else None


def close(session, window):
    subprocess.run(["xdotool", "windowfocus", "--sync", window, "key", "alt+F4"], check=True)
    session.exit_code()


def main():
    exe = os.path.join(ROOT, "build", "windows", "octolatch.exe")
    configure(exe, os.path.join(ROOT, "build", "windows", "probe.exe"),
              os.path.join(ROOT, "build", "linux", "libvirtual_register.so"),
              os.path.join(ROOT, "build", "benchmark"), desktop=False)
    make_prefix()
    with Session("benchmark", ["COM3"]) as session:
        port = session.ports["COM3"]
        startups = []
        for run in range(STARTS):
            started = time.monotonic()
            session.start()
            window = wait_until("the window", window_shown, timeout=60, interval=0.005)
            startups.append(time.monotonic() - started)
            if run < STARTS - 1:
                close(session, window)

        view = session.wait_for_window()
        before = len(port.latches())
        cpu_before = cpu_seconds(program_pid())
        expected = session.click_burst(view, [[3, 8, 1, 5, 3, 2, 8, 7][i % 8] for i in range(CLICKS)])
        wait_until(f"{CLICKS} latches", lambda: len(port.latches()) >= before + CLICKS, timeout=120)
        window_cpu = (cpu_seconds(program_pid()) - cpu_before) / CLICKS
        peak = peak_memory_kib(program_pid())
        close(session, window)

    spans = []
    sent = transmissions(port.events(), spans)
    if sent[-CLICKS:] != expected:
        print("the latched bytes differ from the clicks' bytes", file=sys.stderr)
        return 1
    durations = [(last - first) / 1e6 for first, last in spans[-CLICKS:]]
    events = port.events()
    clock_high = [(t2 - t1) / 1e6 for (t1, w1, a1), (t2, w2, a2) in zip(events, events[1:])
                  if (w1, a1, w2, a2) == ("DTR", "1", "DTR", "0")]
    line_change = [(t2 - t1) / 1e6 for (t1, w1, _), (t2, w2, a2) in zip(events, events[1:])
                   if (w1, w2, a2) == ("BREAK", "DTR", "1")]
    median, p99 = statistics.median(durations), percentile(durations, 0.99)
    rows = [
        (f"transmission, first to last line change, median of {CLICKS}",
         f"{median:.2f} ms ({median / FLOOR_MS:.2f} x the 17-ms floor)"),
        ("transmission, 99th percentile", f"{p99:.2f} ms ({p99 / FLOOR_MS:.2f} x the 17-ms floor)"),
        ("one pause (clock high: the pause and one line change), median",
         f"{statistics.median(clock_high):.3f} ms"),
        ("one line change (data set to clock raised, no pause between), median",
         f"{statistics.median(line_change) * 1000:.0f} us"),
        ("start to window shown, first start (Wine's services starting too)",
         f"{startups[0] * 1000:.0f} ms"),
        (f"start to window shown, median of the next {STARTS - 1}",
         f"{statistics.median(startups[1:]) * 1000:.0f} ms"),
        ("octolatch.exe size", f"{os.path.getsize(exe) / 1024:.0f} KiB ({os.path.getsize(exe)} bytes)"),
        ("peak memory of the program's process (VmHWM, Wine's own DLLs included)",
         f"{peak / 1024:.1f} MiB"),
    ]
    width = max(len(name) for name, _ in rows)
    table = [f"| {'measure'.ljust(width)} | value |", f"|{'-' * (width + 2)}|-------|"]
    table += [f"| {name.ljust(width)} | {value} |" for name, value in rows]

    # The same bytes from the native sender and from a pyserial script.
    values = expected[-CLICKS:]
    sender, sender_cpu = native_run("sender", [os.path.join(ROOT, "build", "linux-release", "octolatch-send")], values)
    pyserial, pyserial_cpu = native_run("pyserial", ["/usr/bin/python3", os.path.join(ROOT, "scripts", "pyserial-baseline.py")], values)
    columns = [("octolatch.exe under Wine", summary(durations, window_cpu)),
               ("octolatch-send, Linux", summary(sender, sender_cpu)),
               ("pyserial script, Linux", summary(pyserial, pyserial_cpu))]
    table += ["", f"| {CLICKS} transmissions, 17-ms floor | " + " | ".join(name for name, _ in columns) + " |",
              "|---|" + "---|" * len(columns)]
    for i, measure in enumerate(["median", "99th percentile", "processor time per transmission"]):
        table.append(f"| {measure} | " + " | ".join(values[i] for _, values in columns) + " |")
    # From start to latch: one output of eight, and a whole chain of 64.
    table += ["", "| start of octolatch-send to the latch, 50 runs | median | 99th percentile | floor |",
              "|---|---|---|---|"]
    for name, items, outputs, floor in (("one output", ["3=on"], 8, FLOOR_MS),
                                        ("64 outputs", ["0x8000000000000001"], 64, 129.0)):
        latencies = start_to_latch(name.replace(" ", "-"), items, outputs)
        median, p99 = statistics.median(latencies), percentile(latencies, 0.99)
        table.append(f"| `PORT {items[0]}`, {outputs} outputs (one transmission) | {median:.2f} ms "
                     f"({median / floor:.2f} x) | {p99:.2f} ms ({p99 / floor:.2f} x) | {floor:.0f} ms |")
    # The service over HTTP beside a service a user would write, and on MQTT.
    for name in ("benchmark-service.py", "benchmark-mqtt.py"):
        table += [""] + runpy.run_path(os.path.join(ROOT, "scripts", name))["measure"]()
    print("\n".join(table))
    with open(os.path.join(ROOT, "build", "benchmark", "results.md"), "w") as out:
        out.write("\n".join(table) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())

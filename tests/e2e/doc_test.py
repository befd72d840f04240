#!/usr/bin/env python3
"""Runs every shell example of the README and of docs/ as written, on virtual
ports in the try-outs of scripts/run, and compares what it prints with what
the page shows.

Each fenced block marked ```sh carries how it runs after the language:

  doc-test                   from the repository's top, as a shell script
  doc-test sender [--outputs N]
                             in scripts/run --sender's shell ($OCTOLATCH_PORT)
  doc-test service           in scripts/run --service's ($OCTOLATCH_URL,
                             $OCTOLATCH_TOKEN)
  doc-test until-ctrl-c      a program that runs until Ctrl+C: the curl line
                             it prints is run, then Ctrl+C ends it
  doc-test endless           a loop, ended by Ctrl+C after 3 seconds
  doc-test skip: REASON      not run; the reason is printed

In a block with "$ " lines those are the commands and the other lines what
they print: each must come, in order, among the lines printed ("..." in a
line stands for any text; "..." alone for any lines). A block that is not
marked fails the test, so that no new example escapes it.
"""
import argparse
import glob
import os
import re
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BLOCK = re.compile(r"^```(\w*)([^\n]*)\n(.*?)^```$", re.M | re.S)
RUN = os.path.join(ROOT, "scripts", "run")


def examples(paths):
    """(where, mode, text) of each shell block; a block not marked is a failure."""
    found, unmarked = [], []
    for path in paths:
        with open(path) as f:
            text = f.read()
        for match in BLOCK.finditer(text):
            language, mark, body = match.group(1), match.group(2).strip(), match.group(3)
            where = f"{os.path.relpath(path, ROOT)}:{text.count(chr(10), 0, match.start()) + 1}"
            if language != "sh":
                continue
            if not mark.startswith("doc-test"):
                unmarked.append(where)
            else:
                found.append((where, mark[len("doc-test"):].strip(), body))
    return found, unmarked


def commands_and_output(body):
    lines = body.splitlines()
    if not any(line.startswith("$ ") for line in lines):
        return body, []
    commands = "\n".join(line[2:] for line in lines if line.startswith("$ "))
    return commands, [line for line in lines if not line.startswith("$ ")]


def matches(pattern, line):
    parts = [re.escape(part) for part in pattern.rstrip().split("...")]
    return re.fullmatch(".*".join(parts), line.rstrip()) is not None


def missing_output(expected, printed):
    """The first expected line not found, in order, among the printed ones."""
    # The try-out takes another address where 8080 is taken; the page shows the default.
    printed = [re.sub(r"127\.0\.0\.1:\d+", "127.0.0.1:8080", line) for line in printed]
    at = 0
    for line in expected:
        if line.strip() == "...":
            continue
        while at < len(printed) and not matches(line, printed[at]):
            at += 1
        if at == len(printed):
            return line
        at += 1
    return None


def run(mode, commands, env):
    if mode.startswith("sender"):
        argv = [RUN, "--sender", *mode.split()[1:], commands]
    elif mode == "service":
        argv = [RUN, "--service", commands]
    elif mode == "endless":
        argv = ["timeout", "-s", "INT", "3", RUN, "--sender", commands]
    else:
        argv = ["bash", "-c", commands]
    result = subprocess.run(argv, cwd=ROOT, env=env, capture_output=True, text=True, timeout=600)
    ok = result.returncode == (124 if mode == "endless" else 0)
    return ok, result.stdout + result.stderr, result.returncode


def run_until_ctrl_c(commands, env, expected):
    """Starts the program, waits for the lines the page shows, runs the curl
    line it printed, sees the latch, and ends it with Ctrl+C."""
    process = subprocess.Popen(["bash", "-c", commands], cwd=ROOT, env=env, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, text=True, start_new_session=True)
    printed, problem = [], None
    try:
        deadline = time.monotonic() + 300
        while missing_output(expected, printed) and time.monotonic() < deadline and process.poll() is None:
            printed.append(process.stdout.readline().rstrip("\n"))
        problem = missing_output(expected, printed)
        curl = next((line.strip() for line in printed if line.strip().startswith("curl ")), None)
        if not problem and not curl:
            problem = "no curl line printed"
        if not problem:
            answer = subprocess.run(["bash", "-c", curl + " -sS"], capture_output=True, text=True, timeout=30)
            for _ in range(5):  # the latch, after the rows the start printed
                printed.append(process.stdout.readline().rstrip("\n"))
                if re.match(r"\w+ +0x2", printed[-1]):
                    break
            if answer.stdout.strip() != "ON" or not re.match(r"\w+ +0x2", printed[-1]):
                problem = f"{curl} answered {answer.stdout!r}{answer.stderr!r}, then printed {printed[-1]!r}"
    finally:
        os.killpg(process.pid, signal.SIGINT)
        try:
            process.wait(20)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            problem = problem or "still running 20 s after Ctrl+C"
    return problem, printed


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("-k", dest="only", default="", help="run the blocks whose place has this")
    arguments = parser.parse_args()
    paths = [os.path.join(ROOT, "README.md")] + sorted(glob.glob(os.path.join(ROOT, "docs", "*.md")))
    found, unmarked = examples(paths)
    failures = [f"{where}: a shell block not marked doc-test" for where in unmarked]
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    ran = 0
    for where, mode, body in found:
        if arguments.only not in where:
            continue
        if mode.startswith("skip"):
            print(f"skip {where}: {mode.partition(':')[2].strip()}", flush=True)
            continue
        commands, expected = commands_and_output(body)
        started = time.monotonic()
        if mode == "until-ctrl-c":
            problem, printed = run_until_ctrl_c(commands, env, expected)
            output = "\n".join(printed)
        else:
            ok, output, code = run(mode, commands, env)
            problem = None if ok else f"exit {code}"
            problem = problem or (missing_output(expected, output.splitlines()) and
                                  f"did not print {missing_output(expected, output.splitlines())!r}")
        ran += 1
        print(f"{'FAIL' if problem else 'ok  '} {where} ({mode or 'shell'}, {time.monotonic() - started:.1f} s)",
              flush=True)
        if problem:
            failures.append(f"{where}: {problem}\n    {output[-600:]}")
    print(f"{ran} examples run, {len(failures)} failures")
    for failure in failures:
        print("FAILED " + failure)
    return 1 if failures or not ran else 0


if __name__ == "__main__":
    sys.exit(main())

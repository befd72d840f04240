"""Runs end-to-end tests as a table: each by name, going on after a failure."""
import os
import sys
import time
import traceback

# The virtual register's Python side lives with the programs that use it.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "virtual"))

from virtual_ports import Failure  # noqa: E402


def run_tests(functions, only, title, skip=None):
    """Runs each test whose name has `only` in it (and not `skip`), reporting
    as it goes and going on after a failure; returns the exit code for the
    whole run."""
    passed, failed = 0, []
    for function in functions:
        if only not in function.__name__ or (skip and skip in function.__name__):
            continue
        started = time.monotonic()
        try:
            function()
            passed += 1
            print(f"PASS {function.__name__} ({time.monotonic() - started:.1f} s)", flush=True)
        except Exception as error:  # a failure or a broken harness: report, go on
            failed.append(function.__name__)
            print(f"FAIL {function.__name__}: {error}", flush=True)
            if not isinstance(error, Failure):
                traceback.print_exc()
    print(f"{title}: {passed} passed, {len(failed)} failed")
    return 1 if failed else 0

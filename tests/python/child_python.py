"""Runs Python code in a child interpreter that imports the same _quorl as the tests."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import textwrap
import time

import _quorl


def child_environment() -> dict[str, str]:
    env = dict(os.environ)
    module_dir = os.path.dirname(os.path.abspath(_quorl.__file__))
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [module_dir, env.get("PYTHONPATH")]))
    return env


def child_command(code: str) -> list[str]:
    return [sys.executable, "-c", textwrap.dedent(code)]


def run_child(code: str, timeout: float) -> subprocess.CompletedProcess[str]:
    """Runs the code to its end; the result carries the exit code and both outputs."""
    return subprocess.run(
        child_command(code), env=child_environment(), capture_output=True, text=True, timeout=timeout
    )


# A process started as a shell's background job inherits SIGINT ignored, and Python then
# installs no handler for it: a child that is to be interrupted asks for the usual one.
INTERRUPTIBLE = "import signal\nsignal.signal(signal.SIGINT, signal.default_int_handler)\n"


def start_child(code: str) -> subprocess.Popen[str]:
    """Starts the code, Ctrl-C raising KeyboardInterrupt in it, with its standard output
    readable line by line."""
    return subprocess.Popen(
        child_command(INTERRUPTIBLE + textwrap.dedent(code)),
        env=child_environment(),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        bufsize=1,
    )


def interrupted_child(code: str, running_before_signal: float) -> tuple[float, list[str]]:
    """Starts the code, waits for its "ready" line and `running_before_signal` seconds more,
    sends SIGINT and waits for the child to end, which it must do cleanly. Returns the
    time.monotonic() at which the signal was sent (one clock for all processes) and the
    lines the child printed after "ready"."""
    child = start_child(code)
    try:
        assert child.stdout is not None and child.stderr is not None
        assert child.stdout.readline().strip() == "ready", child.stderr.read()
        time.sleep(running_before_signal)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
        child.wait()
    assert child.returncode == 0, err
    return sent, out.split("\n")

"""Runs Python code in a child interpreter that imports the same _quorl as the tests."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap

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


def start_child(code: str) -> subprocess.Popen[str]:
    """Starts the code with its standard output readable line by line."""
    return subprocess.Popen(
        child_command(code),
        env=child_environment(),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        bufsize=1,
    )

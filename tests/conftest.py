"""Shared fixtures and helpers of the test suite."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

TWO_PI = 6.283185307179586


def run_python(code: str, *, env: dict[str, str] | None = None, timeout: float = 120.0) -> str:
    """Runs `code` in a fresh interpreter and returns its standard output.

    Used where a test needs its own process: thread counts set through
    OMP_NUM_THREADS (read once, when the pool starts), or fork behaviour.
    """
    full_env = dict(os.environ)
    if env:
        full_env.update(env)
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=full_env,
        timeout=timeout,
    )
    if proc.returncode != 0:
        raise AssertionError(f"subprocess failed ({proc.returncode}):\n{proc.stdout}\n{proc.stderr}")
    return proc.stdout


@pytest.fixture
def rng() -> np.random.Generator:
    return np.random.default_rng(20261211)

"""Engine-level checks of the UPDE operations the module does not expose
directly (the CSR plasticity update, the direct right-hand side, the Doppler
term), in a small C++ program built against the core library of the build
tree that provides the imported module. Skipped when that library or a C++
compiler is not at hand (for example with an installed wheel)."""

from __future__ import annotations

import pathlib
import re
import shutil
import subprocess

import pytest

import qor_kernel as qk

ROOT = pathlib.Path(__file__).resolve().parent.parent
SOURCE = ROOT / "tests" / "cpp" / "upde_engine_checks.cpp"


def _compiler(build_dir: pathlib.Path) -> str | None:
    cache = build_dir / "CMakeCache.txt"
    if cache.exists():
        m = re.search(r"^CMAKE_CXX_COMPILER:\w+=(.+)$", cache.read_text(), re.MULTILINE)
        if m and pathlib.Path(m.group(1)).exists():
            return m.group(1)
    return shutil.which("c++") or shutil.which("g++")


def _core_library() -> pathlib.Path | None:
    """The core library of the build that made the imported module: beside it
    in a development build, or in the build directory pip used for this
    checkout (build/<wheel tag>/) when the module is installed."""
    beside = pathlib.Path(qk.__file__).resolve().parent / "libqor_core.a"
    if beside.exists():
        return beside
    candidates = sorted(ROOT.glob("build/*/libqor_core.a"), key=lambda p: p.stat().st_mtime, reverse=True)
    return candidates[0] if candidates else None


def test_engine_checks(tmp_path):
    library = _core_library()
    compiler = _compiler(library.parent) if library else None
    if library is None or compiler is None:
        pytest.skip("no core library or C++ compiler for the imported module")
    exe = tmp_path / "upde_engine_checks"
    build = subprocess.run(
        [compiler, "-std=c++20", "-O2", "-fopenmp", f"-I{ROOT / 'src'}", str(SOURCE), str(library),
         "-lmvec", "-lm", "-o", str(exe)],
        capture_output=True, text=True, timeout=300,
    )
    if build.returncode != 0:
        pytest.fail(f"building the engine checks failed:\n{build.stderr}")
    run = subprocess.run([str(exe)], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stdout.startswith("OK ")

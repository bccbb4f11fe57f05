"""The module frame: registration, argument and result conversion, errors.

Rules that first become reachable through later functions (writable borrows,
counts, per-object borrowing, thread pool) are tested beside those functions.
"""

import inspect
import os
import pathlib
import shutil
import subprocess
import sys

import numpy as np
import pytest

import qor_kernel as qk


def test_all_lists_every_public_name():
    public = {name for name in dir(qk) if not name.startswith("_")}
    assert set(qk.__all__) == public
    assert len(qk.__all__) == len(set(qk.__all__))


def test_every_callable_has_a_text_signature():
    for name in qk.__all__:
        obj = getattr(qk, name)
        members = [obj]
        if isinstance(obj, type):
            members += [m for k, m in vars(obj).items() if not k.startswith("_") and callable(m)]
        for member in members:
            if isinstance(obj, type) and member is obj and obj.__text_signature__ is None:
                continue  # classes without a public constructor
            inspect.signature(member)


def test_signature_names():
    assert str(inspect.signature(qk.plv)) == "(phases_a, phases_b)"
    assert str(inspect.signature(qk.order_parameter)) == "(phases)"


@pytest.mark.parametrize(
    "bad, got",
    [
        ([0.0, 1.0], "got list"),
        (np.zeros(3, np.float32), "dtype float32"),
        (np.zeros(3, np.int64), "dtype int64"),
        (np.zeros((2, 2)), "2-dimensional"),
        (np.zeros(3, ">f8"), "dtype >f8"),
        (3.0, "got float"),
        (None, "got NoneType"),
    ],
    ids=["list", "float32", "int64", "2d", "big-endian", "scalar", "none"],
)
def test_float_array_type_errors_name_the_argument(bad, got):
    with pytest.raises(TypeError, match=r"^phases: expected a one-dimensional numpy.ndarray of dtype float64") as e:
        qk.order_parameter(bad)
    assert got in str(e.value)
    with pytest.raises(TypeError, match=r"^phases_b: "):
        qk.plv(np.zeros(2), bad)


def test_type_errors_come_before_contiguity():
    with pytest.raises(TypeError, match="^phases_b"):
        qk.plv(np.zeros(4)[::2], [1.0])


def test_subclasses_and_views_are_accepted():
    class Sub(np.ndarray):
        pass

    x = np.linspace(0, 1, 5)
    assert qk.order_parameter(x.view(Sub)) == qk.order_parameter(x)
    assert qk.order_parameter(np.zeros(6)[1:4]) == (1.0, 0.0)  # contiguous slice
    assert qk.order_parameter(np.zeros(6)[::-1][:1]) == (1.0, 0.0)  # one element, any stride


def test_misaligned_array_is_rejected():
    raw = np.zeros(8 * 4 + 1, np.uint8)
    misaligned = raw[1:].view(np.float64)
    assert not misaligned.flags.aligned
    with pytest.raises(ValueError, match=r"^The given array is not contiguous or is misaligned\.$"):
        qk.order_parameter(misaligned)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: qk.plv(np.zeros(1)), r"^plv\(\) missing required argument 'phases_b' \(pos 2\)$"),
        (lambda: qk.plv(np.zeros(1), np.zeros(1), np.zeros(1)), r"^plv\(\) takes 2 positional arguments but 3 were given$"),
        (lambda: qk.plv(np.zeros(1), phases_a=np.zeros(1)), r"^plv\(\) got multiple values for argument 'phases_a'$"),
        (lambda: qk.plv(np.zeros(1), phases_c=np.zeros(1)), r"^plv\(\) got an unexpected keyword argument 'phases_c'$"),
    ],
    ids=["missing", "too-many", "duplicate", "unknown-keyword"],
)
def test_argument_matching(call, message):
    with pytest.raises(TypeError, match=message):
        call()


def test_keywords_in_any_order():
    a, b = np.array([0.0, 1.0]), np.array([0.5, 0.2])
    assert qk.plv(phases_b=b, phases_a=a) == qk.plv(a, b)


def test_results_own_their_buffer_and_are_writable():
    x = np.linspace(0, 3, 4)
    d1 = qk.phase_distance_matrix(x)
    d2 = qk.phase_distance_matrix(x)
    assert d1.flags.writeable and d1.flags.c_contiguous and d1.dtype == np.float64
    assert not np.shares_memory(d1, x) and not np.shares_memory(d1, d2)
    assert d1.base is not None and not isinstance(d1.base, np.ndarray)
    d1[:] = -1.0
    assert np.all(d2 >= 0.0)
    del d2
    assert d1.sum() == -16.0


def test_engine_errors_carry_their_kind_prefix():
    with pytest.raises(ValueError) as e:
        qk.plv(np.zeros(3), np.zeros(4))
    assert str(e.value).startswith("invalid dimension: ")
    assert type(e.value) is ValueError


def test_only_the_init_symbol_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not available")
    out = subprocess.run([nm, "-D", "--defined-only", qk.__file__], capture_output=True, text=True, check=True).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit_qor_kernel"]


def test_stub_matches_module(tmp_path):
    pytest.importorskip("mypy")
    stub = pathlib.Path(qk.__file__).with_name("qor_kernel.pyi")
    assert stub.exists(), "the stub is installed beside the module"
    stub_dir = tmp_path / "stubs"
    stub_dir.mkdir()
    shutil.copy(stub, stub_dir / "qor_kernel.pyi")
    config = tmp_path / "mypy.ini"
    config.write_text("[mypy]\n")
    module_dir = str(pathlib.Path(qk.__file__).parent)
    env = dict(os.environ, MYPYPATH=str(stub_dir),
               PYTHONPATH=os.pathsep.join(filter(None, [module_dir, os.environ.get("PYTHONPATH")])))
    proc = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "qor_kernel", "--mypy-config-file", str(config)],
        cwd=tmp_path, env=env, capture_output=True, text=True, timeout=600,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr

"""Run the benchmarks: python benchmarks/run.py [NAME ...]

Prints, for every case whose name contains one of the NAMEs (all cases
without arguments): the size, our time, the reference's time measured in the
same run, and the ratio reference/ours (above 1 means we are faster).
"""

from __future__ import annotations

import argparse
import importlib
import os
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import harness  # noqa: E402


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("names", nargs="*", help="run only cases whose name contains one of these")
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--budget", type=float, default=0.05, help="seconds per timed batch")
    parser.add_argument("--settle", type=float, default=0.2, help="idle seconds before each timed batch")
    args = parser.parse_args()

    for path in sorted(HERE.glob("bench_*.py")):
        importlib.import_module(path.stem)
    cases = [c for c in harness.CASES if not args.names or any(n in c.name for n in args.names)]
    if not cases:
        print("no benchmark matches", " ".join(args.names))
        return 1

    try:
        from threadpoolctl import threadpool_info

        pools = [f"{p['internal_api']}:{p['num_threads']}" for p in threadpool_info()]
    except ImportError:
        pools = []
    print(f"# cpus={os.cpu_count()} OMP_NUM_THREADS={os.environ.get('OMP_NUM_THREADS', '-')} pools={pools}")
    header = f"{'case':<34} {'size':<16} {'ours':>12} {'reference':>12} {'ratio':>8}  reference / target"
    print(header)
    print("-" * len(header))
    for c in cases:
        ours, ref = harness.measure(c, repeats=args.repeats, budget=args.budget, settle=args.settle)
        unit = f"/{c.unit}"
        print(
            f"{c.name:<34} {c.size:<16} {harness.fmt_time(ours)}{unit:<6} {harness.fmt_time(ref)}{unit:<6}"
            f" {ref / ours:7.2f}x  {c.reference}" + (f"  [target: {c.target}]" if c.target else ""),
            flush=True,
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())

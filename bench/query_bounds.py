"""Query bounds on hostile indexes: the CPU time and peak memory of one
query on each of the shared-child-list shapes of tests/hostile.py (the
sizes the audit measured), each in a fresh interpreter, optionally beside
another interpreter with an older build installed.

    python bench/query_bounds.py [--before /path/to/old/venv/bin/python]
                                 [--timeout 120] [--memory-limit-gb 8]

Every shape should end in PanicException within a second and well under
100 MB; a "before" run may time out or hit the memory limit instead.
"""

import argparse
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

import hostile  # noqa: E402


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--before", help="interpreter with the build to compare against")
    ap.add_argument("--timeout", type=float, default=120)
    ap.add_argument("--memory-limit-gb", type=float, default=8)
    args = ap.parse_args()
    runs = [("after", sys.executable)]
    if args.before:
        runs.insert(0, ("before", args.before))
    limit = int(args.memory_limit_gb * 2**30)
    print(f"CPU time and peak RSS of the query's process (limit {args.memory_limit_gb:g} GB, "
          f"timeout {args.timeout:g} s)")
    for name, make in hostile.SHAPES.items():
        data, method, margs = make()
        print(f"\n{name}: {len(data):,} bytes, {method}{tuple(a if len(str(a)) < 30 else f'<{len(a):,} chars>' for a in margs)}")
        for label, python in runs:
            outcome, cpu, rss = hostile.measure_in_child(data, method, margs, python, args.timeout, limit)
            print(f"  {label:<6} {cpu:8.2f} s CPU  {rss / 2**20:9.1f} MB peak  {outcome[:110]}")


if __name__ == "__main__":
    main()

"""Saved indexes whose child lists share nodes so that a query's work
multiplies, at the sizes the audit measured; shared by the tests and
bench/query_bounds.py.  Each function returns (bytes, method, args)."""

import model

VID = bytes(range(16))


def _record(children, labels, payloads):
    shifts, transitions = [], []
    for kids in children:
        shifts.append(len(transitions))
        transitions.extend(kids)
    return model.encode(model.Index(shifts, [ord(c) if c else 0 for c in labels], transitions,
                                    payloads, [VID]))


def ranking_square(c=8000, p=8000):
    """The root lists node A 64 times, A lists node B c times, B holds a
    payload of p entries: fuzzy_match_video("aa") reads it 64 c times."""
    data = _record([[1] * 64, [2] * c, []], ["", "a", "a"],
                   [None, (1, [0], [1]), (p, [0] * p, [1] * p)])
    return data, "fuzzy_match_video", ("aa",)


def ranking_flat(c=135_000, p=135_000):
    """The root lists node A c times, A holds p entries: fuzzy_match_video("a")."""
    data = _record([[1] * c, []], ["", "a"], [None, (p, [0] * p, [1] * p)])
    return data, "fuzzy_match_video", ("a",)


def doubled_chain(n=6000):
    """Node i lists node i+1 twice: fuzzy_match("", 4294967295) reports
    ever longer texts along 2^(n-1) paths."""
    data = _record([[i + 1, i + 1] for i in range(n - 1)] + [[]], [""] + ["a"] * (n - 1),
                   [(1, [], [])] * n)
    return data, "fuzzy_match", ("", 4294967295)


def fan_out(leaves=200_000, chain=18, doubled=6):
    """A chain of `chain` nodes (the first `doubled` links listed twice,
    64 paths) whose last node lists one leaf `leaves` times:
    fuzzy_match("a" * 20, 2) reports the leaf once per path and listing."""
    children = [[i + 1, i + 1] if i < doubled else [i + 1] for i in range(chain)]
    children.append([chain + 1] * leaves)
    children.append([])
    n = len(children)
    data = _record(children, [""] + ["a"] * (n - 1), [(1, [], [])] * n)
    return data, "fuzzy_match", ("a" * 20, 2)


def long_query_ring(n=1300, length=100_000):
    """A ring of n nodes labelled 'a' below the root, queried with
    `length` characters at 4294967295: nothing is pruned, so the walk runs
    round the ring until the cycle fault."""
    data = _record([[1]] + [[i + 1] for i in range(1, n - 1)] + [[1]], [""] + ["a"] * (n - 1),
                   [None] * n)
    return data, "fuzzy_match", ("a" * length, 4294967295)


SHAPES = {
    "ranking, 64 x c paths (24 KB)": ranking_square,
    "ranking, c paths (404 KB)": ranking_flat,
    "result texts, doubled chain (95 KB)": doubled_chain,
    "results, fan-out below a chain (200 KB)": fan_out,
    "rows, ring with a 100,000-char query (10 KB)": long_query_ring,
}


_CHILD = r"""
import sys
from _tessaloom import PrefixSearch
path, method, args = sys.argv[1], sys.argv[2], eval(sys.argv[3])
with open(path, "rb") as f:
    index = PrefixSearch.from_bytes(f.read())
try:
    out = getattr(index, method)(*args)
    line = f"returned {len(out)}"
except BaseException as exc:
    line = f"{type(exc).__name__} {str(exc)[:200]}"
with open("/proc/self/status") as f:  # the peak since exec, not since fork
    hwm = [int(l.split()[1]) for l in f if l.startswith("VmHWM:")][0]
print(hwm)
print(line)
"""


def measure_in_child(data, method, args, python=None, timeout=60, memory_limit=None):
    """Loads `data` and runs the query in a fresh interpreter; returns
    (outcome line, CPU seconds, peak RSS in bytes) of that process.  The
    outcome is the exception's type and text, "returned N", a timeout or
    "killed".  Output is read after exit: the child prints one line."""
    import os
    import resource
    import subprocess
    import sys
    import tempfile
    import time

    fd, path = tempfile.mkstemp()
    with os.fdopen(fd, "wb") as f:
        f.write(data)

    def limit():
        if memory_limit:
            resource.setrlimit(resource.RLIMIT_AS, (memory_limit, memory_limit))

    try:
        proc = subprocess.Popen([python or sys.executable, "-c", _CHILD, path, method, repr(args)],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, preexec_fn=limit)
        start = time.monotonic()
        chunks = []
        timed_out = False
        while True:
            pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
            if pid:
                break
            if time.monotonic() - start > timeout:
                proc.kill()
                timed_out = True
            time.sleep(0.02)
        chunks.append(proc.stdout.read())
        proc.stdout.close()
    finally:
        os.unlink(path)
    lines = b"".join(chunks).decode(errors="replace").strip().splitlines()
    # Peak RSS: the child's own high-water mark when it got to report it,
    # else the kernel's figure (which counts the forked parent's pages too).
    peak = usage.ru_maxrss * 1024
    if len(lines) >= 2 and lines[-2].isdigit():
        peak = int(lines[-2]) * 1024
    if timed_out:
        outcome = f"timeout after {timeout} s"
    elif not lines:
        outcome = "killed"
    else:
        outcome = lines[-1]
    return outcome, usage.ru_utime + usage.ru_stime, peak

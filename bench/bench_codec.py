"""Saving and loading speed: to_bytes and from_bytes on a real-word index.

Builds the same index as bench_query.py (a Debian word list with synthetic
Zipf video payloads) and prints the throughput of to_bytes and from_bytes in
MB/s of encoded size, how much faster loading is than building with
from_internal_data_v2 (times are CPU time of the calling thread), and the
resident memory a loaded index adds in a fresh process.

    python bench/bench_codec.py [--lists american-english-huge french ...] [--save FILE]
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time

import vocab
from vocab import log

import _tessaloom
from _tessaloom import PrefixSearch

MB = 1e6

_RSS_CHILD = r"""
import gc, sys
sys.path.insert(0, sys.argv[2])
import vocab
from _tessaloom import PrefixSearch
with open(sys.argv[1], "rb") as f:
    data = f.read()
gc.collect()
before = vocab.rss_bytes()
index = PrefixSearch.from_bytes(data)
after = vocab.rss_bytes()
print(after - before)
"""


def time_build(inputs, reps=3):
    """Median seconds of from_internal_data_v2 from Python lists."""
    return vocab.median_ns(PrefixSearch.from_internal_data_v2, reps, *inputs) / 1e9


def codec(index, reps=5):
    data = index.to_bytes()
    if PrefixSearch.from_bytes(data).to_bytes() != data:
        raise AssertionError("from_bytes(to_bytes(x)) writes different bytes")
    to_s = vocab.median_ns(index.to_bytes, reps) / 1e9
    from_s = vocab.median_ns(PrefixSearch.from_bytes, reps, data) / 1e9
    return {
        "bytes": len(data),
        "to_s": to_s,
        "from_s": from_s,
        "to_mbps": len(data) / MB / to_s,
        "from_mbps": len(data) / MB / from_s,
    }, data


def loaded_rss(data):
    """Resident memory added by from_bytes(data) in a fresh interpreter."""
    with tempfile.NamedTemporaryFile(suffix=".idx", delete=False) as f:
        f.write(data)
        path = f.name
    try:
        env = dict(os.environ)
        module_dir = os.path.dirname(os.path.abspath(_tessaloom.__file__))
        env["PYTHONPATH"] = os.pathsep.join(
            p for p in (module_dir, env.get("PYTHONPATH", "")) if p
        )
        out = subprocess.run(
            [sys.executable, "-c", _RSS_CHILD, path, vocab.HERE],
            check=True, capture_output=True, text=True, env=env,
        )
        return int(out.stdout.split()[-1])
    finally:
        os.unlink(path)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--lists", nargs="+", default=list(vocab.ENGLISH),
                    help="word lists under /usr/share/dict")
    ap.add_argument("--reps", type=int, default=5)
    ap.add_argument("--save", metavar="FILE",
                    help="also write the encoded index to FILE (for bench/load_floor.cpp)")
    args = ap.parse_args()

    words = vocab.read_words(args.lists)
    arrays = vocab.Arrays(words)
    inputs = vocab.build_inputs(arrays)
    log(f"vocabulary: {len(words):,} words from {', '.join(args.lists)}; {arrays.n_nodes:,} nodes")
    t0 = time.perf_counter()
    index = PrefixSearch.from_internal_data_v2(*inputs)
    log(f"first build {time.perf_counter() - t0:.2f} s")

    build_s = time_build(inputs)
    c, data = codec(index, args.reps)
    rss = loaded_rss(data)
    if args.save:
        with open(args.save, "wb") as f:
            f.write(data)
    n = arrays.n_nodes
    log(f"encoded size          {c['bytes'] / MB:10.1f} MB ({c['bytes'] / n:.1f} bytes per node)")
    log(f"to_bytes              {c['to_s'] * 1e3:10.1f} ms  {c['to_mbps']:8.0f} MB/s  (target >= 300)")
    log(f"from_bytes            {c['from_s'] * 1e3:10.1f} ms  {c['from_mbps']:8.0f} MB/s  (target >= 300)")
    log(f"from_internal_data_v2 {build_s * 1e3:10.1f} ms")
    log(f"build / from_bytes    {build_s / c['from_s']:10.1f}x  (target >= 20x)")
    log(f"loaded index RSS      {rss / MB:10.1f} MB = {rss / c['bytes']:.2f}x the encoded size "
        f"(target <= 2x), {rss / n:.1f} bytes per node")


if __name__ == "__main__":
    main()

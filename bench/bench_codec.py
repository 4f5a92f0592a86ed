"""Building, saving, loading and memory, in fresh processes, optionally
against a previous build of the module in the same run.

Two payload configurations (bench/vocab.py CONFIGS):
  light  the English word list, each word in 1 to 5 videos, video_top_n 10;
  heavy  the French and German lists, each word in 1 to 30 videos drawn
         Zipf-like from 50,000, video_top_n 100.

For each configuration and each module build, one fresh interpreter builds
the index with from_internal_data_v2 (time, and peak resident memory above
what the inputs hold) and saves it; then --loads fresh interpreters (3 by
default; each figure is their median) load it (first from_bytes of the
process: wall and CPU time, resident memory added divided by the length of
the bytes, peak), then time to_bytes (wall, median of 5) and the queries
(median over fixed-seed misspellings of the median of --reps runs, CPU
time of the calling thread).

    python bench/bench_codec.py [--config light heavy] [--before PYTHON] [--loads N]

--before names an interpreter whose `_tessaloom` is the previous build (for
example /work/baseline/venv/bin/python); its figures are printed beside
this build's, with the ratio and the target each is held against.
"""

import argparse
import gc
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

import vocab
from vocab import log

import _tessaloom
from _tessaloom import PrefixSearch

GB = 1e9
MB = 1e6

TARGETS = {
    # loaded RSS / bytes length, by configuration
    "rss": {"light": 1.0, "heavy": 0.7},
    "from_gbps": 1.5,
    "to_gbps": 2.0,
    "latency": 1.05,  # at most this much of the previous build's latency
}


# --- workers (each in a fresh interpreter) ------------------------------------


def worker_build(config, path, n_queries):
    from _tessaloom import PrefixSearch

    c = vocab.CONFIGS[config]
    words = vocab.read_words(c["lists"])
    arrays = vocab.Arrays(words)
    inputs = vocab.build_inputs(arrays, config=config)
    queries = vocab.make_queries(words, n_queries, 2, 12)
    gc.collect()
    rss0 = vocab.rss_bytes()
    vocab.reset_peak_rss()
    w0, c0 = time.perf_counter(), time.thread_time()
    index = PrefixSearch.from_internal_data_v2(*inputs)
    c1, w1 = time.thread_time(), time.perf_counter()
    peak = vocab.peak_rss_bytes() - rss0
    held = vocab.rss_bytes() - rss0
    data = index.to_bytes()
    with open(path, "wb") as f:
        f.write(data)
    return {"words": len(words), "nodes": arrays.n_nodes, "bytes": len(data),
            "build_s": w1 - w0, "build_cpu_s": c1 - c0, "build_peak": peak,
            "build_held": held, "queries": queries}


def worker_load(path, queries, reps):
    from _tessaloom import PrefixSearch

    with open(path, "rb") as f:
        data = f.read()
    gc.collect()
    rss0 = vocab.rss_bytes()
    vocab.reset_peak_rss()
    w0, c0, p0 = time.perf_counter(), time.thread_time(), time.process_time()
    index = PrefixSearch.from_bytes(data)
    p1, c1, w1 = time.process_time(), time.thread_time(), time.perf_counter()
    out = {"from_s": w1 - w0, "from_cpu_s": c1 - c0, "from_all_cpu_s": p1 - p0,
           "rss": vocab.rss_bytes() - rss0, "load_peak": vocab.peak_rss_bytes() - rss0}
    if index.to_bytes() != data:
        raise AssertionError("to_bytes(from_bytes(b)) != b")
    # Wall time: large saves and loads make pages resident on a second
    # thread, whose time the calling thread's CPU time leaves out.
    walls, cpus = [], []
    for _ in range(5):
        w0, p0 = time.perf_counter(), time.process_time()
        index.to_bytes()
        walls.append(time.perf_counter() - w0)
        cpus.append(time.process_time() - p0)
    out["to_s"], out["to_all_cpu_s"] = statistics.median(walls), statistics.median(cpus)
    for d in (1, 2):
        for name in ("fuzzy_match", "fuzzy_match_video"):
            ns = vocab.per_query_ns(getattr(index, name), queries, d, reps)
            out[f"{name}_{d}_us"] = statistics.median(ns) / 1e3
    return out


def load_module_file(path):
    """The `_tessaloom` extension in the file `path`, beside any other."""
    import importlib.machinery
    import importlib.util

    loader = importlib.machinery.ExtensionFileLoader("_tessaloom", path)
    spec = importlib.util.spec_from_file_location("_tessaloom", path, loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


def worker_ab(before_file, path, queries, reps):
    """Query latency of the previous build and this one in one process, on
    the same saved index, the two alternating query by query and repetition
    by repetition, so that whatever else the machine runs weighs on both
    alike."""
    import _tessaloom as after_module

    before_module = load_module_file(before_file)
    with open(path, "rb") as f:
        data = f.read()
    indexes = {"before": before_module.PrefixSearch.from_bytes(data),
               "after": after_module.PrefixSearch.from_bytes(data)}
    out = {}
    for d in (1, 2):
        for name in ("fuzzy_match", "fuzzy_match_video"):
            fns = {k: getattr(v, name) for k, v in indexes.items()}
            times = {k: [[] for _ in queries] for k in fns}
            for q in queries:  # warm up
                for fn in fns.values():
                    fn(q, d)
            for _ in range(reps):
                for i, q in enumerate(queries):
                    for k, fn in fns.items():
                        times[k][i].append(vocab.time_once(fn, q, d))
            for k in fns:
                out[f"{k}_{name}_{d}_us"] = statistics.median(statistics.median(t) for t in times[k]) / 1e3
    return out


# --- in-process figures, for bench/run.py ------------------------------------------

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



# --- driver ---------------------------------------------------------------------


def run_worker(python, env, *args):
    cmd = [python, os.path.abspath(__file__), "--worker", *map(str, args)]
    # Importing numpy (vocab does) starts OpenBLAS's worker threads, which
    # spin for a while after the import: on two cores they took turns with
    # the loading threads (a fresh process burns some 60 ms of CPU in the
    # 200 ms after `import numpy`).  Nothing here uses BLAS.
    env = dict(env, OPENBLAS_NUM_THREADS="1")
    res = subprocess.run(cmd, check=True, capture_output=True, text=True, env=env)
    return json.loads(res.stdout.strip().splitlines()[-1])


def measure(python, env, config, n_queries, reps, loads, keep=None, ab_before=None):
    """All figures of one module build on one configuration."""
    with tempfile.TemporaryDirectory() as tmp:
        path = keep or os.path.join(tmp, f"{config}.idx")
        qpath = os.path.join(tmp, "queries.json")
        built = run_worker(python, env, "build", config, path, n_queries)
        with open(qpath, "w") as f:
            json.dump(built.pop("queries"), f)
        # Each load in a fresh process; every figure the median of them.
        runs = [run_worker(python, env, "load", path, qpath, reps) for _ in range(loads)]
        loaded = {k: statistics.median(r[k] for r in runs) for k in runs[0]}
        if ab_before:
            built["ab"] = run_worker(sys.executable, dict(os.environ), "ab", ab_before, path, qpath, reps)
    built.update(loaded)
    b = built["bytes"]
    built["rss_ratio"] = built["rss"] / b
    built["from_gbps"] = b / GB / built["from_s"]
    built["to_gbps"] = b / GB / built["to_s"]
    return built


def module_file(python):
    """The file of the `_tessaloom` that `python` imports."""
    res = subprocess.run([python, "-c", "import _tessaloom; print(_tessaloom.__file__)"],
                         check=True, capture_output=True, text=True, env=baseline_env())
    return res.stdout.strip()


def baseline_env():
    """The environment for --before: no path to this build."""
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    env["PYTHONPATH"] = vocab.HERE
    return env


ROWS = [
    # key, label, format, target kind
    ("bytes", "saved bytes, MB", lambda v: f"{v / MB:.1f}", None),
    ("rss", "from_bytes: resident memory added, MB", lambda v: f"{v / MB:.1f}", None),
    ("rss_ratio", "from_bytes: resident memory added / bytes", lambda v: f"{v:.3f}", "rss"),
    ("load_peak", "from_bytes: peak resident memory added, MB", lambda v: f"{v / MB:.1f}", None),
    ("from_gbps", "from_bytes GB/s (first load of a fresh process, wall)", lambda v: f"{v:.2f}", "from_gbps"),
    ("from_s", "from_bytes ms (wall)", lambda v: f"{v * 1e3:.1f}", None),
    ("from_cpu_s", "from_bytes ms (CPU of the calling thread)", lambda v: f"{v * 1e3:.1f}", None),
    ("from_all_cpu_s", "from_bytes ms (CPU of all threads)", lambda v: f"{v * 1e3:.1f}", None),
    ("to_gbps", "to_bytes GB/s (median of 5, wall)", lambda v: f"{v:.2f}", "to_gbps"),
    ("to_all_cpu_s", "to_bytes ms (CPU of all threads)", lambda v: f"{v * 1e3:.1f}", None),
    ("fuzzy_match_1_us", "fuzzy_match µs, max_dist 1", lambda v: f"{v:.1f}", "latency"),
    ("fuzzy_match_2_us", "fuzzy_match µs, max_dist 2", lambda v: f"{v:.1f}", "latency"),
    ("fuzzy_match_video_1_us", "fuzzy_match_video µs, max_dist 1", lambda v: f"{v:.1f}", "latency"),
    ("fuzzy_match_video_2_us", "fuzzy_match_video µs, max_dist 2", lambda v: f"{v:.1f}", "latency"),
    ("build_s", "from_internal_data_v2 s (wall)", lambda v: f"{v:.2f}", None),
    ("build_cpu_s", "from_internal_data_v2 s (CPU)", lambda v: f"{v:.2f}", None),
    ("build_peak", "from_internal_data_v2 peak memory above its inputs, MB", lambda v: f"{v / MB:.1f}", None),
    ("build_held", "from_internal_data_v2 memory held by the index, MB", lambda v: f"{v / MB:.1f}", None),
]


def verdict(kind, config, after, before):
    if kind is None:
        return ""
    if kind == "rss":
        t = TARGETS["rss"][config]
        return f"≤ {t}: " + ("met" if after <= t else "**missed**")
    if kind == "latency":
        if before is None:
            return ""
        return f"≤ {TARGETS['latency']:.2f}× before: " + ("met" if after <= TARGETS["latency"] * before else "**missed**")
    t = TARGETS[kind]
    return f"≥ {t}: " + ("met" if after >= t else "**missed**")


def table(config, after, before=None):
    lines = [f"{config}: {after['words']:,} words, {after['nodes']:,} nodes, "
             f"{after['bytes'] / MB:.1f} MB saved",
             "",
             "| figure | before | after | after / before | target |",
             "|---|---:|---:|---:|---|"]
    for key, label, fmt, kind in ROWS:
        a = after[key]
        b = before[key] if before else None
        ratio = f"{a / b:.3f}" if b else ""
        lines.append(f"| {label} | {fmt(b) if b is not None else '—'} | {fmt(a)} | {ratio} | "
                     f"{verdict(kind, config, a, b)} |")
    if "ab" in after:
        ab = after["ab"]
        for d in (1, 2):
            for name in ("fuzzy_match", "fuzzy_match_video"):
                a, b = ab[f"after_{name}_{d}_us"], ab[f"before_{name}_{d}_us"]
                lines.append(f"| {name} µs, max_dist {d}, both builds in one process, alternating | "
                             f"{b:.1f} | {a:.1f} | {a / b:.3f} | {verdict('latency', config, a, b)} |")
    return "\n".join(lines)


def compare(configs, before_python=None, n_queries=200, reps=5, save=None, loads=3):
    """{config: (after, before or None)}."""
    out = {}
    for config in configs:
        log(f"== {config}")
        before = None
        if before_python:
            log(f"  before ({before_python}) ...")
            before = measure(before_python, baseline_env(), config, n_queries, reps, loads)
        log("  after ...")
        after = measure(sys.executable, dict(os.environ), config, n_queries, reps, loads,
                        keep=save and f"{save}.{config}", ab_before=before_python and module_file(before_python))
        out[config] = (after, before)
        log(table(config, after, before))
        log("")
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--config", nargs="+", default=["light", "heavy"], choices=sorted(vocab.CONFIGS))
    ap.add_argument("--before", metavar="PYTHON",
                    help="interpreter whose _tessaloom is the previous build")
    ap.add_argument("--queries", type=int, default=200)
    ap.add_argument("--reps", type=int, default=5)
    ap.add_argument("--loads", type=int, default=3,
                    help="fresh processes that load each index (figures: their median)")
    ap.add_argument("--save", metavar="PREFIX",
                    help="keep this build's saved indexes as PREFIX.light, PREFIX.heavy")
    ap.add_argument("--worker", nargs="+", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        kind, *rest = args.worker
        if kind == "build":
            res = worker_build(rest[0], rest[1], int(rest[2]))
        elif kind == "ab":
            with open(rest[2]) as f:
                queries = json.load(f)
            res = worker_ab(rest[0], rest[1], queries, int(rest[3]))
        else:
            with open(rest[1]) as f:
                queries = json.load(f)
            res = worker_load(rest[0], queries, int(rest[2]))
        print(json.dumps(res))
        return
    compare(args.config, args.before, args.queries, args.reps, args.save, args.loads)


if __name__ == "__main__":
    main()

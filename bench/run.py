"""The benchmark suite: tessaloom against the ways users would otherwise do
fuzzy lookup over a vocabulary, on the same vocabularies and queries.

    python bench/run.py            # about 4 minutes on 2 cores

Vocabularies: fixed-seed samples of 10,000, 100,000 and 1,000,000 distinct
words from six Debian word lists (English, French, German, Portuguese,
Italian, Spanish), each sample inside the next, with synthetic Zipf video
payloads.  Queries: fixed-seed misspellings (one and two edits) of words of
the smallest sample, 2 to 12 code points, so every size gets the same
queries; each at max_dist 1 and 2.

Peers, timed on the first --baseline-queries queries (they are slow):
  * the pure-Python walk of the tests' model;
  * RapidFuzz brute force: process.extract over the texts of all trie nodes
    with the Levenshtein distance, which finds the same matches as
    fuzzy_match (checked before timing);
  * symspellpy, whole-word lookups (other semantics: a reference point), in
    a separate process, at the sizes whose dictionary builds in time.

Then the payload configurations of bench_codec.py (light, and heavy: each
word of the French and German lists in 1 to 30 videos, video_top_n 100),
each built, loaded and queried in fresh processes, beside a previous build
of the module when --before names its interpreter.

Writes bench/results/results.md and bench/results/latency.png.
"""

import argparse
import gc
import json
import os
import platform
import statistics
import subprocess
import sys
import time

import vocab
from vocab import log

import bench_codec
import bench_query
import model
from _tessaloom import PrefixSearch

SIZES = (10_000, 100_000, 1_000_000)
RESULTS = os.path.join(vocab.HERE, "results")
MB = 1e6

TARGETS = {
    "py": 75,  # x faster than the pure-Python walk
    "rapidfuzz": 100,  # x faster than RapidFuzz brute force, 1M terms, max_dist 1
    "ns_per_node": 30,
    "rss": 2.0,  # loaded RSS over encoded size
    "build": 50,  # x faster than the model's build
    "load": 20,  # building over loading
    "mbps": 300,
}


def common_queries(args, samples):
    smallest = samples[min(samples)]
    queries = vocab.make_queries(smallest, args.queries, 2, 12)
    return queries, queries[:args.baseline_queries]


# --- peers ---------------------------------------------------------------------


def rapidfuzz_peer(index, texts, queries, max_dist):
    from rapidfuzz import process
    from rapidfuzz.distance import Levenshtein

    def extract(q, d):
        return process.extract(q, texts, scorer=Levenshtein.distance, score_cutoff=d, limit=None)

    times = []
    for q in queries:
        want = {(text, d) for text, _, d in index.fuzzy_match(q, max_dist)}
        got = {(text, int(score)) for text, score, _ in extract(q, max_dist)}
        if got != want:
            raise AssertionError(
                f"RapidFuzz and fuzzy_match disagree on {q!r} at {max_dist}: "
                f"{sorted(got ^ want)[:5]}"
            )
        times.append(vocab.time_once(extract, q, max_dist))
    return statistics.median(times) / 1e3


def symspell_worker(args):
    """Runs in its own process: builds the dictionary of one sample and
    times whole-word lookups; prints the figures as JSON."""
    from symspellpy import SymSpell, Verbosity

    samples = vocab.nested_samples(vocab.read_words(), args.sizes)
    words = samples[args.symspell_worker]
    queries, _ = common_queries(args, samples)
    t0 = time.perf_counter()
    sym = SymSpell(max_dictionary_edit_distance=2, prefix_length=7)
    for w in words:
        sym.create_dictionary_entry(w, 1)
    out = {"build_s": time.perf_counter() - t0}
    for max_dist in (1, 2):
        times = [
            vocab.time_once(sym.lookup, q, Verbosity.ALL, max_dist) for q in queries
        ]
        out[f"us_{max_dist}"] = statistics.median(times) / 1e3
    print(json.dumps(out))


def symspell_peer(args, size):
    cmd = [sys.executable, os.path.abspath(__file__), "--symspell-worker", str(size),
           "--sizes", *map(str, args.sizes), "--queries", str(args.queries),
           "--baseline-queries", str(args.baseline_queries)]
    try:
        out = subprocess.run(cmd, check=True, capture_output=True, text=True,
                             timeout=args.symspell_timeout)
    except subprocess.TimeoutExpired:
        return None
    except subprocess.CalledProcessError as e:
        log(f"    symspellpy failed: {e.stderr.strip().splitlines()[-1:]}")
        return None
    return json.loads(out.stdout.strip().splitlines()[-1])


# --- one vocabulary size -----------------------------------------------------------


def run_size(args, size, words, queries, subset):
    res = {"size": size}
    t0 = time.perf_counter()
    arrays = vocab.Arrays(words)
    inputs = vocab.build_inputs(arrays)
    res["words"] = len(words)
    res["nodes"] = arrays.n_nodes
    log(f"  {arrays.n_nodes:,} nodes; arrays and payloads prepared in {time.perf_counter() - t0:.1f} s")

    res["build_s"] = bench_codec.time_build(inputs, reps=3)
    log(f"  from_internal_data_v2: {res['build_s']:.3f} s")
    t0 = time.perf_counter()
    mindex = model.build(*inputs)
    res["model_build_s"] = time.perf_counter() - t0
    log(f"  model build: {res['model_build_s']:.1f} s "
        f"({res['model_build_s'] / res['build_s']:.0f}x)")

    index = PrefixSearch.from_internal_data_v2(*inputs)
    del inputs
    codec, data = bench_codec.codec(index, reps=5)
    res.update(codec)
    res["rss"] = bench_codec.loaded_rss(data)
    del data
    log(f"  to_bytes {codec['to_mbps']:.0f} MB/s, from_bytes {codec['from_mbps']:.0f} MB/s, "
        f"{codec['bytes'] / MB:.1f} MB encoded, loaded RSS {res['rss'] / MB:.1f} MB")

    texts = arrays.node_texts()[1:]
    for max_dist in (1, 2):
        log(f"  max_dist {max_dist}: {len(queries)} queries ...")
        m = bench_query.measure(index, arrays, queries, max_dist, args.reps)
        log(f"    fuzzy_match {m['fm_us']:.1f} us, fuzzy_match_video {m['fmv_us']:.1f} us, "
            f"{m['visited_mean']:.0f} nodes visited, {m['ns_per_node']:.1f} ns/node")
        py = bench_query.model_ratio(index, mindex, subset, max_dist, args.reps)
        m["py_us"], m["py_ratio"] = py["py_us"], py["ratio"]
        m["subset_us"] = py["native_us"]
        log(f"    pure-Python walk {m['py_us']:.0f} us ({m['py_ratio']:.0f}x)")
        m["rf_us"] = rapidfuzz_peer(index, texts, subset, max_dist)
        m["rf_ratio"] = m["rf_us"] / m["subset_us"]
        log(f"    RapidFuzz brute force {m['rf_us']:.0f} us ({m['rf_ratio']:.0f}x), matches agree")
        del m["fm_ns"], m["fmv_ns"], m["visited"]
        res[f"md{max_dist}"] = m
    del texts, mindex, index, arrays
    gc.collect()

    log(f"  symspellpy (separate process, build limit {args.symspell_timeout} s) ...")
    sym = symspell_peer(args, size)
    res["symspell"] = sym
    if sym:
        log(f"    dictionary {sym['build_s']:.0f} s; lookups {sym['us_1']:.0f} / {sym['us_2']:.0f} us")
    else:
        log("    not built in time")
    return res


# --- report ---------------------------------------------------------------------------


def fmt_n(n):
    return f"{n:,}"


def fmt_x(ratio):
    """A ratio to three significant figures, so that 49.6 is not shown as 50."""
    if ratio >= 100:
        return f"{ratio:,.0f}×"
    return f"{ratio:.3g}×"


def verdict(ok):
    return "met" if ok else "**missed**"


def write_markdown(args, results, path):
    big = max(results, key=lambda r: r["size"])
    lines = []
    add = lines.append
    add("# Benchmark results")
    add("")
    add(f"`python bench/run.py` on {platform.machine()}, {os.cpu_count()} cores "
        f"({cpu_name()}), Python {platform.python_version()}, "
        f"{time.strftime('%Y-%m-%d')}, in {args.elapsed / 60:.0f} minutes. The machine is shared: "
        f"its 1-minute load average was {args.load[0]:.1f} at the start and "
        f"{args.load[1]:.1f} at the end of the run, so the figures carry some noise.")
    add("")
    add("Vocabularies: fixed-seed samples of distinct words from six Debian word lists "
        "(English, French, German, Portuguese, Italian, Spanish), each inside the next, "
        "one trie node per distinct prefix, synthetic Zipf video payloads "
        f"({vocab.N_VIDEOS:,} videos, 1 to 5 per word, video_top_n {vocab.VIDEO_TOP_N}). "
        f"Queries: {args.queries} fixed-seed misspellings (one and two edits) of words of the "
        "smallest sample, 2 to 12 code points, the same at every size.")
    add("")
    add(f"All times are CPU time of the calling thread (every system measured runs on it), "
        f"so that other processes on the machine do not inflate them by taking the core. "
        f"tessaloom times are the median over all queries of the median of {args.reps} runs "
        f"per query. The peers are timed once per query on the first {args.baseline_queries} "
        "queries, and their ratio is taken against tessaloom's median on those same queries. "
        "RapidFuzz brute force is `process.extract(term, node_texts, "
        "scorer=Levenshtein.distance, score_cutoff=max_dist, limit=None)` over the texts of "
        "all trie nodes; its match set equals fuzzy_match's on every timed query (checked). "
        "symspellpy looks up whole words (`Verbosity.ALL`, dictionary edit distance 2, "
        "prefix length 7): other semantics, a reference point only.")
    add("")
    add("## Queries")
    add("")
    add("| terms | nodes | max_dist | fuzzy_match µs | fuzzy_match_video µs | nodes visited / query "
        "| ns / visited node | pure-Python walk µs | × pure-Python | RapidFuzz µs | × RapidFuzz "
        "| symspellpy µs (ref.) |")
    add("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for r in results:
        for d in (1, 2):
            m = r[f"md{d}"]
            sym = r["symspell"]
            add(f"| {fmt_n(r['words'])} | {fmt_n(r['nodes'])} | {d} | {m['fm_us']:.1f} | "
                f"{m['fmv_us']:.1f} | {m['visited_mean']:,.0f} | {m['ns_per_node']:.1f} | "
                f"{m['py_us']:,.0f} | {fmt_x(m['py_ratio'])} | {m['rf_us']:,.0f} | "
                f"{fmt_x(m['rf_ratio'])} | "
                + (f"{sym[f'us_{d}']:,.0f}" if sym else "—") + " |")
    add("")
    add("## Building, saving, loading, memory")
    add("")
    add("| terms | nodes | from_internal_data_v2 s | model build s | × model | from_bytes s "
        "| build / load | to_bytes MB/s | from_bytes MB/s | encoded MB | bytes / node (encoded) "
        "| loaded RSS MB | RSS / encoded | RSS bytes / node |")
    add("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for r in results:
        add(f"| {fmt_n(r['words'])} | {fmt_n(r['nodes'])} | {r['build_s']:.3f} | "
            f"{r['model_build_s']:.1f} | {fmt_x(r['model_build_s'] / r['build_s'])} | "
            f"{r['from_s']:.4f} | {fmt_x(r['build_s'] / r['from_s'])} | {r['to_mbps']:,.0f} | "
            f"{r['from_mbps']:,.0f} | {r['bytes'] / MB:.1f} | {r['bytes'] / r['nodes']:.1f} | "
            f"{r['rss'] / MB:.1f} | {r['rss'] / r['bytes']:.2f} | {r['rss'] / r['nodes']:.1f} |")
    syms = [r for r in results if r["symspell"]]
    if syms:
        add("")
        add("symspellpy dictionary build: " + ", ".join(
            f"{r['symspell']['build_s']:.0f} s at {fmt_n(r['words'])} terms" for r in syms) + ".")
    missing = [r for r in results if not r["symspell"]]
    if missing:
        add("symspellpy not measured at " + ", ".join(fmt_n(r["words"]) for r in missing)
            + f" terms: its dictionary did not build within {args.symspell_timeout} s.")
    add("")
    add("## Targets")
    add("")
    add("| figure | measured | target | |")
    add("|---|---:|---:|---|")
    bm = big["md1"]
    add(f"| fuzzy_match vs RapidFuzz brute force, {fmt_n(big['words'])} terms, max_dist 1 | "
        f"{fmt_x(bm['rf_ratio'])} | ≥ {TARGETS['rapidfuzz']}× | {verdict(bm['rf_ratio'] >= TARGETS['rapidfuzz'])} |")
    for r in results:
        for d in (1, 2):
            m = r[f"md{d}"]
            add(f"| fuzzy_match vs pure-Python walk, {fmt_n(r['words'])} terms, max_dist {d} | "
                f"{fmt_x(m['py_ratio'])} | ≥ {TARGETS['py']}× | {verdict(m['py_ratio'] >= TARGETS['py'])} |")
    worst = max((r[f"md{d}"]["ns_per_node"], r["words"], d) for r in results for d in (1, 2))
    add(f"| ns per visited node, worst case ({fmt_n(worst[1])} terms, max_dist {worst[2]}) | "
        f"{worst[0]:.1f} | ≤ {TARGETS['ns_per_node']} | {verdict(worst[0] <= TARGETS['ns_per_node'])} |")
    for r in results:
        ratio = r["model_build_s"] / r["build_s"]
        add(f"| build vs model build, {fmt_n(r['words'])} terms | {fmt_x(ratio)} | "
            f"≥ {TARGETS['build']}× | {verdict(ratio >= TARGETS['build'])} |")
    for r in results:
        ratio = r["build_s"] / r["from_s"]
        add(f"| from_bytes vs build, {fmt_n(r['words'])} terms | {fmt_x(ratio)} | "
            f"≥ {TARGETS['load']}× | {verdict(ratio >= TARGETS['load'])} |")
    for key, name in (("to_mbps", "to_bytes"), ("from_mbps", "from_bytes")):
        low = min(results, key=lambda r: r[key])
        add(f"| {name} MB/s, slowest size ({fmt_n(low['words'])} terms) | {low[key]:,.0f} | "
            f"≥ {TARGETS['mbps']} | {verdict(low[key] >= TARGETS['mbps'])} |")
    worst_rss = max(results, key=lambda r: r["rss"] / r["bytes"])
    rr = worst_rss["rss"] / worst_rss["bytes"]
    add(f"| loaded RSS / encoded size, worst size ({fmt_n(worst_rss['words'])} terms) | {rr:.2f} | "
        f"≤ {TARGETS['rss']:.0f} | {verdict(rr <= TARGETS['rss'])} |")
    add("")
    add("![query latency against vocabulary size](latency.png)")
    add("")
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(lines))


def cpu_name():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def plot(results, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    sizes = [r["words"] for r in results]
    fig, axes = plt.subplots(1, 2, figsize=(12, 5), sharey=True)
    for ax, d in zip(axes, (1, 2)):
        lines = [
            ("tessaloom fuzzy_match", "o-", [r[f"md{d}"]["fm_us"] for r in results]),
            ("tessaloom fuzzy_match_video", "s-", [r[f"md{d}"]["fmv_us"] for r in results]),
            ("pure-Python walk", "^--", [r[f"md{d}"]["py_us"] for r in results]),
            ("RapidFuzz brute force", "v--", [r[f"md{d}"]["rf_us"] for r in results]),
        ]
        sym = [(r["words"], r["symspell"][f"us_{d}"]) for r in results if r["symspell"]]
        for label, style, ys in lines:
            ax.plot(sizes, ys, style, label=label)
        if sym:
            ax.plot([s for s, _ in sym], [y for _, y in sym], "d:",
                    label="symspellpy (whole words, reference)")
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_title(f"max_dist {d}")
        ax.set_xlabel("vocabulary size (terms)")
        ax.grid(True, which="both", alpha=0.3)
    axes[0].set_ylabel("median latency per query (µs)")
    axes[0].legend(fontsize=8)
    fig.suptitle("Fuzzy lookup latency against vocabulary size")
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--sizes", nargs="+", type=int, default=list(SIZES))
    ap.add_argument("--queries", type=int, default=200)
    ap.add_argument("--baseline-queries", type=int, default=30)
    ap.add_argument("--reps", type=int, default=5)
    ap.add_argument("--symspell-timeout", type=int, default=300,
                    help="seconds allowed to symspellpy's dictionary build and lookups")
    ap.add_argument("--out", default=RESULTS)
    ap.add_argument("--before", metavar="PYTHON",
                    help="interpreter whose _tessaloom is the previous build, for the payload configurations")
    ap.add_argument("--symspell-worker", type=int, help=argparse.SUPPRESS)
    args = ap.parse_args()
    args.sizes = sorted(args.sizes)
    if args.symspell_worker:
        symspell_worker(args)
        return

    started = time.perf_counter()
    load_start = os.getloadavg()[0]
    log("reading word lists ...")
    samples = vocab.nested_samples(vocab.read_words(), args.sizes)
    queries, subset = common_queries(args, samples)
    results = []
    for size in args.sizes:
        log(f"\n== {size:,} terms ({time.perf_counter() - started:.0f} s elapsed)")
        results.append(run_size(args, size, samples[size], queries, subset))
    log(f"\n== payload configurations ({time.perf_counter() - started:.0f} s elapsed)")
    configs = bench_codec.compare(["light", "heavy"], args.before, args.queries, args.reps)
    args.elapsed = time.perf_counter() - started
    args.load = (load_start, os.getloadavg()[0])
    os.makedirs(args.out, exist_ok=True)
    write_markdown(args, results, os.path.join(args.out, "results.md"))
    with open(os.path.join(args.out, "results.md"), "a", encoding="utf-8") as f:
        f.write("\n## Payload configurations, in fresh processes\n\n")
        if not args.before:
            f.write("No previous build given (--before): the before column is empty.\n\n")
        for config, (after, before) in configs.items():
            f.write(bench_codec.table(config, after, before) + "\n\n")
    plot(results, os.path.join(args.out, "latency.png"))
    log(f"\nwrote {os.path.join(args.out, 'results.md')} and latency.png "
        f"in {time.perf_counter() - started:.0f} s")
    with open(os.path.join(args.out, "results.md"), encoding="utf-8") as f:
        log(f.read())


if __name__ == "__main__":
    main()

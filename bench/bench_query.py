"""Query speed: fuzzy_match and fuzzy_match_video on a real-word index.

Builds an index over a Debian word list (American English, about 348,000
words, by default) with synthetic Zipf video payloads, runs fixed-seed
misspellings of real words (one and two edits, 3 to 12 code points) at
max_dist 1 and 2, and prints the median time per query of both methods, the
nodes the walk visits per query, the time per visited node and the ratio
against the pure-Python walk of the tests' model on a fixed subset of the
queries.

    python bench/bench_query.py [--lists american-english-huge french ...]
"""

import argparse
import statistics
import time

import vocab
from vocab import log

import model
from _tessaloom import PrefixSearch


def model_walk_index(arrays):
    """The model's index record for the walk alone.  The walk reads only
    whether a payload is present, and after propagation every node has one,
    so placeholder payloads make it do exactly the work it does on the
    built index."""
    present = (0, [], [])
    return model.Index(
        arrays.node_shifts,
        arrays.np_labels.tolist(),
        arrays.child_transitions,
        [present] * arrays.n_nodes,
        [],
    )


def measure(index, arrays, queries, max_dist, reps=5):
    """Figures of both methods over `queries` at one max_dist."""
    fm = vocab.per_query_ns(index.fuzzy_match, queries, max_dist, reps)
    fmv = vocab.per_query_ns(index.fuzzy_match_video, queries, max_dist, reps)
    visited, matched = [], []
    for q in queries:
        v, m = vocab.walk_stats(arrays, q, max_dist)
        got = len(index.fuzzy_match(q, max_dist))
        if got != m:
            raise AssertionError(f"{q!r} at {max_dist}: {got} matches, the count pass finds {m}")
        visited.append(v)
        matched.append(m)
    return {
        "max_dist": max_dist,
        "queries": len(queries),
        "fm_ns": fm,
        "fmv_ns": fmv,
        "fm_us": statistics.median(fm) / 1e3,
        "fmv_us": statistics.median(fmv) / 1e3,
        "visited": visited,
        "visited_mean": statistics.mean(visited),
        "visited_median": statistics.median(visited),
        "matched_mean": statistics.mean(matched),
        # Total time over total visited nodes: the per-call overhead and the
        # building of the result list are charged to the nodes too.
        "ns_per_node": sum(fm) / sum(visited),
    }


def model_ratio(index, mindex, queries, max_dist, reps=3):
    """Median per query of the pure-Python walk against fuzzy_match, on the
    same queries; also checks that both give the same matches."""
    py = []
    for q in queries:
        want = model.fuzzy_match(mindex, q, max_dist)
        got = index.fuzzy_match(q, max_dist)
        if got != want:
            raise AssertionError(f"{q!r} at {max_dist}: module and model disagree")
        py.append(vocab.time_once(model.fuzzy_match, mindex, q, max_dist))
    native = vocab.per_query_ns(index.fuzzy_match, queries, max_dist, reps)
    return {
        "py_us": statistics.median(py) / 1e3,
        "native_us": statistics.median(native) / 1e3,
        "ratio": statistics.median(py) / statistics.median(native),
    }


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--lists", nargs="+", default=list(vocab.ENGLISH),
                    help="word lists under /usr/share/dict")
    ap.add_argument("--queries", type=int, default=200)
    ap.add_argument("--baseline-queries", type=int, default=30,
                    help="queries the pure-Python walk is timed on")
    ap.add_argument("--reps", type=int, default=5)
    args = ap.parse_args()

    words = vocab.read_words(args.lists)
    arrays = vocab.Arrays(words)
    log(f"vocabulary: {len(words):,} words from {', '.join(args.lists)}; {arrays.n_nodes:,} nodes")
    t0 = time.perf_counter()
    index = PrefixSearch.from_internal_data_v2(*vocab.build_inputs(arrays))
    log(f"built in {time.perf_counter() - t0:.2f} s")
    queries = vocab.make_queries(words, args.queries, 3, 12)
    subset = queries[:args.baseline_queries]
    mindex = model_walk_index(arrays)

    log(f"{len(queries)} queries (one and two edits, 3-12 code points); "
        f"CPU time of the calling thread, median of {args.reps} runs per query, "
        "then the median over queries")
    for max_dist in (1, 2):
        m = measure(index, arrays, queries, max_dist, args.reps)
        r = model_ratio(index, mindex, subset, max_dist)
        log(f"\nmax_dist {max_dist}")
        log(f"  fuzzy_match         {m['fm_us']:10.1f} us/query (median)")
        log(f"  fuzzy_match_video   {m['fmv_us']:10.1f} us/query (median)")
        log(f"  nodes visited       {m['visited_mean']:10.0f} per query (mean), "
            f"{m['visited_median']:.0f} (median); {m['matched_mean']:.1f} matches")
        log(f"  per visited node    {m['ns_per_node']:10.1f} ns   (target <= 30)")
        log(f"  pure-Python walk    {r['py_us']:10.1f} us/query on {len(subset)} queries; "
            f"fuzzy_match {r['native_us']:.1f} us on the same")
        log(f"  ratio               {r['ratio']:10.0f}x  (target >= 75x)")


if __name__ == "__main__":
    main()

"""What `video_top_n` costs in answers, and what it saves in bytes.

Builds the index over a real word list (American English by default) with
the benchmark's synthetic Zipf video payloads, once with no cut
(video_top_n = 4294967295) and once for each value of --top-n, and runs two
fixed-seed query sets at the default max_dist 1:

- short prefixes: the first 1 to 4 code points of random words, as typed
  into a search box;
- misspellings: the benchmark's misspelled words, 2 to 12 code points.

For each value it prints the saved size and, per query set, how often the
top 10 videos agree with the uncut index: as a set, and as the same videos
in the same order with the same scores (equal to 1e-12); and the largest
change of the score of a video that both top 10s hold.  Videos of equal
score are put in one order (by id) on both sides first.

    python bench/bench_top_n.py [--lists american-english-huge] [--queries 3000]
"""

import argparse
import random
import time

import vocab
from vocab import log

from _tessaloom import PrefixSearch

NO_CUT = 0xFFFFFFFF
TOP = 10


def top(index, query):
    ranked = sorted(index.fuzzy_match_video(query), key=lambda pair: (-pair[1], pair[0]))
    return ranked[:TOP]


def same_scores(a, b):
    return len(a) == len(b) and all(
        va == vb and abs(sa - sb) <= 1e-12 * max(abs(sb), 1e-300) for (va, sa), (vb, sb) in zip(a, b)
    )


def short_prefixes(words, count, seed=vocab.SEED):
    rng = random.Random(seed + 3)
    return [w[: rng.randint(1, 4)] for w in rng.choices(words, k=count)]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--lists", nargs="+", default=list(vocab.ENGLISH))
    parser.add_argument("--queries", type=int, default=3000)
    parser.add_argument("--top-n", type=int, nargs="+", default=[10, 32, 100, 1000])
    args = parser.parse_args()

    words = vocab.read_words(args.lists)
    arrays = vocab.Arrays(words)
    inputs = list(vocab.build_inputs(arrays))
    log(f"{len(words):,} words, {arrays.n_nodes:,} trie nodes, {len(inputs[4]):,} videos")
    sets = {
        "short prefixes": short_prefixes(words, args.queries),
        "misspellings": vocab.make_queries(words, args.queries, 2, 12),
    }

    def build(top_n):
        start = time.perf_counter()
        index = PrefixSearch.from_internal_data_v2(*inputs[:5], top_n)
        return index, time.perf_counter() - start

    reference, seconds = build(NO_CUT)
    expected = {name: [top(reference, q) for q in queries] for name, queries in sets.items()}
    rows = [("no cut", len(reference.to_bytes()), seconds, None)]
    del reference
    for top_n in args.top_n:
        index, seconds = build(top_n)
        agreement = {}
        for name, queries in sets.items():
            got = [top(index, q) for q in queries]
            same_set = sum({v for v, _ in g} == {v for v, _ in e} for g, e in zip(got, expected[name]))
            same = sum(same_scores(g, e) for g, e in zip(got, expected[name]))
            # the largest change of a score among the videos both keep
            drift = max((abs(dict(g)[v] - s) for g, e in zip(got, expected[name])
                         for v, s in e if v in dict(g)), default=0.0)
            agreement[name] = (same_set, same, drift)
        rows.append((top_n, len(index.to_bytes()), seconds, agreement))
        log(f"video_top_n {top_n}: done")

    names = list(sets)
    n = args.queries
    log("")
    log(f"{len(words):,} words ({', '.join(args.lists)}); {n:,} queries per set, max_dist 1; "
        f"agreement of the top {TOP} videos with the uncut index")
    log("")
    header = " | ".join(
        f"{name}: same set | {name}: same videos and scores | {name}: largest score change"
        for name in names
    )
    log(f"| video_top_n | saved MB | build s | {header} |")
    log("|---:|---:|---:|" + "---:|" * (3 * len(names)))
    for top_n, size, seconds, agreement in rows:
        cells = " | ".join(
            " | | " if agreement is None else
            f"{agreement[name][0] / n:.1%} | {agreement[name][1] / n:.1%} | {agreement[name][2]:.2g}"
            for name in names
        )
        log(f"| {top_n} | {size / 1e6:.1f} | {seconds:.2f} | {cells} |")


if __name__ == "__main__":
    main()

"""Shared pieces of the benchmarks: real word lists, a fast builder of the
flat trie arrays, synthetic video payloads, misspelled queries, an exact
count of the nodes a query's walk visits, and small timing helpers.

Everything here is deterministic for a given seed, so every script and every
run measures the same vocabularies and the same queries.
"""

import os
import random
import statistics
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
# The tests' pure-Python model is the baseline walk and build.
sys.path.insert(0, os.path.join(ROOT, "tests"))

DICT_DIR = "/usr/share/dict"
# Debian packages: wamerican-huge wfrench wngerman wportuguese witalian wspanish
WORD_LISTS = (
    "american-english-huge",
    "french",
    "ngerman",
    "portuguese",
    "italian",
    "spanish",
)
ENGLISH = ("american-english-huge",)

SEED = 20240611
N_VIDEOS = 50_000
VIDEO_TOP_N = 10

# Payload shapes.  light: each word in 1 to 5 videos, video_top_n 10 (the
# suite's vocabularies).  heavy: each word in 1 to 30 videos, video_top_n
# 100, on the French and German lists (about 700,000 words).
CONFIGS = {
    "light": {"lists": ENGLISH, "per_word": 5, "top_n": VIDEO_TOP_N},
    "heavy": {"lists": ("french", "ngerman"), "per_word": 30, "top_n": 100},
}


def log(*parts):
    print(*parts, flush=True)


# --- words -------------------------------------------------------------------


def read_words(lists=WORD_LISTS):
    """Distinct words of the given Debian word lists, sorted by code point."""
    words = set()
    for name in lists:
        path = os.path.join(DICT_DIR, name)
        if not os.path.exists(path):
            raise SystemExit(
                f"missing word list {path}: apt-get install wamerican-huge wfrench "
                "wngerman wportuguese witalian wspanish"
            )
        with open(path, encoding="utf-8") as f:
            words.update(w for w in (line.strip() for line in f) if w)
    return sorted(words)


def nested_samples(words, sizes, seed=SEED):
    """Fixed-seed samples of `words` of each size, each one containing the
    smaller ones, every sample sorted by code point."""
    order = list(words)
    random.Random(seed).shuffle(order)
    return {size: sorted(order[:size]) for size in sizes}


# --- the trie as flat arrays ---------------------------------------------------


class Arrays:
    """A vocabulary's trie: one node per distinct prefix, node 0 the root with
    the label '', nodes numbered in pre-order and the children of each node
    grouped together in label order."""

    def __init__(self, words):
        words = sorted(set(words))
        labels = [""]
        parent = [0]
        terminal = []
        path = [0]
        prev = ""
        for w in words:
            m = min(len(w), len(prev))
            k = 0
            while k < m and w[k] == prev[k]:
                k += 1
            del path[k + 1:]
            for ch in w[k:]:
                nid = len(labels)
                labels.append(ch)
                parent.append(path[-1])
                path.append(nid)
            terminal.append(path[-1])
            prev = w
        n = len(labels)
        par = np.asarray(parent, dtype=np.int64)
        # Pre-order numbering: each parent's children are already in label
        # order by id, so a stable grouping by parent gives the child runs.
        trans = np.argsort(par[1:], kind="stable") + 1
        counts = np.bincount(par[1:], minlength=n)
        shifts = np.zeros(n, dtype=np.int64)
        np.cumsum(counts[:-1], out=shifts[1:])
        self.words = words
        self.labels = labels
        self.parent = par
        self.terminal = terminal  # node of words[i]
        self.np_shifts = shifts
        self.np_trans = trans.astype(np.int64)
        self.np_ends = np.append(shifts[1:], len(trans))
        self.np_labels = np.fromiter(
            (ord(c) if c else 0 for c in labels), dtype=np.int64, count=n
        )
        self.node_shifts = shifts.tolist()
        self.child_transitions = self.np_trans.tolist()

    @property
    def n_nodes(self):
        return len(self.labels)

    def node_texts(self):
        """The text of every node; node 0's is ''."""
        texts = [""] * self.n_nodes
        labels, parent = self.labels, self.parent.tolist()
        for i in range(1, self.n_nodes):  # pre-order: parents come first
            texts[i] = texts[parent[i]] + labels[i]
        return texts


def video_table(n_videos=N_VIDEOS, seed=SEED):
    rng = np.random.default_rng(seed)
    raw = rng.integers(0, 256, size=(n_videos, 16), dtype=np.uint8).tobytes()
    return [raw[16 * i:16 * i + 16] for i in range(n_videos)]


def payloads_for(arrays, n_videos=N_VIDEOS, seed=SEED, per_word_max=5):
    """One payload per word's node, None elsewhere.  Each word occurs in 1 to
    `per_word_max` videos picked from a Zipf distribution (a few videos are
    very common), with small counts; total_count is the sum of the counts."""
    rng = np.random.default_rng(seed + 1)
    n_words = len(arrays.terminal)
    per_word = rng.integers(1, per_word_max + 1, size=n_words)
    total = int(per_word.sum())
    rank = np.minimum(rng.zipf(1.3, size=total) - 1, n_videos - 1)
    ids = rng.permutation(n_videos)[rank].tolist()
    counts = rng.geometric(0.5, size=total).tolist()
    payloads = [None] * arrays.n_nodes
    pos = 0
    for node, k in zip(arrays.terminal, per_word.tolist()):
        c = counts[pos:pos + k]
        payloads[node] = (sum(c), ids[pos:pos + k], c)
        pos += k
    return payloads


def build_inputs(arrays, seed=SEED, config="light"):
    """The six arguments of from_internal_data_v2, as plain Python lists."""
    c = CONFIGS[config]
    return (
        list(arrays.node_shifts),
        list(arrays.labels),
        payloads_for(arrays, seed=seed, per_word_max=c["per_word"]),
        list(arrays.child_transitions),
        video_table(seed=seed),
        c["top_n"],
    )


# --- queries -------------------------------------------------------------------


def misspell(word, edits, rng, alphabet):
    """`word` with `edits` random substitutions, insertions, deletions or
    transpositions of neighbours."""
    w = list(word)
    for _ in range(edits):
        op = rng.choice(("sub", "ins", "del", "swap")) if len(w) > 1 else "ins"
        i = rng.randrange(len(w))
        if op == "sub":
            w[i] = rng.choice([c for c in alphabet if c != w[i]] or alphabet)
        elif op == "ins":
            w.insert(rng.randrange(len(w) + 1), rng.choice(alphabet))
        elif op == "del":
            del w[i]
        else:
            i = rng.randrange(len(w) - 1)
            w[i], w[i + 1] = w[i + 1], w[i]
    return "".join(w)


def make_queries(words, count, min_len, max_len, seed=SEED):
    """`count` misspellings of words drawn from `words`, alternating one and
    two edits, each between min_len and max_len code points long."""
    rng = random.Random(seed + 2)
    pool = [w for w in words if min_len <= len(w) <= max_len + 1]
    # Letters for substitutions and insertions, as frequent as in the words.
    sample = rng.sample(pool, min(len(pool), 2000))
    alphabet = [c for w in sample for c in w]
    queries = []
    while len(queries) < count:
        word = rng.choice(pool)
        q = misspell(word, 1 + len(queries) % 2, rng, alphabet)
        if min_len <= len(q) <= max_len and q != word:
            queries.append(q)
    return queries


# --- visited nodes ---------------------------------------------------------------


def walk_stats(arrays, term, max_dist):
    """(nodes visited, nodes matched) by the walk for `term`.

    A node is visited when its parent is expanded, and a node is expanded
    when the smallest entry of its distance row is at most max_dist; the root
    (row 0..n) is always visited and expanded.  Which nodes are visited does
    not depend on the order of the walk, so this goes level by level with all
    rows of a level as one array.  Exact for tries without empty labels."""
    q = np.fromiter((ord(c) for c in term), dtype=np.int64, count=len(term))
    n = len(q)
    shifts, ends, trans, labels = arrays.np_shifts, arrays.np_ends, arrays.np_trans, arrays.np_labels

    def children(parents, rows):
        cnt = ends[parents] - shifts[parents]
        total = int(cnt.sum())
        if total == 0:
            return parents[:0], rows[:0]
        rep = np.repeat(np.arange(len(parents)), cnt)
        first = np.cumsum(cnt) - cnt
        pos = shifts[parents][rep] + (np.arange(total) - first[rep])
        return trans[pos], rows[rep]

    nodes, prev = children(np.zeros(1, dtype=np.int64), np.arange(n + 1)[None, :])
    visited, matched = 1, 0
    while len(nodes):
        visited += len(nodes)
        c = labels[nodes]
        row = np.empty_like(prev)
        row[:, 0] = prev[:, 0] + 1
        for j in range(1, n + 1):
            row[:, j] = np.minimum(
                np.minimum(row[:, j - 1], prev[:, j]) + 1,
                prev[:, j - 1] + (c != q[j - 1]),
            )
        matched += int(np.count_nonzero(row[:, n] <= max_dist))
        keep = row.min(axis=1) <= max_dist
        nodes, prev = children(nodes[keep], row[keep])
    return visited, matched


def count_visits_slow(arrays, term, max_dist):
    """The same count by a plain depth-first walk (a check on walk_stats)."""
    q = [ord(c) for c in term]
    n = len(q)
    shifts, trans, labels = arrays.node_shifts, arrays.child_transitions, arrays.np_labels.tolist()
    stack = [(0, list(range(n + 1)))]
    visited = 0
    while stack:
        u, row = stack.pop()
        visited += 1
        if min(row) > max_dist:
            continue
        end = shifts[u + 1] if u + 1 < len(shifts) else len(trans)
        for t in trans[shifts[u]:end]:
            c = labels[t]
            r = [row[0] + 1]
            for j in range(1, n + 1):
                r.append(min(r[j - 1] + 1, row[j] + 1, row[j - 1] + (q[j - 1] != c)))
            stack.append((t, r))
    return visited


# --- timing ------------------------------------------------------------------------


# Times are CPU time of the calling thread: every system measured here runs
# on the calling thread, and on a shared machine wall time would also count
# the time other processes hold the core.  Reading this clock costs about a
# microsecond here (a system call), which is measured once and taken off.
clock = time.thread_time_ns


def _clock_overhead():
    samples = []
    for _ in range(2000):
        t0 = clock()
        samples.append(clock() - t0)
    return statistics.median(samples)


CLOCK_OVERHEAD_NS = _clock_overhead()


def time_once(fn, *args):
    t0 = clock()
    fn(*args)
    return max(clock() - t0 - CLOCK_OVERHEAD_NS, 0)


def per_query_ns(fn, queries, max_dist, reps):
    """Per query, the median of `reps` timed calls fn(q, max_dist), in ns.
    The repetitions go round the whole query list, so a disturbance of the
    machine does not hit one query's every run."""
    for q in queries:  # warm up
        fn(q, max_dist)
    times = [[] for _ in queries]
    for _ in range(reps):
        for i, q in enumerate(queries):
            times[i].append(time_once(fn, q, max_dist))
    return [statistics.median(t) for t in times]


def median_ns(fn, reps, *args):
    return statistics.median(time_once(fn, *args) for _ in range(reps))


def _status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"no {field}")


def rss_bytes():
    return _status("VmRSS")


def reset_peak_rss():
    """Starts the peak resident set size (VmHWM) afresh from the current RSS."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def peak_rss_bytes():
    return _status("VmHWM")

"""The process survives its callers: no method leaks references or memory on
any path, concurrent callers see exactly what sequential ones see, and an
index never changes."""

import math
import os
import random
import subprocess
import sys
import threading
import time

import pytest

import model
from conftest import (
    CAR_CART_CAT_DOG,
    MAX_U32,
    PARAMS,
    Idx,
    RaisingIdx,
    build,
    fresh,
    graph_arrays,
    method,
    text,
    tracked,
    trie_arrays,
    vid,
)

# ---- the module under test -------------------------------------------------------


def test_imported_module_is_the_build_under_test(mod):
    # Runs that test a particular build (the sanitizer build in CI) name it,
    # so that an installed copy earlier on sys.path cannot stand in for it.
    expected = os.environ.get("TESSALOOM_EXPECT_MODULE")
    if not expected:
        pytest.skip("TESSALOOM_EXPECT_MODULE not set")
    assert os.path.realpath(mod.__file__) == os.path.realpath(expected)


# ---- inputs --------------------------------------------------------------------------


class BytesSub(bytes):
    pass


def doubled_chain(n):
    return graph_arrays([[i + 1, i + 1] for i in range(n - 1)] + [[]], [(1, [0], [1])] * n)


@pytest.fixture(scope="module")
def indexes(PS):
    tree = build(PS, trie_arrays(CAR_CART_CAT_DOG)[0])
    found = dict(
        tree=tree,
        cycle=build(PS, graph_arrays([[1], [0]], [None, (1, [0], [1])])),
        exploding=build(PS, doubled_chain(30)),
    )
    if hasattr(tree, "from_bytes"):
        vids = [vid(0), vid(1)]
        found.update(
            # a child id beyond the labels: the walk's lookup faults
            bad_child=PS.from_bytes(model.encode(model.Index([0, 1], [0, 97], [1, 7], [None, (1, [0], [1])], vids))),
            # a payload with fewer counts than ids: the ranking faults
            short_counts=PS.from_bytes(model.encode(model.Index([0, 1], [0, 97], [1], [None, (5, [0, 1], [3])], vids))),
            # a matched node with no payload slot
            no_slot=PS.from_bytes(model.encode(model.Index([0, 1], [0, 97], [1], [None], vids))),
        )
    return found


def query_cases(ix):
    """(index, args, kwargs) for one query method: success and every kind of
    failure, each argument a new object."""
    tree = ix["tree"]
    cases = {
        "hits": (tree, (text("ca"),), {}),
        "limit": (tree, (text("cat"), fresh(1)), {"limit": fresh(3)}),
        "keywords": (tree, (), {"term": text("dgo"), "max_dist": Idx(fresh(2)), "limit": None}),
        "no match": (tree, (text("zzzzzz"), 0), {}),
        "too many positional": (tree, (text("a"), 1, None, fresh(4000)), {}),
        "unexpected keyword": (tree, (text("a"),), {"bogus": fresh(5000)}),
        "multiple values": (tree, (text("a"),), {"term": text("b")}),
        "missing": (tree, (), {"max_dist": fresh(3000)}),
        "term not str": (tree, (fresh(5000),), {}),
        "term surrogate": (tree, (text("\ud800x"),), {}),
        "max_dist None": (tree, (text("a"), None), {}),
        "max_dist negative": (tree, (text("a"), fresh(-300)), {}),
        "max_dist overflow": (tree, (text("a"), fresh(2**40)), {}),
        "max_dist float": (tree, (text("a"), 2.5), {}),
        "max_dist raises": (tree, (text("a"), RaisingIdx()), {}),
        "limit str": (tree, (text("a"), 1, text("xy")), {}),
        "limit overflow": (tree, (text("a"), 1, fresh(2**33)), {}),
        "cycle": (ix["cycle"], (text("a"), MAX_U32), {}),
        "budget": (ix["exploding"], (text("aaa"), MAX_U32), {}),
    }
    for name in ("bad_child", "short_counts", "no_slot"):
        if name in ix:
            cases[name] = (ix[name], (text("a"), fresh(1000)), {})
    return cases


def family_cases(PS, ix, family):
    """name -> zero-argument callable, for one method family."""
    if family in ("fuzzy_match", "fuzzy_match_video"):
        unbound = getattr(PS, family)
        out = {
            name: (lambda fn=getattr(index, family), a=a, kw=kw: fn(*a, **kw))
            for name, (index, a, kw) in query_cases(ix).items()
        }
        wrong = object()
        out["wrong receiver"] = lambda: unbound(wrong, "a")
        return out
    if family == "to_bytes":
        to_bytes = method(ix["tree"], "to_bytes")
        wrong = object()
        return {
            "success": to_bytes,
            "success on a loaded index": ix["short_counts"].to_bytes,
            "argument given": lambda arg=fresh(7000): to_bytes(arg),
            "wrong receiver": lambda: PS.to_bytes(wrong),
        }
    if family == "from_bytes":
        method(ix["tree"], "from_bytes")
        good = ix["tree"].to_bytes()
        data = {
            "success": bytes(good),
            "subclass": BytesSub(good),
            "trailing bytes": good + b"\x07" * 5,
            "unexpected end": good[:-3],
            "empty": bytes(),
            "marker u128": b"\x01\xfe" + bytes(20),
            "count too big": b"\xfd\x00\x00\x00\x00\x01\x00\x00\x00",
            "bad char": b"\x00\x01\xed\xa0\x80",
            "bad tag": b"\x01\x00\x01\x61\x00\x01\x02",
            "hostile count": b"\xfc\x00\x28\x6b\xee" + bytes(10),
            "bytearray": bytearray(good),
            "memoryview": memoryview(good),
            "int": fresh(5000),
        }
        out = {name: (lambda d=d: PS.from_bytes(d)) for name, d in data.items()}
        out["keyword"] = lambda d=bytes(good): PS.from_bytes(b=d)
        out["too many"] = lambda d=bytes(good): PS.from_bytes(d, d)
        out["missing"] = lambda: PS.from_bytes()
        out["unexpected keyword"] = lambda d=bytes(good): PS.from_bytes(c=d)
        return out
    if family == "from_internal_data_v2":
        arrays = trie_arrays(CAR_CART_CAT_DOG)[0]

        def call(**changes):
            a = dict(arrays, **changes)
            return lambda: PS.from_internal_data_v2(*(a[p] for p in PARAMS))

        return {
            "success": call(),
            "lengths": call(node_shifts=arrays["node_shifts"][:-1]),
            "child id": call(child_transitions=[1, 99]),
            "payload tuple": call(payloads=[None, [1, [], []]] + [None] * (len(arrays["payloads"]) - 2)),
            "overflow": call(video_top_n=fresh(2**40)),
            "str as sequence": call(child_transitions=text("abc")),
            "video length": call(video_index=[bytes(15)]),
            "internal fault": call(node_shifts=[0] * (len(arrays["node_shifts"]) - 1) + [99]),
        }
    raise AssertionError(family)


FAMILIES = ["fuzzy_match", "fuzzy_match_video", "to_bytes", "from_bytes", "from_internal_data_v2"]


def run_all(calls, rounds):
    for _ in range(rounds):
        for call in calls:
            try:
                call()
            except BaseException:  # noqa: BLE001 - every outcome is fine here
                pass


def panic_type(ix):
    try:
        ix["cycle"].fuzzy_match("a", MAX_U32)
    except BaseException as exc:  # noqa: BLE001
        return type(exc)
    raise AssertionError("no fault")


@pytest.mark.parametrize("family", FAMILIES[:4])
def test_reference_counts_unchanged(PS, mod, indexes, family):
    cases = family_cases(PS, indexes, family)
    inputs = []
    for call in cases.values():
        inputs.extend(c.cell_contents for c in (getattr(call, "__closure__", None) or ()))
        inputs.extend(getattr(call, "__defaults__", None) or ())
    if family in ("fuzzy_match", "fuzzy_match_video"):
        for index, a, kw in query_cases(indexes).values():
            inputs.extend([index, a, kw])
    objects = tracked(inputs, depth=2) + [PS, mod, panic_type(indexes), *indexes.values()]
    calls = list(cases.values())

    run_all(calls, 20)  # warm up: caches the interpreter fills on first use
    before = [sys.getrefcount(o) for o in objects]
    run_all(calls, 200)
    after = [sys.getrefcount(o) for o in objects]
    changed = [(repr(o)[:60], b, a) for o, b, a in zip(objects, before, after) if a != b]
    assert not changed


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory_is_instrumented():
    preload = os.environ.get("LD_PRELOAD", "")
    return "asan" in preload or "vgpreload" in preload


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc/self/statm")
@pytest.mark.skipif(memory_is_instrumented(), reason="the sanitizer's or valgrind's own bookkeeping grows; they check leaks themselves")
@pytest.mark.parametrize("family", FAMILIES)
def test_resident_memory_stays_flat(PS, indexes, family):
    calls = list(family_cases(PS, indexes, family).values())
    rounds = max(1, 20000 // len(calls))
    run_all(calls, rounds // 4)  # warm up: allocator pools and caches
    before = resident_bytes()
    run_all(calls, rounds)
    growth = resident_bytes() - before
    # 20000 calls: a leak of 64 bytes per call would add 1.3 MB.
    assert growth < 1024 * 1024, f"{growth} bytes more after {rounds * len(calls)} calls"


# ---- concurrency --------------------------------------------------------------------


def vocabulary(count, seed=7):
    rng = random.Random(seed)
    alphabet = "abcdeilnorst\u00e9\u4e2d"
    vocab = {}
    while len(vocab) < count:
        word = "".join(rng.choice(alphabet) for _ in range(rng.randint(2, 9)))
        vocab[word] = (rng.randint(1, 50), [rng.randrange(40)], [rng.randint(1, 9)])
    return vocab


def canonical(outcome):
    """Results with videos of equal score put in one order (that order is
    left free); faults as their type and text."""
    if outcome[0] == "video":
        return "video", sorted(outcome[1], key=lambda p: (-p[1], p[0]))
    return outcome


def perform(call):
    name, index, a = call
    try:
        if name == "from_bytes":
            return ("ok", type(index).from_bytes(a).to_bytes())
        result = getattr(index, name)(*a)
        return ("video" if name == "fuzzy_match_video" else "ok", result)
    except BaseException as exc:  # noqa: BLE001 - faults are compared too
        return ("fault", type(exc).__name__, str(exc))


def test_concurrent_calls_match_sequential_ones(PS, indexes):
    index = build(PS, trie_arrays(vocabulary(1500), videos=40, top_n=5)[0])
    save = method(index, "to_bytes")
    method(index, "from_bytes")
    saved = save()
    rng = random.Random(11)
    terms = [w[: rng.randint(1, len(w))] for w in rng.sample(sorted(vocabulary(1500)), 30)] + ["", "zzz", "\u4e2d\u00e9"]
    calls = []
    for term in terms:
        for max_dist in (0, 1, 2):
            calls.append(("fuzzy_match", index, (term, max_dist)))
            calls.append(("fuzzy_match_video", index, (term, max_dist, rng.choice([None, 3, 50]))))
    calls += [("to_bytes", index, ())] * 10 + [("from_bytes", index, saved)] * 10
    calls += [("fuzzy_match", indexes["cycle"], ("a", MAX_U32))] * 3
    # large enough to be walked without the interpreter lock, and faulting
    calls += [("fuzzy_match_video", build(PS, doubled_chain(1100)), ("aaa", MAX_U32))] * 3
    expected = [canonical(perform(c)) for c in calls]
    assert any(e[0] == "fault" for e in expected) and any(e[0] == "video" and e[1] for e in expected)

    threads, rounds = 6, 3
    barrier = threading.Barrier(threads)
    mismatches, errors = [], []

    def worker(seed):
        try:
            order = list(range(len(calls)))
            random.Random(seed).shuffle(order)
            barrier.wait()
            for _ in range(rounds):
                for i in order:
                    got = canonical(perform(calls[i]))
                    if got != expected[i]:
                        mismatches.append((calls[i][0], calls[i][2][:2], got, expected[i]))
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # switch threads as often as the interpreter can
    try:
        pool = [threading.Thread(target=worker, args=(s,)) for s in range(threads)]
        for t in pool:
            t.start()
        for t in pool:
            t.join()
    finally:
        sys.setswitchinterval(interval)
    assert not errors
    assert not mismatches[:5]
    # The index is immutable: what it saves is what it saved before.
    assert save() == saved


# ---- the interpreter lock -------------------------------------------------------

# Every node is within reach of this term, so a walk computes a row of
# 30,000 cells at each of the index's 5,500 nodes.
LONG_TERM = "a" * 30000


@pytest.fixture(scope="module")
def large_index(PS):
    return build(PS, trie_arrays(vocabulary(1500), videos=40, top_n=5)[0])


@pytest.mark.parametrize("name", ["fuzzy_match", "fuzzy_match_video"])
def test_other_threads_run_while_a_long_query_runs(large_index, name):
    query = getattr(large_index, name)
    # The walk's time grows with the term: lengthen it until the query takes
    # a quarter of a second on this build, so that the middle half is far
    # longer than the other thread can take to wake on a loaded machine.
    start = time.perf_counter()
    query(LONG_TERM, MAX_U32, 1)
    took = max(time.perf_counter() - start, 1e-4)
    term = LONG_TERM * max(1, min(100, math.ceil(0.25 / took)))
    ticks, done = [], threading.Event()

    def tick():
        while not done.is_set():
            ticks.append(time.perf_counter())

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        start = time.perf_counter()
        assert query(term, MAX_U32, 1)
        end = time.perf_counter()
    finally:
        done.set()
        ticker.join()
    # Holding the lock, the query would let no tick in while it runs: the
    # other thread gets the lock only between bytecodes.  Only the middle
    # half counts, away from the call's own entry and exit.
    quarter = (end - start) / 4
    inside = [t for t in ticks if start + quarter < t < end - quarter]
    assert inside, f"no tick in the middle of a {end - start:.3f} s query"


def test_exit_while_daemon_threads_query(mod):
    # At exit the interpreter ends threads that try to take its lock back;
    # that must not end the process with an abort.
    script = f"""
import sys, threading, time
sys.path[:0] = [{os.path.dirname(mod.__file__)!r}, {os.path.dirname(__file__)!r}]
from conftest import build, trie_arrays
from test_reliability import LONG_TERM, vocabulary
import _tessaloom
index = build(_tessaloom.PrefixSearch, trie_arrays(vocabulary(1500))[0])
def loop():
    while True:
        index.fuzzy_match_video(LONG_TERM[:1000], 2**32 - 1)
for _ in range(3):
    threading.Thread(target=loop, daemon=True).start()
time.sleep(0.2)
"""
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert (result.returncode, result.stderr) == (0, "")

"""Payload aggregation toward the root, observed through the saved index."""

import os
import random

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import model
from conftest import (
    MAX_U32,
    build,
    canonical,
    check_payloads,
    graph_arrays,
    observe_payloads,
    trie_arrays,
)

E = (0, [], [])
BIG = 4294967000


def leaf_under_root(own, top_n=10):
    return graph_arrays([[1], []], [None, own], top_n)


# (arrays, node -> exact expected payload, or a predicate for free orders)
CASES = {
    "all absent": (graph_arrays([[1, 2], [], []], [None] * 3), {0: E, 1: E, 2: E}),
    "top_n 0 keeps totals": (
        graph_arrays([[1, 2], [], []], [(1, [0], [1]), (2, [1], [2]), (3, [0], [3])], top_n=0),
        {0: (6, [], []), 1: (2, [], []), 2: (3, [], [])},
    ),
    "leaf keeps caller order and duplicates": (
        leaf_under_root((9, [7, 3, 7], [1, 5, 2]), top_n=2),
        {1: (9, [7, 3], [1, 5]), 0: (9, [3, 7], [5, 1])},
    ),
    "an empty child still sorts and sums": (
        graph_arrays([[1], [2], []], [None, (9, [7, 3, 7], [1, 5, 2]), None]),
        {1: (9, [3, 7], [5, 3]), 2: E},
    ),
    "parent and two leaves": (
        graph_arrays([[1, 2], [], []], [(2, [1], [2]), (5, [1, 2], [4, 1]), (3, [2], [3])]),
        {0: (10, [1, 2], [6, 4])},
    ),
    "total clamps": (
        graph_arrays([[1], []], [(BIG, [], []), (1000, [], [])]),
        {0: (MAX_U32, [], [])},
    ),
    "per-video sum clamps": (
        graph_arrays([[1, 2], [], []], [None, (BIG, [5], [BIG]), (BIG, [5], [BIG])]),
        {0: (MAX_U32, [5], [MAX_U32])},
    ),
    "own duplicates clamp too": (
        graph_arrays([[1], []], [(0, [5, 5], [BIG, BIG]), None]),
        {0: (0, [5], [MAX_U32])},
    ),
    "self child adds nothing": (
        graph_arrays([[0, 1], []], [(1, [4], [1]), (2, [4], [2])]),
        {0: (3, [4], [3])},
    ),
    "only itself as child: caller's lists": (
        graph_arrays([[0]], [(1, [4, 2, 4], [1, 2, 3])], top_n=2),
        {0: (1, [4, 2], [1, 2])},
    ),
    "a child listed twice counts twice": (
        graph_arrays([[1, 1], []], [None, (2, [4], [2])]),
        {0: (4, [4], [4])},
    ),
    "shared child feeds both parents": (
        graph_arrays([[1, 2], [3], [3], []], [None, None, None, (2, [4], [2])]),
        {1: (2, [4], [2]), 2: (2, [4], [2]), 0: (4, [4], [4])},
    ),
    # 0 -> 1 -> 2 -> 1: node 1 finishes first and takes node 2 as the caller
    # gave it; node 2 then takes node 1's finished payload.
    "cycle takes the open node's own payload": (
        graph_arrays([[1], [2], [1]], [None, (1, [1], [1]), (2, [2], [2])]),
        {1: (3, [2, 1], [2, 1]), 2: (5, [2, 1], [4, 1]), 0: (3, [2, 1], [2, 1])},
    ),
    # children with smaller ids than their parent are finished first
    "child numbered below its parent": (
        graph_arrays([[2], [], [1]], [None, (5, [1], [5]), None]),
        {2: (5, [1], [5]), 0: (5, [1], [5])},
    ),
    "top_n 1 drops a video no child kept": (
        graph_arrays([[1, 2], [], []], [None, (9, [1, 2], [5, 4]), (9, [3, 2], [5, 4])], top_n=1),
        {0: lambda p: p[0] == 18 and p[1] in ([1], [3]) and p[2] == [5]},
    ),
}


@pytest.mark.parametrize("name", CASES)
def test_listed_cases(PS, name):
    arrays, expected = CASES[name]
    matches = lambda want, p: want(p) if callable(want) else p == want  # noqa: E731
    modelled = model.build(**arrays).payloads
    assert all(matches(want, modelled[node]) for node, want in expected.items())
    got = observe_payloads(build(PS, arrays))
    for node, want in expected.items():
        assert matches(want, got[node]), (node, got[node])
    check_payloads(got, arrays)


VOCAB = {
    "tea": (5, [0, 1], [3, 2]),
    "ten": (7, [2, 1], [4, 3]),
    "tent": (9, [3], [9]),
    "to": (4, [4, 0], [3, 1]),
    "a": (2, [5], [2]),
}


def large_vocab():
    # Over 2^17 nodes: numbered parent first, such a trie is propagated in
    # two halves on two threads; numbered children first, in one pass.
    rng = random.Random(13)
    vocab = {}
    while len(vocab) < 30_000:
        term = "".join(rng.choice("abcdefghijklmnop") for _ in range(rng.randint(5, 12)))
        ids = rng.sample(range(8), rng.randint(1, 3))
        counts = sorted((rng.randint(1, 4) for _ in ids), reverse=True)
        vocab[term] = (sum(counts), ids, counts)
    return vocab


@pytest.mark.parametrize("vocab", [VOCAB, "large"], ids=["small", "large"])
def test_numbering_does_not_change_the_result(PS, vocab):
    if vocab == "large":
        vocab = large_vocab()
    seen = []
    for order in ("parent_first", "children_first"):
        arrays, texts = trie_arrays(vocab, order=order, top_n=2)
        got = observe_payloads(build(PS, arrays))
        if vocab is VOCAB:  # the large one: the one-pass result is the reference
            check_payloads(got, arrays)
        seen.append({t: canonical(p) for t, p in zip(texts, got)})
    assert seen[0] == seen[1]
    if vocab is VOCAB:
        assert seen[0][""] == (27, [(2, 4), (3, 9)])
    else:
        assert len(seen[0]) > 2**17


def test_failed_build_leaves_no_trace(PS):
    # a fault in one build does not disturb the next one
    bad = graph_arrays([[1], []], [None, None])
    bad["node_shifts"] = [0, 4]
    with pytest.raises(BaseException):
        build(PS, bad)
    arrays, _ = trie_arrays(VOCAB)
    check_payloads(observe_payloads(build(PS, arrays)), arrays)


# --- differential: module against the model ---------------------------------

COUNTS = st.sampled_from([0, 1, 2, 3, 5, 2**31, BIG, MAX_U32])


@st.composite
def payload(draw):
    if draw(st.booleans()):
        return None
    k = draw(st.integers(0, 4))
    ids = draw(st.lists(st.integers(0, 5), min_size=k, max_size=k))
    counts = draw(st.lists(COUNTS, min_size=k, max_size=k))
    return (draw(COUNTS), ids, counts)


@st.composite
def graphs(draw, trees_only=False):
    n = draw(st.integers(1, 8))
    if trees_only or draw(st.booleans()):
        # a tree: a random parent below each node, then a random renumbering
        # that keeps the root at 0
        parent = [None] + [draw(st.integers(0, i - 1)) for i in range(1, n)]
        perm = [0] + draw(st.permutations(range(1, n)))
        children = [[] for _ in range(n)]
        for v in range(1, n):
            children[perm[parent[v]]].append(perm[v])
    else:  # any child lists: cycles, self children, shared children
        children = draw(st.lists(st.lists(st.integers(0, n - 1), max_size=3), min_size=n, max_size=n))
    arrays = graph_arrays(children, [draw(payload()) for _ in range(n)], draw(st.integers(0, 4)))
    if not trees_only and draw(st.integers(0, 4)) == 0:
        # arbitrary range starts: overlapping, reversed, or past the end
        limit = len(arrays["child_transitions"]) + 2
        arrays["node_shifts"] = draw(st.lists(st.integers(0, limit), min_size=n, max_size=n))
    return arrays


def outcome(fn):
    try:
        return fn(), None
    except model.InternalFault as fault:
        return None, str(fault)
    except BaseException as exc:
        if type(exc).__name__ != "PanicException":
            raise
        return None, str(exc)


PROPERTY = settings(max_examples=int(os.environ.get("TESSALOOM_EXAMPLES", 300)), deadline=None, suppress_health_check=[HealthCheck.too_slow])


@PROPERTY
@given(graphs())
def test_builds_and_faults_agree_with_model(PS, arrays):
    index, fault = outcome(lambda: build(PS, arrays))
    _, expected_fault = outcome(lambda: model.build(**arrays))
    assert fault == expected_fault


@pytest.fixture(scope="module")
def saving(PS):
    if not hasattr(PS, "to_bytes"):
        pytest.skip("to_bytes not built yet")


@PROPERTY
@given(graphs())
def test_payloads_agree_with_model(PS, saving, arrays):
    index, fault = outcome(lambda: build(PS, arrays))
    if fault is None:
        check_payloads(observe_payloads(index), arrays)

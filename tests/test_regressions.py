"""Inputs that once hung, crashed or misbehaved, kept so they stay fixed.
Each test names what went wrong."""

import os
import time

import pytest

import hostile
import model
from conftest import MAX_U32, build, graph_arrays, panic

SHARED = ": the child lists share nodes so heavily that the number of paths explodes"
BUDGET_TEXT = "walk exceeded {} node visits" + SHARED
REPEATED_TEXT = "walk exceeded {} bytes of repeated result texts" + SHARED


def doubled_chain(n):
    """Node i lists node i+1 twice: no cycle, but 2^(n-1) paths from the root."""
    return graph_arrays([[i + 1, i + 1] for i in range(n - 1)] + [[]], [(1, [0], [1])] * n)


@pytest.mark.parametrize("method", ["fuzzy_match", "fuzzy_match_video"])
def test_exploding_paths_end_with_the_visit_budget(PS, method):
    # A query with a large max_dist used to walk all 2^99 paths of this DAG
    # while holding the interpreter lock.
    index = build(PS, doubled_chain(100))
    start = time.monotonic()
    # With every node reported, the repeated result texts run out first;
    # with nothing reported (limit 0), the visits.
    err = panic(getattr(index, method), "a" * 5, MAX_U32)
    assert err.args == (REPEATED_TEXT.format(64 * (100 + 198) + 65536),)
    err = panic(getattr(index, method), "a" * 5, MAX_U32, 0)
    assert err.args == (BUDGET_TEXT.format(64 * (100 + 198) + 1024),)
    assert time.monotonic() - start < 5
    # The index stays usable, and pruning keeps a near query within budget.
    assert index.fuzzy_match("a", 1) == model.fuzzy_match(model.build(**doubled_chain(100)), "a", 1)


@pytest.mark.parametrize(
    "children",
    [
        [[1, 2], [3], [3], []],  # a diamond: node 3 reached along two paths
        [[1, 1], [2, 2], [3, 3], [4, 4], [5, 5], [6, 6], []],  # 64 paths, far below the budget
    ],
    ids=["diamond", "doubled-chain-of-7"],
)
def test_modest_sharing_is_walked_in_full(PS, children):
    arrays = graph_arrays(children, [(1, [0], [1])] * len(children), labels=[""] + list("abcdefg")[: len(children) - 1])
    index = build(PS, arrays)
    for term, max_dist in (("ab", 1), ("abc", MAX_U32), ("", 3)):
        assert index.fuzzy_match(term, max_dist) == model.fuzzy_match(model.build(**arrays), term, max_dist)


@pytest.mark.parametrize("shape", hostile.SHAPES)
def test_shared_lists_end_in_the_budget_fault_quickly_and_small(shape):
    # Each took from seconds to minutes, or gigabytes, or (the fan-out)
    # succeeded with 12.8 million results, before their work was counted.
    data, method, args = hostile.SHAPES[shape]()
    outcome, cpu, rss = hostile.measure_in_child(data, method, args, timeout=60)
    assert outcome.startswith("PanicException "), outcome
    assert ("share nodes" in outcome) or ("cycle" in outcome), outcome
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):  # the sanitizer's runtime costs both
        assert cpu < 1.0, (cpu, outcome)
        assert rss < 100 * 2**20, (rss, outcome)


@pytest.mark.parametrize("term", ["", "a" * 40, "a" * 100 + "b" * 50])
def test_a_deep_chain_answers_in_full(PS, term):
    # A tree never meets the budgets, however deep: every one of the
    # 10,000 nodes below the root is reported at max_dist 4294967295.
    n = 10_000
    arrays = graph_arrays([[i + 1] for i in range(n)] + [[]], [(1, [0], [1])] * (n + 1))
    got = build(PS, arrays).fuzzy_match(term, MAX_U32)
    assert len(got) == n
    assert [text for text, _, _ in got[:3]] == ["a", "aa", "aaa"]
    assert got[-1][2] == model.fuzzy_match(model.build(**arrays), term, MAX_U32)[-1][2]

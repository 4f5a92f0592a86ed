"""Inputs that once hung, crashed or misbehaved, kept so they stay fixed.
Each test names what went wrong."""

import time

import pytest

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

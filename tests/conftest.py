"""Shared helpers: arrays for small vocabularies, building through the
module, observing a built index and comparing it with the model."""

import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

import model  # noqa: E402

PARAMS = ("node_shifts", "child_labels", "payloads", "child_transitions", "video_index", "video_top_n")
MAX_U32 = model.MAX_U32
OOB = "index out of bounds: the len is {} but the index is {}"


def vid(v):
    """A distinct 16-byte video id for video number v."""
    return bytes([v & 0xFF, v >> 8]) + bytes(range(2, 16))


def trie_arrays(vocab, *, order="parent_first", videos=8, top_n=10):
    """Arrays for a trie of every prefix of `vocab` (term -> payload or None).

    order: "parent_first" numbers nodes in pre-order (a child above its
    parent); "children_first" keeps the root at 0 and numbers the others in
    post-order (every non-root child below its parent).
    Returns (arrays as a dict keyed by parameter name, text of each node).
    """
    root = {}
    for term in vocab:
        node = root
        for ch in term:
            node = node.setdefault(ch, {})

    pre, post = [], []

    def visit(text, node):
        pre.append((text, node))
        for ch in sorted(node):
            visit(text + ch, node[ch])
        post.append((text, node))

    visit("", root)
    ordered = pre if order == "parent_first" else [pre[0]] + post[:-1]
    ids = {text: i for i, (text, _) in enumerate(ordered)}
    node_shifts, child_transitions = [], []
    for text, node in ordered:
        node_shifts.append(len(child_transitions))
        child_transitions.extend(ids[text + ch] for ch in sorted(node))
    texts = [text for text, _ in ordered]
    arrays = dict(
        node_shifts=node_shifts,
        child_labels=[t[-1:] for t in texts],
        payloads=[vocab.get(t) for t in texts],
        child_transitions=child_transitions,
        video_index=[vid(v) for v in range(videos)],
        video_top_n=top_n,
    )
    return arrays, texts


def graph_arrays(children, payloads, top_n=10, labels=None, videos=8):
    """Arrays for any child lists (children[i] lists node i's children, in
    order), so cycles, self-children and shared children can be written."""
    node_shifts, child_transitions = [], []
    for kids in children:
        node_shifts.append(len(child_transitions))
        child_transitions.extend(kids)
    return dict(
        node_shifts=node_shifts,
        child_labels=labels if labels is not None else [""] + ["a"] * (len(children) - 1),
        payloads=list(payloads),
        child_transitions=child_transitions,
        video_index=[vid(v) for v in range(videos)],
        video_top_n=top_n,
    )


@pytest.fixture(scope="session")
def mod():
    import _tessaloom

    return _tessaloom


@pytest.fixture(scope="session")
def PS(mod):
    return mod.PrefixSearch


def build(PS, arrays):
    return PS.from_internal_data_v2(*(arrays[p] for p in PARAMS))


def args(**changes):
    """A valid argument dict (two nodes: root and 'a') with some changes."""
    base = dict(
        node_shifts=[0, 1],
        child_labels=["", "a"],
        payloads=[None, (3, [0], [3])],
        child_transitions=[1],
        video_index=[vid(0)],
        video_top_n=1,
    )
    base.update(changes)
    return base


def positional(**changes):
    a = args(**changes)
    return [a[p] for p in PARAMS]


def panic(fn, *a, **kw):
    """Runs fn expecting the module's internal fault; returns the exception."""
    with pytest.raises(BaseException) as info:
        fn(*a, **kw)
    assert type(info.value).__name__ == "PanicException", repr(info.value)
    return info.value


def method(index, name):
    """A query/save method of `index`, or a skip while it is not built."""
    fn = getattr(index, name, None)
    if fn is None:
        pytest.skip(f"{name} not built yet")
    return fn


def observe(index):
    """The index record as saved by to_bytes, decoded by the model."""
    data = method(index, "to_bytes")()
    assert isinstance(data, bytes)
    decoded = model.decode(data)
    assert model.encode(decoded) == data  # whole, in the shortest forms
    return decoded


def observe_payloads(index):
    return observe(index).payloads


def check_payloads(observed, arrays):
    """Asserts that `observed` (propagated payloads read from the module) is
    a correct propagation of `arrays`.

    Videos with equal sums may come in any order and a cut may fall inside
    a run of equal sums, which then changes what every ancestor sees; the
    check pins down exactly what a correct implementation cannot vary:
    totals always; counts and ids where the node's inputs are determined;
    the caller's lists exactly for nodes that absorbed nothing.
    """
    top_n = arrays["video_top_n"]
    expected, notes = model.propagate(
        list(arrays["node_shifts"]),
        list(arrays["child_transitions"]),
        model.normalize(arrays["payloads"]),
        top_n,
    )
    assert len(observed) == len(expected)
    for i, (got, want, note) in enumerate(zip(observed, expected, notes)):
        assert got is not None, f"node {i}: slot absent"
        total, ids, counts = got
        assert total == want[0], f"node {i}: total"
        assert len(ids) == len(counts) <= top_n, f"node {i}: lengths"
        if note.pool is None:
            assert (list(ids), list(counts)) == (want[1], want[2]), f"node {i}: caller's lists"
            continue
        assert len(set(ids)) == len(ids), f"node {i}: duplicate ids"
        assert list(counts) == sorted(counts, reverse=True), f"node {i}: order"
        if note.settled:
            assert list(counts) == want[2], f"node {i}: counts"
            assert all(note.pool.get(v) == c for v, c in zip(ids, counts)), f"node {i}: ids"


def canonical(payload):
    """A payload with its entries in a fixed order, for comparing nodes
    whose lists may order equal counts differently."""
    total, ids, counts = payload
    return total, sorted(zip(ids, counts))


def same_ranking(got, want):
    """Video rankings equal up to the order of equal scores."""
    assert [s for _, s in got] == [s for _, s in want]
    assert sorted(got) == sorted(want)


# The vocabulary car, cart, cat, dog with every node carrying a payload.
CAR_CART_CAT_DOG = {
    t: (1, [0], [1]) for t in ("c", "ca", "car", "cart", "cat", "d", "do", "dog")
}


# ---- fresh objects for reference-count checks -------------------------------


def fresh(v):
    """A new int object (not one of the interpreter's cached small ints)."""
    return int(str(v))


def text(s):
    return "".join(list(s))  # a new, non-interned str


class Idx:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class RaisingIdx:
    """Raises a new TypeError with a cause (re-raising one instance would
    grow its traceback and so hold the frames)."""

    def __index__(self):
        raise TypeError("bad index") from KeyError("cause")


def tracked(objects, depth=3):
    """Objects whose reference count means something (not the interpreter's
    shared small ints and one-character strings), `depth` levels deep."""
    seen, out = set(), []

    def walk(o, level):
        if id(o) in seen or o is None or isinstance(o, (bool, type(lambda: 0))):
            return
        if isinstance(o, int) and -5 <= o <= 256:
            return
        if isinstance(o, (str, bytes)) and len(o) <= 1:
            return
        seen.add(id(o))
        out.append(o)
        if level < depth and isinstance(o, (list, tuple, dict)):
            for item in (o.values() if isinstance(o, dict) else o):
                walk(item, level + 1)

    for o in objects:
        walk(o, 0)
    return out

"""The index builder: arrays for a known vocabulary, every refused entry,
and fuzzy matching over built indexes against a plain Levenshtein."""

import doctest
import os
import sys
import uuid

import model
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

pytest.importorskip("_tessaloom")
try:
    import tessaloom
except ImportError:  # a source tree without the package installed
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, "python"))
    import tessaloom
# Today's pure-Python builder, kept beside the benchmarks as the reference.
sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, "bench"))
from python_builder import build_arrays  # noqa: E402

A, B, C = (uuid.UUID(int=n) for n in (0xA1, 0xB2, 0xC3))

# car: A5 B1   cart: B3   cat: C8 A2   dog: B4 C10.  Every merged sum in the
# trie is distinct, so propagation leaves no order to chance.
ENTRIES = [
    ("car", A, 2),
    ("car", str(B).upper(), 1),
    ("cart", B.bytes, 3),
    ("cat", C, 8),
    ("car", str(A), 3),  # summed with the first entry
    ("cat", bytearray(A.bytes), 2),
    ("dog", B, 4),
    ("dog", C, 10),
]

# Pre-order: 0 '' 1 c 2 ca 3 car 4 cart 5 cat 6 d 7 do 8 dog
EXPECTED = dict(
    node_shifts=[0, 2, 3, 5, 6, 6, 6, 7, 8],
    child_labels=["", "c", "a", "r", "t", "t", "d", "o", "g"],
    payloads=[
        None, None, None,
        (6, (0, 1), (5, 1)),
        (3, (1,), (3,)),
        (10, (2, 0), (8, 2)),
        None, None,
        (14, (2, 1), (10, 4)),
    ],
    child_transitions=[1, 6, 2, 3, 5, 4, 7, 8],
    video_index=[A.bytes, B.bytes, C.bytes],
)


def canonical(data):
    """A saved index with its video numbering taken out: every payload's
    videos as their 16-byte ids, and the video table as a set."""
    index = model.decode(data)
    table = index.video_index
    payloads = [
        None if p is None else (p[0], [table[v] for v in p[1]], p[2]) for p in index.payloads
    ]
    return (index.node_shifts, index.child_labels, index.child_transitions, payloads, sorted(table))


def needs(index, name):
    """The method `name` of `index`; skips while the extension lacks it."""
    if not hasattr(index, name):
        pytest.skip(f"PrefixSearch.{name} is not built yet")
    return getattr(index, name)


def test_arrays_of_a_small_vocabulary():
    assert build_arrays(ENTRIES)._asdict() == EXPECTED


@pytest.mark.parametrize("top_n", [1, 10])
def test_built_index_equals_the_hand_built_one(top_n):
    built = tessaloom.build_index(iter(ENTRIES), top_n)
    by_hand = tessaloom.PrefixSearch.from_internal_data_v2(*EXPECTED.values(), top_n)
    assert canonical(needs(built, "to_bytes")()) == canonical(by_hand.to_bytes())


def test_leaf_keeps_its_strongest_videos():
    # A leaf's list is cut as given: the builder must order it first.
    entries = [("owl", uuid.UUID(int=v), count) for v, count in enumerate([1, 5, 3, 4])]
    index = tessaloom.build_index(entries, 2)
    ranked = index.fuzzy_match_video("owl", 0)
    assert ranked == [(str(uuid.UUID(int=1)), 5 / 13), (str(uuid.UUID(int=3)), 4 / 13)]


def test_package_docstring_example_holds():
    assert doctest.testmod(tessaloom).failed == 0


def test_empty_vocabulary_and_unicode_terms():
    assert tessaloom.build_index([], 5).fuzzy_match("a") == []
    index = tessaloom.build_index([("café", A, 1), ("caf🙂", B, 1), ("ca", C, 1)], 5)
    assert index.fuzzy_match("cafe") == [
        ("caf", 1, 1), ("café", 1, 1), ("caf🙂", 1, 1),
    ]


def test_typed_usage_runs():
    needs(tessaloom.PrefixSearch, "to_bytes")
    import typed_usage

    assert [score for _, score in typed_usage.run()] == pytest.approx([1.0, 2 / 3, 1 / 3])


def test_panic_exception_is_the_extensions_fault_type():
    panic = tessaloom.PanicException
    assert issubclass(panic, BaseException) and not issubclass(panic, Exception)
    # node 0's child range runs past the end of child_transitions
    with pytest.raises(panic, match="the len is 2 but the index is 2"):
        tessaloom.PrefixSearch.from_internal_data_v2([0, 3], ["", "a"], [None] * 2, [1, 1], [], 1)
    assert "PanicException" in dir(tessaloom)


@pytest.mark.parametrize(
    "entry, error, problem",
    [
        (42, TypeError, "expected a (term, video_id, count) triple, got int"),
        (("car", A), ValueError, "expected exactly 3 items"),
        (("car", A, 1, 2), ValueError, "expected exactly 3 items"),
        ((b"car", A, 1), TypeError, "term must be a str, got bytes"),
        (("", A, 1), ValueError, "term is empty"),
        (("c\x00r", A, 1), ValueError, "contains U+0000"),
        (("c\ud800r", A, 1), ValueError, "contains U+D800"),
        (("car", 7, 1), TypeError, "video_id must be a uuid.UUID, 16 bytes or a 36-character"),
        (("car", b"\x00" * 15, 1), ValueError, "video_id has 15 bytes, expected 16"),
        (("car", A.hex, 1), ValueError, "is not a 36-character UUID text"),
        (("car", "{" + str(A)[1:-1] + "}", 1), ValueError, "is not a 36-character UUID text"),
        (("car", A, 0), ValueError, "count must be positive, got 0"),
        (("car", A, -3), ValueError, "count must be positive, got -3"),
        (("car", A, 2**32), ValueError, "count 4294967296 is above the largest count"),
        (("car", A, 1.0), TypeError, "count must be an int, got float"),
        (("car", A, True), TypeError, "count must be an int, got bool"),
        (("car", A, "1"), TypeError, "count must be an int, got str"),
        (("cat", A, 2**32 - 2), ValueError, "counts for term 'cat' add up to more than 4294967295"),
    ],
)
def test_bad_entry_is_named_by_position(entry, error, problem):
    entries = [("cat", B, 2), entry, ("dog", B, 1)]
    with pytest.raises(error) as info:
        tessaloom.build_index((e for e in entries), 3)
    assert str(info.value).startswith("entries[1]: ")
    assert problem in str(info.value)


@pytest.mark.parametrize(
    "entries, top_n, error, text",
    [
        (5, 1, TypeError, "entries must be an iterable"),
        ([], -1, ValueError, "video_top_n must be between 0 and 4294967295"),
        ([], 2**32, ValueError, "video_top_n must be between 0 and 4294967295"),
        ([], "3", TypeError, "video_top_n must be an int, got str"),
    ],
)
def test_bad_arguments(entries, top_n, error, text):
    with pytest.raises(error, match=text):
        tessaloom.build_index(entries, top_n)


def levenshtein(a, b):
    row = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        previous, row[0] = row[0], i
        for j, cb in enumerate(b, 1):
            previous, row[j] = row[j], min(row[j] + 1, row[j - 1] + 1, previous + (ca != cb))
    return row[-1]


ALPHABET = "abcé🙂"


@settings(max_examples=150, deadline=None)
@given(
    vocabulary=st.lists(st.text(ALPHABET, min_size=1, max_size=6), max_size=12),
    query=st.text(ALPHABET, max_size=6),
    max_dist=st.integers(0, 3),
    limit=st.integers(0, 8),
)
def test_fuzzy_match_reports_exactly_the_close_prefixes(vocabulary, query, max_dist, limit):
    index = tessaloom.build_index(
        [(term, uuid.UUID(int=n), n + 1) for n, term in enumerate(vocabulary)], 4
    )
    prefixes = sorted({term[:k] for term in vocabulary for k in range(1, len(term) + 1)})
    expected = [(p, 1, levenshtein(p, query)) for p in prefixes]
    expected = [match for match in expected if match[2] <= max_dist]
    assert index.fuzzy_match(query, max_dist) == expected
    assert index.fuzzy_match(query, max_dist, limit) == expected[:limit]


def test_pickling_and_copying_go_through_the_saved_bytes():
    import copy
    import pickle

    index = tessaloom.build_index(ENTRIES, video_top_n=10)
    saved = index.to_bytes()
    for protocol in range(2, pickle.HIGHEST_PROTOCOL + 1):
        data = pickle.dumps(index, protocol)
        assert b"_from_bytes" in data and (protocol < 3 or saved in data)
        again = pickle.loads(data)
        assert type(again) is tessaloom.PrefixSearch and again.to_bytes() == saved
    for again in (copy.copy(index), copy.deepcopy([index])[0]):
        assert again is not index and again.to_bytes() == saved
        assert again.fuzzy_match_video("ca") == index.fuzzy_match_video("ca")
    # registered beside the class, which itself gains nothing
    assert not {"__reduce__", "__reduce_ex__", "__getstate__", "__copy__"} & set(vars(tessaloom.PrefixSearch))

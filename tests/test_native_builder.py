"""The native builder: the same index as the Python reference builder on
random vocabularies, from every input kind, with the same messages, and
the refusal of counts that overflow under a common prefix."""

import os
import sys
import uuid

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

pytest.importorskip("_tessaloom")
try:
    import tessaloom
except ImportError:  # a source tree without the package installed
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, "python"))
    import tessaloom
from tessaloom._builder import VocabularyError

sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, "bench"))
from python_builder import build_arrays  # noqa: E402
from test_builder import canonical  # noqa: E402

if not hasattr(tessaloom.PrefixSearch, "to_bytes"):
    pytest.skip("PrefixSearch.to_bytes is not built yet", allow_module_level=True)

VIDEOS = [uuid.UUID(int=n * 0x1234567 + 1) for n in range(6)]
VIDEO_FORMS = [lambda v: v, str, lambda v: str(v).upper(), lambda v: v.bytes, lambda v: bytearray(v.bytes)]


def reference(entries, top_n):
    return tessaloom.PrefixSearch.from_internal_data_v2(*build_arrays(entries), top_n).to_bytes()


@settings(max_examples=200, deadline=None)
@given(
    entries=st.lists(
        st.tuples(
            st.text("abé🙂", min_size=1, max_size=5),
            st.integers(0, len(VIDEOS) - 1),
            st.integers(0, len(VIDEO_FORMS) - 1),
            st.integers(1, 40),
        ),
        max_size=40,
    ),
    top_n=st.integers(0, 4),
)
def test_same_index_as_the_python_builder(entries, top_n):
    triples = [(term, VIDEO_FORMS[form](VIDEOS[v]), count) for term, v, form, count in entries]
    built = tessaloom.build_index(triples, top_n).to_bytes()
    assert canonical(built) == canonical(reference(triples, top_n))


def test_videos_are_numbered_by_total_count():
    entries = [("a", VIDEOS[0], 1), ("b", VIDEOS[1], 5), ("c", VIDEOS[2], 3), ("d", VIDEOS[0], 1)]
    table = tessaloom._builder.build(entries, 5, None)[0]
    from model import decode

    assert decode(table.to_bytes()).video_index == [VIDEOS[1].bytes, VIDEOS[2].bytes, VIDEOS[0].bytes]


# ---- every input kind ------------------------------------------------------------

ENTRIES = [
    ("car", VIDEOS[0], 2), ("cart", VIDEOS[1], 3), ("cat", VIDEOS[2], 8),
    ("car", VIDEOS[0], 3), ("cat", VIDEOS[0], 2), ("dög", VIDEOS[1], 4), ("dög", VIDEOS[2], 10),
]
TERMS = [t for t, _, _ in ENTRIES]
IDS = [v.bytes for _, v, _ in ENTRIES]
COUNTS = [c for _, _, c in ENTRIES]


def arrow_kinds():
    pa = pytest.importorskip("pyarrow")
    table = pa.table({"term": TERMS, "video_id": pa.array(IDS, pa.binary(16)), "count": COUNTS})
    return pa, table


def kinds():
    def numpy_columns():
        np = pytest.importorskip("numpy")
        return {"term": np.array(TERMS, dtype=object), "video_id": np.array(IDS, dtype="S16"),
                "count": np.array(COUNTS, dtype=np.uint16)}

    def table():
        return arrow_kinds()[1]

    def typed_table():
        pa, _ = arrow_kinds()
        return pa.table({
            "count": pa.array(COUNTS, pa.int8()),
            "video_id": pa.array([str(v) for _, v, _ in ENTRIES], pa.large_string()),
            "term": pa.array(TERMS, pa.string_view()),
        })

    def dictionary_encoded():
        pa, t = arrow_kinds()
        terms = pa.DictionaryArray.from_arrays(pa.array([3, 1, 0, 3, 0, 2, 2], pa.int16()),
                                               ["cat", "cart", "dög", "car", "unused", ""])
        videos = t.column("video_id").combine_chunks().dictionary_encode()
        return pa.table({"term": terms, "video_id": videos, "count": t.column("count")})

    def batch():
        return arrow_kinds()[1].to_batches()[0]

    def sliced_chunks():
        pa, t = arrow_kinds()
        padded = pa.concat_tables([t.slice(0, 1), t, t.slice(0, 2)])
        return padded.slice(1, len(ENTRIES)).to_reader(max_chunksize=3)

    def arrow_columns():
        pa, t = arrow_kinds()
        return {"term": t.column("term"), "video_id": t.column("video_id").combine_chunks(),
                "count": pa.array(COUNTS, pa.uint64())}

    return {
        "list": lambda: list(ENTRIES),
        "generator": lambda: iter(ENTRIES),
        "python columns": lambda: {"term": TERMS, "video_id": IDS, "count": tuple(COUNTS)},
        "numpy columns": numpy_columns,
        "arrow table": table,
        "arrow table of other types": typed_table,
        "dictionary-encoded": dictionary_encoded,
        "record batch": batch,
        "sliced reader": sliced_chunks,
        "arrow columns": arrow_columns,
    }


@pytest.mark.parametrize("kind", list(kinds()))
def test_every_input_kind_builds_the_same_index(kind):
    expected = canonical(reference(ENTRIES, 2))
    assert canonical(tessaloom.build_index(kinds()[kind](), 2).to_bytes()) == expected


# ---- messages --------------------------------------------------------------------

BIG = 2**32 - 1
BAD_ROWS = [
    ("term", None), ("term", ""), ("term", "c\x00r"),
    ("video_id", None), ("video_id", "not-a-uuid"), ("video_id", b"\x01" * 15),
    ("count", None), ("count", 0), ("count", -3), ("count", 2**32), ("count", BIG),
]


@pytest.mark.parametrize("field, value", BAD_ROWS)
def test_arrow_rows_fail_as_their_python_rows(field, value):
    pa = pytest.importorskip("pyarrow")
    names = ("term", "video_id", "count")
    columns = {"term": ["cat", "cat"], "video_id": [VIDEOS[0].bytes, VIDEOS[1].bytes], "count": [1, 2]}
    columns[field][1] = value
    video_type = pa.binary(16)
    if field == "video_id" and isinstance(value, bytes):
        video_type = pa.binary()
    elif field == "video_id" and isinstance(value, str):
        video_type = pa.string()
        columns["video_id"][0] = str(VIDEOS[0])
    types = {"term": pa.string(), "video_id": video_type, "count": pa.int64()}
    table = pa.table({name: pa.array(columns[name], types[name]) for name in names})
    with pytest.raises((TypeError, ValueError)) as from_arrow:
        tessaloom.build_index(table, 3)
    with pytest.raises((TypeError, ValueError)) as from_python:
        tessaloom.build_index([tuple(row.values()) for row in table.to_pylist()], 3)
    assert type(from_arrow.value) is type(from_python.value)
    assert str(from_arrow.value) == str(from_python.value)
    assert str(from_arrow.value).startswith("entries[1]: ")


@settings(max_examples=150, deadline=None)
@given(st.lists(st.lists(st.sampled_from([b"a", b"\xc3\xa9", b"\xc3", b"\xa9", b"\x00"]), max_size=3),
                min_size=1, max_size=12))
@example([[b"a", b"\xc3"], [b"\xa9"]])  # all the bytes UTF-8, the rows not
def test_a_batch_checked_whole_fails_as_one_checked_row_by_row(pieces):
    # Offset columns are checked in one pass over all their bytes; view
    # columns row by row.  Both give the same index or the same message.
    pa = pytest.importorskip("pyarrow")
    terms = [b"".join(p) for p in pieces]
    outcomes = []
    for binary, text in ((pa.binary(), pa.string()), (pa.binary_view(), pa.string_view())):
        table = pa.table({"term": pa.array(terms, binary).view(text),
                          "video_id": pa.array([VIDEOS[0].bytes] * len(terms), pa.binary(16)),
                          "count": pa.array([1] * len(terms))})
        try:
            outcomes.append(tessaloom.build_index(table, 2).to_bytes())
        except ValueError as error:
            outcomes.append(str(error))
    assert outcomes[0] == outcomes[1]


def test_first_bad_entry_across_columns_is_reported():
    columns = {"term": ["a", "b", "", "d"], "video_id": [VIDEOS[0]] * 3 + [b"x"], "count": [1, 0, 1, 1]}
    with pytest.raises(ValueError, match=r"^entries\[1\]: count must be positive, got 0$"):
        tessaloom.build_index(columns, 1)
    columns["count"] = [1, 1, 1, 1, 1]
    with pytest.raises(ValueError, match=r"^entries\[2\]: term is empty$"):
        tessaloom.build_index(columns, 1)
    columns["term"][2] = "c"
    with pytest.raises(ValueError, match="video_id has 1 bytes"):
        tessaloom.build_index(columns, 1)
    columns["video_id"][3] = VIDEOS[1]
    with pytest.raises(ValueError, match="^the columns have different lengths: term 4, video_id 4, count 5$"):
        tessaloom.build_index(columns, 1)


@pytest.mark.parametrize(
    "entries, message",
    [
        ({"term": [], "video_id": []}, "a mapping of columns needs exactly the keys"),
        ({"term": "ab", "video_id": [], "count": []}, "column 'term' must be a sequence of values, got str"),
    ],
)
def test_bad_shapes(entries, message):
    with pytest.raises(TypeError, match=message):
        tessaloom.build_index(entries, 1)


def test_bad_arrow_types_and_missing_columns():
    pa = pytest.importorskip("pyarrow")
    with pytest.raises(TypeError, match="column 'count' has Arrow type 'g', expected an integer type"):
        tessaloom.build_index(pa.table({"term": ["a"], "video_id": [VIDEOS[0].bytes], "count": [1.0]}), 1)
    with pytest.raises(ValueError, match=r"no column named 'video_id' \(its columns: term, count\)"):
        tessaloom.build_index(pa.table({"term": ["a"], "count": [1]}), 1)


# ---- counts that overflow under a prefix -------------------------------------------------


@pytest.mark.parametrize(
    "terms, prefix",
    [
        (["ab", "ac"], "the terms starting with 'a' add up to 8000000000"),
        (["ab", "abc"], "the terms starting with 'ab' add up to 8000000000"),
        (["a", "b"], "all terms together add up to 8000000000"),
    ],
)
def test_counts_overflowing_under_a_prefix_are_refused(terms, prefix):
    entries = [(term, VIDEOS[k], 4_000_000_000) for k, term in enumerate(terms)]
    with pytest.raises(VocabularyError, match=f"^the counts of {prefix}, more than 4294967295"):
        tessaloom.build_index(entries, 2)
    tessaloom.build_index(entries[:1], 2)  # one alone fits


def test_progress_is_reported_between_steps():
    messages = []
    tessaloom.build_index(ENTRIES, 2, progress=messages.append)
    assert messages == ["read 7 entries: 4 distinct terms, 3 videos", "trie of 9 nodes", "index built"]


def test_large_vocabulary_in_batches_builds_the_python_builders_index():
    # Past the sizes at which the builder commits staged entries, starts a
    # new group of term lists and chains long lists over many blocks: a
    # term with thousands of entries, counts and video numbers of every
    # varint width, an Arrow stream of many batches; a trie of over 2^17
    # nodes, propagated in two halves.
    pa = pytest.importorskip("pyarrow")
    videos = [uuid.UUID(int=n * 0x9E3779B97F4A7C15 % 2**128) for n in range(20_000)]
    terms = [f"w{k * 2654435761 % 10**8:08d}" for k in range(40_000)]
    triples = [(terms[i % 40_000], videos[(i * 7919) % len(videos)], 1 + i % 3) for i in range(90_000)]
    triples += [(terms[7], videos[k % 3_000], 1 + k % 200) for k in range(6_000)]
    # Counts past 2^31 order as the unsigned numbers they are.
    triples += [("zz", videos[19_999], 2_000_000_000), ("zz", videos[5], 2**31 + 5), ("zz", videos[6], 9)]
    expected = canonical(reference(triples, 10))
    assert canonical(tessaloom.build_index(triples, 10).to_bytes()) == expected
    table = pa.table(
        {
            "term": [t for t, _, _ in triples],
            "video_id": pa.array([v.bytes for _, v, _ in triples], pa.binary(16)),
            "count": pa.array([c for _, _, c in triples], pa.uint32()),
        }
    )
    stream = pa.RecordBatchReader.from_batches(table.schema, table.to_batches(max_chunksize=7_000))
    assert canonical(tessaloom.build_index(stream, 10).to_bytes()) == expected


@pytest.mark.parametrize("ending", ["whole", "bad row"])
def test_stream_of_large_batches_fetched_ahead(ending):
    # Batches this large are fetched by a thread of their own while earlier
    # ones are read; from a generator, that thread takes the interpreter
    # lock.  A bad row stops it, whatever it holds.
    pa = pytest.importorskip("pyarrow")
    rows = 20_000
    schema = pa.schema([("term", pa.string()), ("video_id", pa.binary(16)), ("count", pa.uint32())])
    triples = [(f"t{(b * rows + i) % 7_001}", VIDEOS[i % 6], 1 + i % 5) for b in range(4) for i in range(rows)]

    def batches():
        for b in range(4):
            part = triples[b * rows:(b + 1) * rows]
            counts = [c for _, _, c in part]
            if ending == "bad row" and b == 1:
                counts[5] = 0
            yield pa.record_batch([[t for t, _, _ in part], [v.bytes for _, v, _ in part], counts], schema=schema)

    stream = pa.RecordBatchReader.from_batches(schema, batches())
    if ending == "whole":
        # Against the build from the same triples (checked against the Python
        # builder elsewhere), which costs far less than that builder.
        assert tessaloom.build_index(stream, 4).to_bytes() == tessaloom.build_index(triples, 4).to_bytes()
    else:
        with pytest.raises(ValueError, match=rf"^entries\[{rows + 5}\]: count must be positive, got 0$"):
            tessaloom.build_index(stream, 4)

"""from_internal_data_v2: binding, conversion and the checks on the arrays."""

import array
from collections import namedtuple

import pytest

import model
from conftest import OOB, PARAMS, args, build, method, observe, panic, positional, vid

F = "PrefixSearch.from_internal_data_v2()"
OUT_OF_RANGE = "out of range integral type conversion attempted"
INTERPRETER = object()  # the interpreter's own text: not prefixed, not ours


class Idx:
    """Not an int, but usable as one."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Outer:
    class Inner:
        pass


class GetItemOnly:
    """A sequence without __len__: sizing fails, iteration works."""

    def __init__(self, items):
        self.items = items

    def __getitem__(self, i):
        return self.items[i]


class Failing:
    def __init__(self, exc):
        self.exc = exc

    def __getitem__(self, i):
        raise self.exc


class TypeErrorSub(TypeError):
    pass


def expect(exc_type, message, fn, *a, **kw):
    with pytest.raises(exc_type) as info:
        fn(*a, **kw)
    assert type(info.value) is exc_type
    if message is INTERPRETER:
        assert not str(info.value).startswith("argument ")
        assert str(info.value) != OUT_OF_RANGE
    else:
        assert str(info.value) == message
    return info.value


# --- argument binding --------------------------------------------------------

P6 = positional()
MISSING = "{} missing {} required positional {}: {}"


@pytest.mark.parametrize(
    "a, kw, message",
    [
        (P6 + [1], {}, f"{F} takes 6 positional arguments but 7 were given"),
        (P6 + [1], {"bogus": 1}, f"{F} takes 6 positional arguments but 7 were given"),
        (P6, {"bogus": 1}, f"{F} got an unexpected keyword argument 'bogus'"),
        (P6, {"node_shifts": []}, f"{F} got multiple values for argument 'node_shifts'"),
        (P6, {"bogus": 1, "node_shifts": []}, f"{F} got an unexpected keyword argument 'bogus'"),
        (P6, {"video_top_n": 1, "bogus": 1}, f"{F} got multiple values for argument 'video_top_n'"),
        ([], {"bogus": 1}, f"{F} got an unexpected keyword argument 'bogus'"),
        (P6[:5], {}, MISSING.format(F, 1, "argument", "'video_top_n'")),
        (P6[:4], {}, MISSING.format(F, 2, "arguments", "'video_index' and 'video_top_n'")),
        (P6[:3], {}, MISSING.format(F, 3, "arguments", "'child_transitions', 'video_index', and 'video_top_n'")),
        ([], {}, MISSING.format(F, 6, "arguments", ", ".join(f"'{p}'" for p in PARAMS[:5]) + ", and 'video_top_n'")),
        (
            [],
            {"video_top_n": 1, "node_shifts": []},
            MISSING.format(F, 4, "arguments", "'child_labels', 'payloads', 'child_transitions', and 'video_index'"),
        ),
        (P6[:1], {"video_index": []}, MISSING.format(F, 4, "arguments", "'child_labels', 'payloads', 'child_transitions', and 'video_top_n'")),
    ],
)
def test_binding_errors(PS, a, kw, message):
    expect(TypeError, message, PS.from_internal_data_v2, *a, **kw)


def test_binding_by_keyword_and_mixed(PS):
    a = args()
    assert type(PS.from_internal_data_v2(**a)) is PS
    assert type(PS.from_internal_data_v2(*P6[:2], **{p: a[p] for p in reversed(PARAMS[2:])})) is PS


# --- conversion --------------------------------------------------------------


def arg_error(name, text):
    return f"argument '{name}': {text}"


NOT_SEQ = "'{}' object cannot be converted to 'Sequence'"
NOT_STR = "'{}' object cannot be converted to 'PyString'"
STR_VEC = "Can't extract `str` to `Vec`"
NOT_INT = "'{}' object cannot be interpreted as an integer"
V16 = [list(vid(0))]


@pytest.mark.parametrize(
    "changes, exc, message",
    [
        # sequence rule
        (dict(node_shifts="01"), TypeError, arg_error("node_shifts", STR_VEC)),
        (dict(node_shifts=5), TypeError, arg_error("node_shifts", NOT_SEQ.format("int"))),
        (dict(node_shifts={0, 1}), TypeError, arg_error("node_shifts", NOT_SEQ.format("set"))),
        (dict(node_shifts={0: 0, 1: 1}), TypeError, arg_error("node_shifts", NOT_SEQ.format("dict"))),
        (dict(node_shifts=(i for i in (0, 1))), TypeError, arg_error("node_shifts", NOT_SEQ.format("generator"))),
        (dict(child_transitions=iter([1])), TypeError, arg_error("child_transitions", NOT_SEQ.format("list_iterator"))),
        (dict(child_transitions=None), TypeError, arg_error("child_transitions", NOT_SEQ.format("NoneType"))),
        (dict(node_shifts=Outer.Inner()), TypeError, arg_error("node_shifts", NOT_SEQ.format("Outer.Inner"))),
        (dict(payloads="ab"), TypeError, arg_error("payloads", STR_VEC)),
        (dict(payloads=5), TypeError, arg_error("payloads", NOT_SEQ.format("int"))),
        (dict(video_index="x" * 16), TypeError, arg_error("video_index", STR_VEC)),
        (dict(video_index=["x" * 16]), TypeError, arg_error("video_index", STR_VEC)),
        (dict(video_index=[5]), TypeError, arg_error("video_index", NOT_SEQ.format("int"))),
        (dict(node_shifts=Failing(RuntimeError("boom"))), RuntimeError, "boom"),
        (dict(node_shifts=Failing(TypeError("boom"))), TypeError, arg_error("node_shifts", "boom")),
        # string rule
        (dict(child_labels=["", 1]), TypeError, arg_error("child_labels", NOT_STR.format("int"))),
        (dict(child_labels=["", b"a"]), TypeError, arg_error("child_labels", NOT_STR.format("bytes"))),
        (dict(child_labels="ab"), TypeError, arg_error("child_labels", STR_VEC)),
        (dict(child_labels=["", "a\ud800"]), UnicodeEncodeError, INTERPRETER),
        (dict(child_labels=["", "\ud800"]), UnicodeEncodeError, INTERPRETER),
        # byte rule
        (dict(video_index=[[256] * 16]), OverflowError, OUT_OF_RANGE),
        (dict(video_index=[[-1] * 16]), OverflowError, OUT_OF_RANGE),
        (dict(video_index=[[2**64] * 16]), OverflowError, INTERPRETER),
        (dict(video_index=[[1.5] * 16]), TypeError, arg_error("video_index", NOT_INT.format("float"))),
        (dict(video_index=[[0] * 15 + [256]]), OverflowError, OUT_OF_RANGE),
        (dict(video_index=[[256]]), OverflowError, OUT_OF_RANGE),  # before the length check
        # unsigned-integer rule
        (dict(node_shifts=[0, 2**32]), OverflowError, OUT_OF_RANGE),
        (dict(node_shifts=[0, 2**64 - 1]), OverflowError, OUT_OF_RANGE),
        (dict(node_shifts=[0, 2**64]), OverflowError, INTERPRETER),
        (dict(node_shifts=[0, -1]), OverflowError, INTERPRETER),
        (dict(node_shifts=[0, Idx(-1)]), OverflowError, INTERPRETER),
        (dict(node_shifts=[0, Idx(2**32)]), OverflowError, OUT_OF_RANGE),
        (dict(node_shifts=[0, 1.0]), TypeError, arg_error("node_shifts", NOT_INT.format("float"))),
        (dict(child_transitions=["1"]), TypeError, arg_error("child_transitions", NOT_INT.format("str"))),
        (dict(video_top_n=2**32), OverflowError, OUT_OF_RANGE),
        (dict(video_top_n=-1), OverflowError, INTERPRETER),
        (dict(video_top_n=1.5), TypeError, arg_error("video_top_n", NOT_INT.format("float"))),
        (dict(video_top_n=None), TypeError, arg_error("video_top_n", NOT_INT.format("NoneType"))),
        # conversion runs in parameter order, all of it before any check
        (dict(node_shifts=5, child_labels=5), TypeError, arg_error("node_shifts", NOT_SEQ.format("int"))),
        (dict(child_labels=[1], node_shifts=[0, -1]), OverflowError, INTERPRETER),
        (dict(node_shifts=[0, 1, 2], video_top_n=None), TypeError, arg_error("video_top_n", NOT_INT.format("NoneType"))),
        (dict(payloads=[None], video_index=[[256] * 16]), OverflowError, OUT_OF_RANGE),
    ],
)
def test_conversion_errors(PS, changes, exc, message):
    expect(exc, message, PS.from_internal_data_v2, *positional(**changes))


def test_index_errors_keep_their_cause(PS):
    cause = KeyError("inner")

    class Bad:
        def __index__(self):
            raise TypeError("boom") from cause

    err = expect(TypeError, arg_error("node_shifts", "boom"), PS.from_internal_data_v2, *positional(node_shifts=[0, Bad()]))
    assert err.__cause__ is cause

    class Plain:
        def __index__(self):
            raise TypeError("plain")

    err = expect(TypeError, arg_error("video_top_n", "plain"), PS.from_internal_data_v2, *positional(video_top_n=Plain()))
    assert err.__cause__ is None


@pytest.mark.parametrize("exc", [ValueError("v"), TypeErrorSub("sub"), ZeroDivisionError("z")])
def test_other_errors_pass_through(PS, exc):
    class Bad:
        def __index__(self):
            raise exc

    with pytest.raises(type(exc)) as info:
        PS.from_internal_data_v2(*positional(child_transitions=[Bad()]))
    assert info.value is exc


# --- the checks on the arrays -------------------------------------------------

THREE = dict(node_shifts=[0, 2, 2], child_labels=["", "a", "b"], payloads=[None] * 3)


@pytest.mark.parametrize(
    "changes, exc, message",
    [
        (dict(node_shifts=[0, 1, 1]), ValueError, "node_shifts len 3 != child_labels len 2"),
        (dict(node_shifts=[0, 1, 1], payloads=[None] * 3), ValueError, "node_shifts len 3 != child_labels len 2"),
        (dict(node_shifts=[], payloads=[]), ValueError, "node_shifts len 0 != child_labels len 2"),
        (dict(payloads=[None] * 3), ValueError, "payloads len 3 != child_labels len 2"),
        (dict(payloads=[None], child_transitions=[9]), ValueError, "payloads len 1 != child_labels len 2"),
        (
            dict(node_shifts=[], child_labels=[], payloads=[], child_transitions=[7]),
            ValueError,
            "child_transitions[0] = 7 out of range [0..0)",
        ),
        (dict(THREE, child_transitions=[1, 5, 7]), ValueError, "child_transitions[1] = 5 out of range [0..3)"),
        (dict(child_transitions=[1, 2**32 - 1]), ValueError, "child_transitions[1] = 4294967295 out of range [0..2)"),
        (dict(child_transitions=[2], payloads=[[0], None]), ValueError, "child_transitions[0] = 2 out of range [0..2)"),
        # payload tuples: no argument prefix; the first bad one wins
        (dict(payloads=[None, [0, [1], [2]]]), TypeError, "'list' object cannot be converted to 'PyTuple'"),
        (dict(payloads=[{}, (0, [1])]), TypeError, "'dict' object cannot be converted to 'PyTuple'"),
        (dict(payloads=[(0, [1]), [0]]), ValueError, "Payload tuple must have 3 elements"),
        (dict(payloads=[None, ()]), ValueError, "Payload tuple must have 3 elements"),
        (dict(payloads=[None, (0, [], [], [])]), ValueError, "Payload tuple must have 3 elements"),
        (dict(payloads=[None, (0, [1, 2], [5])]), ValueError, "video_ids and video_counts length mismatch"),
        (dict(payloads=[None, (0, "ab", [1])]), TypeError, STR_VEC),
        (dict(payloads=[None, (0, [1], "a")]), TypeError, STR_VEC),
        (dict(payloads=[None, (0, 5, [])]), TypeError, NOT_SEQ.format("int")),
        (dict(payloads=[None, (0, [1.5], [1])]), TypeError, NOT_INT.format("float")),
        (dict(payloads=[None, (None, [], [])]), TypeError, NOT_INT.format("NoneType")),
        (dict(payloads=[None, (-1, [], [])]), OverflowError, INTERPRETER),
        (dict(payloads=[None, (2**32, [], [])]), OverflowError, OUT_OF_RANGE),
        (dict(payloads=[None, (0, [0], [2**32])]), OverflowError, OUT_OF_RANGE),
        (dict(payloads=[None, (0, [1, 2], "ab")]), TypeError, STR_VEC),  # conversion before lengths
        (dict(payloads=[None, (0, [1], [1])], video_index=[bytes(17)]), ValueError, "video_index entries must be exactly 16 bytes"),
        (dict(payloads=[(0, [1], []), None], video_index=[bytes(17)]), ValueError, "video_ids and video_counts length mismatch"),
        # video table
        (dict(video_index=[bytes(15)]), ValueError, "video_index entries must be exactly 16 bytes"),
        (dict(video_index=[vid(0), bytes(17)]), ValueError, "video_index entries must be exactly 16 bytes"),
        (dict(video_index=[[0] * 17]), ValueError, "video_index entries must be exactly 16 bytes"),
        (dict(video_index=[[]]), ValueError, "video_index entries must be exactly 16 bytes"),
        (dict(video_index=[bytes(15)], node_shifts=[0]), ValueError, "node_shifts len 1 != child_labels len 2"),
    ],
)
def test_check_errors(PS, changes, exc, message):
    expect(exc, message, PS.from_internal_data_v2, *positional(**changes))


def test_child_range_past_the_end_is_an_internal_fault(PS):
    exc = panic(PS.from_internal_data_v2, *positional(node_shifts=[0, 5], payloads=[None, None]))
    assert str(exc) == OOB.format(1, 1)
    # a range starting past the end reports its start
    exc = panic(PS.from_internal_data_v2, *positional(node_shifts=[3, 5], payloads=[None, None]))
    assert str(exc) == OOB.format(1, 3)


# --- accepted forms ------------------------------------------------------------

Triple = namedtuple("Triple", "total ids counts")


class Text(str):
    pass


class Bytes(bytes):
    pass


@pytest.mark.parametrize(
    "changes",
    [
        dict(payloads=[None, Triple(3, [0], [3])]),
        dict(payloads=(None, (3, (0,), (3,)))),
        dict(payloads=[None, (3, range(0, 1), bytearray([3]))]),
        dict(payloads=[None, (Idx(3), [Idx(0)], [True + 2])]),
        dict(node_shifts=range(2), child_transitions=b"\x01"),
        dict(node_shifts=(0, 1), child_transitions=array.array("I", [1])),
        dict(node_shifts=GetItemOnly([0, 1]), child_transitions=GetItemOnly([1])),
        dict(child_labels=("", "abc")),
        dict(child_labels=[Text(""), Text("a")]),
        dict(video_index=[list(vid(0))]),
        dict(video_index=(tuple(vid(0)),)),
        dict(video_index=[bytearray(vid(0))]),
        dict(video_index=[Bytes(vid(0))]),
        dict(video_index=[[Idx(b) for b in vid(0)]]),
        dict(video_top_n=True),
        dict(video_top_n=Idx(1)),
    ],
)
def test_accepted_forms(PS, changes):
    index = build(PS, args(**changes))
    assert type(index) is PS
    assert observe(index) == observe(build(PS, args()))


def test_empty_arrays_build(PS):
    index = PS.from_internal_data_v2([], [], [], [], [], 0)
    assert type(index) is PS
    assert observe(index) == model.Index([], [], [], [], [])


def test_video_table_kept_in_order(PS):
    ids = [vid(3), bytes(range(16)), bytes(16)]
    index = build(PS, args(video_index=ids, payloads=[None, None], video_top_n=2**32 - 1))
    assert observe(index).video_index == ids


def test_labels_take_the_first_character(PS):
    labels = ["", "xyz", "", "\x00q", "\U0001F600!", "é"]
    a = dict(
        node_shifts=[0] * 6,
        child_labels=labels,
        payloads=[None] * 6,
        child_transitions=[],
        video_index=[],
        video_top_n=1,
    )
    assert observe(build(PS, a)).child_labels == [0, ord("x"), 0, 0, 0x1F600, ord("é")]


def test_empty_labels_add_no_character(PS):
    # root -> 'c' -> '' (empty string) -> '\x00t': texts c, c, c
    a = dict(
        node_shifts=[0, 1, 2, 3],
        child_labels=["", "cat", "", "\x00t"],
        payloads=[None, (1, [0], [1]), (1, [0], [1]), (1, [0], [1])],
        child_transitions=[1, 2, 3],
        video_index=[vid(0)],
        video_top_n=1,
    )
    index = build(PS, a)
    got = method(index, "fuzzy_match")("c", 0)
    assert got == model.fuzzy_match(model.build(**a), "c", 0) == [("c", 1, 0)] * 3

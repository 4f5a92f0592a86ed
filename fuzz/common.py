"""What both fuzz targets share: loading the module under test, telling the
allowed failures from findings, choosing queries from fuzzer bytes, and
running the tests' pure-Python model beside the module as an oracle.

A finding is raised as an ordinary exception (AssertionError, or the
unexpected exception itself), which atheris reports as a crash and saves
the input that caused it.
"""

import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

import atheris  # noqa: E402

import model  # noqa: E402


def instrument(*functions):
    """Python-level coverage for the fuzzer: the harness's own branches
    (which outcome an input had) and the model's decoder and propagation,
    which mirror the native code branch for branch.  The native module is
    covered only when built for it (README).  The model's walk is left
    alone: instrumented, it would be the slowest part of every input."""
    for fn in functions:
        atheris.instrument_func(fn)


instrument(*(fn for fn in vars(model._Reader).values() if callable(fn)), model.decode)

import _tessaloom  # noqa: E402

PS = _tessaloom.PrefixSearch
MAX_U32 = 0xFFFFFFFF


def check_module_path():
    """With TESSALOOM_EXPECT_MODULE set, the module must be that very file:
    an installed build earlier on sys.path would be fuzzed instead."""
    expected = os.environ.get("TESSALOOM_EXPECT_MODULE")
    if expected:
        got = os.path.realpath(_tessaloom.__file__)
        if got != os.path.realpath(expected):
            raise SystemExit(f"_tessaloom imported from {got}, expected {expected}")
    print(f"fuzzing {_tessaloom.__file__}", file=sys.stderr)


# ---- outcomes ------------------------------------------------------------------

OOB = re.compile(r"index out of bounds: the len is \d+ but the index is \d+\Z")
CYCLE = re.compile(r"child lists contain a cycle: ")
BUDGET = re.compile(
    r"(walk exceeded \d+ (node visits|pending visits|bytes of repeated result texts)|"
    r"ranking exceeded \d+ payload entries)"
    r": the child lists share nodes so heavily that the number of paths explodes\Z"
)


def is_panic(exc):
    return (
        type(exc).__name__ == "PanicException"
        and isinstance(exc, BaseException)
        and not isinstance(exc, Exception)
    )


def query_fault(exc):
    """The message of a query's internal fault; anything else is re-raised."""
    if not is_panic(exc):
        raise exc
    message = str(exc)
    if not (OOB.match(message) or CYCLE.match(message) or BUDGET.match(message)):
        raise AssertionError(f"unexpected fault text from a query: {message!r}")
    return message


def visit_budget(index):
    return 64 * (len(index.child_labels) + len(index.child_transitions)) + 1024


# ---- queries ---------------------------------------------------------------------

# Characters worth querying: ASCII, 2-, 3- and 4-byte UTF-8, U+0000.
ALPHABET = "abcdeACa\u00e9\u00e8\u00df\u4e2d\u6587\U0001f600\U0010ffff\x00 z"
DISTANCES = (0, 1, 1, 2, 2, 3, 6, MAX_U32)


class Cursor:
    """Reads small choices from a byte string, cycling over it."""

    def __init__(self, data):
        self.data = bytes(data) or b"\x00"
        self.pos = 0

    def byte(self):
        b = self.data[self.pos % len(self.data)]
        self.pos += 1
        return b


def node_text_path(index, cur, steps):
    """The text of a path from the root chosen by the cursor, read with
    bounds checks (the record may be anything)."""
    labels, shifts, trans = index.child_labels, index.node_shifts, index.child_transitions
    out, u = [], 0
    for _ in range(steps):
        if u >= len(shifts):
            break
        begin = shifts[u]
        end = shifts[u + 1] if u + 1 < len(shifts) else len(trans)
        end = min(end, len(trans))
        if begin >= end:
            break
        u = trans[begin + cur.byte() % (end - begin)]
        if u >= len(labels):
            break
        if labels[u]:
            out.append(chr(labels[u]))
    return "".join(out)


def choose_term(index, cur):
    mode = cur.byte() % 6
    if mode == 0:
        return ""
    if mode == 1:
        return "".join(ALPHABET[cur.byte() % len(ALPHABET)] for _ in range(cur.byte() % 8))
    text = node_text_path(index, cur, 1 + cur.byte() % 12)
    if mode == 5:
        # Longer than one machine word of code points: the plain rows.
        text = (text or "ab") * (1 + 70 // max(1, len(text or "ab")))
    edit = cur.byte() % 4
    if edit and text:
        at = cur.byte() % len(text)
        ch = ALPHABET[cur.byte() % len(ALPHABET)]
        text = (text[:at] + ch + text[at + 1:], text[:at] + text[at + 1:], text[:at] + ch + text[at:])[edit - 1]
    return text


def choose_query(index, cur):
    term = choose_term(index, cur)
    max_dist = DISTANCES[cur.byte() % len(DISTANCES)]
    b = cur.byte()
    limit = None if b % 4 == 0 else b // 4
    return term, max_dist, limit


def run(fn, *a):
    """('ok', result) or ('fault', message) for one query."""
    try:
        return ("ok", fn(*a))
    except BaseException as exc:  # noqa: BLE001 - sorted out by query_fault
        return ("fault", query_fault(exc))


# ---- the model as oracle ------------------------------------------------------------


class _Abort(Exception):
    pass


class _CountingTransitions(list):
    """child_transitions whose element reads are counted: the model walk
    reads one entry per child it pushes, so reads + 1 is its visit count.
    Reaching `cap` reads aborts the walk."""

    def __init__(self, items, cap):
        super().__init__(items)
        self.reads, self.cap = 0, cap

    def __getitem__(self, i):
        if isinstance(i, int):
            self.reads += 1
            if self.reads >= self.cap:
                raise _Abort()
        return super().__getitem__(i)


MODEL_CELLS = 100000  # row entries the slow model may compute for one query


def model_query(index, which, term, max_dist, limit):
    """The model's outcome: ('ok', result), ('fault', message),
    ('budget', None) when the walk needs at least the native visit budget,
    or None when it gave up (too long for the model, so not compared)."""
    budget = visit_budget(index)
    cap = min(budget, max(64, MODEL_CELLS // (len(term) + 1)))
    counted = index._replace(child_transitions=_CountingTransitions(index.child_transitions, cap))
    fn = model.fuzzy_match if which == "fuzzy_match" else model.fuzzy_match_video
    try:
        return ("ok", fn(counted, term, max_dist, limit))
    except _Abort:
        return ("budget", None) if cap == budget else None
    except model.CycleError:
        return ("cycle", None)
    except model.InternalFault as exc:
        return ("fault", str(exc))


def same_outcome(which, got, want, context):
    """Asserts the module's outcome `got` agrees with the model's `want`."""
    if want is None:
        return
    kind, value = got
    if want[0] == "budget":
        # The model reached the budget while reading a node's children; the
        # module reads the whole range first and may fault on it instead.
        assert kind == "fault" and (BUDGET.match(value) or OOB.match(value)), (context, got)
        return
    if want[0] == "cycle":
        assert kind == "fault" and (CYCLE.match(value) or BUDGET.match(value)), (context, got)
        return
    if want[0] == "fault":
        assert got == want, (context, got, want)
        return
    assert kind == "ok", (context, got, want)
    if which == "fuzzy_match":
        assert value == want[1], (context, value, want[1])
    else:
        # Videos with equal scores may come in any order.
        assert [s for _, s in value] == [s for _, s in want[1]], (context, value, want[1])
        assert sorted(value) == sorted(want[1]), (context, value, want[1])


def check_result_shape(which, result, max_dist, limit):
    assert type(result) is list
    if which == "fuzzy_match":
        assert limit is None or len(result) <= limit
        for item in result:
            assert type(item) is tuple and len(item) == 3 and item[1] == 1
            assert type(item[0]) is str and item[0] and 0 <= item[2] <= max_dist
    else:
        scores = [s for _, s in result]
        assert scores == sorted(scores, reverse=True)
        for vid, score in result:
            assert type(vid) is str and len(vid) == 36 and type(score) is float and score >= 0.01


def exercise_queries(index_obj, record, cur, count, reload=None):
    """Runs `count` fuzzer-chosen queries of each kind on `index_obj`, whose
    record the model holds as `record`; compares with the model and, when
    given, with `reload` (an index read back from its bytes)."""
    for _ in range(count):
        term, max_dist, limit = choose_query(record, cur)
        for which in ("fuzzy_match", "fuzzy_match_video"):
            got = run(getattr(index_obj, which), term, max_dist, limit)
            if got[0] == "ok":
                check_result_shape(which, got[1], max_dist, limit)
            context = (which, term, max_dist, limit)
            if reload is not None:
                again = run(getattr(reload, which), term, max_dist, limit)
                same_outcome(which, again, got if got[0] == "ok" else ("fault", got[1]), context)
            same_outcome(which, got, model_query(record, which, term, max_dist, limit), context)


instrument(query_fault, choose_term, choose_query, run, model_query, same_outcome, exercise_queries)

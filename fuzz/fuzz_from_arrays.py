"""Fuzz target: small fuzzer-chosen arrays into
PrefixSearch.from_internal_data_v2, then queries and a to_bytes/from_bytes
round trip.

The arrays are mostly well-typed and small (up to 10 nodes) with
arbitrary shapes: shifts out of order or past the end, shared, repeated
and cyclic children, empty and NUL labels, absent payloads, ids beyond the
video table.  A few are spoilt on purpose (wrong types, values out of
range, wrong lengths).  The harness works out which failure the module
must raise first and checks its type (and text, where the text is the
module's own); PanicException is allowed only from propagation's child
range check and from queries.  A built index must hold the model's
propagation of the arrays, answer queries as the model does, and read
back from its bytes to the same bytes.

    python fuzz/fuzz_from_arrays.py fuzz/corpus/from_arrays -dict=fuzz/from_arrays.dict
"""

import sys

import atheris

import common
from common import MAX_U32, PS, model

import conftest  # the tests' propagation checker

LABELS = ["", "\x00", "a", "b", "c", "ab", "\u00e9", "\u4e2d", "\U0001f600", "a", "b", "c"]
QUERIES = 2


class Expect(Exception):
    """The failure the module must raise: its type and, when the module
    writes the text itself, the text."""

    def __init__(self, kind, text=None):
        super().__init__(kind, text)
        self.kind, self.text = kind, text


def u32_value(fdp, small, spoil):
    """A u32 element, or with `spoil` a value the unsigned-integer rule
    refuses.  Returns (value, expected failure or None)."""
    if spoil:
        pick = fdp.ConsumeIntInRange(0, 2)
        if pick == 0:
            return -1, Expect(OverflowError)
        if pick == 1:
            return MAX_U32 + 1, Expect(OverflowError, "out of range integral type conversion attempted")
        return 2.5, Expect(TypeError)
    if fdp.ConsumeIntInRange(0, 15) == 0:
        return fdp.PickValueInList([MAX_U32, MAX_U32 - 1, 1 << 31]), None
    return fdp.ConsumeIntInRange(0, small), None


def u32_list(fdp, length, small):
    return [u32_value(fdp, small, False)[0] for _ in range(length)]


def arg_error(name, err):
    """A conversion failure as the caller sees it: TypeError gains the
    argument's name, other types pass through."""
    if err is None or err.kind is not TypeError:
        return err
    return Expect(TypeError, None if err.text is None else f"argument '{name}': {err.text}")


def make_payload(fdp, spoil):
    """(payload object, its failure in step 5 or None)."""
    if fdp.ConsumeIntInRange(0, 2) == 0:
        return None, None
    n = fdp.ConsumeIntInRange(0, 3)
    total, err0 = u32_value(fdp, 50, spoil and fdp.ConsumeBool())
    ids = u32_list(fdp, n, 9)
    counts = u32_list(fdp, n, 20)
    if spoil:
        how = fdp.ConsumeIntInRange(0, 4)
        if how == 0:
            return [total, ids, counts], Expect(TypeError, "'list' object cannot be converted to 'PyTuple'")
        if how == 1:
            return (total, ids), Expect(ValueError, "Payload tuple must have 3 elements")
        if how == 2:
            return (total, "ab", counts), err0 or Expect(TypeError, "Can't extract `str` to `Vec`")
        if how == 3:
            return (total, ids, counts + [1]), err0 or Expect(ValueError, "video_ids and video_counts length mismatch")
    return (total, ids, counts), err0


def make_video(fdp, spoil):
    if spoil:
        how = fdp.ConsumeIntInRange(0, 2)
        if how == 0:
            return bytes(fdp.PickValueInList([15, 17])), "length"
        if how == 1:
            return [0] * 15 + [256], Expect(OverflowError, "out of range integral type conversion attempted")
        return "0123456789abcdef", Expect(TypeError, "argument 'video_index': Can't extract `str` to `Vec`")
    raw = fdp.ConsumeBytes(16).ljust(16, b"\x00")
    return (raw if fdp.ConsumeBool() else list(raw)), None


SPOILS = (
    "shift value", "shifts str", "shifts length", "label type", "payloads length",
    "payload", "child id", "child value", "video", "top_n",
)


def make_arrays(fdp):
    """The six arguments and the failure the module must raise, if any.
    One input in eight is spoilt in one way, now and then in two, so that
    the order of the checks is exercised too."""
    spoils = set()
    if fdp.ConsumeIntInRange(0, 7) == 0:
        spoils.add(fdp.PickValueInList(list(SPOILS)))
        if fdp.ConsumeIntInRange(0, 3) == 0:
            spoils.add(fdp.PickValueInList(list(SPOILS)))
    n = fdp.ConsumeIntInRange(0, 10)
    m = fdp.ConsumeIntInRange(0, 20)
    conversion = []  # first failure per argument, in argument order

    shifts, err = u32_list(fdp, n + (fdp.PickValueInList([-1, 1]) if "shifts length" in spoils else 0), m + 2), None
    if "shift value" in spoils and shifts:
        shifts[fdp.ConsumeIntInRange(0, len(shifts) - 1)], err = u32_value(fdp, 0, True)
    if "shifts str" in spoils:
        shifts, err = "012", Expect(TypeError, "Can't extract `str` to `Vec`")
    conversion.append(arg_error("node_shifts", err))

    labels = [fdp.PickValueInList(LABELS) for _ in range(n)]
    err = None
    if "label type" in spoils and n:
        labels[fdp.ConsumeIntInRange(0, n - 1)] = 7
        err = Expect(TypeError, "argument 'child_labels': 'int' object cannot be converted to 'PyString'")
    conversion.append(err)

    count = n + (fdp.PickValueInList([-1, 1]) if "payloads length" in spoils and n else 0)
    bad = fdp.ConsumeIntInRange(0, count - 1) if "payload" in spoils and count else -1
    payloads, payload_errors = [], []
    for i in range(count):
        p, e = make_payload(fdp, i == bad)
        payloads.append(p)
        payload_errors.append(e)
    conversion.append(None)

    transitions = [fdp.ConsumeIntInRange(0, n - 1) for _ in range(m)] if n else []
    err = None
    if "child id" in spoils:
        transitions.insert(fdp.ConsumeIntInRange(0, len(transitions)), n + fdp.ConsumeIntInRange(0, 3))
    if "child value" in spoils:
        transitions.insert(fdp.ConsumeIntInRange(0, len(transitions)), fdp.PickValueInList([-1, MAX_U32 + 1]))
        err = Expect(OverflowError)
    conversion.append(err)

    videos, video_errors = [], []
    count = fdp.ConsumeIntInRange(0, 4)
    if "video" in spoils:
        count = max(count, 1)
    bad = fdp.ConsumeIntInRange(0, count - 1) if "video" in spoils else -1
    for i in range(count):
        v, e = make_video(fdp, i == bad)
        videos.append(v)
        video_errors.append(e)
    conversion.append(next((e for e in video_errors if isinstance(e, Expect)), None))

    top_n = fdp.ConsumeIntInRange(0, 5)
    err = None
    if "top_n" in spoils:
        top_n, err = MAX_U32 + 1, Expect(OverflowError, "out of range integral type conversion attempted")
    conversion.append(err)

    arrays = dict(
        node_shifts=shifts if isinstance(shifts, str) or fdp.ConsumeBool() else tuple(shifts),
        child_labels=labels,
        payloads=payloads,
        child_transitions=transitions,
        video_index=videos,
        video_top_n=top_n,
    )
    expect = next((e for e in conversion if e is not None), None)
    if expect is None:
        expect = checks(arrays, payload_errors, video_errors)
    return arrays, expect


def checks(a, payload_errors, video_errors):
    """The checks after conversion, in their order; the first failure."""
    n = len(a["child_labels"])
    if len(a["node_shifts"]) != n:
        return Expect(ValueError, f"node_shifts len {len(a['node_shifts'])} != child_labels len {n}")
    if len(a["payloads"]) != n:
        return Expect(ValueError, f"payloads len {len(a['payloads'])} != child_labels len {n}")
    for j, t in enumerate(a["child_transitions"]):
        if t >= n:
            return Expect(ValueError, f"child_transitions[{j}] = {t} out of range [0..{n})")
    for e in payload_errors:
        if e is not None:
            return e
    if "length" in video_errors:
        return Expect(ValueError, "video_index entries must be exactly 16 bytes")
    return None


def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    arrays, expect = make_arrays(fdp)
    args = [arrays[p] for p in conftest.PARAMS]
    propagated = None
    if expect is None:
        try:
            propagated, _ = model.propagate(
                list(arrays["node_shifts"]), list(arrays["child_transitions"]),
                model.normalize(arrays["payloads"]), arrays["video_top_n"],
            )
        except model.InternalFault as exc:
            expect = Expect(BaseException, str(exc))
    try:
        index = PS.from_internal_data_v2(*args)
    except BaseException as exc:  # noqa: BLE001 - every outcome is compared
        if expect is None:
            raise
        if expect.kind is BaseException:
            assert common.is_panic(exc), exc
        else:
            assert type(exc) is expect.kind, (exc, expect.kind)
        assert expect.text is None or str(exc) == expect.text, (str(exc), expect.text)
        return
    assert expect is None, ("built although it must fail", expect.kind, expect.text)

    written = index.to_bytes()
    record = model.decode(written)
    assert record.node_shifts == list(arrays["node_shifts"])
    assert record.child_labels == [model.label_of(s) for s in arrays["child_labels"]]
    assert record.child_transitions == list(arrays["child_transitions"])
    assert record.video_index == [bytes(v) for v in arrays["video_index"]]
    assert len(record.payloads) == len(propagated)
    conftest.check_payloads(record.payloads, arrays)

    reload = PS.from_bytes(written)
    assert reload.to_bytes() == written
    common.exercise_queries(index, record, common.Cursor(fdp.ConsumeBytes(24)), QUERIES, reload)
    assert index.to_bytes() == written, "a query changed the index"


def main():
    common.instrument(TestOneInput, make_arrays, make_payload, make_video, checks,
                      model.propagate, model.processing_order, model.merge)
    common.check_module_path()
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()

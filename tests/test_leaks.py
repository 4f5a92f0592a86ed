"""Reference counts of the objects handed to from_internal_data_v2 are the
same after any number of calls, on success and on every kind of failure."""

import gc
import sys

import pytest

from conftest import PARAMS, Idx, RaisingIdx, fresh, text, tracked, vid

ROUNDS = 200


def base():
    return dict(
        node_shifts=[0, 1, 2],
        child_labels=["", text("ab"), text("cd")],
        payloads=[None, (fresh(1000), [0, fresh(900)], [fresh(700), fresh(800)]), (fresh(600), (1,), (fresh(2000),))],
        child_transitions=[1, 2],
        video_index=[bytes(vid(0)), list(vid(1)), bytearray(vid(2))],
        video_top_n=fresh(1000),
    )


def case(**changes):
    def make():
        a = base()
        a.update({k: v() if callable(v) and not isinstance(v, type) else v for k, v in changes.items()})
        return [a[p] for p in PARAMS], {}
    return make


def keyword_case(extra):
    def make():
        a = base()
        return [], dict(a, **extra)
    return make


CASES = {
    "success": case(),
    "success by keyword": keyword_case({}),
    "success with __index__": case(node_shifts=lambda: [Idx(0), Idx(1), Idx(2)], video_top_n=lambda: Idx(fresh(5000))),
    "too many positional": lambda: ([*case()()[0], fresh(7000)], {}),
    "unexpected keyword": keyword_case({"bogus": fresh(7000)}),
    "multiple values": lambda: (case()()[0], {"node_shifts": [fresh(300)]}),
    "missing": lambda: (case()()[0][:4], {}),
    "str as sequence": case(child_transitions=lambda: text("xyz")),
    "not a sequence": case(payloads=lambda: fresh(12345)),
    "element overflow": case(child_transitions=lambda: [1, fresh(2**40)]),
    "element negative": case(node_shifts=lambda: [0, 1, fresh(-300)]),
    "element float": case(node_shifts=lambda: [0, 1, 2.5]),
    "element index raises": case(node_shifts=lambda: [0, 1, RaisingIdx()]),
    "label not str": case(child_labels=lambda: ["", text("ab"), b"cd"]),
    "label surrogate": case(child_labels=lambda: ["", text("ab"), text("\ud800z")]),
    "byte overflow": case(video_index=lambda: [bytes(16), [fresh(300)] * 16]),
    "byte float": case(video_index=lambda: [bytes(16), [1.5] * 16]),
    "top_n overflow": case(video_top_n=lambda: fresh(2**33)),
    "lengths": case(node_shifts=lambda: [0, 1]),
    "payload count": case(payloads=lambda: [None, None]),
    "child id": case(child_transitions=lambda: [1, fresh(5000)]),
    "payload not tuple": case(payloads=lambda: [None, [fresh(1000), [], []], None]),
    "payload size": case(payloads=lambda: [None, (fresh(1000), [fresh(300)]), None]),
    "payload id overflow": case(payloads=lambda: [None, (1, [fresh(2**35)], [1]), None]),
    "payload str ids": case(payloads=lambda: [None, (1, text("ab"), [1, 2]), None]),
    "payload mismatch": case(payloads=lambda: [None, (1, [fresh(300)], [fresh(400), fresh(500)]), None]),
    "video length": case(video_index=lambda: [bytes(16), bytes(range(17))]),
    "internal fault": case(node_shifts=lambda: [0, 1, 9]),
}


@pytest.mark.parametrize("name", CASES)
def test_reference_counts_unchanged(PS, name):
    positional, keywords = CASES[name]()
    objects = tracked([*positional, *keywords.values()])
    assert objects
    call = PS.from_internal_data_v2

    def rounds():
        for _ in range(ROUNDS):
            try:
                call(*positional, **keywords)
            except BaseException:
                pass

    rounds()  # warm up: caches the interpreter fills on first use
    # Indexes that earlier tests left in garbage cycles would otherwise be
    # freed mid-measurement and change the class's count.
    gc.collect()
    before = [sys.getrefcount(o) for o in objects]
    type_before = sys.getrefcount(PS)
    rounds()
    gc.collect()
    after = [sys.getrefcount(o) for o in objects]
    changed = [(repr(o)[:60], b, a) for o, b, a in zip(objects, before, after) if a != b]
    assert not changed
    assert sys.getrefcount(PS) == type_before

"""The reference model itself, on hand-worked examples: the differential
tests are only as good as it is."""

import pytest

import model
from conftest import CAR_CART_CAT_DOG, trie_arrays, vid

EXAMPLE_ID = bytes.fromhex("00112233445566778899aabbccddeeff")


@pytest.fixture(scope="module", params=["parent_first", "children_first"])
def cars(request):
    arrays, _ = trie_arrays(CAR_CART_CAT_DOG, order=request.param)
    return model.build(**arrays)


@pytest.mark.parametrize(
    "term, max_dist, limit, expected",
    [
        ("cat", 1, None, [("ca", 1, 1), ("car", 1, 1), ("cart", 1, 1), ("cat", 1, 0)]),
        ("cat", 1, 2, [("ca", 1, 1), ("car", 1, 1)]),
        ("cat", 0, None, [("cat", 1, 0)]),
        ("cat", 1, 0, []),
        ("dgo", 1, None, [("do", 1, 1)]),
        ("", 1, None, [("c", 1, 1), ("d", 1, 1)]),
        ("", 0, None, []),
        ("Cat", 1, None, [("cat", 1, 1)]),
        ("", model.MAX_U32, None, [(t, 1, len(t)) for t in ("c", "ca", "car", "cart", "cat", "d", "do", "dog")]),
    ],
)
def test_matching(cars, term, max_dist, limit, expected):
    assert model.fuzzy_match(cars, term, max_dist, limit) == expected


def test_characters_not_bytes():
    index = model.build(**trie_arrays({"cafe": (1, [0], [1])})[0])
    assert model.fuzzy_match(index, "café", 1) == [("caf", 1, 1), ("cafe", 1, 1)]


def test_walk_edge_shapes():
    assert model.fuzzy_match(model.build([], [], [], [], [], 1), "x") == []
    root_only = model.build([0], [""], [(1, [0], [1])], [], [], 1)
    assert model.fuzzy_match(root_only, "") == []
    # a cycle the rows don't prune is cut by the depth bound
    loop = model.build([0, 1], ["", "a"], [None, None], [1, 1], [], 1)
    assert model.fuzzy_match(loop, "b", 0) == []
    with pytest.raises(model.CycleError):
        model.fuzzy_match(loop, "a", model.MAX_U32)
    empty_loop = model.build([0], [""], [None], [0], [], 1)
    with pytest.raises(model.CycleError):
        model.fuzzy_match(empty_loop, "a")


def test_ranking_example():
    arrays, _ = trie_arrays({"cat": (10, [0], [10]), "cut": (20, [1], [20])})
    ranking = model.fuzzy_match_video(model.build(**arrays), "cat")
    assert ranking == [(model.video_text(vid(0)), 0.9393939393939394), (model.video_text(vid(1)), 0.060606060606060615)]
    assert model.video_text(bytes(range(16))) == "00010203-0405-0607-0809-0a0b0c0d0e0f"


def test_saved_layout_example():
    index = model.build([0, 1], ["", "a"], [None, (3, [0], [3])], [1], [EXAMPLE_ID], 1)
    data = model.encode(index)
    assert data == bytes.fromhex("020001 020061 0101 02 0103010001 03 0103010001 03 01") + EXAMPLE_ID
    assert model.decode(data + b"\xff\xff") == index
    with pytest.raises(model.DecodeError, match=r"^UnexpectedEnd \{ additional: 8 \}$"):
        model.decode(data[:30])
    longer = bytes.fromhex("020001 020061 01fb0100") + data[8:]
    assert model.decode(longer) == index

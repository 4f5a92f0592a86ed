"""Typed use of the package, checked with `mypy --strict` against the
installed stubs; tests/test_builder.py also runs it.

The `# type: ignore[...]` lines are calls the stubs must refuse: under
--strict an ignore that suppresses nothing is itself an error, so each one
fails the check if the stubs ever accept that call."""

import uuid
from typing import List, NamedTuple, Optional, Tuple, Type

import tessaloom
from _tessaloom import PrefixSearch


class Payload(NamedTuple):
    total_count: int
    video_ids: List[int]
    video_counts: List[int]


def build() -> PrefixSearch:
    payloads: List[Optional[Payload]] = [None, Payload(3, [0], [3])]
    return PrefixSearch.from_internal_data_v2(
        node_shifts=[0, 1],
        child_labels=["", "a"],
        payloads=payloads,
        child_transitions=range(1, 2),
        video_index=[bytes(range(16))],
        video_top_n=1,
    )


def run() -> List[Tuple[str, float]]:
    index = build()
    matches: List[Tuple[str, int, int]] = index.fuzzy_match("b", max_dist=1, limit=None)
    assert matches == [("a", 1, 1)]
    ranked: List[Tuple[str, float]] = index.fuzzy_match_video(term="a", max_dist=0, limit=5)
    saved: bytes = index.to_bytes()
    again: PrefixSearch = PrefixSearch.from_bytes(b=saved)
    assert again.to_bytes() == saved

    built: PrefixSearch = tessaloom.build_index(
        [("cat", uuid.UUID(int=1), 2), ("cat", "00000000-0000-0000-0000-000000000002", 1)],
        video_top_n=10,
    )
    ranked += built.fuzzy_match_video("cat")
    panic: Type[BaseException] = tessaloom.PanicException
    assert issubclass(panic, BaseException)
    return ranked


def refused(index: PrefixSearch) -> None:
    index.fuzzy_match(5)  # type: ignore[arg-type]
    index.fuzzy_match("a", max_dist=None)  # type: ignore[arg-type]
    index.fuzzy_match_video("a", 1, 2, 3)  # type: ignore[call-arg]
    PrefixSearch.from_bytes(bytearray())  # type: ignore[arg-type]
    PrefixSearch.from_internal_data_v2([], [1], [], [], [], 1)  # type: ignore[list-item]
    text: int = index.fuzzy_match("a")[0][0]  # type: ignore[assignment]
    score: str = index.fuzzy_match_video("a")[0][1]  # type: ignore[assignment]
    tessaloom.build_index([("a", 1.5, 1)], 3)  # type: ignore[list-item]
    del text, score


if __name__ == "__main__":
    print(run())

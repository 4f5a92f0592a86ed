"""The package's first builder, in pure Python, kept as the reference that
bench/bench_build.py measures the native builder against and that the tests
compare the native builder's indexes with.  It turns (term, video_id,
count) entries into the flat trie arrays that
`PrefixSearch.from_internal_data_v2` takes.

Layout produced:
  - one node per distinct prefix of the vocabulary, node 0 the root with
    the empty label;
  - nodes numbered in depth-first pre-order over labels in code-point
    order, so every child has a larger id than its parent and each node's
    children form one contiguous run of `child_transitions`, in label order;
  - a payload on every node that ends a term: (sum of the term's counts,
    video positions, per-video sums), videos ordered by sum, largest first
    (first seen first among equal sums), so that the top-N cut applied to a
    leaf keeps its strongest videos;
  - the video table in first-seen order.

The whole vocabulary is validated and aggregated before any array is
built; a bad entry raises before anything reaches the extension.
"""

from __future__ import annotations

import gc
import operator
import re
import uuid
from itertools import accumulate
from typing import Callable, Dict, Iterable, List, NamedTuple, Optional, Tuple, Union

MAX_U32 = 0xFFFFFFFF

VideoId = Union[uuid.UUID, bytes, bytearray, str]
Entry = Tuple[str, VideoId, int]
Payload = Tuple[int, Tuple[int, ...], Tuple[int, ...]]
# What `_aggregate` keeps per term: the finished payload while the term has
# one entry, else [total, video, count, video, count, ...].
_Record = Union[Payload, List[int]]
Progress = Callable[[str], None]

_UUID_TEXT = re.compile(
    r"[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}\Z"
)
# Characters a term may not hold: U+0000 is the trie's empty label (it would
# silently vanish from the node text) and lone surrogates have no UTF-8 form.
_UNSTORABLE = re.compile("[\x00\ud800-\udfff]")


class IndexArrays(NamedTuple):
    """The arguments of `from_internal_data_v2`, in its order, minus
    `video_top_n`."""

    node_shifts: List[int]
    child_labels: List[str]
    payloads: List[Optional[Payload]]
    child_transitions: List[int]
    video_index: List[bytes]


class EntryValueError(ValueError):
    """A bad value in one entry.  `position` is the entry's 0-based index
    and `problem` the message without the position."""

    def __init__(self, position: int, problem: str) -> None:
        super().__init__(f"entries[{position}]: {problem}")
        self.position = position
        self.problem = problem


class EntryTypeError(TypeError):
    """An entry, or a field of one, of the wrong type; attributes as for
    `EntryValueError`."""

    def __init__(self, position: int, problem: str) -> None:
        super().__init__(f"entries[{position}]: {problem}")
        self.position = position
        self.problem = problem


def _type_name(value: object) -> str:
    return type(value).__name__


def _check_term(position: int, term: object) -> str:
    if not isinstance(term, str):
        raise EntryTypeError(position, f"term must be a str, got {_type_name(term)}")
    if not term:
        raise EntryValueError(position, "term is empty")
    bad = _UNSTORABLE.search(term)
    if bad is not None:
        raise EntryValueError(
            position,
            f"term {term!r} contains U+{ord(bad.group()):04X}, which an index cannot store",
        )
    # A str subclass becomes a plain str: the arrays hold plain strings.
    return term if type(term) is str else str.__str__(term)


def video_id_bytes(video: object) -> bytes:
    """The 16 stored bytes of a video id given as a `uuid.UUID`, 16 bytes or
    a 36-character UUID text (hex digits in groups of 8-4-4-4-12, either
    case).  Raises TypeError or ValueError with the problem as message."""
    if isinstance(video, uuid.UUID):
        return video.bytes
    if isinstance(video, (bytes, bytearray)):
        if len(video) != 16:
            raise ValueError(f"video_id has {len(video)} bytes, expected 16")
        return bytes(video)
    if isinstance(video, str):
        if _UUID_TEXT.match(video) is None:
            raise ValueError(
                f"video_id {video!r} is not a 36-character UUID text "
                "(hex digits in groups of 8-4-4-4-12)"
            )
        return bytes.fromhex(video.replace("-", ""))
    raise TypeError(
        "video_id must be a uuid.UUID, 16 bytes or a 36-character UUID text, "
        f"got {_type_name(video)}"
    )


def _check_count(position: int, count: object) -> int:
    if isinstance(count, bool):
        raise EntryTypeError(position, "count must be an int, got bool")
    try:
        value = operator.index(count)  # type: ignore[arg-type]
    except TypeError:
        raise EntryTypeError(position, f"count must be an int, got {_type_name(count)}") from None
    if value <= 0:
        raise EntryValueError(position, f"count must be positive, got {value}")
    if value > MAX_U32:
        raise EntryValueError(position, f"count {value} is above the largest count {MAX_U32}")
    return value


def _aggregate(
    entries: Iterable[Entry], progress: Optional[Progress]
) -> Tuple[Dict[str, _Record], List[bytes]]:
    """Validates every entry and collects its term's record (videos as
    positions in the video table), plus the video table."""
    try:
        iterator = iter(entries)
    except TypeError:
        raise TypeError(
            f"entries must be an iterable of (term, video_id, count), got {_type_name(entries)}"
        ) from None

    per_term: Dict[str, _Record] = {}
    video_index: List[bytes] = []
    by_bytes: Dict[bytes, int] = {}
    # Video ids as given (UUID objects, texts, bytes) to their positions: the
    # same id usually recurs many times and is parsed only once.
    by_given: Dict[object, int] = {}

    position = -1
    for position, entry in enumerate(iterator):
        if progress is not None and position % 250_000 == 0 and position:
            progress(f"read {position:,} entries")
        try:
            term, video, count = entry
        except TypeError:
            raise EntryTypeError(
                position, f"expected a (term, video_id, count) triple, got {_type_name(entry)}"
            ) from None
        except ValueError:
            raise EntryValueError(
                position, "expected exactly 3 items: term, video_id, count"
            ) from None

        record = per_term.get(term) if type(term) is str else None
        if record is None:
            term = _check_term(position, term)

        try:
            video_pos = by_given.get(video)
            hashable = True
        except TypeError:  # a bytearray, say
            video_pos = None
            hashable = False
        if video_pos is None:
            try:
                raw = video_id_bytes(video)
            except TypeError as error:
                raise EntryTypeError(position, str(error)) from None
            except ValueError as error:
                raise EntryValueError(position, str(error)) from None
            video_pos = by_bytes.get(raw)
            if video_pos is None:
                video_pos = by_bytes[raw] = len(video_index)
                video_index.append(raw)
            if hashable:
                by_given[video] = video_pos

        if type(count) is not int or not 0 < count <= MAX_U32:
            count = _check_count(position, count)

        if record is None:
            record = per_term.get(term)  # a str subclass may name a known term
            if record is None:
                # Most terms have a single entry: their payload is final.
                per_term[term] = (count, (video_pos,), (count,))
                continue
        if isinstance(record, tuple):
            record = per_term[term] = [record[0], record[1][0], record[2][0]]
        total = record[0] + count
        if total > MAX_U32:
            raise EntryValueError(
                position, f"counts for term {term!r} add up to more than {MAX_U32}"
            )
        record[0] = total
        record += (video_pos, count)

    if progress is not None:
        progress(
            f"read {position + 1:,} entries: {len(per_term):,} distinct terms, "
            f"{len(video_index):,} videos"
        )
    return per_term, video_index


def _payload(record: List[int]) -> Payload:
    """The payload of one term from its [total, video, count, ...] record:
    counts summed per video, videos ordered by count, largest first."""
    sums: Dict[int, int] = {}
    for k in range(1, len(record), 2):
        video = record[k]
        sums[video] = sums.get(video, 0) + record[k + 1]
    # The sort is stable: equal counts keep the order in which their videos
    # were first seen for this term.
    ranked = sorted(sums.items(), key=lambda item: -item[1])
    videos, counts = zip(*ranked)
    return (record[0], videos, counts)


def build_arrays(entries: Iterable[Entry], *, progress: Optional[Progress] = None) -> IndexArrays:
    """The trie arrays for `entries` (see the module docstring for their
    layout).  Raises EntryTypeError / EntryValueError (subclasses of
    TypeError / ValueError) naming the first bad entry."""
    # The build allocates millions of small containers and no cycles: the
    # cyclic collector would only rescan them over and over.
    collecting = gc.isenabled()
    gc.disable()
    try:
        return _build_arrays(entries, progress)
    finally:
        if collecting:
            gc.enable()


def _build_arrays(entries: Iterable[Entry], progress: Optional[Progress]) -> IndexArrays:
    per_term, video_index = _aggregate(entries, progress)

    # Walk the distinct terms in code-point order keeping the node ids of the
    # current term's prefixes on `path` (path[k] is the node of term[:k]);
    # each term adds one node per character after its common prefix with the
    # previous term.  Nodes are thus numbered in pre-order, and the children
    # of a node are created in ascending label order.
    terms = sorted(per_term.items(), key=operator.itemgetter(0))
    labels: List[str] = [""]
    parents: List[int] = [0]
    term_nodes: List[int] = []
    path: List[int] = [0]
    previous = ""
    first = 1  # id of the next node
    for term, _ in terms:
        if term.startswith(previous):
            common = len(previous)
        else:
            common = 0
            while previous[common] == term[common]:  # they differ before either ends
                common += 1
            del path[common + 1 :]
        suffix = term[common:]  # never empty: the terms are distinct and sorted
        end = first + len(suffix)
        labels.extend(suffix)
        parents.append(path[common])
        parents.extend(range(first, end - 1))
        path.extend(range(first, end))
        term_nodes.append(end - 1)
        first = end
        previous = term

    payloads: List[Optional[Payload]] = [None] * len(labels)
    for node, (_, record) in zip(term_nodes, terms):
        payloads[node] = record if isinstance(record, tuple) else _payload(record)

    node_count = len(labels)
    if node_count > MAX_U32:
        raise ValueError(f"the vocabulary needs {node_count:,} trie nodes, more than {MAX_U32:,}")
    if progress is not None:
        progress(f"trie of {node_count:,} nodes")

    # Children grouped per parent in parent order: a stable sort by parent
    # keeps each group in creation order, which is label order.
    child_transitions = sorted(range(1, node_count), key=parents.__getitem__)
    child_counts = [0] * node_count
    for parent in parents[1:]:
        child_counts[parent] += 1
    node_shifts = list(accumulate(child_counts, initial=0))
    node_shifts.pop()  # the end of the last range is len(child_transitions)

    return IndexArrays(node_shifts, labels, payloads, child_transitions, video_index)

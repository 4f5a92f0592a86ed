"""Hands (term, video_id, count) entries to the native builder
(`tessaloom._native`), whichever form they come in:

  - anything that exports the Arrow C stream interface
    (`__arrow_c_stream__`: pyarrow tables and readers, Polars data frames,
    DuckDB results, pandas data frames through pyarrow), or one Arrow
    record batch (`__arrow_c_array__`), with the columns `term`,
    `video_id` and `count`;
  - a mapping of those three names to parallel columns: Arrow arrays or
    chunked arrays, NumPy arrays (counts, and 16-byte video ids), or any
    Python sequences;
  - any other iterable of (term, video_id, count) triples.

The index it builds: one node per distinct prefix of the vocabulary, node 0
the root with the empty label, nodes numbered in depth-first pre-order with
children in code-point order (each node's children one contiguous run of
`child_transitions`); a payload on every node that ends a term (the sum of
its counts, then its videos ordered by count, largest first, the first seen
first among equal counts); the video table ordered by total count, most
frequent first, so the ids that recur most take the fewest bytes.
"""

from __future__ import annotations

import uuid
from collections.abc import Mapping
from typing import Any, Callable, Iterable, Optional, Tuple, Union

from _tessaloom import PrefixSearch

from . import _native

MAX_U32 = 0xFFFFFFFF

VideoId = Union[uuid.UUID, bytes, bytearray, str]
Entry = Tuple[str, VideoId, int]
Progress = Callable[[str], None]
# What the native builder returns: the index and its term, node and video counts.
Built = Tuple[PrefixSearch, int, int, int]

COLUMNS = ("term", "video_id", "count")


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


class LineError(ValueError):
    """A bad line of a text vocabulary: `line` is its number (from 1) and
    `problem` the message without it."""

    def __init__(self, line: int, problem: str) -> None:
        super().__init__(f"line {line}: {problem}")
        self.line = line
        self.problem = problem


class VocabularyError(ValueError):
    """A vocabulary that cannot be indexed as a whole: the counts under a
    common prefix add up past 4294967295 (a trie node's total count), or
    the trie would need more nodes than an index can hold."""


def _column(name: str, column: Any) -> Tuple[Any, ...]:
    """How the native builder reads one column given on its own."""
    if hasattr(column, "__arrow_c_array__"):
        schema, array = column.__arrow_c_array__()
        return ("arrow", schema, array)
    if hasattr(column, "__arrow_c_stream__"):
        return ("stream", column.__arrow_c_stream__())
    if name != "term" and not isinstance(column, (str, bytes, bytearray, memoryview)):
        try:
            view = memoryview(column)
        except (TypeError, ValueError):
            pass
        else:
            if view.ndim >= 1 and not (name == "count" and view.format.lstrip("@=<") not in "bBhHiIlLqQ"):
                return ("buffer", view)
    return ("sequence", column)


def build(entries: Iterable[Entry], top_n: int, progress: Optional[Progress]) -> Built:
    """The index over `entries` (any of the forms above) with its figures.
    Raises EntryTypeError / EntryValueError naming the first bad entry,
    VocabularyError, or TypeError / ValueError for input of the wrong
    shape."""
    stream = getattr(type(entries), "__arrow_c_stream__", None)
    if stream is not None:
        # pyarrow tables and batches say how many rows they hold.
        rows = getattr(entries, "num_rows", 0)
        rows = rows if type(rows) is int and rows > 0 else 0
        built: Built = _native.build_stream(stream(entries), top_n, progress, rows)
        return built
    array = getattr(type(entries), "__arrow_c_array__", None)
    if array is not None:
        schema, data = array(entries)
        built = _native.build_batch(schema, data, top_n, progress)
        return built
    if isinstance(entries, Mapping):
        if set(entries) != set(COLUMNS) or len(entries) != 3:
            raise TypeError(
                "a mapping of columns needs exactly the keys 'term', 'video_id' and 'count', "
                f"got {sorted(map(str, entries))}"
            )
        term, video, count = (_column(name, entries[name]) for name in COLUMNS)
        built = _native.build_columns(term, video, count, top_n, progress)
        return built
    built = _native.build_entries(entries, top_n, progress)
    return built

"""Fuzzy-prefix search over the vocabulary of a video catalogue.

    >>> import tessaloom
    >>> index = tessaloom.build_index(
    ...     [("cat", "00010203-0405-0607-0809-0a0b0c0d0e0f", 3)], video_top_n=10)
    >>> index.fuzzy_match("cst")
    [('cat', 1, 1)]

`build_index` turns (term, video_id, count) entries into a
`PrefixSearch` index (the class of the `_tessaloom` extension).
`PanicException` is the type of the extension's internal-fault exception;
it derives from BaseException.
"""

from __future__ import annotations

import copyreg
import operator
import pkgutil
from typing import TYPE_CHECKING, Callable, Iterable, List, Optional, Tuple, Type

from _tessaloom import PrefixSearch

# A development build keeps the package's extension module in
# <build>/tessaloom; with <build> on the path it joins the package, ahead
# of an installed copy (so a test run against a build uses that build's).
__path__ = [p for p in pkgutil.extend_path(__path__, __name__) if p not in __path__] + list(__path__)

from ._builder import MAX_U32, Entry, Progress, VideoId, build  # noqa: E402
from ._index_files import load, save  # noqa: E402

__all__ = ["PanicException", "PrefixSearch", "build_index", "load", "save", "Entry", "VideoId", "__version__"]


def _version() -> str:
    from importlib import metadata

    try:
        return metadata.version("tessaloom")
    except metadata.PackageNotFoundError:  # a source tree that is not installed
        return "0+unknown"


__version__ = _version()


# Pickling and copying: an index travels as its saved bytes and comes back
# through `from_bytes` (the class itself carries no pickling methods).
def _from_bytes(data: bytes) -> PrefixSearch:
    return PrefixSearch.from_bytes(data)


def _reduce(index: PrefixSearch) -> Tuple[Callable[[bytes], PrefixSearch], Tuple[bytes]]:
    return _from_bytes, (index.to_bytes(),)


copyreg.pickle(PrefixSearch, _reduce)


def build_index(
    entries: Iterable[Entry], video_top_n: int, *, progress: Optional[Progress] = None
) -> PrefixSearch:
    """Builds an index over `entries`: (term, video_id, count) entries.

    - term: a non-empty str (without U+0000 or lone surrogates);
    - video_id: a `uuid.UUID`, 16 bytes, or the 36-character UUID text;
      the same video may be given in different forms;
    - count: a positive int up to 4294967295; counts of repeated
      (term, video) pairs are summed.

    `entries` is an iterable of triples (lists and tuples are read
    fastest); or Arrow data with the columns term, video_id and count:
    anything with `__arrow_c_stream__` (a pyarrow Table or
    RecordBatchReader, a Polars DataFrame, a DuckDB result, a pandas
    DataFrame with pyarrow installed) or `__arrow_c_array__` (a record
    batch), term a string column, video_id fixed-size binary of 16 bytes
    or UUID text, count any integer type; or a mapping
    {"term": ..., "video_id": ..., "count": ...} of three parallel
    columns, each an Arrow array, a NumPy array or a Python sequence.
    Neither pyarrow nor NumPy is needed to read them.

    `video_top_n` caps how many videos every trie node keeps (0 to
    4294967295).  `progress`, if given, is called with short status texts
    between the steps of the build.  The build itself runs without the
    interpreter lock, so other threads carry on meanwhile.

    A bad entry raises TypeError or ValueError whose message starts with
    "entries[i]: " (i the entry's 0-based position, the row of Arrow data);
    counts that add up to more than 4294967295 under a common prefix raise
    ValueError naming the prefix.  Nothing is built then.
    """
    if isinstance(video_top_n, bool):
        raise TypeError("video_top_n must be an int, got bool")
    try:
        top_n = operator.index(video_top_n)
    except TypeError:
        raise TypeError(f"video_top_n must be an int, got {type(video_top_n).__name__}") from None
    if not 0 <= top_n <= MAX_U32:
        raise ValueError(f"video_top_n must be between 0 and {MAX_U32}, got {top_n}")
    index = build(entries, top_n, progress)[0]
    if progress is not None:
        progress("index built")
    return index


_panic_type: Optional[Type[BaseException]] = None


def _panic_exception() -> Type[BaseException]:
    """The extension's internal-fault type, which exists only once a fault
    has been raised: provokes one harmless fault (a child range that runs
    past `child_transitions`, caught during construction) the first time."""
    global _panic_type
    if _panic_type is None:
        try:
            PrefixSearch.from_internal_data_v2([0, 2], ["", "a"], [None, None], [1], [], 0)
        except BaseException as fault:  # noqa: B902 - it derives from BaseException
            if type(fault).__name__ != "PanicException":
                raise
            _panic_type = type(fault)
        else:
            raise ImportError("_tessaloom accepted an out-of-range child range")
    return _panic_type


if TYPE_CHECKING:

    class PanicException(BaseException):
        """An internal fault of the extension: an array lookup out of bounds
        (an inconsistent index, typically one read from corrupt bytes) or a
        size that cannot be allocated.  args[0] is the message."""

else:

    def __getattr__(name: str) -> object:
        if name == "PanicException":
            return _panic_exception()
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")

    def __dir__() -> List[str]:
        return sorted(set(globals()) | {"PanicException"})

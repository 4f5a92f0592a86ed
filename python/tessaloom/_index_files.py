"""Index files: `save` writes an index as a mapped index file (or as its
`to_bytes` form), `load` opens either kind.

A mapped index file is used in place from a read-only memory mapping:
opening it reads only its header, pages come in as queries touch them, and
every process that opens the same file shares one copy of it in the page
cache.  Its layout is in the README ("Mapped index files").
"""

from __future__ import annotations

import os
import stat
from typing import Dict, Union

from _tessaloom import PrefixSearch

from . import _native
from ._files import write_file

# The first bytes of a mapped index file.  A saved byte string cannot start
# with FF: its first byte is a count's, and the reader refuses FF there.
MAGIC = b"\xffTLOOM\r\n"

PathLike = Union[str, "os.PathLike[str]"]
FORMATS = ("mapped", "bytes")


def save(index: PrefixSearch, path: PathLike, format: str = "mapped") -> None:
    """Writes `index` to `path`: as a mapped index file (the default), or
    with format="bytes" exactly `index.to_bytes()`.

    The file is written atomically: into a temporary file in the same
    directory, flushed to disk, then renamed over `path`; a failure (or
    KeyboardInterrupt) leaves `path` as it was and no temporary file
    behind.  An existing `path` keeps its permissions.  A `path` that
    exists and is not a regular file (a directory, device, FIFO, or a
    symlink to one) is refused with `NotRegularFileError` (an OSError)."""
    if not isinstance(index, PrefixSearch):
        raise TypeError(f"index must be a PrefixSearch, got {type(index).__name__}")
    if format not in FORMATS:
        raise ValueError(f"format must be 'mapped' or 'bytes', got {format!r}")
    if format == "bytes":
        write_file(path, index.to_bytes())
    else:
        write_file(path, lambda stream: _native.write_mapped(index, stream.fileno()))


def _open_regular(path: PathLike) -> int:
    fd = os.open(path, os.O_RDONLY | getattr(os, "O_BINARY", 0))
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise ValueError(f"{os.fspath(path)!s}: not a regular file")
    except BaseException:
        os.close(fd)
        raise
    return fd


def _read_all(fd: int) -> bytes:
    chunks = []
    while True:
        chunk = os.read(fd, 1 << 24)
        if not chunk:
            return b"".join(chunks)
        chunks.append(chunk)


def load(path: PathLike, *, verify: bool = False) -> PrefixSearch:
    """Opens an index file written by `save` (either format) or any file
    holding `to_bytes` output.

    A mapped index file is mapped read-only and used in place; opening it
    checks its header and that every section lies inside the file with the
    length its counts imply, and raises ValueError naming what is wrong.
    With `verify=True` it also checks every section's checksum (a pass over
    the whole file).  Any other file is read and given to
    `PrefixSearch.from_bytes` (ValueError "decode error: ...").

    Replace index files by renaming a new file over them (as `save` does):
    an open index keeps reading the file it opened.  A file truncated in
    place while it is open ends the process (SIGBUS)."""
    fd = _open_regular(path)
    try:
        head = os.read(fd, len(MAGIC))
        if head == MAGIC:
            try:
                return _native.open_mapped(fd, bool(verify))
            except ValueError as error:
                raise ValueError(f"{os.fspath(path)!s}: {error}") from None
        os.lseek(fd, 0, os.SEEK_SET)
        data = _read_all(fd)
    finally:
        os.close(fd)
    return PrefixSearch.from_bytes(data)


def file_format(path: PathLike) -> str:
    """'mapped' or 'bytes', by the file's first bytes."""
    fd = _open_regular(path)
    try:
        return "mapped" if os.read(fd, len(MAGIC)) == MAGIC else "bytes"
    finally:
        os.close(fd)


def info(index: PrefixSearch) -> Dict[str, int]:
    """Counts and sizes of an index: nodes, child transitions, payload
    slots, present payloads, stored records, payload entries, record bytes,
    videos and the bytes of all its arrays."""
    return _native.index_facts(index)

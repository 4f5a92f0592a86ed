"""Writing a file whole or not at all.

`write_file` writes into a new temporary file beside the target, flushes it
to disk and renames it over the target, so that a reader sees the old
content or the new one, never a part.  Every failure, KeyboardInterrupt
included, removes the temporary file.  A target that exists keeps its
permission bits (and its owner and group, where the process may set them);
a symbolic link stays a link and its target file is replaced.

A target that exists and is not a regular file is never replaced: with
`devices=True` the bytes are written straight into a character device or a
FIFO (as a shell's redirection would: `/dev/null`, `/dev/stdout`, a named
pipe); otherwise, and for directories, sockets and block devices always,
the write is refused with `NotRegularFileError`.
"""

from __future__ import annotations

import errno
import os
import stat
import uuid
from typing import BinaryIO, Callable, Optional, Union

# Bytes, or a function that writes the content into the binary stream given.
Content = Union[bytes, bytearray, memoryview, Callable[[BinaryIO], None]]

_NO_INHERIT = getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_BINARY", 0) | getattr(os, "O_NOCTTY", 0)


class NotRegularFileError(OSError):
    """The target exists and is not a regular file; `strerror` says what it is."""

    def __init__(self, path: str, kind: str) -> None:
        super().__init__(errno.EINVAL, f"is {kind}, not a regular file; refusing to replace it", path)

    def __str__(self) -> str:
        return f"{self.filename}: {self.strerror}"


def describe_mode(mode: int) -> str:
    if stat.S_ISDIR(mode):
        return "a directory"
    if stat.S_ISCHR(mode):
        return "a character device"
    if stat.S_ISBLK(mode):
        return "a block device"
    if stat.S_ISFIFO(mode):
        return "a FIFO"
    if stat.S_ISSOCK(mode):
        return "a socket"
    return "not a regular file"


def _write(stream: BinaryIO, content: Content) -> None:
    if callable(content):
        content(stream)
    else:
        stream.write(content)
    stream.flush()


def write_file(path: Union[str, "os.PathLike[str]"], content: Content, *, devices: bool = False) -> None:
    """Writes `content` to `path` atomically (see the module's docstring).

    Raises OSError (with `filename` set) when the file cannot be written,
    `NotRegularFileError` for a target that may not be replaced.
    """
    path = os.fspath(path)
    try:
        target = os.stat(path)
    except FileNotFoundError:
        target = None
    if target is not None and not stat.S_ISREG(target.st_mode):
        special = stat.S_ISCHR(target.st_mode) or stat.S_ISFIFO(target.st_mode)
        if not (devices and special):
            raise NotRegularFileError(path, describe_mode(target.st_mode))
        _write_through(path, content)
        return
    _replace(path, content, target)


def _write_through(path: str, content: Content) -> None:
    fd = os.open(path, os.O_WRONLY | _NO_INHERIT)
    with open(fd, "wb", buffering=0, closefd=True) as stream:
        mode = os.fstat(fd).st_mode
        if not (stat.S_ISCHR(mode) or stat.S_ISFIFO(mode)):  # changed under us
            raise NotRegularFileError(path, describe_mode(mode))
        _write(stream, content)


def _replace(path: str, content: Content, target: Optional[os.stat_result]) -> None:
    # The link's target is what gets replaced, so the link stays a link.
    final = os.path.realpath(path) if os.path.islink(path) else path
    directory = os.path.dirname(os.path.abspath(final))
    temporary = os.path.join(directory, f".{os.path.basename(final)}.{uuid.uuid4().hex[:12]}.tmp")
    # 0o666 less the umask, as for any new file; an existing target's bits below.
    try:
        fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | _NO_INHERIT, 0o666)
    except OSError as error:
        error.filename = path
        raise
    try:
        with open(fd, "wb", closefd=True) as stream:
            if target is not None:
                _copy_metadata(fd, temporary, target)
            _write(stream, content)
            os.fsync(fd)
        os.replace(temporary, final)
    except BaseException as error:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        if isinstance(error, OSError) and error.filename == temporary:
            error.filename, error.filename2 = path, None  # name the file asked for
        raise
    _sync_directory(directory)


def _copy_metadata(fd: int, temporary: str, target: os.stat_result) -> None:
    if hasattr(os, "fchown") and (target.st_uid, target.st_gid) != (os.geteuid(), os.getegid()):
        try:
            os.fchown(fd, target.st_uid, target.st_gid)
        except OSError:
            pass  # not ours to give away: the new file stays the writer's
    if hasattr(os, "fchmod"):
        os.fchmod(fd, stat.S_IMODE(target.st_mode))
    else:
        os.chmod(temporary, stat.S_IMODE(target.st_mode))


def _sync_directory(directory: str) -> None:
    """Makes the rename durable where the platform allows it."""
    if os.name != "posix":
        return
    try:
        fd = os.open(directory, os.O_RDONLY | _NO_INHERIT)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)

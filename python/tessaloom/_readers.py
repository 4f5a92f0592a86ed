"""Vocabulary files for `tessaloom build`: TSV (parsed natively), CSV with a
header, and Parquet (with pyarrow installed).

TSV: `term<TAB>video_id<TAB>count` lines of UTF-8.  A line holding only
whitespace is blank and skipped; the first line that is not blank is a
header, and skipped, when it names the three columns in any letter case;
every field is stripped of surrounding whitespace (space, tab, CR, VT, FF);
a count is ASCII digits only.

CSV: a header row naming the columns term, video_id and count (any letter
case, any order, other columns ignored), then one row per entry, with the
same rules for fields and counts as TSV.

Parquet: the columns term (string), video_id (16-byte fixed-size binary or
UUID text) and count (any integer type), read as Arrow data; a file, or a
directory of part files (a dataset, as Spark writes one).

Every reader raises `ReadError`, a one-line message naming the file and the
line (or row) at fault.
"""

from __future__ import annotations

import csv
import os
import sys
from typing import IO, Any, Callable, Iterator, List, Optional, Union

from . import _native
from ._builder import (
    COLUMNS,
    Built,
    Entry,
    EntryTypeError,
    EntryValueError,
    LineError,
    VocabularyError,
    build,
)

# Whitespace stripped from every field; tabs only matter to CSV, where a
# field may hold one.
_SPACE = " \t\r\v\f"


class ReadError(Exception):
    """A problem with a vocabulary file, in one line."""


def _cannot_read(name: str, error: OSError) -> ReadError:
    return ReadError(f"cannot read {name}: {error.strerror or error}")


class Source:
    """A vocabulary to build from.  `lineno` is the number of lines (or
    rows) read so far, for deciding whether to report progress."""

    def __init__(self, name: str) -> None:
        self.name = name
        self.lineno = 0

    def build(self, top_n: int, progress: Callable[[str], None]) -> Built:
        try:
            return self._build(top_n, progress)
        except VocabularyError as error:
            raise ReadError(f"{self.name}: {error}") from None
        except OSError as error:
            raise _cannot_read(self.name, error) from None

    def _build(self, top_n: int, progress: Callable[[str], None]) -> Built:
        raise NotImplementedError


class TsvSource(Source):
    """TSV from a file, a binary stream (stdin) or bytes in memory."""

    def __init__(self, data: Union[str, IO[bytes], bytes], name: str) -> None:
        super().__init__(name)
        self.data = data

    def _build(self, top_n: int, progress: Callable[[str], None]) -> Built:
        def report(message: str, lines: int) -> None:
            self.lineno = lines
            progress(message)

        try:
            if isinstance(self.data, str):
                try:
                    stream = open(self.data, "rb")
                except OSError as error:
                    raise _cannot_read(self.name, error) from None
                with stream:
                    return _native.build_tsv(stream.fileno(), top_n, report)
            if isinstance(self.data, bytes):
                return _native.build_tsv(self.data, top_n, report)
            try:
                fd = self.data.fileno()
            except (AttributeError, OSError, ValueError):
                return _native.build_tsv(self.data.read(), top_n, report)
            return _native.build_tsv(fd, top_n, report)
        except LineError as error:
            raise ReadError(f"{self.name}, line {error.line}: {error.problem}") from None


class CsvSource(Source):
    def __init__(self, path: str) -> None:
        super().__init__(path)

    def _rows(self, stream: IO[str]) -> Iterator[Entry]:
        reader = csv.reader(stream)
        header: Optional[List[str]] = None
        for row in reader:
            self.lineno = reader.line_num
            if not any(field.strip(_SPACE) for field in row):
                continue
            if header is None:
                header = [field.strip(_SPACE).lower() for field in row]
                missing = [name for name in COLUMNS if name not in header]
                if missing:
                    raise ReadError(
                        f"{self.name}, line {self.lineno}: the header row must name the columns "
                        f"term, video_id and count; found {', '.join(map(repr, row))}"
                    )
                where = [header.index(name) for name in COLUMNS]
                continue
            if len(row) != len(header):
                raise ReadError(
                    f"{self.name}, line {self.lineno}: expected {len(header)} fields as in the "
                    f"header, found {len(row)}"
                )
            term, video, count = (row[k].strip(_SPACE) for k in where)
            if not (count.isascii() and count.isdigit()):
                raise ReadError(f"{self.name}, line {self.lineno}: count {count!r} is not an integer")
            yield term, video, int(count)

    def _build(self, top_n: int, progress: Callable[[str], None]) -> Built:
        try:
            stream = open(self.name, encoding="utf-8-sig", newline="")
        except OSError as error:
            raise _cannot_read(self.name, error) from None
        with stream:
            try:
                return build(self._rows(stream), top_n, progress)
            except (EntryValueError, EntryTypeError) as error:
                raise ReadError(f"{self.name}, line {self.lineno}: {error.problem}") from None
            except UnicodeDecodeError:
                raise ReadError(f"{self.name}, line {self.lineno + 1}: not valid UTF-8") from None
            except csv.Error as error:
                raise ReadError(f"{self.name}, line {self.lineno + 1}: {error}") from None


class ParquetSource(Source):
    def __init__(self, path: str) -> None:
        super().__init__(path)

    def _build(self, top_n: int, progress: Callable[[str], None]) -> Built:
        try:
            import pyarrow  # type: ignore[import-untyped, unused-ignore]
            import pyarrow.parquet as parquet  # type: ignore[import-untyped, unused-ignore]
        except ImportError:
            raise ReadError(
                f"{self.name}: reading Parquet needs pyarrow: "
                "python -m pip install 'tessaloom[parquet]'"
            ) from None
        try:
            if os.path.isdir(self.name):
                # A directory of part files (as Spark writes them).
                import pyarrow.dataset as dataset  # type: ignore[import-untyped, unused-ignore]

                data = dataset.dataset(self.name, format="parquet")
                full_schema, files, rows = data.schema, list(data.files), data.count_rows()
                opened = None
            else:
                # One file: its footer says all, without the dataset
                # machinery (a fifth of a second to import).
                opened = parquet.ParquetFile(self.name, pre_buffer=False, buffer_size=1 << 20)
                full_schema, files, rows = opened.schema_arrow, [self.name], opened.metadata.num_rows
            names = full_schema.names
            missing = [name for name in COLUMNS if name not in names]
            if missing:
                raise ReadError(
                    f"{self.name}: no column named {missing[0]!r} (its columns: {', '.join(names) or 'none'})"
                )
            schema = pyarrow.schema([full_schema.field(name) for name in COLUMNS])

            # File after file, batch after batch, each decoded when the
            # builder asks for it: one row group's pages at most are held
            # (no read-ahead, no buffering of whole column chunks).
            def batches() -> Iterator[Any]:
                for path in files:
                    part = opened if opened is not None else parquet.ParquetFile(path, pre_buffer=False, buffer_size=1 << 20)
                    for batch in part.iter_batches(batch_size=1 << 16, columns=list(COLUMNS), use_threads=False):
                        yield batch if batch.schema == schema else batch.cast(schema)

            reader = pyarrow.RecordBatchReader.from_batches(schema, batches())
        except OSError as error:
            raise _cannot_read(self.name, error) from None
        except ValueError as error:  # pyarrow's ArrowInvalid: not a Parquet file
            raise ReadError(f"cannot read {self.name}: {error}") from None
        self.lineno = rows
        try:
            return _native.build_stream(reader.__arrow_c_stream__(), top_n, progress, rows)
        except (EntryValueError, EntryTypeError) as error:
            raise ReadError(f"{self.name}, row {error.position + 1}: {error.problem}") from None
        except VocabularyError:
            raise
        except TypeError as error:  # a column of the wrong type
            raise ReadError(f"{self.name}: {error}") from None
        except ValueError as error:  # a read that failed part way
            raise ReadError(f"cannot read {self.name}: {error}") from None


def open_vocabulary(path: str) -> Source:
    """The source for a `tessaloom build` input: "-" is TSV on stdin; a
    name ending in .parquet (a file, or a directory of part files as Spark
    writes them) or .csv is that format; anything else is TSV."""
    if path == "-":
        return TsvSource(sys.stdin.buffer, "<stdin>")
    extension = os.path.splitext(path.rstrip(os.sep))[1].lower()
    if extension in (".parquet", ".pq"):
        return ParquetSource(path)
    if extension == ".csv":
        return CsvSource(path)
    return TsvSource(path, path)

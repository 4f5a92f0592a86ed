"""The `tessaloom` command line: build an index from a vocabulary (TSV, CSV or
Parquet; see tessaloom._readers), query
a saved index, or run a demo over the bundled sample catalogue.

Exit status: 0 on success; 2 for every failure (usage, input, a file that
cannot be read or written, stdout included), reported in one line on
stderr that names the file; 130 when interrupted.
"""

from __future__ import annotations

import argparse
import json
import os
import stat
import sys
from importlib import resources
from typing import IO, BinaryIO, Callable, Dict, List, NoReturn, Optional, Sequence, Tuple

from _tessaloom import PrefixSearch

from . import __version__, _panic_exception
from ._builder import MAX_U32
from . import _native
from ._files import Content, describe_mode, write_file
from ._index_files import FORMATS, MAGIC, file_format, info, load
from ._readers import ReadError, Source, TsvSource, open_vocabulary

# Inputs of at least this many lines get progress reports on stderr.
PROGRESS_LINES = 200_000
DEFAULT_TOP_N = 100
# Error lines are cut to this many characters.
MAX_ERROR_CHARS = 300
STDIN, STDOUT = "<stdin>", "<stdout>"


class InputError(Exception):
    """A failure reported in one line, exit status 2: bad input, or a file
    that cannot be read or written."""


def _cannot(action: str, name: str, error: OSError) -> InputError:
    return InputError(f"cannot {action} {name}: {error.strerror or error}")


def _open_input(path: str) -> IO[bytes]:
    """`path` opened for reading: a regular file or a pipe.  Anything else
    is refused (a device such as /dev/zero never ends)."""
    try:
        stream = open(path, "rb")
        mode = os.fstat(stream.fileno()).st_mode
    except OSError as error:
        raise _cannot("read", path, error) from None
    if not (stat.S_ISREG(mode) or stat.S_ISFIFO(mode)):
        stream.close()
        raise InputError(f"cannot read {path}: it is {describe_mode(mode)}, not a regular file or a pipe")
    return stream


def _stdin() -> IO[bytes]:
    if sys.stdin is None:
        raise InputError(f"cannot read {STDIN}: it is closed")
    return sys.stdin.buffer


def _stdout_failed(error: OSError) -> InputError:
    """The error for a failed write to stdout.  Stdout is pointed at the
    null device, so that the interpreter's own flush at exit has nowhere to
    fail again."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError, AttributeError):
        pass
    return _cannot("write", STDOUT, error)


def _print(*parts: object) -> None:
    if sys.stdout is None:
        raise InputError(f"cannot write {STDOUT}: it is closed")
    try:
        print(*parts)
    except OSError as error:
        raise _stdout_failed(error) from None


def _flush_stdout() -> None:
    if sys.stdout is not None:
        try:
            sys.stdout.flush()
        except OSError as error:
            raise _stdout_failed(error) from None


def _one_line(message: str) -> str:
    """`message` with control characters escaped, cut to MAX_ERROR_CHARS."""
    text = "".join(c if c.isprintable() else repr(c)[1:-1] for c in message)
    if len(text) > MAX_ERROR_CHARS:
        tail = MAX_ERROR_CHARS // 4
        text = f"{text[:MAX_ERROR_CHARS - tail - 3]} … {text[-tail:]}"
    return text


class _Parser(argparse.ArgumentParser):
    """Reports usage errors in one line instead of usage text plus error."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {_one_line(message)} (see --help)\n")


def _u32(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not an integer") from None
    if not 0 <= value <= MAX_U32:
        raise argparse.ArgumentTypeError(f"{value} is not between 0 and {MAX_U32}")
    return value


def _read_index(path: str) -> PrefixSearch:
    try:
        regular = stat.S_ISREG(os.stat(path).st_mode)
    except OSError:
        regular = False
    if regular:  # either format, a mapped file used in place
        try:
            return load(path)
        except OSError as error:
            raise _cannot("read", path, error) from None
        except ValueError as error:
            raise InputError(f"{path} is not a saved index ({error})") from None
    with _open_input(path) as stream:
        try:
            data = stream.read()
        except OSError as error:
            raise _cannot("read", path, error) from None
    if data.startswith(MAGIC):
        raise InputError(f"{path}: a mapped index file is opened from a regular file, not a pipe or device")
    try:
        return PrefixSearch.from_bytes(data)
    except ValueError as error:
        raise InputError(f"{path} is not a saved index ({error})") from None


def _build(
    source: Source, top_n: int, progress: Callable[[str], None]
) -> Tuple[PrefixSearch, int, int, int]:
    """The index over `source`'s entries, with its term, node and video
    counts; problems with the input become InputErrors naming the line."""
    try:
        return source.build(top_n, progress)
    except ReadError as error:
        raise InputError(str(error)) from None


def _check_build_paths(vocab: str, output: str) -> None:
    """Refuses an input that is a device or socket (a device such as
    /dev/zero never ends), and an output that is the input file itself
    (under any name)."""
    try:
        source = os.fstat(_stdin().fileno()) if vocab == "-" else os.stat(vocab)
    except (OSError, ValueError):
        return  # reported by the reader
    if not (stat.S_ISREG(source.st_mode) or stat.S_ISFIFO(source.st_mode) or stat.S_ISDIR(source.st_mode)):
        raise InputError(f"cannot read {vocab}: it is {describe_mode(source.st_mode)}, not a regular file or a pipe")
    if output == "-" or not stat.S_ISREG(source.st_mode):
        return
    try:
        target = os.stat(output)
    except OSError:
        return
    if os.path.samestat(source, target):
        raise InputError(f"refusing to write the index over its input {STDIN if vocab == '-' else vocab}")


def _write_output(path: str, data: Content) -> None:
    """Writes `data` (bytes, or a function writing into a binary stream) to
    the file `path` (see tessaloom._files: a device or FIFO receives the
    bytes, anything else is replaced whole), or to stdout for "-"."""
    if path != "-":
        try:
            write_file(path, data, devices=True)
        except OSError as error:
            raise _cannot("write", path, error) from None
        return
    if sys.stdout is None:
        raise InputError(f"cannot write {STDOUT}: it is closed")
    if sys.stdout.isatty():
        raise InputError("refusing to write a binary index to a terminal (redirect stdout, or give -o FILE)")
    try:
        sys.stdout.flush()
        if callable(data):
            data(sys.stdout.buffer)
        else:
            sys.stdout.buffer.write(data)
        sys.stdout.buffer.flush()
    except OSError as error:
        raise _stdout_failed(error) from None


def cmd_build(args: argparse.Namespace) -> int:
    _check_build_paths(args.vocab, args.output)
    # Reading Parquet imports pyarrow, which imports NumPy, whose OpenBLAS
    # starts a thread a core that spins a while: on a build's cores, a
    # tenth of its CPU time.  Nothing here does linear algebra.
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    source = open_vocabulary(args.vocab)

    def progress(message: str) -> None:
        if source.lineno >= PROGRESS_LINES:
            print(f"tessaloom: {message}", file=sys.stderr, flush=True)

    index, terms, nodes, videos = _build(source, args.top_n, progress)
    size = 0
    if args.format == "bytes":
        data = index.to_bytes()
        size = len(data)
        _write_output(args.output, data)
    else:

        def write_mapped(stream: BinaryIO) -> None:
            nonlocal size
            stream.flush()
            size = _native.write_mapped(index, stream.fileno())

        _write_output(args.output, write_mapped)
    summary = (
        f"wrote {STDOUT if args.output == '-' else args.output}: {terms:,} terms, "
        f"{nodes:,} trie nodes, {videos:,} videos, {size:,} bytes"
    )
    if args.output == "-":
        print(summary, file=sys.stderr)
    else:
        _print(summary)
    return 0


def cmd_query(args: argparse.Namespace) -> int:
    term: str = args.term
    try:
        term.encode("utf-8")
    except UnicodeEncodeError:
        raise InputError("the query term is not valid UTF-8") from None
    index = _read_index(args.index)
    panic = _panic_exception()
    try:
        if args.videos:
            videos = index.fuzzy_match_video(term, args.max_dist, args.limit)
        else:
            matches = index.fuzzy_match(term, args.max_dist, args.limit)
    except panic as fault:
        raise InputError(f"{args.index} holds an inconsistent index ({fault})") from None

    if args.videos:
        if args.json:
            _print(json.dumps([{"video_id": v, "score": s} for v, s in videos], indent=1))
        else:
            for video, score in videos:
                _print(f"{video}\t{score:.6f}")
    else:
        if args.json:
            rows = [{"text": text, "distance": distance} for text, _, distance in matches]
            _print(json.dumps(rows, ensure_ascii=False, indent=1))
        else:
            for text, _, distance in matches:
                _print(f"{text}\t{distance}")
    return 0


DEMO_QUERIES: List[Tuple[str, int, str]] = [
    ("carbonara", 1, "an exact term"),
    ("guitr", 1, "a typo: no term is spelt like this"),
    ("maraton", 1, "a missing letter"),
    ("photo", 0, "a prefix: every term that starts with it"),
    ("creme", 1, "no accent: é is one substitution away"),
    ("telescop", 1, "an unfinished word"),
]


def cmd_info(args: argparse.Namespace) -> int:
    index = _read_index(args.index)
    try:
        kind = file_format(args.index)
        size = os.path.getsize(args.index)
    except (OSError, ValueError):
        kind, size = "bytes", 0
    facts = info(index)
    _print(f"file: {args.index}, {kind} format, {size:,} bytes")
    for name, value in facts.items():
        _print(f"{name.replace('_', ' ')}: {value:,}")
    return 0


def _sample(name: str) -> bytes:
    return (resources.files("tessaloom") / "data" / name).read_bytes()


def cmd_demo(args: argparse.Namespace) -> int:
    catalogue = _sample("catalogue.tsv")
    titles: Dict[str, str] = {}
    for line in _sample("videos.tsv").decode("utf-8").splitlines()[1:]:
        video, title = line.split("\t")
        titles[video] = title

    source = TsvSource(catalogue, "catalogue.tsv")
    built, terms, nodes, videos = _build(source, DEFAULT_TOP_N, lambda message: None)
    saved = built.to_bytes()
    index = PrefixSearch.from_bytes(saved)
    _print(
        f"Sample catalogue: {videos} videos, {terms} distinct terms, {nodes} trie nodes; "
        f"saved as {len(saved):,} bytes and loaded back.\n"
    )

    matches = index.fuzzy_match("guit")
    _print("fuzzy_match('guit'): the vocabulary prefixes within 1 edit of the whole query")
    _print("  " + ", ".join(f"{text!r} at {distance}" for text, _, distance in matches))
    _print("  ('guitar' is 2 edits away; its videos are reached through 'guit')\n")

    for term, max_dist, note in DEMO_QUERIES:
        ranked = index.fuzzy_match_video(term, max_dist)
        _print(f"fuzzy_match_video({term!r}, max_dist={max_dist}): {note}")
        if not ranked:
            _print("  (no video)")
        for video, score in ranked[:5]:
            _print(f"  {score:6.3f}  {titles.get(video, video)}")
        if len(ranked) > 5:
            _print(f"  ... and {len(ranked) - 5} more")
        _print()
    return 0


def make_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="tessaloom",
        description="Fuzzy-prefix search over the vocabulary of a video catalogue.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    build = commands.add_parser(
        "build",
        help="build an index from a vocabulary (TSV, CSV or Parquet)",
        description="Reads term<TAB>video_id<TAB>count lines (UTF-8; video_id as "
        "36-character UUID text; counts of repeated term/video pairs are summed), "
        "a .csv file with a header row naming the columns term, video_id and count, "
        "or a .parquet file with those columns (needs pyarrow), and writes the saved index.",
    )
    build.add_argument(
        "vocab", metavar="VOCAB", help="the vocabulary: .tsv (or any other name), .csv, "
        ".parquet, or - for TSV on stdin"
    )
    build.add_argument(
        "-o",
        "--output",
        metavar="INDEX.bin",
        required=True,
        help="where to write the index, or - for stdout (an existing file is replaced "
        "whole, keeping its permissions; a device such as /dev/null or a FIFO receives "
        "the bytes)",
    )
    build.add_argument(
        "--top-n",
        type=_u32,
        default=DEFAULT_TOP_N,
        metavar="N",
        help=f"videos kept per trie node (default {DEFAULT_TOP_N})",
    )
    build.add_argument(
        "--format",
        choices=FORMATS,
        default="mapped",
        help="mapped (the default): a file that `tessaloom.load` maps and uses in place; "
        "bytes: the index's to_bytes form",
    )
    build.set_defaults(run=cmd_build)

    query = commands.add_parser(
        "query",
        help="query a saved index",
        description="Prints the trie nodes (prefixes of the vocabulary) whose whole text "
        "is within --max-dist edits of TERM, as text<TAB>distance in walk order, or "
        "with --videos the ranked videos as video_id<TAB>score.",
    )
    query.add_argument("index", metavar="INDEX.bin", help="an index written by 'tessaloom build'")
    query.add_argument("term", metavar="TERM", help="the query term")
    query.add_argument(
        "--max-dist", type=_u32, default=1, metavar="K", help="largest edit distance (default 1)"
    )
    query.add_argument(
        "--limit",
        type=_u32,
        default=None,
        metavar="L",
        help="keep the first L matches in walk order (not the closest); "
        "with --videos, rank the videos of those matches only",
    )
    query.add_argument(
        "--videos", action="store_true", help="print ranked videos instead of matches"
    )
    query.add_argument("--json", action="store_true", help="print JSON")
    query.set_defaults(run=cmd_query)

    info = commands.add_parser("info", help="describe a saved index (either format)")
    info.add_argument("index", metavar="INDEX", help="an index written by 'tessaloom build'")
    info.set_defaults(run=cmd_info)

    demo = commands.add_parser("demo", help="build an index of a sample catalogue and query it")
    demo.set_defaults(run=cmd_demo)
    return parser


def _report(message: str) -> None:
    try:
        print(f"tessaloom: {_one_line(message)}", file=sys.stderr, flush=True)
    except (OSError, AttributeError):
        pass  # no stderr to tell


def main(argv: Optional[Sequence[str]] = None) -> int:
    try:
        args = make_parser().parse_args(argv)
        result: int = args.run(args)
        _flush_stdout()
        return result
    except InputError as error:
        _report(f"error: {error}")
    except KeyboardInterrupt:
        _report("interrupted")
        return 130
    except MemoryError:
        _report("error: out of memory")
    except Exception as error:  # noqa: BLE001 - still one line, never a traceback
        _report(f"error: internal error ({type(error).__name__}: {error})")
    return 2

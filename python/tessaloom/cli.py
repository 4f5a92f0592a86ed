"""The `tessaloom` command line: build an index from a vocabulary (TSV, CSV or
Parquet; see tessaloom._readers), query
a saved index, or run a demo over the bundled sample catalogue.

Exit codes: 0 on success, 2 for usage and input errors (one line on stderr).
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import tempfile
from importlib import resources
from typing import Callable, Dict, List, NoReturn, Optional, Sequence, Tuple

from _tessaloom import PrefixSearch

from . import _panic_exception
from ._builder import MAX_U32
from ._readers import ReadError, Source, TsvSource, open_vocabulary

# Inputs of at least this many lines get progress reports on stderr.
PROGRESS_LINES = 200_000
DEFAULT_TOP_N = 100


class InputError(Exception):
    """A problem with the user's input: reported in one line, exit code 2."""


class _Parser(argparse.ArgumentParser):
    """Reports usage errors in one line instead of usage text plus error."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see --help)\n")


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
        with open(path, "rb") as stream:
            data = stream.read()
    except OSError as error:
        raise InputError(f"cannot read {path}: {error.strerror or error}") from None
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


def _write_atomically(path: str, data: bytes) -> None:
    """Writes `data` to `path` through a temporary file in the same
    directory, so a failed write never leaves a partial index behind."""
    directory = os.path.dirname(os.path.abspath(path))
    try:
        fd, temporary = tempfile.mkstemp(prefix=".tessaloom-", dir=directory)
    except OSError as error:
        raise InputError(f"cannot write {path}: {error.strerror or error}") from None
    umask = os.umask(0)
    os.umask(umask)
    try:
        with os.fdopen(fd, "wb") as stream:
            stream.write(data)
        os.chmod(temporary, 0o666 & ~umask)  # mkstemp's 0600 would hide the index
        os.replace(temporary, path)
    except OSError as error:
        os.unlink(temporary)
        raise InputError(f"cannot write {path}: {error.strerror or error}") from None


def cmd_build(args: argparse.Namespace) -> int:
    source = open_vocabulary(args.vocab)

    def progress(message: str) -> None:
        if source.lineno >= PROGRESS_LINES:
            print(f"tessaloom: {message}", file=sys.stderr, flush=True)

    index, terms, nodes, videos = _build(source, args.top_n, progress)
    data = index.to_bytes()
    _write_atomically(args.output, data)
    print(
        f"wrote {args.output}: {terms:,} terms, {nodes:,} trie nodes, "
        f"{videos:,} videos, {len(data):,} bytes"
    )
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
            print(json.dumps([{"video_id": v, "score": s} for v, s in videos], indent=1))
        else:
            for video, score in videos:
                print(f"{video}\t{score:.6f}")
    else:
        if args.json:
            rows = [{"text": text, "distance": distance} for text, _, distance in matches]
            print(json.dumps(rows, ensure_ascii=False, indent=1))
        else:
            for text, _, distance in matches:
                print(f"{text}\t{distance}")
    return 0


DEMO_QUERIES: List[Tuple[str, int, str]] = [
    ("carbonara", 1, "an exact term"),
    ("guitr", 1, "a typo: no term is spelt like this"),
    ("maraton", 1, "a missing letter"),
    ("photo", 0, "a prefix: every term that starts with it"),
    ("creme", 1, "no accent: é is one substitution away"),
    ("telescop", 1, "an unfinished word"),
]


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
    print(
        f"Sample catalogue: {videos} videos, {terms} distinct terms, {nodes} trie nodes; "
        f"saved as {len(saved):,} bytes and loaded back.\n"
    )

    matches = index.fuzzy_match("guit")
    print("fuzzy_match('guit'): the vocabulary prefixes within 1 edit of the whole query")
    print("  " + ", ".join(f"{text!r} at {distance}" for text, _, distance in matches))
    print("  ('guitar' is 2 edits away; its videos are reached through 'guit')\n")

    for term, max_dist, note in DEMO_QUERIES:
        ranked = index.fuzzy_match_video(term, max_dist)
        print(f"fuzzy_match_video({term!r}, max_dist={max_dist}): {note}")
        if not ranked:
            print("  (no video)")
        for video, score in ranked[:5]:
            print(f"  {score:6.3f}  {titles.get(video, video)}")
        if len(ranked) > 5:
            print(f"  ... and {len(ranked) - 5} more")
        print()
    return 0


def make_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="tessaloom",
        description="Fuzzy-prefix search over the vocabulary of a video catalogue.",
    )
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
        "-o", "--output", metavar="INDEX.bin", required=True, help="where to write the index"
    )
    build.add_argument(
        "--top-n",
        type=_u32,
        default=DEFAULT_TOP_N,
        metavar="N",
        help=f"videos kept per trie node (default {DEFAULT_TOP_N})",
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

    demo = commands.add_parser("demo", help="build an index of a sample catalogue and query it")
    demo.set_defaults(run=cmd_demo)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = make_parser().parse_args(argv)
    try:
        result: int = args.run(args)
        sys.stdout.flush()
        return result
    except InputError as error:
        print(f"tessaloom: error: {error}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader went away (`tessaloom query ... | head`): not an error.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0

"""`tessaloom build` inputs: the TSV rules, CSV with a header and Parquet,
each giving the same index as the same entries from Python."""

import os
import sys
import uuid

import pytest

pytest.importorskip("_tessaloom")
try:
    import tessaloom
except ImportError:  # a source tree without the package installed
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, "python"))
    import tessaloom
from tessaloom import cli

A, B = str(uuid.UUID(int=0xA1)), str(uuid.UUID(int=0xB2))
ENTRIES = [("cat", A, 3), ("car", B, 1), ("cart", B, 2), ("cat", B, 1)]


def build(capsys, path, tmp_path):
    out = tmp_path / "out.bin"
    code = cli.main(["build", str(path), "-o", str(out)])
    _, err = capsys.readouterr()
    return code, err, tessaloom.load(out).to_bytes() if code == 0 else None


def expected():
    return tessaloom.build_index(ENTRIES, cli.DEFAULT_TOP_N).to_bytes()


@pytest.mark.parametrize(
    "content",
    [
        f"TERM\tVideo_Id\tCount\ncat\t{A}\t3\ncar\t{B}\t1\ncart\t{B}\t2\ncat\t{B}\t1\n",
        f"\ufeff  \n \t \r\n term \t video_id \t count \r\n cat \t {A} \t 3\ncar\t{B}\t1 \ncart\t {B}\t02\n\ncat\t{B}\t1",
    ],
    ids=["header in any case", "blank lines, stripped fields, no final newline"],
)
def test_tsv_rules(tmp_path, capsys, content):
    path = tmp_path / "v.tsv"
    path.write_text(content, encoding="utf-8")
    code, err, built = build(capsys, path, tmp_path)
    assert (code, err) == (0, "") and built == expected()


@pytest.mark.parametrize("count", ["+3", "3_0", "\u0663", "-1", " ", "1e3"])
def test_tsv_counts_are_ascii_digits(tmp_path, capsys, count):
    path = tmp_path / "v.tsv"
    path.write_text(f"cat\t{A}\t1\ncat\t{A}\t{count}\n", encoding="utf-8")
    code, err, _ = build(capsys, path, tmp_path)
    assert code == 2
    assert err == f"tessaloom: error: {path}, line 2: count {count.strip()!r} is not an integer\n"


def test_csv_with_a_header(tmp_path, capsys):
    path = tmp_path / "v.csv"
    rows = "".join(f'"x, y",{count},{video.upper()} ,{term}\n' for term, video, count in ENTRIES)
    path.write_text("Note,COUNT,video_id,term\n\n" + rows, encoding="utf-8")
    code, err, built = build(capsys, path, tmp_path)
    assert (code, err) == (0, "") and built == expected()

    path.write_text(f"term,video_id,count\ncat,{A},3\ndog,{A},0\n", encoding="utf-8")
    assert build(capsys, path, tmp_path)[:2] == (2, f"tessaloom: error: {path}, line 3: count must be positive, got 0\n")
    path.write_text(f"term,video,count\ncat,{A},3\n", encoding="utf-8")
    _, err, _ = build(capsys, path, tmp_path)
    assert "line 1: the header row must name the columns term, video_id and count" in err


def test_parquet(tmp_path, capsys, monkeypatch):
    pa = pytest.importorskip("pyarrow")
    pq = pytest.importorskip("pyarrow.parquet")
    path = tmp_path / "v.parquet"
    columns = list(zip(*ENTRIES))
    videos = pa.array([uuid.UUID(v).bytes for v in columns[1]], pa.binary(16))
    pq.write_table(pa.table({"term": columns[0], "video_id": videos, "count": columns[2], "x": [1] * 4}), path)
    code, err, built = build(capsys, path, tmp_path)
    assert (code, err) == (0, "") and built == expected()
    parts = tmp_path / "parts.parquet"  # a directory of part files, as Spark writes them
    parts.mkdir()
    table = pq.read_table(path)
    pq.write_table(table.slice(0, 1), parts / "part-0.parquet")
    pq.write_table(table.slice(1), parts / "part-1.parquet")
    assert build(capsys, parts, tmp_path)[2] == expected()

    pq.write_table(pa.table({"term": ["a", ""], "video_id": videos[:2], "count": [1, 1]}), path)
    assert build(capsys, path, tmp_path)[1] == f"tessaloom: error: {path}, row 2: term is empty\n"
    pq.write_table(pa.table({"term": ["a"], "count": [1]}), path)
    assert "no column named 'video_id' (its columns: term, count)" in build(capsys, path, tmp_path)[1]
    pq.write_table(pa.table({"term": ["ab", "ac"], "video_id": videos[:2], "count": [4_000_000_000] * 2}), path)
    assert build(capsys, path, tmp_path)[1].startswith(f"tessaloom: error: {path}: the counts of the terms starting with 'a'")
    pq.write_table(pa.table({"term": ["a"], "video_id": videos[:1], "count": [1.5]}), path)
    assert build(capsys, path, tmp_path)[1] == (
        f"tessaloom: error: {path}: column 'count' has Arrow type 'g', expected an integer type\n")

    monkeypatch.setitem(sys.modules, "pyarrow.parquet", None)
    _, err, _ = build(capsys, path, tmp_path)
    assert err == f"tessaloom: error: {path}: reading Parquet needs pyarrow: python -m pip install 'tessaloom[parquet]'\n"


def test_prefix_overflow_names_the_file(tmp_path, capsys):
    path = tmp_path / "v.tsv"
    path.write_text(f"ab\t{A}\t4000000000\nac\t{B}\t4000000000\n", encoding="utf-8")
    _, err, _ = build(capsys, path, tmp_path)
    assert err.startswith(f"tessaloom: error: {path}: the counts of the terms starting with 'a' add up to")


def test_tsv_larger_than_a_read(tmp_path, capsys):
    # Over two of the reader's 1 MiB chunks, lines split across them.
    entries = [(f"w{n % 5000}é", str(uuid.UUID(int=n % 977)), 1 + n % 7) for n in range(60_000)]
    path = tmp_path / "v.tsv"
    path.write_text("".join(f"{t}\t{v}\t{c}\n" for t, v, c in entries), encoding="utf-8")
    assert path.stat().st_size > 2 << 20
    code, err, built = build(capsys, path, tmp_path)
    assert (code, err) == (0, "") and built == tessaloom.build_index(entries, cli.DEFAULT_TOP_N).to_bytes()


@pytest.mark.parametrize("tail", [b"", b"\n"], ids=["no line end", "a line end past the bound"])
def test_tsv_lines_are_bounded(tmp_path, capsys, tail):
    path = tmp_path / "v.tsv"
    path.write_bytes(f"cat\t{A}\t1\n".encode() + b"\0" * (3 << 20) + tail)
    code, err, _ = build(capsys, path, tmp_path)
    assert (code, err) == (2, f"tessaloom: error: {path}, line 2: line longer than 1048576 bytes\n")

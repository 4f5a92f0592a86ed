"""The DuckDB example: the aggregate handed over as Arrow data, and as the
Parquet file `tessaloom build` reads, gives the index that the same rows
give as Python triples."""

import os
import sys

import pytest

try:
    import duckdb  # noqa: F401
except ImportError:
    pytest.skip("duckdb is not installed (python -m pip install '.[duckdb]')", allow_module_level=True)
pytest.importorskip("pyarrow")
pytest.importorskip("_tessaloom")
try:
    import tessaloom
except ImportError:  # a source tree without the package installed
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, "python"))
    import tessaloom
from tessaloom import cli
from test_builder import model

sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, "examples"))
import duckdb_catalogue as example  # noqa: E402


def unordered(index):
    """The index with its video numbering and the order among equal
    counts taken out (DuckDB's aggregate comes in no fixed order)."""
    saved = model.decode(index.to_bytes())
    table = saved.video_index
    payloads = [p and (p[0], sorted(zip((table[v] for v in p[1]), p[2]))) for p in saved.payloads]
    return saved.node_shifts, saved.child_labels, saved.child_transitions, payloads


def test_duckdb_aggregate_builds_the_index_of_its_rows(tmp_path, capsys):
    con = duckdb.connect()
    example.load_occurrences(con)
    rows = con.execute(example.AGGREGATE).fetchall()
    assert len(rows) > 100
    expected = unordered(tessaloom.build_index(rows, 1000))  # no list is cut
    assert unordered(example.build_index(con, 1000)) == expected

    parquet, saved = tmp_path / "v.parquet", tmp_path / "v.idx"
    example.write_parquet(con, str(parquet))
    assert cli.main(["build", str(parquet), "-o", str(saved), "--top-n", "1000"]) == 0
    assert unordered(tessaloom.load(saved)) == expected

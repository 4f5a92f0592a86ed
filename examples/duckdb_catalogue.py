"""A catalogue's vocabulary aggregated by DuckDB, indexed by tessaloom.

The raw material is one row per occurrence of a word in a video (here the
words of the bundled sample catalogue's titles, a few times over, as a
stand-in for titles, tags and transcripts).  DuckDB counts them per (term,
video); the result goes to `tessaloom.build_index` as Arrow data, so no
Python row is ever made, and is also written as Parquet, which
`tessaloom build` reads.

Run it after installing the package with the DuckDB extra:

    python -m pip install '.[duckdb]'
    python examples/duckdb_catalogue.py [OUT_DIR]
"""

import os
import subprocess
import sys
import tempfile
from importlib import resources
from typing import Any

import duckdb  # type: ignore[import-not-found, unused-ignore]

import tessaloom

# One row per (term, video) with its number of occurrences: the columns
# tessaloom reads.  The same query runs on Spark SQL (see the README).
AGGREGATE = """
    SELECT term, video_id, count(*)::UINTEGER AS count
    FROM occurrences
    GROUP BY term, video_id
"""


def load_occurrences(con: Any) -> None:
    """Fills the table occurrences(term, video_id) from the sample
    catalogue's titles: every word of a title is one occurrence, and the
    words of the first half of a title count twice (as if also in its
    tags)."""
    videos = resources.files("tessaloom") / "data" / "videos.tsv"
    with resources.as_file(videos) as path:
        con.execute(
            "CREATE TABLE videos AS SELECT * FROM read_csv(?, delim='\t', header=true)", [str(path)]
        )
    con.execute(
        """
        CREATE TABLE occurrences AS
        WITH words AS (
            SELECT video_id::UUID AS video_id,
                   unnest(string_split(regexp_replace(lower(title), '[^[:alnum:]]+', ' ', 'g'), ' ')) AS term,
                   generate_subscripts(string_split(regexp_replace(lower(title), '[^[:alnum:]]+', ' ', 'g'), ' '), 1)
                       AS position
            FROM videos
        )
        SELECT term, video_id::VARCHAR AS video_id FROM words WHERE term <> ''
        UNION ALL
        SELECT term, video_id::VARCHAR FROM words WHERE term <> '' AND position <= 3
        """
    )


def build_index(con: Any, video_top_n: int = 100) -> tessaloom.PrefixSearch:
    """The index, built from the aggregate as Arrow data."""
    return tessaloom.build_index(con.sql(AGGREGATE), video_top_n)


def write_parquet(con: Any, path: str) -> None:
    con.execute(f"COPY ({AGGREGATE}) TO '{path}' (FORMAT parquet)")


def main() -> None:
    out = sys.argv[1] if len(sys.argv) > 1 else tempfile.mkdtemp(prefix="tessaloom-duckdb-")
    con = duckdb.connect()
    load_occurrences(con)
    [(occurrences, terms)] = con.execute("SELECT count(*), count(DISTINCT term) FROM occurrences").fetchall()
    print(f"{occurrences} occurrences of {terms} distinct terms")

    index = build_index(con)
    print("fuzzy_match_video('guitr'):", index.fuzzy_match_video("guitr")[:3])

    parquet = os.path.join(out, "vocabulary.parquet")
    saved = os.path.join(out, "vocabulary.idx")
    write_parquet(con, parquet)
    subprocess.run([sys.executable, "-m", "tessaloom", "build", parquet, "-o", saved], check=True)
    with open(saved, "rb") as f:
        again = tessaloom.PrefixSearch.from_bytes(f.read())
    assert again.fuzzy_match_video("guitr") == index.fuzzy_match_video("guitr")
    print(f"the index built from {parquet} by 'tessaloom build' answers the same")


if __name__ == "__main__":
    main()

"""A workload that runs every thread the native code starts, for the thread
sanitizer step (.ci/threads): a large Arrow batch read on two threads, a
stream whose batches are fetched ahead by a thread of their own, a trie
propagated in two halves, saving and loading with their helper threads, a
mapped file, and queries from several Python threads at once.  Every way of
building must give the same index, and every thread the same answers."""

import os
import random
import sys
import tempfile
import threading

import pyarrow as pa

import tessaloom
from tessaloom import PrefixSearch

rng = random.Random(20261209)
letters = "abcdefghijklmnopqrstuvwxyzéèüß"
words = sorted({"".join(rng.choice(letters) for _ in range(rng.randint(3, 12))) for _ in range(60_000)})
videos = [rng.randbytes(16) for _ in range(3_000)]
triples = [(w, rng.choice(videos), rng.randint(1, 9)) for w in words for _ in range(rng.randint(1, 4))]
rng.shuffle(triples)
columns = {
    "term": pa.array([t for t, _, _ in triples], pa.string()),
    "video_id": pa.array([v for _, v, _ in triples], pa.binary(16)),
    "count": pa.array([c for _, _, c in triples], pa.uint32()),
}
table = pa.table(columns)
assert table.num_rows >= 100_000, table.num_rows


def stream():
    # Batches large enough to be read on two threads and fetched ahead,
    # made by Python code, so that fetching takes the interpreter lock.
    for batch in table.to_batches(max_chunksize=20_000):
        yield pa.record_batch([batch.column(k) for k in range(3)], schema=table.schema)


built = [
    tessaloom.build_index(table, video_top_n=10),
    tessaloom.build_index(pa.RecordBatchReader.from_batches(table.schema, stream()), video_top_n=10),
    tessaloom.build_index(triples, video_top_n=10),
]
data = built[0].to_bytes()
assert all(index.to_bytes() == data for index in built[1:])
loaded = PrefixSearch.from_bytes(data)
assert loaded.to_bytes() == data

with tempfile.TemporaryDirectory() as directory:
    path = os.path.join(directory, "index.tsl")
    tessaloom.save(loaded, path)
    mapped = tessaloom.load(path, verify=True)
    queries = rng.sample(words, 40) + ["", "zz", "é"]
    expected = [(loaded.fuzzy_match(q, 2), loaded.fuzzy_match_video(q, 1)) for q in queries]
    failures = []

    def serve(index):
        for _ in range(3):
            if [(index.fuzzy_match(q, 2), index.fuzzy_match_video(q, 1)) for q in queries] != expected:
                failures.append(index)

    threads = [threading.Thread(target=serve, args=(index,)) for index in (loaded, mapped, loaded, mapped)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    del mapped
    assert not failures, failures

print(f"threads workload: {table.num_rows:,} entries, {len(data):,} bytes, answers agree", file=sys.stderr)

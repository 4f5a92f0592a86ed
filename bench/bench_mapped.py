"""Opening an index: a mapped file against from_bytes, beside tantivy, keyvi
and marisa-trie opening their own files over the same words.

    python bench/bench_mapped.py                 # heavy payloads, French + German
    python bench/bench_mapped.py --all-lists     # the largest vocabulary, light payloads

Every figure is taken in a fresh process with the files in the page cache:
open time (median of 7 fresh processes), resident memory right after
opening and after 400 queries, the first query's latency and the median
of the 400, and the proportional set size (PSS) of two processes that
have the same file open and ran the same queries.  Needs the bench
extras (pip install '.[bench]').
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import vocab  # noqa: E402

OPEN_RUNS = 7
QUERIES = 400


def log(*parts):
    print(*parts, flush=True)


def memory_kb():
    """(RSS, PSS) of this process in kB."""
    rss = pss = 0
    with open("/proc/self/smaps_rollup") as f:
        for line in f:
            if line.startswith("Rss:"):
                rss = int(line.split()[1])
            elif line.startswith("Pss:"):
                pss = int(line.split()[1])
    return rss, pss


# --- one system in a child process ---------------------------------------------


def open_system(system, path):
    """(open callable, query callable) for `system`."""
    if system in ("mapped", "bytes"):
        import tessaloom

        def open_():
            return tessaloom.load(path)

        def query(index, term):
            return index.fuzzy_match_video(term, 1)

        if system == "bytes":
            def open_():  # noqa: F811 - the plain load: read, then from_bytes
                with open(path, "rb") as f:
                    return tessaloom.PrefixSearch.from_bytes(f.read())

        return open_, query
    if system == "tantivy":
        import tantivy

        def open_():
            index = tantivy.Index.open(path)
            return index, index.searcher()

        def query(opened, term):
            index, searcher = opened
            q = tantivy.Query.fuzzy_term_query(
                index.schema, "term", term, distance=1, transposition_cost_one=False, prefix=True
            )
            return searcher.search(q, 100).hits

        return open_, query
    if system == "keyvi":
        from keyvi.dictionary import Dictionary

        def open_():
            return Dictionary(path)

        def query(d, term):
            return [m.matched_string for m in d.match_fuzzy(term, 1)]

        return open_, query
    if system == "marisa":
        import marisa_trie

        def open_():
            return marisa_trie.Trie().mmap(path)

        def query(trie, term):
            return trie.keys(term[:-1])  # no fuzzy lookup: the prefix of all but the last letter

        return open_, query
    raise SystemExit(f"unknown system {system}")


def child(system, path, queries_path, hold):
    with open(queries_path, encoding="utf-8") as f:
        queries = json.load(f)
    open_, query = open_system(system, path)
    base_rss, _ = memory_kb()
    t0 = time.perf_counter_ns()
    index = open_()
    open_ns = time.perf_counter_ns() - t0
    opened_rss, _ = memory_kb()
    t0 = time.perf_counter_ns()
    query(index, queries[0])
    first_ns = time.perf_counter_ns() - t0
    times = []
    for term in queries:
        t0 = time.perf_counter_ns()
        query(index, term)
        times.append(time.perf_counter_ns() - t0)
    rss, pss = memory_kb()
    result = {
        "open_ms": open_ns / 1e6,
        "rss_open_mb": (opened_rss - base_rss) / 1024,
        "first_us": first_ns / 1e3,
        "median_us": statistics.median(times) / 1e3,
        "rss_queries_mb": (rss - base_rss) / 1024,
        "pss_mb": pss / 1024,
    }
    print(json.dumps(result), flush=True)
    if hold:  # measure again once the other process is there too, then wait
        sys.stdin.readline()
        print(json.dumps({"pss_mb": memory_kb()[1] / 1024}), flush=True)
        sys.stdin.readline()


def run_child(system, path, queries_path):
    out = subprocess.run(
        [sys.executable, __file__, "--child", system, path, queries_path],
        check=True, capture_output=True, text=True,
    ).stdout
    return json.loads(out.strip().splitlines()[-1])


def shared_pss(system, path, queries_path):
    """PSS of each of two processes that opened the same file and ran the
    same queries, both alive at the moment of measuring."""
    cmd = [sys.executable, __file__, "--child", system, path, queries_path, "--hold"]
    procs = []
    for _ in range(2):
        proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        json.loads(proc.stdout.readline())  # opened and queried
        procs.append(proc)
    results = []
    for proc in procs:  # both alive: each one's share of the pages
        proc.stdin.write("\n")
        proc.stdin.flush()
        results.append(json.loads(proc.stdout.readline()))
    for proc in procs:
        proc.stdin.write("\n")
        proc.stdin.flush()
        proc.wait()
    return results


# --- building the files ------------------------------------------------------------


def build_files(directory, words, index):
    import tessaloom

    files = {}
    files["mapped"] = os.path.join(directory, "index.tlm")
    tessaloom.save(index, files["mapped"])
    files["bytes"] = os.path.join(directory, "index.bin")
    tessaloom.save(index, files["bytes"], format="bytes")

    import tantivy

    schema_builder = tantivy.SchemaBuilder()
    schema_builder.add_text_field("term", stored=False, tokenizer_name="raw")
    schema = schema_builder.build()
    files["tantivy"] = os.path.join(directory, "tantivy")
    os.mkdir(files["tantivy"])
    t_index = tantivy.Index(schema, path=files["tantivy"])
    writer = t_index.writer(heap_size=500_000_000, num_threads=1)
    for word in words:
        writer.add_document(tantivy.Document(term=word))
    writer.commit()
    writer.wait_merging_threads()

    from keyvi.compiler import CompletionDictionaryCompiler

    files["keyvi"] = os.path.join(directory, "index.kv")
    compiler = CompletionDictionaryCompiler({"memory_limit_mb": "1000"})
    for word in words:
        compiler.add(word, 1)
    compiler.compile()
    compiler.write_to_file(files["keyvi"])

    import marisa_trie

    files["marisa"] = os.path.join(directory, "index.marisa")
    marisa_trie.Trie(words).save(files["marisa"])
    return files


def file_mb(path):
    if os.path.isdir(path):
        return sum(os.path.getsize(os.path.join(path, f)) for f in os.listdir(path)) / 1e6
    return os.path.getsize(path) / 1e6


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--all-lists", action="store_true", help="all six word lists, light payloads")
    parser.add_argument("--child", nargs=3, metavar=("SYSTEM", "PATH", "QUERIES"), help=argparse.SUPPRESS)
    parser.add_argument("--hold", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(*args.child, hold=args.hold)
        return

    import _tessaloom

    if args.all_lists:
        words = vocab.read_words()
        label = f"all six lists, {len(words):,} words, light payloads"
        arrays = vocab.Arrays(words)
        index = _tessaloom.PrefixSearch.from_internal_data_v2(*vocab.build_inputs(arrays))
    else:
        words = vocab.read_words(vocab.CONFIGS["heavy"]["lists"])
        label = f"French + German, {len(words):,} words, heavy payloads"
        arrays = vocab.Arrays(words)
        index = _tessaloom.PrefixSearch.from_internal_data_v2(*vocab.build_inputs(arrays, config="heavy"))
    queries = vocab.make_queries(words, QUERIES, 3, 12)
    log(f"== {label}; {arrays.n_nodes:,} nodes")

    with tempfile.TemporaryDirectory(prefix="bench-mapped-") as directory:
        files = build_files(directory, words, index)
        queries_path = os.path.join(directory, "queries.json")
        with open(queries_path, "w", encoding="utf-8") as f:
            json.dump(queries, f)
        rows = []
        for system in ("mapped", "bytes", "tantivy", "keyvi", "marisa"):
            runs = [run_child(system, files[system], queries_path) for _ in range(OPEN_RUNS)]
            one, two = shared_pss(system, files[system], queries_path)
            rows.append((system, runs, one, two, file_mb(files[system])))

    log()
    log("| system | file MB | open ms | RSS after open MB | first query µs | median query µs | RSS after 400 queries MB | PSS of each of two processes MB |")
    log("|---|---:|---:|---:|---:|---:|---:|---:|")
    by_system = {}
    for system, runs, one, two, size_mb in rows:
        med = {k: statistics.median(r[k] for r in runs) for k in runs[0]}
        by_system[system] = med
        log(
            f"| {system} | {size_mb:.1f} | {med['open_ms']:.3f} | {med['rss_open_mb']:.2f} | "
            f"{med['first_us']:.0f} | {med['median_us']:.1f} | {med['rss_queries_mb']:.1f} | "
            f"{one['pss_mb']:.1f} / {two['pss_mb']:.1f} |"
        )
    mapped, plain = by_system["mapped"], by_system["bytes"]
    log()
    log(f"open time of the mapped file: {mapped['open_ms']:.3f} ms (target <= 1 ms)")
    log(f"resident right after opening: {mapped['rss_open_mb']:.2f} MB (target <= 2 MB)")
    log(f"first query: {mapped['first_us']:.0f} µs mapped vs {plain['first_us']:.0f} µs from bytes "
        f"({mapped['first_us'] / plain['first_us']:.2f}x; target within 1.10x)")
    log(f"median query: {mapped['median_us']:.1f} µs mapped vs {plain['median_us']:.1f} µs from bytes "
        f"({mapped['median_us'] / plain['median_us']:.2f}x; target within 1.10x)")


if __name__ == "__main__":
    main()

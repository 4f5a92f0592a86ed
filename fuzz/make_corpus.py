"""Writes the seed corpora of the fuzz targets (run from anywhere; needs
no native build):

  corpus/records/      saved indexes: the 38-byte and 33-byte reference
                       records, small tries, a record with longer varint
                       forms, cycles, shared children, a deep chain and a
                       trie of a few hundred words;
  corpus/queries/      an 8-byte query header (see fuzz/native/fuzz_queries.cpp)
                       in front of some of those records;
  corpus/from_arrays/  fixed pseudo-random byte strings, which the target's
                       data provider turns into arrays.
"""

import os
import random
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

import model  # noqa: E402

VID = bytes.fromhex("00112233445566778899AABBCCDDEEFF")


def vid(v):
    return bytes([v & 0xFF, v >> 8]) + bytes(range(2, 16))


def trie(vocab, videos=3, top_n=3):
    """The propagated record of a trie over `vocab` (term -> payload)."""
    root = {}
    for term in vocab:
        node = root
        for ch in term:
            node = node.setdefault(ch, {})
    order = []

    def visit(text, node):
        order.append(text)
        for ch in sorted(node):
            visit(text + ch, node[ch])

    visit("", root)
    ids = {t: i for i, t in enumerate(order)}
    shifts, trans = [], []
    for text in order:
        shifts.append(len(trans))
        node = root
        for ch in text:
            node = node[ch]
        trans.extend(ids[text + ch] for ch in sorted(node))
    return model.build(
        shifts, [t[-1:] for t in order], [vocab.get(t) for t in order], trans,
        [vid(v) for v in range(videos)], top_n,
    )


def graph(children, labels, payload=(1, [0], [1])):
    shifts, trans = [], []
    for kids in children:
        shifts.append(len(trans))
        trans.extend(kids)
    return model.Index(shifts, [ord(c) if c else 0 for c in labels], trans,
                       [payload] * len(children), [VID])


def words_trie(count=60, seed=20240602):
    """A trie of `count` pseudo-random words over a small alphabet, with
    payloads on the words, so queries along its paths go deep and match."""
    rng = random.Random(seed)
    vocab = {}
    while len(vocab) < count:
        w = "".join(rng.choice("abcde\u00e9") for _ in range(rng.randrange(1, 12)))
        vocab[w] = (rng.randrange(1, 9), [rng.randrange(3)], [rng.randrange(1, 5)])
    return trie(vocab, top_n=2)


def records_seeds():
    example = bytes.fromhex(
        "02 00 01 02 00 61 01 01 02 01 03 01 00 01 03 01 03 01 00 01 03 01".replace(" ", "")
    ) + VID
    assert len(example) == 38
    absent_first = bytes.fromhex("02 00 01 02 00 61 01 01 02 00 01 03 01 00 01 03 01".replace(" ", "")) + VID
    assert len(absent_first) == 33
    seeds = {
        "example-38": example,
        "example-33-absent-payload": absent_first,
        "empty-index": model.encode(model.Index([], [], [], [], [])),
        "root-only": model.encode(model.Index([0], [0], [], [(0, [], [])], [])),
        "car-cart-cat-dog": model.encode(trie({
            "car": (2, [0], [2]), "cart": (1, [1], [1]), "cat": (4, [0, 2], [3, 1]), "dog": (5, [2], [5]),
        })),
        "unicode-labels": model.encode(trie({
            "caf\u00e9": (3, [0], [3]), "\u4e2d\u6587": (2, [1], [2]), "\U0001f600x": (1, [2], [1]),
        })),
        "long-varints": bytes.fromhex("02 FB0000 FC01000000 02 00 61 FD0100000000000000 01".replace(" ", ""))
        + bytes.fromhex("02 01 FB0300 01 00 01 03 01 03 01 00 01 03 01".replace(" ", "")) + VID,
        "two-node-cycle": model.encode(graph([[1], [0]], ["", "a"])),
        "empty-label-cycle": model.encode(graph([[1], [0]], ["", ""])),
        "shared-children": model.encode(graph([[1, 1], [2, 2], [3, 3], []], ["", "a", "b", "c"])),
        "ids-beyond-table": model.encode(model.Index([0, 1], [0, 97], [1], [(5, [0, 9], [3, 2])] * 2, [VID])),
        "counts-short": model.encode(model.Index([0, 1], [0, 97], [1], [None, (5, [0, 1], [3])], [VID])),
    }
    chain = 300
    seeds["deep-chain"] = model.encode(graph([[i + 1] for i in range(chain - 1)] + [[]],
                                             [""] + ["ab"[i % 2] for i in range(chain - 1)]))
    seeds["doubled-chain"] = model.encode(graph([[i + 1, i + 1] for i in range(39)] + [[]],
                                                [""] + ["a"] * 39))
    seeds["words"] = model.encode(words_trie())
    assert model.decode(seeds["long-varints"]) == model.decode(example)
    return seeds


def queries_seeds(records):
    """Header bytes: max_dist selector, limit selector (200+ for a limit),
    length selector (128+ for 64 and more code points), PRNG seed (4),
    mode (bit 0 along a path, bits 1-3 edits, bit 4 one invalid byte)."""
    headers = {
        "short-d1": bytes([1, 0, 5, 1, 0, 0, 0, 1 | 2]),
        "word-d0": bytes([0, 0, 8, 2, 0, 0, 0, 1]),
        "long-d2": bytes([2, 0, 160, 3, 0, 0, 0, 1 | 4]),
        "long-dmax": bytes([12, 0, 200, 4, 0, 0, 0, 1 | 2]),
        "65-d3": bytes([3, 0, 128, 5, 0, 0, 0, 1]),
        "limit-d4": bytes([4, 203, 20, 6, 0, 0, 0, 1 | 8]),
        "random-d17": bytes([7, 0, 140, 7, 0, 0, 0, 0x10]),
    }
    seeds = {}
    for rname in ("deep-chain", "words", "car-cart-cat-dog", "doubled-chain", "two-node-cycle",
                  "unicode-labels", "counts-short"):
        for hname, header in headers.items():
            seeds[f"{rname}-{hname}"] = header + records[rname]
    return seeds


def from_arrays_seeds():
    rng = random.Random(20240601)
    return {f"random-{size}-{k}": bytes(rng.randrange(256) for _ in range(size))
            for size in (16, 64, 128, 256, 512) for k in range(2)}


def write(directory, seeds):
    os.makedirs(directory, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(directory, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    records = records_seeds()
    write(os.path.join(HERE, "corpus", "records"), records)
    write(os.path.join(HERE, "corpus", "queries"), queries_seeds(records))
    write(os.path.join(HERE, "corpus", "from_arrays"), from_arrays_seeds())

"""A small pure-Python model of the index, for differential tests and as
the baseline of the benchmarks.

It favours being obviously right over being fast: plain lists, full
Levenshtein rows, no clever pruning beyond the row minimum.

Index layout (all plain lists, mirroring the native record):
  node_shifts        list[int]
  child_labels       list[int]   code points, 0 for the empty label
  child_transitions  list[int]
  payloads           list[None | (total, [ids], [counts])]
  video_index        list[bytes] 16 bytes each
"""

from collections import namedtuple
import struct

MAX_U32 = 0xFFFFFFFF

Index = namedtuple(
    "Index", "node_shifts child_labels child_transitions payloads video_index"
)


class InternalFault(Exception):
    """A lookup outside an array; the native module raises PanicException."""


class CycleError(InternalFault):
    """The walk went deeper than the node count: the child lists loop."""


def at(array, i):
    if not 0 <= i < len(array):
        raise InternalFault(
            f"index out of bounds: the len is {len(array)} but the index is {i}"
        )
    return array[i]


def child_range(node_shifts, child_transitions, i):
    """Positions [begin, end) of node i's children; empty when end <= begin."""
    begin = at(node_shifts, i)
    end = node_shifts[i + 1] if i + 1 < len(node_shifts) else len(child_transitions)
    return begin, end


def label_of(text):
    """A label string becomes its first code point; '' becomes 0."""
    return ord(text[0]) if text else 0


# --- payloads and propagation ---------------------------------------------


def merge(own, other):
    """`own` absorbing `other`: totals add clamped; per-video sums (clamped)
    sorted largest first.  Ties keep first appearance, which is one valid
    choice among the free orders."""
    sums = {}
    for ids, counts in ((own[1], own[2]), (other[1], other[2])):
        for vid, count in zip(ids, counts):
            sums[vid] = sums.get(vid, 0) + count
    pairs = sorted(sums.items(), key=lambda p: -p[1])
    return (
        min(own[0] + other[0], MAX_U32),
        [vid for vid, _ in pairs],
        [min(s, MAX_U32) for _, s in pairs],
    )


class Note:
    """What a node's propagated payload is pinned down by.

    pool:    the node's merged sums before the cut (id -> count), or None when
             the node absorbed nothing (its list is the caller's, exactly);
    settled: the node's inputs were exact, so its counts list is determined
             (order among equal counts aside);
    exact:   its output ids are determined too (no tie straddles the cut),
             so a parent absorbing it sees determined inputs.
    """

    __slots__ = ("pool", "settled", "exact")

    def __init__(self, pool, settled, exact):
        self.pool, self.settled, self.exact = pool, settled, exact


def processing_order(node_shifts, child_transitions, n):
    """Depth-first post-order over the child lists, starting nodes taken
    from n-1 down to 0, each node once.  Only positions inside
    child_transitions are followed (a range past the end faults later)."""
    state = [0] * n  # 0 new, 1 open, 2 done
    order = []

    def children(u):
        begin, end = child_range(node_shifts, child_transitions, u)
        return iter(child_transitions[begin:min(end, len(child_transitions))])

    for start in range(n - 1, -1, -1):
        if state[start]:
            continue
        state[start] = 1
        stack = [(start, children(start))]
        while stack:
            u, it = stack[-1]
            for c in it:
                if state[c] == 0:
                    state[c] = 1
                    stack.append((c, children(c)))
                    break
            else:
                stack.pop()
                state[u] = 2
                order.append(u)
    return order


def propagate(node_shifts, child_transitions, payloads, video_top_n):
    """Returns (propagated payloads, notes).  Raises InternalFault for a
    child range running past child_transitions."""
    n = len(payloads)
    given = [p if p is not None else (0, [], []) for p in payloads]
    done = [None] * n
    notes = [None] * n
    for u in processing_order(node_shifts, child_transitions, n):
        acc = given[u]
        pool, settled = None, True
        begin, end = child_range(node_shifts, child_transitions, u)
        for p in range(begin, end):
            c = at(child_transitions, p)
            if c == u:
                continue
            if done[c] is None:  # still in processing: a cycle
                child = given[c]
            else:
                child = done[c]
                settled = settled and notes[c].exact
            acc = merge(acc, child)
            pool = dict(zip(acc[1], acc[2]))
        total, ids, counts = acc
        exact = settled
        if len(ids) > video_top_n:
            if pool is not None and video_top_n > 0 and counts[video_top_n - 1] == counts[video_top_n]:
                exact = False
            ids, counts = ids[:video_top_n], counts[:video_top_n]
        done[u] = (total, list(ids), list(counts))
        notes[u] = Note(pool, settled, exact)
    return done, notes


def normalize(payloads):
    """Caller payloads (None or any 3-item sequence) as plain tuples of lists."""
    return [
        None if p is None else (int(p[0]), [int(v) for v in p[1]], [int(c) for c in p[2]])
        for p in payloads
    ]


def build(node_shifts, child_labels, payloads, child_transitions, video_index, video_top_n):
    """The model of from_internal_data_v2 on arrays that pass its checks."""
    shifts = [int(s) for s in node_shifts]
    transitions = [int(t) for t in child_transitions]
    propagated, _ = propagate(shifts, transitions, normalize(payloads), int(video_top_n))
    return Index(
        shifts,
        [label_of(s) for s in child_labels],
        transitions,
        propagated,
        [bytes(v) for v in video_index],
    )


# --- matching ----------------------------------------------------------------


def walk(index, term, max_dist=1, limit=None):
    """The matches as (text, node, distance), in walk order: depth first,
    each node before its descendants, siblings by ascending label."""
    n_nodes = len(index.child_labels)
    if n_nodes == 0:
        return []
    query = [ord(ch) for ch in term]
    n = len(query)
    results = []
    # (node, text, parent's row, entered by an empty label, depth)
    stack = [(0, "", None, False, 0)]
    while stack:
        u, text, prev, empty, depth = stack.pop()
        if depth >= n_nodes:
            raise CycleError(f"walk reached depth {depth} with {n_nodes} nodes")
        if not text:  # the root, or reached from it through empty labels only
            row = list(range(n + 1))
        elif empty:  # same text as the parent, same row
            row = prev
        else:
            c = ord(text[-1])
            row = [prev[0] + 1]
            for j in range(1, n + 1):
                row.append(min(row[j - 1] + 1, prev[j] + 1, prev[j - 1] + (query[j - 1] != c)))
        if text and at(index.payloads, u) is not None and row[n] <= max_dist:
            results.append((text, u, row[n]))
        if min(row) > max_dist:
            continue
        begin, end = child_range(index.node_shifts, index.child_transitions, u)
        kids = []
        for k in range(begin, end):
            t = at(index.child_transitions, k)
            kids.append((at(index.child_labels, t), t))
        for label, t in sorted(kids, reverse=True):
            stack.append((t, text + (chr(label) if label else ""), row, label == 0, depth + 1))
    return results if limit is None else results[:limit]


def fuzzy_match(index, term, max_dist=1, limit=None):
    return [(text, 1, distance) for text, _, distance in walk(index, term, max_dist, limit)]


def video_text(vid):
    h = bytes(vid).hex()
    return f"{h[:8]}-{h[8:12]}-{h[12:16]}-{h[16:20]}-{h[20:]}"


def fuzzy_match_video(index, term, max_dist=1, limit=None):
    """Videos ranked by their weighted share of the matched payloads, as
    (video id text, score), best first."""
    n = len(term)
    total = 0.0
    values = {}
    for text, node, distance in walk(index, term, max_dist, limit):
        if text == term:
            weight = 1.0
        elif n == 0:
            weight = 0.0
        else:
            weight = (1.0 - distance / n) * 0.05
        if not weight > 0.0:
            continue
        payload = at(index.payloads, node)
        if payload is None:
            continue
        total_count, ids, counts = payload
        total += weight * total_count
        for k, vid in enumerate(ids):
            values[vid] = values.get(vid, 0.0) + weight * at(counts, k)
    if not total > 0.0:
        return []
    out = []
    for vid, value in values.items():
        score = value / total
        if score >= 0.01 and vid < len(index.video_index):
            out.append((video_text(index.video_index[vid]), score))
    out.sort(key=lambda p: p[1], reverse=True)
    return out


# --- the saved layout ----------------------------------------------------------
#
# Varints: 0-250 one byte; 251 + u16; 252 + u32; 253 + u64 (little-endian).
# Counts are 64-bit varints that must fit in 32 bits; labels are UTF-8
# characters; a payload is a tag (0 absent, 1 present) then total, ids, counts;
# video ids are 16 raw bytes.

PAYLOAD_TYPE = "core::option::Option<lumenweave::payload::Payload>"


class DecodeError(ValueError):
    pass


class _Reader:
    def __init__(self, data):
        self.data, self.pos = bytes(data), 0

    def take(self, k):
        missing = self.pos + k - len(self.data)
        if missing > 0:
            raise DecodeError(f"UnexpectedEnd {{ additional: {missing} }}")
        self.pos += k
        return self.data[self.pos - k:self.pos]

    def varint(self, wide):
        b = self.take(1)[0]
        if b <= 250:
            return b
        if b == 251 or b == 252 or (b == 253 and wide):
            self.pos -= 1
            k = {251: 2, 252: 4, 253: 8}[b]
            return int.from_bytes(self.take(1 + k)[1:], "little")
        found = {253: "U64", 254: "U128", 255: "Reserved"}[b]
        expected = "U64" if wide else "U32"
        raise DecodeError(f"InvalidIntegerType {{ expected: {expected}, found: {found} }}")

    def seq(self, element):
        count = self.varint(True)
        if count > MAX_U32:
            raise DecodeError(f"OutsideUsizeRange({count})")
        return [element() for _ in range(count)]

    def u32(self):
        return self.varint(False)

    def char(self):
        b0 = self.take(1)[0]
        width = 1 if b0 < 0x80 else 2 if 0xC2 <= b0 <= 0xDF else 3 if 0xE0 <= b0 <= 0xEF else 4 if 0xF0 <= b0 <= 0xF4 else 0
        if width == 0:
            raise DecodeError(f"InvalidCharEncoding([{b0}, 0, 0, 0])")
        self.pos -= 1
        raw = self.take(width)
        try:
            return ord(raw.decode("utf-8"))
        except UnicodeDecodeError:
            padded = list(raw) + [0] * (4 - width)
            raise DecodeError(f"InvalidCharEncoding([{', '.join(map(str, padded))}])") from None

    def payload(self):
        tag = self.take(1)[0]
        if tag == 0:
            return None
        if tag != 1:
            raise DecodeError(
                f'UnexpectedVariant {{ type_name: "{PAYLOAD_TYPE}", '
                f"allowed: Range {{ min: 0, max: 1 }}, found: {tag} }}"
            )
        return (self.u32(), self.seq(self.u32), self.seq(self.u32))


def decode(data):
    """The index saved in `data`; bytes after the record are ignored."""
    r = _Reader(data)
    return Index(
        r.seq(r.u32), r.seq(r.char), r.seq(r.u32), r.seq(r.payload), r.seq(lambda: r.take(16))
    )


def _varint(v):
    if v <= 250:
        return bytes([v])
    for marker, width in ((251, 2), (252, 4), (253, 8)):
        if v < 1 << (8 * width):
            return bytes([marker]) + v.to_bytes(width, "little")
    raise ValueError(v)


def encode(index):
    """The bytes of `index` in the saved layout, shortest varints."""
    def seq(items, element):
        return _varint(len(items)) + b"".join(element(x) for x in items)

    def payload(p):
        if p is None:
            return b"\x00"
        return b"\x01" + _varint(p[0]) + seq(p[1], _varint) + seq(p[2], _varint)

    return (
        seq(index.node_shifts, _varint)
        + seq(index.child_labels, lambda c: chr(c).encode("utf-8"))
        + seq(index.child_transitions, _varint)
        + seq(index.payloads, payload)
        + seq(index.video_index, bytes)
    )

#include "trie.hpp"

#include <algorithm>
#include <memory>
#include <utility>

#include "../fault.hpp"
#include "../storage/beside.hpp"

namespace tessaloom {

namespace {

enum : std::uint8_t { kNew = 0, kOpen = 1, kDone = 2 };

// Whether a node is finished, and if so whether its list is merged: one
// entry per id, largest sum first, so that passing it on unchanged is what
// merging it alone would give.
enum : std::uint8_t { kUnfinished = 0, kAsGiven = 1, kMerged = 2 };

// The children-first processing order: a depth-first post-order over the
// child lists, starting nodes taken from N-1 down to 0, each node once.
// Only positions inside `child_transitions` are followed; a range that runs
// past the end faults later, when its node is processed.
std::vector<NodeId> processing_order(const Trie& trie) {
  const std::size_t n = trie.node_count();
  const auto& transitions = trie.child_transitions;
  // Where every child is numbered after its parent (a builder's pre-order),
  // the order is simply N-1 down to 0: say so with an empty order, and
  // save the array.
  bool descending = true;
  for (std::size_t i = 0; i < n && descending; ++i) {
    const ChildRange range = trie.child_range(i);
    const std::size_t end = range.end < transitions.size() ? range.end : transitions.size();
    for (std::size_t p = range.begin; p < end; ++p) {
      if (transitions[p] <= i) {
        descending = false;
        break;
      }
    }
    if (range.end > transitions.size() && range.begin < range.end) descending = false;  // faults later
  }
  if (descending) return {};
  std::vector<std::uint8_t> state(n, kNew);
  std::vector<NodeId> order;
  order.reserve(n);

  struct Frame {
    NodeId node;
    std::size_t next, end;
  };
  std::vector<Frame> stack;
  auto open = [&](NodeId node) {
    state[node] = kOpen;
    const ChildRange range = trie.child_range(node);
    const std::size_t end = range.end < transitions.size() ? range.end : transitions.size();
    stack.push_back({node, range.begin, end});
  };

  for (std::size_t start = n; start-- > 0;) {
    if (state[start] != kNew) continue;
    open(static_cast<NodeId>(start));
    while (!stack.empty()) {
      Frame& top = stack.back();
      bool descended = false;
      while (top.next < top.end) {
        const NodeId child = transitions[top.next++];
        if (checked(state, child) == kNew) {
          open(child);  // may reallocate `stack`: `top` is not used after this
          descended = true;
          break;
        }
      }
      if (descended) continue;
      order.push_back(top.node);
      state[top.node] = kDone;
      stack.pop_back();
    }
  }
  return order;
}

}  // namespace

bool pack_nodes(TrieArrays& arrays) {
  if (!pack_nodes_into(arrays, arrays.packed)) return false;
  static_cast<NodeArrays&>(arrays) = NodeArrays();
  return true;
}

bool pack_nodes_into(const NodeArrays& nodes, PackedArrays& into) {
  NodePacker packer;
  return packer.shifts(std::vector<std::uint32_t>(nodes.node_shifts)) && packer.labels(nodes.child_labels) &&
         packer.transitions(nodes.child_transitions) && packer.finish(into);
}

namespace {

// Places the later children of the `n` nodes whose words (the start of
// their later children, whether a parent; no symbols yet) are `w` into
// placed_at[0..unplaced), as the numbering in pre-order says (see
// NodePacker::shifts), and every node but the root where it stands in
// the general transitions into expected[0..n - 1): a first child at the
// start of its parent's range, a later one where it is among the parent's
// children.  placed_at[unplaced] and expected[n - 1] take what a leaf on
// the floor writes.  False when some leaf finds no ancestor with a child
// left; else every place of both arrays has been written.  A function of
// its own, so that its state stays in registers.
[[gnu::noinline]] bool place_later_children(const std::uint32_t* w, std::size_t n, NodeId* placed_at,
                                            std::uint32_t unplaced, NodeId* expected) {
  // An ancestor's next later child: where it goes in `siblings`, how many
  // are left, and how much further on it stands in the transitions (one
  // place for the first child of each parent up to the ancestor).
  struct Open {
    std::uint32_t next, left, ahead, unused;
  };
  std::vector<Open> open(128);
  const auto floor_slot = static_cast<std::uint32_t>(n - 1);
  open[0] = {unplaced, kMaxU32, floor_slot - unplaced, 0};  // the floor
  Open* t = open.data();  // the top
  std::uint32_t parents = 0;
  std::uint32_t word = w[0];
  auto later = static_cast<std::uint32_t>(PackedNodes::later(word));
  // The stack grows by at most one a node: its room is looked at once a
  // block.
  constexpr std::size_t kBlock = 64;
  for (std::size_t u = 0; u + 1 < n;) {
    if (const auto depth = static_cast<std::size_t>(t - open.data()); depth + kBlock + 2 > open.size()) {
      open.resize(2 * open.size());
      t = open.data() + depth;
    }
    Open* const floor = open.data();
    for (const std::size_t stop = std::min(n - 1, u + kBlock); u < stop; ++u) {
      const std::uint32_t next_word = w[u + 1];
      const std::uint32_t parent = PackedNodes::is_parent(word) ? 1 : 0, leaf = parent ^ 1;
      // A parent's later children (the first is u + 1); a leaf has none.
      const auto next_later = static_cast<std::uint32_t>(PackedNodes::later(next_word));
      const std::uint32_t left = next_later - later;
      const auto node = static_cast<NodeId>(u + 1);
      // Node u + 1 is u's first child when u is a parent, else the next
      // later child on the stack.  Both places are written whichever it
      // is, without a branch: what a parent writes at the stack's next
      // place is written again by the leaf that ends the parent's
      // subtree, and what a leaf writes at the start of its (empty)
      // range, by the parent whose range starts there (or it lands on the
      // spare place).  The top is read before and written after these
      // stores, which might otherwise be taken to change it.
      Open top = *t;
      placed_at[top.next] = node;
      expected[top.next + top.ahead] = node;
      expected[later + parents] = node;
      top.next += leaf;
      top.left -= leaf;
      *t = top;
      t -= top.left == 0 ? 1 : 0;  // only a leaf can empty it
      t[1] = {later, left, parents + 1, 0};
      t += parent & (left != 0 ? 1 : 0);
      parents += parent;
      later = next_later;
      word = next_word;
      floor->next = unplaced;  // a leaf on the floor moved it
    }
  }
  // A leaf on the floor took one of its children.
  return open[0].left == kMaxU32;
}

}  // namespace

bool NodePacker::shifts(std::vector<std::uint32_t>&& shifts) {
  std::vector<std::uint32_t>& words = out_.words;
  words = std::move(shifts);
  const std::size_t n = words.size();
  if (n == 0 || n > PackedNodes::kMaxNodes || words[0] != 0) return false;
  // The shifts never decrease (the loop below fails otherwise), so the
  // widths of their forms change at two places at most.
  const auto at_least = [&](std::uint32_t v) {
    return static_cast<std::size_t>(words.end() - std::lower_bound(words.begin(), words.end(), v));
  };
  out_.encoded_bytes[0] = n + 2 * at_least(251) + 2 * at_least(0x10000);
  // Ranges back to back from the start, the last ending at n - 1, the
  // number of transitions.  A node's later children start in `siblings`
  // where its range starts, less one first child for each parent before it.
  std::size_t parents = 0;
  for (std::size_t u = 0; u < n; ++u) {
    const std::size_t begin = words[u];
    const std::size_t end = u + 1 < n ? words[u + 1] : n - 1;
    if (end < begin) return false;
    words[u] = PackedNodes::word(begin - parents, end > begin, 0);
    parents += end > begin;
  }
  // Numbering the tree in pre-order: the node after a parent is its first
  // child, the node after a leaf the next later child of its nearest
  // ancestor that has one left.  The stack holds the ancestors with later
  // children left: where the next goes in `siblings`, and how many are
  // left; an ancestor goes as soon as its last is placed.  Whether a node
  // is a parent follows no pattern, so each step does a leaf's work and a
  // parent's alike and keeps what applies through masks, not branches.
  // Under the stack lies a floor that takes the place of a missing
  // ancestor: a leaf that meets it fails the whole.
  std::vector<NodeId>& siblings = out_.siblings;
  // One more at the end, where a leaf on the floor writes.
  const std::uint32_t unplaced = static_cast<std::uint32_t>(n - 1 - parents);
  siblings.resize(unplaced + 1);
  // Not zeroed: on success every place of it is written (see above).
  expected_.reset(new NodeId[n]);
  const bool placed = place_later_children(words.data(), n, siblings.data(), unplaced, expected_.get());
  siblings.pop_back();
  if (!placed) expected_.reset();
  return placed;
}

bool NodePacker::labels(std::span<const Label> labels) { return labels_of_size(labels, codec::char_run_size(labels)); }

bool NodePacker::labels_of_size(std::span<const Label> labels, std::size_t encoded_bytes) {
  std::vector<std::uint32_t>& words = out_.words;
  if (labels.size() > words.size() - labels_seen_) return false;
  std::uint32_t* const at = words.data() + labels_seen_;
  for (std::size_t k = 0; k < labels.size(); ++k) {
    const std::uint16_t symbol = symbols_.symbol(labels[k]);
    if (symbol == detail::Alphabet::kNone) return false;
    at[k] |= symbol;
  }
  labels_seen_ += labels.size();
  out_.encoded_bytes[1] += encoded_bytes;
  return true;
}

bool NodePacker::transitions(std::span<const NodeId> transitions) {
  if (transitions.size() > out_.words.size() - 1 - transitions_seen_) return false;
  // Compared whole, without a branch on where a parent's children end.
  const NodeId* expected = expected_.get() + transitions_seen_;
  std::uint32_t differ = 0;
  for (std::size_t j = 0; j < transitions.size(); ++j) differ |= transitions[j] ^ expected[j];
  transitions_seen_ += transitions.size();
  return differ == 0;
}

bool NodePacker::finish(PackedArrays& into) {
  if (labels_seen_ != out_.words.size() || transitions_seen_ != out_.words.size() - 1) return false;
  // The transitions of such a tree name every node but the root once: 1 to
  // n - 1, whatever their order.
  const std::size_t last = out_.words.size() - 1;
  out_.encoded_bytes[2] = codec::first_numbers_size(last);
  into = std::move(out_);
  return true;
}

NodeArrays general_nodes(const Trie& trie) {
  NodeArrays out;
  if (!trie.is_packed()) {
    out.node_shifts.assign(trie.node_shifts.begin(), trie.node_shifts.end());
    out.child_labels.assign(trie.child_labels.begin(), trie.child_labels.end());
    out.child_transitions.assign(trie.child_transitions.begin(), trie.child_transitions.end());
    return out;
  }
  const PackedNodes& nodes = trie.packed;
  out.node_shifts.reserve(nodes.size());
  out.child_labels.reserve(nodes.size());
  out.child_transitions.reserve(nodes.size() - 1);
  for_each_general(
      nodes,
      [&](Label label, std::uint32_t shift) {
        out.child_labels.push_back(label);
        out.node_shifts.push_back(shift);
      },
      [&](NodeId c, bool take) {
        if (take) out.child_transitions.push_back(c);
      },
      [&](std::span<const NodeId> later) {
        out.child_transitions.insert(out.child_transitions.end(), later.begin(), later.end());
      });
  return out;
}

Trie view_of(const TrieArrays& arrays) {
  Trie trie;
  if (!arrays.packed.words.empty()) {
    trie.packed.words = arrays.packed.words;
    trie.packed.siblings = arrays.packed.siblings;
    trie.packed.alphabet = arrays.packed.alphabet.data();
    trie.packed.encoded_bytes = arrays.packed.encoded_bytes;
    trie.tree_flag.store(TreeFlag::kTree);
  }
  trie.node_shifts = arrays.node_shifts;
  trie.child_labels = arrays.child_labels;
  trie.child_transitions = arrays.child_transitions;
  trie.payloads = arrays.payloads.view();
  trie.video_index = arrays.video_index;
  return trie;
}

Trie adopt(TrieArrays&& arrays) {
  auto owned = std::make_shared<TrieArrays>(std::move(arrays));
  Trie trie = view_of(*owned);
  trie.owner = std::move(owned);
  return trie;
}

namespace {

// Where propagation may run in two halves, when every child is numbered
// after its parent: a node c such that the nodes 1 to c-1 have their
// children below c (the nodes from c on have theirs from c on anyway).
// Apart from the root, the nodes below c and those from c on are then two
// forests that share nothing; in a builder's pre-order every child of the
// root starts one.  The one nearest the middle, or 0 (none).
NodeId split_point(const Trie& trie) {
  const std::size_t n = trie.node_count();
  const auto& transitions = trie.child_transitions;
  std::size_t highest = 0;  // the highest child of nodes 1 .. u-1
  NodeId best = 0;
  const auto distance = [&](std::size_t c) { return c > n / 2 ? c - n / 2 : n / 2 - c; };
  for (std::size_t u = 1; u < n; ++u) {
    if (highest < u && (best == 0 || distance(u) < distance(best))) best = static_cast<NodeId>(u);
    const ChildRange range = trie.child_range(u);
    for (std::size_t p = range.begin; p < range.end; ++p) highest = std::max<std::size_t>(highest, transitions[p]);
  }
  return best;
}

// Below this many nodes propagation runs on one thread: a second would
// cost more than it saves.
constexpr std::size_t kSplitNodes = std::size_t{1} << 17;

}  // namespace

namespace {

Trie propagate_from(TrieArrays&& arrays, std::uint32_t video_top_n, OwnPayloads* own_payloads) {
  const std::size_t n = arrays.child_labels.size();
  PayloadTable input = std::move(arrays.payloads);
  arrays.payloads = PayloadTable();
  const Trie trie = view_of(arrays);
  const PayloadStore given = input.view();
  const std::vector<NodeId> order = processing_order(trie);

  // The result, written record by record in processing order: at most the
  // caller's records, once each, plus the merged ones.
  PayloadTable& out = arrays.payloads;
  out.resize_slots(n);
  // Room for them and a few bytes a node more, so that growing past the
  // caller's size (many merged lists) does not copy the records.
  const std::size_t given_bytes =
      own_payloads != nullptr ? own_payloads->record_bytes() : input.view().records().size();
  out.reserve(n, given_bytes + 4 * n);
  std::vector<std::uint8_t> state(n, kUnfinished);

  // What one thread works with.
  struct Worker {
    PayloadTable* out;
    // Where the nodes below `split` are, when they are elsewhere.
    const PayloadTable* lower = nullptr;
    NodeId split = 0;
    VideoTotals sums;
    DecodedPayload own, child;
    std::vector<std::uint32_t> ids, counts;
    std::size_t encoded_bytes = 0;  // every slot present: a tag and a record
  };

  // Decodes what slot j holds right now into `into`: its finished payload,
  // or (still in processing, on a cycle) the caller's payload.  Absent
  // slots hold the empty payload.  Returns whether the list is merged.
  auto current = [&](const PayloadTable& table, NodeId j, DecodedPayload& into) {
    const std::uint8_t s = checked(state, j);
    if (s != kUnfinished) {
      PayloadStore::decode(table.view().record_at(table.ref(j)), into);
    } else if (own_payloads != nullptr) {
      own_payloads->own(j, into);
    } else if (given.checked_present(j)) {
      PayloadStore::decode(given.record(j), into);
    } else {
      into.total_count = 0;
      into.video_ids.clear();
      into.video_counts.clear();
    }
    return s == kMerged;
  };

  // Processes the nodes at places [from, to) of the processing order.  The
  // caller's records may lie in any order: the record of a node some nodes
  // ahead is fetched meanwhile.
  constexpr std::size_t kRecordAhead = 8;
  const std::span<const std::uint32_t> given_refs = given.refs();
  const std::span<const std::uint8_t> given_records = given.records();
  auto run = [&](std::size_t from, std::size_t to, Worker& w) {
    PayloadTable& table = *w.out;
    for (std::size_t k = from; k < to; ++k) {
      const NodeId u = order.empty() ? static_cast<NodeId>(n - 1 - k) : order[k];
      if (k + kRecordAhead < n) {
        const std::size_t ahead = order.empty() ? n - 1 - k - kRecordAhead : order[k + kRecordAhead];
        if (own_payloads != nullptr) {
          own_payloads->prefetch(static_cast<NodeId>(ahead));
        } else if (ahead < given_refs.size() && given_refs[ahead] < given_records.size()) {
          __builtin_prefetch(given_records.data() + given_refs[ahead]);
        }
      }
      current(table, u, w.own);
      const ChildRange range = trie.child_range(u);
      // Node u's own slot is empty while it is processed.
      std::size_t child_count = 0;
      NodeId only = 0;
      for (std::size_t p = range.begin; p < range.end; ++p) {
        const NodeId c = checked(trie.child_transitions, p);
        if (c != u) ++child_count, only = c;
      }

      std::uint8_t form = kMerged;
      std::uint32_t ref;
      const std::size_t own_length = std::min(w.own.video_ids.size(), w.own.video_counts.size());
      if (child_count == 0) {
        // Nothing to merge: the caller's list as given, cut to length.
        const std::size_t length = std::min<std::size_t>(own_length, video_top_n);
        const std::span<const std::uint32_t> own_ids(w.own.video_ids), own_counts(w.own.video_counts);
        ref = table.append_record(w.own.total_count, own_ids.first(length), own_counts.first(length));
        if (length > 1) form = kAsGiven;
      } else if (child_count == 1 && own_length == 0 && checked(state, only) == kMerged) {
        // One merged child and nothing of its own: the child's list as it
        // is, and the child's very record when the totals agree.
        const std::span<const std::uint8_t> record = table.view().record_at(table.ref(only));
        std::uint32_t child_total = 0;
        std::size_t ignored = 0;
        PayloadStore::decode_head(record, child_total, ignored);
        const std::uint32_t total = add_clamped(w.own.total_count, child_total);
        if (total == child_total) {
          ref = table.ref(only);
        } else {
          ref = table.append_record_with_total(total, record.subspan(codec::varint_size(child_total)));
        }
      } else {
        w.sums.clear();
        w.sums.add(w.own.view());
        std::uint32_t total = w.own.total_count;
        for (std::size_t p = range.begin; p < range.end; ++p) {
          const NodeId c = trie.child_transitions[p];
          if (c == u) continue;
          current(c < w.split ? *w.lower : table, c, w.child);
          total = add_clamped(total, w.child.total_count);
          w.sums.add(w.child.view());
        }
        // The buffers only grow: their first `length` values are the list.
        const std::size_t length = w.sums.finish(video_top_n, [&](std::size_t k) {
          if (w.ids.size() < k) w.ids.resize(k), w.counts.resize(k);
          return std::pair{w.ids.data(), w.counts.data()};
        });
        ref = table.append_record(total, std::span(w.ids).first(length), std::span(w.counts).first(length));
      }
      table.set_ref(u, ref);
      w.encoded_bytes += 1 + table.view().record_at(ref).size();
      state[u] = form;
    }
  };

  Worker main;
  main.out = &out;
  const NodeId split = order.empty() && n >= kSplitNodes ? split_point(trie) : 0;
  if (split <= 1) {
    run(0, n, main);
    if (own_payloads != nullptr) own_payloads->release();
  } else {
    // Nodes split..n-1 here, 1..split-1 beside, into a table of their own,
    // then the root, which has children in both (node 1 and node `split`
    // are its children), and the second table is appended to the first.
    // The halves share no node, and each reads only its own nodes' records
    // (and the caller's, which nothing writes); of `state`, each writes its
    // own nodes' bytes.
    PayloadTable side;
    side.resize_slots(split);
    side.reserve(split, given_bytes / n * split + 4 * std::size_t{split});
    Worker beside;
    beside.out = &side;
    auto lower = [&] { run(n - split, n - 1, beside); };
    {
      storage::Beside<decltype(lower)> half(lower);
      run(0, n - split, main);
      half.join();
    }
    main.lower = &side;
    main.split = split;
    run(n - 1, n, main);
    // The caller's records are done with: their memory goes before the
    // second table's records are copied.
    input = PayloadTable();
    if (own_payloads != nullptr) own_payloads->release();
    const std::uint32_t base = out.append_records_of(side);
    for (std::size_t u = 1; u < split; ++u) out.set_ref(u, side.ref(u) + base);
    side = PayloadTable();
    main.encoded_bytes += beside.encoded_bytes;
  }
  out.shrink_to_fit();
  out.set_encoded_bytes(main.encoded_bytes);
  pack_nodes(arrays);
  return adopt(std::move(arrays));
}

}  // namespace

Trie propagate(TrieArrays&& arrays, std::uint32_t video_top_n) {
  return propagate_from(std::move(arrays), video_top_n, nullptr);
}

Trie propagate(TrieArrays&& arrays, std::uint32_t video_top_n, OwnPayloads& own) {
  return propagate_from(std::move(arrays), video_top_n, &own);
}

}  // namespace tessaloom

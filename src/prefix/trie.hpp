// The index record: a character trie stored as five flat arrays, the
// children of every node forming one contiguous range of a shared child
// array.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "../fault.hpp"
#include "../payload.hpp"
#include "shape.hpp"

namespace tessaloom {

using NodeId = std::uint32_t;
// A Unicode scalar value; 0 is the empty label, which adds no character.
using Label = std::uint32_t;
using VideoId = std::array<std::uint8_t, 16>;

inline constexpr Label kEmptyLabel = 0;

// Positions [begin, end) of a node's children in `child_transitions`;
// empty when end <= begin.
struct ChildRange {
  std::size_t begin = 0;
  std::size_t end = 0;
  bool empty() const { return end <= begin; }
};

// A tree numbered in depth-first pre-order, each node's children in
// ascending order, held in one word per node and one id per child after
// the first, instead of the three general arrays:
//
//   words[u]  = later(u) << 9 | parent(u) << 8 | symbol(u)
//   siblings    the children of every node after its first, node by node
//
// symbol(u) is the place of u's label in a table of at most 256 labels,
// parent(u) whether u has children, later(u) where u's children after the
// first start in `siblings` (they end where those of u + 1 start).  In
// pre-order a node's first child is the node after it, so it needs no
// entry: u's children are u + 1, then siblings[later(u)] up to
// siblings[later(u + 1)].  The general arrays follow from it: a node's
// range in `child_transitions` starts at the number of children of the
// nodes before it.  Only trees whose general arrays are exactly that (see
// `pack_nodes`) are held this way, so nothing read through it needs
// checking.  It takes 4 bytes a node and 4 a branch, against 12 a node.
struct PackedNodes {
  static constexpr std::size_t kMaxNodes = (std::size_t{1} << 23) - 1;
  static constexpr std::size_t kSymbols = 256;

  std::span<const std::uint32_t> words;
  std::span<const NodeId> siblings;
  const Label* alphabet = nullptr;  // kSymbols entries
  // Bytes the byte format takes for the general arrays' elements
  // (node_shifts, child_labels, child_transitions; their counts apart).
  std::array<std::size_t, 3> encoded_bytes{};

  std::size_t size() const { return words.size(); }
  static bool is_parent(std::uint32_t word) { return (word >> 8 & 1) != 0; }
  static std::size_t later(std::uint32_t word) { return word >> 9; }
  static std::uint32_t word(std::size_t later, bool parent, std::uint8_t symbol) {
    return static_cast<std::uint32_t>(later << 9 | std::size_t{parent} << 8 | symbol);
  }
  Label label_of(std::uint32_t word) const { return alphabet[word & 0xFF]; }
  // Where the children after the first of u end in `siblings`.
  std::size_t later_end(NodeId u) const { return u + 1 < size() ? later(words[u + 1]) : siblings.size(); }

  // Calls f(child, word of the child) for each child of u, in order.
  template <class F>
  void for_each_child(NodeId u, F&& f) const {
    const std::uint32_t w = words[u];
    if (!is_parent(w)) return;
    f(u + 1, words[u + 1]);
    for (std::size_t k = later(w), end = later_end(u); k < end; ++k) {
      const NodeId c = siblings[k];
      f(c, words[c]);
    }
  }
};

// The index, read-only: flat arrays of fixed-width values and offsets, no
// pointers between them.  `owner` keeps the arrays alive (the vectors of a
// `TrieArrays` here; anything else that holds them, such as a mapped file,
// will do), so a Trie is cheap to copy and every copy reads the same arrays.
//
// The node arrays come in one of two forms: the general arrays
// `node_shifts`, `child_labels` and `child_transitions`, or, for the trees
// it can hold, `packed` (the general arrays are empty then).
struct Trie {
  std::span<const std::uint32_t> node_shifts;
  std::span<const Label> child_labels;
  std::span<const NodeId> child_transitions;
  PackedNodes packed;
  PayloadStore payloads;
  std::span<const VideoId> video_index;
  std::shared_ptr<const void> owner;
  // Whether the child lists form a tree (see shape.hpp); not part of the
  // record's contents, worked out by the first query.  A copy takes what
  // is known so far.
  TreeFlag tree_flag;

  bool is_packed() const { return !packed.words.empty(); }
  // Number of nodes: the length of `child_labels`.
  std::size_t node_count() const { return is_packed() ? packed.size() : child_labels.size(); }
  // The length of `child_transitions`.
  std::size_t transition_count() const { return is_packed() ? packed.size() - 1 : child_transitions.size(); }

  // The child-range rule.  Reads `node_shifts[i]` through the checked
  // accessor; the end is `node_shifts[i+1]`, or the length of
  // `child_transitions` for the last node.  Positions inside the range are
  // not checked here: readers go through `checked(child_transitions, k)`.
  ChildRange child_range(std::size_t i) const {
    ChildRange range;
    range.begin = checked(node_shifts, i);
    range.end = i + 1 < node_shifts.size() ? node_shifts[i + 1] : child_transitions.size();
    return range;
  }
};

// The general node arrays.
struct NodeArrays {
  std::vector<std::uint32_t> node_shifts;
  std::vector<Label> child_labels;
  std::vector<NodeId> child_transitions;
};

// The packed form's arrays (see PackedNodes); empty words when a trie is
// not held so.
struct PackedArrays {
  std::vector<std::uint32_t> words;
  std::vector<NodeId> siblings;
  std::array<Label, PackedNodes::kSymbols> alphabet{};
  std::array<std::size_t, 3> encoded_bytes{};
};

// The arrays of an index as growable vectors, for whoever fills them.
struct TrieArrays : NodeArrays {
  PackedArrays packed;
  PayloadTable payloads;
  std::vector<VideoId> video_index;
};

// Replaces the general node arrays of `arrays` by the packed form when they
// describe a tree it can hold: at most PackedNodes::kMaxNodes nodes and 256
// distinct labels, as many shifts as labels, node i's range starting at
// the number of children of the nodes before it, the children of every
// node numbered u + 1, then each at the end of the previous one's subtree,
// and every node below the root listed once.  Returns whether it did; the
// arrays are unchanged otherwise.  O(nodes) time.
bool pack_nodes(TrieArrays& arrays);
// The same, reading `nodes` and filling `into` (left as it was when the
// arrays do not pack).
bool pack_nodes_into(const NodeArrays& nodes, PackedArrays& into);

namespace detail {

// Symbols for labels, in order of first appearance, at most 256 of them:
// labels below 2048 (every alphabet whose letters take at most two bytes
// of UTF-8) through a table, the others through a small open hash.
class Alphabet {
 public:
  explicit Alphabet(std::array<Label, PackedNodes::kSymbols>& labels) : labels_(labels) {
    direct_.fill(kNone);
    hashed_.fill({0, kNone});
  }
  // The label's symbol, or kNone when the table is full.
  std::uint16_t symbol(Label label) {
    if (label < kDirect) {
      std::uint16_t& s = direct_[label];
      if (s == kNone) s = add(label);
      return s;
    }
    for (std::size_t h = (label * 0x9E3779B1u) >> 23;; h = (h + 1) % kHashed) {
      auto& [key, s] = hashed_[h];
      if (s == kNone) return s = add(label), key = label, s;
      if (key == label) return s;
    }
  }
  static constexpr std::uint16_t kNone = 0xFFFF;

 private:
  static constexpr std::size_t kDirect = 2048;
  static constexpr std::size_t kHashed = 512;  // twice the symbols: never full
  std::uint16_t add(Label label) {
    if (count_ == PackedNodes::kSymbols) return kNone;
    labels_[count_] = label;
    return count_++;
  }
  std::array<Label, PackedNodes::kSymbols>& labels_;
  std::uint16_t count_ = 0;
  std::array<std::uint16_t, kDirect> direct_;
  std::array<std::pair<Label, std::uint16_t>, kHashed> hashed_;
};

}  // namespace detail

// Packs the general node arrays given in the order the byte format holds
// them: all the shifts, then the labels and the transitions in pieces of
// any length, so that a reader packs them as it decodes them and never
// holds the general arrays.  The shifts alone fix the only tree the packed
// form can hold for them (the children of each node in pre-order), so the
// labels are only looked up and the transitions only compared.  Each step
// returns false as soon as the arrays cannot be packed (the rule of
// `pack_nodes`); nothing may be called after that.
class NodePacker {
 public:
  NodePacker() : symbols_(out_.alphabet) {}
  NodePacker(const NodePacker&) = delete;
  NodePacker& operator=(const NodePacker&) = delete;

  // Takes over the shifts, one per node, as the storage of the words.
  bool shifts(std::vector<std::uint32_t>&& shifts);
  bool labels(std::span<const Label> labels);
  // The same for labels that take `encoded_bytes` in the byte format (the
  // bytes a reader read them from: UTF-8 has one form for each).
  bool labels_of_size(std::span<const Label> labels, std::size_t encoded_bytes);
  bool transitions(std::span<const NodeId> transitions);
  // When every label and transition came, moves the packed arrays into
  // `into` and returns true; else leaves `into` as it was.
  bool finish(PackedArrays& into);

 private:
  PackedArrays out_;
  detail::Alphabet symbols_;
  std::size_t labels_seen_ = 0;
  // The transitions the tree has, in their order (one per node but the
  // root), and how many came.
  std::unique_ptr<NodeId[]> expected_;
  std::size_t transitions_seen_ = 0;
};

// The general arrays of `trie`, whichever form it holds.
NodeArrays general_nodes(const Trie& trie);

// The general arrays of a packed trie for the nodes [from, to), node by
// node: `node(label, shift)` with the node's label and the start of its
// range, then `first(c, take)` with c = u + 1 and take whether it is u's
// first child (so that no branch is needed; the callee keeps c only when
// `take`), then `later(span)` with u's other children.  `start` is where
// the range of node `from` starts (see shift_of).
template <class Node, class First, class Later>
void for_each_general(const PackedNodes& nodes, std::size_t from, std::size_t to, std::uint32_t start, Node&& node,
                      First&& first, Later&& later) {
  const std::uint32_t* words = nodes.words.data();
  for (auto u = static_cast<NodeId>(from); u < to; ++u) {
    const std::uint32_t w = words[u];
    node(nodes.label_of(w), start);
    const bool parent = PackedNodes::is_parent(w);
    first(u + 1, parent);
    const std::size_t begin = PackedNodes::later(w), end = nodes.later_end(u);
    later(nodes.siblings.subspan(begin, end - begin));
    start += static_cast<std::uint32_t>(parent + (end - begin));
  }
}
// The same for every node.
template <class Node, class First, class Later>
void for_each_general(const PackedNodes& nodes, Node&& node, First&& first, Later&& later) {
  for_each_general(nodes, 0, nodes.size(), 0, node, first, later);
}

// Where node u's range starts in the general `child_transitions`: its
// later children's start in `siblings`, plus a first child for each parent
// before it.  O(u) time.
inline std::uint32_t shift_of(const PackedNodes& nodes, std::size_t u) {
  std::uint32_t parents = 0;
  for (std::size_t v = 0; v < u; ++v) parents += nodes.words[v] >> 8 & 1;
  return static_cast<std::uint32_t>(PackedNodes::later(nodes.words[u])) + parents;
}

// The index that reads `arrays`, taking them over unchanged.
Trie adopt(TrieArrays&& arrays);
// An index that reads `arrays` in place, for as long as they live.
Trie view_of(const TrieArrays& arrays);

// The one way to build a finished index from the caller's arrays: fill a
// TrieArrays (node arrays, one payload slot per node through
// `payloads.push` / `push_absent`, the video table), then
//
// propagate(std::move(arrays), video_top_n)
//
// aggregates every node's payload from its children, children first, cuts
// each node's video lists to `video_top_n` entries and returns the index,
// every slot present.  Absent slots count as empty payloads.  The result
// is written straight into the compact storage: a node whose list is its
// only child's points at the child's record.
//
// Nodes are processed in a depth-first post-order over the child lists,
// taking the starting nodes from N-1 down to 0, so a node's children are
// complete before it absorbs them whatever the numbering.  A child still in
// processing (only possible on a cycle) is absorbed as it stands; a node
// listed among its own children contributes nothing to itself.
//
// Faults: a child range that runs past `child_transitions` ends with
// "index out of bounds: the len is {len} but the index is {first position
// past the end}" for the first such node in processing order.
Trie propagate(TrieArrays&& arrays, std::uint32_t video_top_n);

// Each node's own payload, for a caller that holds them in a form of its
// own (a builder's lists), so that they are never written out as records
// only to be read back: propagation asks for a node's payload when it
// processes the node.  Calls may come from two threads at once, for
// different nodes, each with an `into` of its own.
class OwnPayloads {
 public:
  virtual ~OwnPayloads() = default;
  // Fills `into` with node u's own payload (the empty one when it has none).
  virtual void own(NodeId u, DecodedPayload& into) const = 0;
  // Hints that node u is asked for soon.
  virtual void prefetch(NodeId u) const = 0;
  // About the bytes all own payloads take as records, for reserving room.
  virtual std::size_t record_bytes() const = 0;
  // Called once every node's own payload has been asked for: what holds
  // them may go.
  virtual void release() = 0;
};

// The same, with the own payloads from `own`: `arrays.payloads` holds no
// slots.
Trie propagate(TrieArrays&& arrays, std::uint32_t video_top_n, OwnPayloads& own);

}  // namespace tessaloom

// The index record: a character trie stored as five flat arrays, the
// children of every node forming one contiguous range of a shared child
// array.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "../fault.hpp"
#include "../payload.hpp"

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

struct Trie {
  std::vector<std::uint32_t> node_shifts;
  std::vector<Label> child_labels;
  std::vector<NodeId> child_transitions;
  PayloadTable payloads;
  std::vector<VideoId> video_index;

  // Number of nodes: the length of `child_labels`.
  std::size_t node_count() const { return child_labels.size(); }

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

// Aggregates every node's payload from its children, children first, and
// cuts each node's video lists to `video_top_n` entries.  On entry
// `trie.payloads` holds one optional payload per node as the caller gave it
// (absent slots count as empty payloads); on return every slot is present.
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
void propagate(Trie& trie, std::uint32_t video_top_n);

}  // namespace tessaloom

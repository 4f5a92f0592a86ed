// The index record: a character trie stored as five flat arrays, the
// children of every node forming one contiguous range of a shared child
// array.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
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

// The index, read-only: flat arrays of fixed-width values and offsets, no
// pointers between them.  `owner` keeps the arrays alive (the vectors of a
// `TrieArrays` here; anything else that holds them, such as a mapped file,
// will do), so a Trie is cheap to copy and every copy reads the same arrays.
struct Trie {
  std::span<const std::uint32_t> node_shifts;
  std::span<const Label> child_labels;
  std::span<const NodeId> child_transitions;
  PayloadStore payloads;
  std::span<const VideoId> video_index;
  std::shared_ptr<const void> owner;
  // Whether the child lists form a tree (see shape.hpp); not part of the
  // record's contents, worked out by the first query.  A copy takes what
  // is known so far.
  TreeFlag tree_flag;

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

// The arrays of an index as growable vectors, for whoever fills them.
struct TrieArrays {
  std::vector<std::uint32_t> node_shifts;
  std::vector<Label> child_labels;
  std::vector<NodeId> child_transitions;
  PayloadTable payloads;
  std::vector<VideoId> video_index;
};

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

}  // namespace tessaloom

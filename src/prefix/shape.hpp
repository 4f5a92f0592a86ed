// Whether an index's child lists form a tree below the root, worked out
// once per index on first use.
//
// In a tree every node is reached along one path, so a query visits each
// node at most once, reports it at most once and reads its payload at most
// once.  Only child lists that share nodes (possible from bytes, and from
// arrays whose ranges overlap) multiply that work; the queries count it
// against budgets then, and skip the counting on trees.
#pragma once

#include <atomic>
#include <cstdint>

namespace tessaloom {

struct Trie;

// A lazily set flag that travels with the record it describes: copying or
// moving the record copies what is known so far.  Concurrent first uses may
// each compute the answer; they store the same value, so no lock is needed.
class TreeFlag {
 public:
  enum : std::uint8_t { kUnknown = 0, kTree = 1, kShared = 2 };

  TreeFlag() = default;
  TreeFlag(const TreeFlag& other) noexcept : state_(other.load()) {}
  TreeFlag& operator=(const TreeFlag& other) noexcept {
    state_.store(other.load(), std::memory_order_relaxed);
    return *this;
  }

  std::uint8_t load() const noexcept { return state_.load(std::memory_order_acquire); }
  void store(std::uint8_t state) const noexcept { state_.store(state, std::memory_order_release); }
  // Forgets the answer, for a record whose child lists were changed.
  void reset() noexcept { state_.store(kUnknown, std::memory_order_relaxed); }

 private:
  mutable std::atomic<std::uint8_t> state_{kUnknown};
};

// True when the child lists reachable from node 0 form a tree: no node,
// the root included, is listed twice, and every reachable child range and
// child id lies inside its array.  Anything else counts as shared, which
// only means the queries keep their budgets.  O(nodes + transitions) time
// and N bits of scratch on first use; a load afterwards.  An index without
// nodes is a tree.
bool is_tree(const Trie& trie);

}  // namespace tessaloom

#include "shape.hpp"

#include <vector>

#include "trie.hpp"

namespace tessaloom {

namespace {

// A depth-first pass from the root marking every node it reaches; the
// first node reached twice, or any range or id outside its array, ends it.
bool compute_is_tree(const Trie& trie) {
  const std::size_t n = trie.node_count();
  if (n == 0 || trie.is_packed()) return true;
  const std::size_t shifts = trie.node_shifts.size();
  const std::size_t transitions = trie.child_transitions.size();
  std::vector<std::uint64_t> seen((n + 63) / 64, 0);
  std::vector<NodeId> stack{0};
  seen[0] = 1;
  while (!stack.empty()) {
    const NodeId u = stack.back();
    stack.pop_back();
    if (u >= shifts) return false;
    const std::size_t begin = trie.node_shifts[u];
    const std::size_t end = u + 1 < shifts ? trie.node_shifts[u + 1] : transitions;
    if (begin >= end) continue;
    if (end > transitions) return false;
    for (std::size_t k = begin; k < end; ++k) {
      const NodeId child = trie.child_transitions[k];
      if (child >= n) return false;
      std::uint64_t& word = seen[child / 64];
      const std::uint64_t bit = std::uint64_t{1} << (child % 64);
      if (word & bit) return false;
      word |= bit;
      stack.push_back(child);
    }
  }
  return true;
}

}  // namespace

bool is_tree(const Trie& trie) {
  std::uint8_t state = trie.tree_flag.load();
  if (state == TreeFlag::kUnknown) {
    state = compute_is_tree(trie) ? TreeFlag::kTree : TreeFlag::kShared;
    trie.tree_flag.store(state);
  }
  return state == TreeFlag::kTree;
}

}  // namespace tessaloom

#include "trie.hpp"

#include <algorithm>
#include <memory>
#include <utility>

#include "../fault.hpp"

namespace tessaloom {

namespace {

enum : std::uint8_t { kNew = 0, kOpen = 1, kDone = 2 };

// A node's finished payload.  Its entries may be the caller's own (a node
// with no children keeps its list as given, cut to length), a child's list
// (a node that only passes one merged child on), or a list merged into the
// arena.  Ids and counts always have `length` entries.
struct Done {
  const std::uint32_t* ids = nullptr;
  const std::uint32_t* counts = nullptr;
  std::uint32_t length = 0;
  std::uint32_t total = 0;

  PayloadView view() const { return {total, {ids, length}, {counts, length}}; }
};

// Whether a node is finished, and if so whether its list is merged: one
// entry per id, largest sum first, so that passing it on unchanged is what
// merging it alone would give.
enum : std::uint8_t { kUnfinished = 0, kAsGiven = 1, kMerged = 2 };

// Storage for merged lists, in blocks that never move while the finished
// payloads point into them.
class Arena {
 public:
  // Room for n ids followed by n counts.
  std::pair<std::uint32_t*, std::uint32_t*> take(std::size_t n) {
    if (n > left_ / 2) {
      const std::size_t size = std::max(kBlock, 2 * n);
      blocks_.push_back(std::make_unique_for_overwrite<std::uint32_t[]>(size));
      next_ = blocks_.back().get();
      left_ = size;
    }
    std::uint32_t* ids = next_;
    next_ += 2 * n;
    left_ -= 2 * n;
    return {ids, ids + n};
  }

 private:
  static constexpr std::size_t kBlock = std::size_t{1} << 20;
  std::vector<std::unique_ptr<std::uint32_t[]>> blocks_;
  std::uint32_t* next_ = nullptr;
  std::size_t left_ = 0;
};

// The children-first processing order: a depth-first post-order over the
// child lists, starting nodes taken from N-1 down to 0, each node once.
// Only positions inside `child_transitions` are followed; a range that runs
// past the end faults later, when its node is processed.
std::vector<NodeId> processing_order(const Trie& trie) {
  const std::size_t n = trie.node_count();
  const auto& transitions = trie.child_transitions;
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

void propagate(Trie& trie, std::uint32_t video_top_n) {
  const std::size_t n = trie.node_count();
  const PayloadTable input = std::move(trie.payloads);
  trie.payloads = PayloadTable();
  const std::vector<NodeId> order = processing_order(trie);

  std::vector<Done> done(n);
  std::vector<std::uint8_t> state(n, kUnfinished);
  Arena arena;
  VideoTotals sums;
  std::vector<PayloadView> children;
  std::size_t entries = 0;  // in all finished payloads

  // What slot j holds right now: its finished payload, or (still in
  // processing, on a cycle) the caller's payload.  Absent slots hold the
  // empty payload.  `merged` tells whether the list is in merged form.
  auto current = [&](NodeId j, bool& merged) -> PayloadView {
    const std::uint8_t s = checked(state, j);
    merged = s == kMerged;
    if (s != kUnfinished) return done[j].view();
    if (input.checked_present(j)) return input.get(j);
    return {};
  };

  for (const NodeId u : order) {
    bool merged = false;
    const PayloadView own = current(u, merged);
    const ChildRange range = trie.child_range(u);
    children.clear();
    for (std::size_t p = range.begin; p < range.end; ++p) {
      const NodeId child = checked(trie.child_transitions, p);
      // Node u's own slot is empty while it is processed.
      if (child != u) children.push_back(current(child, merged));
    }

    Done result;
    std::uint8_t form = kMerged;
    result.total = own.total_count;
    for (const PayloadView& child : children) result.total = add_clamped(result.total, child.total_count);
    const std::size_t own_length = std::min(own.video_ids.size(), own.video_counts.size());
    if (children.empty()) {
      // Nothing to merge: the caller's list as given, cut to length.
      const std::size_t length = std::min<std::size_t>(own_length, video_top_n);
      result.ids = own.video_ids.data();
      result.counts = own.video_counts.data();
      result.length = static_cast<std::uint32_t>(length);
      if (length > 1) form = kAsGiven;
    } else if (children.size() == 1 && own_length == 0 && merged) {
      // One merged child and nothing of its own: the child's list as it is.
      const PayloadView& child = children.front();
      result.ids = child.video_ids.data();
      result.counts = child.video_counts.data();
      result.length = static_cast<std::uint32_t>(child.video_ids.size());
    } else {
      sums.clear();
      sums.add(own);
      for (const PayloadView& child : children) sums.add(child);
      const std::size_t length = sums.finish(video_top_n, [&](std::size_t k) {
        const auto room = arena.take(k);
        result.ids = room.first;
        result.counts = room.second;
        return room;
      });
      result.length = static_cast<std::uint32_t>(length);
    }

    // Offsets are 32-bit: at most 2^32-1 entries in all.
    if (result.length > 0xFFFFFFFFu - entries) fail_capacity();
    entries += result.length;
    done[u] = result;
    state[u] = form;
  }

  trie.payloads = PayloadTable::packed(n, entries, [&](std::size_t i) { return done[i].view(); });
}

}  // namespace tessaloom

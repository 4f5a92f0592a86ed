#include "trie.hpp"

#include <utility>

#include "../fault.hpp"

namespace tessaloom {

namespace {

enum : std::uint8_t { kNew = 0, kOpen = 1, kDone = 2 };

// Payloads that have finished processing, stored in processing order.
struct Finished {
  std::vector<std::uint32_t> begin, length, total;
  std::vector<std::uint32_t> ids, counts;

  PayloadView view(std::size_t node) const {
    const std::size_t b = begin[node], n = length[node];
    return {total[node], {ids.data() + b, n}, {counts.data() + b, n}};
  }
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

  Finished done;
  done.begin.assign(n, 0);
  done.length.assign(n, 0);
  done.total.assign(n, 0);
  done.ids.reserve(input.entry_count());
  done.counts.reserve(input.entry_count());
  std::vector<std::uint8_t> finished(n, 0);

  // What slot j holds right now: its finished payload, or (still in
  // processing, on a cycle) the caller's payload.  Absent slots hold the
  // empty payload.
  auto current = [&](NodeId j) -> PayloadView {
    if (checked(finished, j)) return done.view(j);
    if (input.checked_present(j)) return input.get(j);
    return {};
  };

  Payload acc;
  for (const NodeId u : order) {
    const PayloadView own = current(u);
    acc.total_count = own.total_count;
    acc.video_ids.assign(own.video_ids.begin(), own.video_ids.end());
    acc.video_counts.assign(own.video_counts.begin(), own.video_counts.end());

    const ChildRange range = trie.child_range(u);
    for (std::size_t p = range.begin; p < range.end; ++p) {
      const NodeId child = checked(trie.child_transitions, p);
      // Node u's own slot is empty while it is processed.
      if (child != u) acc.merge_from(current(child));
    }
    if (acc.video_ids.size() > video_top_n) {
      acc.video_ids.resize(video_top_n);
      acc.video_counts.resize(video_top_n);
    }

    if (done.ids.size() + acc.video_ids.size() > 0xFFFFFFFFu) fail_capacity();
    done.begin[u] = static_cast<std::uint32_t>(done.ids.size());
    done.length[u] = static_cast<std::uint32_t>(acc.video_ids.size());
    done.total[u] = acc.total_count;
    done.ids.insert(done.ids.end(), acc.video_ids.begin(), acc.video_ids.end());
    done.counts.insert(done.counts.end(), acc.video_counts.begin(), acc.video_counts.end());
    finished[u] = 1;
  }

  PayloadTable result;
  result.reserve(n, done.ids.size());
  for (std::size_t i = 0; i < n; ++i) result.push(done.view(i));
  trie.payloads = std::move(result);
}

}  // namespace tessaloom

#include "ranking.hpp"

#include <algorithm>

#include "fault.hpp"
#include "prefix/matcher.hpp"
#include "prefix/shape.hpp"

namespace tessaloom {

namespace {

// Per-video running values in order of first appearance, found through an
// open-addressing table of positions (linear probing, power-of-two size,
// at most half full).
class VideoSums {
 public:
  struct Entry {
    std::uint32_t video;
    double value;
  };

  explicit VideoSums(std::size_t expected) {
    std::size_t size = 16;
    while (size < 2 * expected) size *= 2;
    slots_.assign(size, kEmpty);
    entries_.reserve(expected);
  }

  double& value(std::uint32_t video) {
    std::size_t i = home(video);
    while (true) {
      const std::uint32_t slot = slots_[i];
      if (slot == kEmpty) break;
      if (entries_[slot].video == video) return entries_[slot].value;
      i = (i + 1) & (slots_.size() - 1);
    }
    if (2 * (entries_.size() + 1) > slots_.size()) {
      grow();
      i = home(video);
      while (slots_[i] != kEmpty) i = (i + 1) & (slots_.size() - 1);
    }
    slots_[i] = static_cast<std::uint32_t>(entries_.size());
    entries_.push_back({video, 0.0});
    return entries_.back().value;
  }

  const std::vector<Entry>& entries() const { return entries_; }

 private:
  static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;

  std::size_t home(std::uint32_t video) const {
    // Fibonacci hashing: the top bits of the product pick the slot.
    const std::uint64_t h = std::uint64_t{video} * 0x9E3779B97F4A7C15ull;
    return static_cast<std::size_t>(h >> 32) & (slots_.size() - 1);
  }

  void grow() {
    slots_.assign(slots_.size() * 2, kEmpty);
    for (std::size_t e = 0; e < entries_.size(); ++e) {
      std::size_t i = home(entries_[e].video);
      while (slots_[i] != kEmpty) i = (i + 1) & (slots_.size() - 1);
      slots_[i] = static_cast<std::uint32_t>(e);
    }
  }

  std::vector<std::uint32_t> slots_;
  std::vector<Entry> entries_;
};

// On shared child lists a node can be matched many times over (once per
// path), and each time its payload would be read again.  The first read of
// each node is what a tree gives; repeated reads are charged their entries
// (plus one) against this multiple of the index's size (every entry takes
// at least one byte of the payload records).
class RepeatBudget {
 public:
  explicit RepeatBudget(const Trie& trie) : tree_(is_tree(trie)) {
    if (tree_) return;
    read_.assign((trie.node_count() + 63) / 64, 0);
    budget_ = 64 * (std::uint64_t{trie.node_count()} + trie.transition_count() +
                    trie.payloads.records().size()) +
              65536;
  }

  // Called before node `u`'s payload `record` is decoded.
  void charge(NodeId u, std::span<const std::uint8_t> record) {
    if (tree_ || u / 64 >= read_.size()) return;
    std::uint64_t& word = read_[u / 64];
    const std::uint64_t bit = std::uint64_t{1} << (u % 64);
    if (word & bit) {
      std::uint32_t total = 0;
      std::size_t entries = 0;
      PayloadStore::decode_head(record, total, entries);
      spent_ += entries + 1;
      if (spent_ > budget_) {
        throw InternalFault("ranking exceeded " + std::to_string(budget_) +
                            " payload entries: the child lists share nodes so heavily that the "
                            "number of paths explodes");
      }
    }
    word |= bit;
  }

 private:
  bool tree_;
  std::vector<std::uint64_t> read_;
  std::uint64_t budget_ = 0, spent_ = 0;
};

}  // namespace

std::vector<RankedVideo> rank_videos(const Trie& trie, std::string_view term_utf8,
                                     std::uint32_t max_dist, std::optional<std::uint32_t> limit) {
  const std::vector<MatchResult> matches = fuzzy_match(trie, term_utf8, max_dist, limit);
  const std::size_t n = detail::code_points(term_utf8).size();

  // Every match reported a present slot, so these lookups cannot fail;
  // they only size the table from the records' heads.
  std::size_t expected = 0;
  for (const MatchResult& m : matches) {
    if (!trie.payloads.checked_present(m.node)) continue;
    std::uint32_t total = 0;
    std::size_t ids = 0;
    PayloadStore::decode_head(trie.payloads.record(m.node), total, ids);
    expected += ids;
  }
  // Distinct videos fit the 32-bit positions of the table, and number no
  // more than the index's entries; more entries than that only repeat ids
  // (shared child lists match a node once per path).
  VideoSums sums(std::min<std::size_t>({expected, trie.payloads.records().size(), std::size_t{1} << 24}));
  RepeatBudget repeats(trie);

  double weighted_total = 0.0;
  DecodedPayload payload;  // the matched node's, decoded
  for (const MatchResult& m : matches) {
    double weight;
    if (m.text == term_utf8) {
      weight = 1.0;
    } else if (n == 0) {
      weight = 0.0;
    } else {
      const double ratio = static_cast<double>(m.distance) / static_cast<double>(n);
      const double closeness = 1.0 - ratio;
      weight = closeness * 0.05;
    }
    if (!(weight > 0.0)) continue;
    if (!trie.payloads.checked_present(m.node)) continue;
    repeats.charge(m.node, trie.payloads.record(m.node));
    PayloadStore::decode(trie.payloads.record(m.node), payload);

    const double total_part = weight * static_cast<double>(payload.total_count);
    weighted_total += total_part;
    for (std::size_t k = 0; k < payload.video_ids.size(); ++k) {
      if (k >= payload.video_counts.size()) fail_index(payload.video_counts.size(), k);
      const double part = weight * static_cast<double>(payload.video_counts[k]);
      sums.value(payload.video_ids[k]) += part;
    }
  }

  std::vector<RankedVideo> ranked;
  if (!(weighted_total > 0.0)) return ranked;
  for (const auto& entry : sums.entries()) {
    const double score = entry.value / weighted_total;
    if (score < 0.01) continue;
    if (entry.video >= trie.video_index.size()) continue;
    ranked.push_back({entry.video, score});
  }
  std::stable_sort(ranked.begin(), ranked.end(),
                   [](const RankedVideo& a, const RankedVideo& b) { return a.score > b.score; });
  return ranked;
}

void format_video_id(const VideoId& id, char* out) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (std::size_t b = 0; b < id.size(); ++b) {
    if (b == 4 || b == 6 || b == 8 || b == 10) *out++ = '-';
    *out++ = kHex[id[b] >> 4];
    *out++ = kHex[id[b] & 0x0F];
  }
}

}  // namespace tessaloom

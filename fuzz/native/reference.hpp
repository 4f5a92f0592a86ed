// Slow references for the native fuzz targets: the byte-by-byte reader of
// the saved record shared with the codec's checks (tests/cpp), and the
// video ranking written the straightforward way over a given list of
// matches.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "codec/encoding.hpp"
#include "prefix/matcher.hpp"
#include "prefix/trie.hpp"
#include "ranking.hpp"
#include "reference_record.hpp"

namespace fuzzref {

using namespace tessaloom;
using codec::DecodeError;
using codec::IntegerType;

using reference::Bytes;
using reference::decode_bytewise;
using reference::Model;
using reference::ModelPayload;
using reference::to_model;

// The ranking over `matches` (the plain rows' result), step by step as the
// ranking is specified: weights, totals and per-video values in match and
// entry order, then scores, the two cuts and a stable sort.
inline std::vector<RankedVideo> rank_reference(const Trie& trie, std::string_view term,
                                               const std::vector<MatchResult>& matches) {
  const double n = static_cast<double>(detail::code_points(term).size());
  double total = 0.0;
  std::vector<std::pair<std::uint32_t, double>> values;  // first-appearance order
  std::unordered_map<std::uint32_t, std::size_t> where;
  for (const MatchResult& m : matches) {
    const double weight = m.text == term ? 1.0 : n == 0 ? 0.0 : (1.0 - m.distance / n) * 0.05;
    if (!(weight > 0.0) || !trie.payloads.checked_present(m.node)) continue;
    DecodedPayload p;
    PayloadStore::decode(trie.payloads.record(m.node), p);
    total += weight * p.total_count;
    for (std::size_t k = 0; k < p.video_ids.size(); ++k) {
      if (k >= p.video_counts.size()) fail_index(p.video_counts.size(), k);
      const double add = weight * p.video_counts[k];
      const auto [it, fresh] = where.emplace(p.video_ids[k], values.size());
      if (fresh) {
        values.emplace_back(p.video_ids[k], add);
      } else {
        values[it->second].second += add;
      }
    }
  }
  std::vector<RankedVideo> out;
  if (!(total > 0.0)) return out;
  for (const auto& [video, value] : values) {
    const double score = value / total;
    if (score >= 0.01 && video < trie.video_index.size()) out.push_back({video, score});
  }
  std::stable_sort(out.begin(), out.end(), [](auto& a, auto& b) { return a.score > b.score; });
  return out;
}

}  // namespace fuzzref

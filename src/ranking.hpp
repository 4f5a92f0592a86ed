// The video ranking query: weights the fuzzy matches of a term by their
// closeness, combines the matched nodes' payloads into one share per video
// and keeps the videos whose share reaches 0.01, best first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "prefix/trie.hpp"

namespace tessaloom {

struct RankedVideo {
  std::uint32_t video;  // position in trie.video_index (always below its length)
  double score;
};

// Runs `fuzzy_match(trie, term_utf8, max_dist, limit)` and ranks the videos
// of the matched nodes' payloads.  Match weight: 1.0 for a text equal to
// the term, else 0.0 for an empty term, else (1 - distance / n) * 0.05 with
// n the term's code point count; matches of weight <= 0 and absent payload
// slots are skipped.  Each product weight * count is rounded to a double
// before it is added, in match order and then entry order, so scores are
// reproducible to the last bit (build with -ffp-contract=off).  score =
// value / weighted total; scores below 0.01 and video ids outside
// `video_index` are left out; the result is sorted by score, largest first
// (equal scores in the order the videos first appeared).
//
// Faults, besides those of the matcher: a matched node without a payload
// slot, and a payload whose `video_counts` is shorter than its `video_ids`
// (at the first entry without a count): "index out of bounds: the len is
// {len} but the index is {index}".
std::vector<RankedVideo> rank_videos(const Trie& trie, std::string_view term_utf8,
                                     std::uint32_t max_dist, std::optional<std::uint32_t> limit);

inline constexpr std::size_t kVideoIdTextLength = 36;

// Writes exactly 36 characters to `out`: the 16 bytes in stored order as
// lowercase hex, grouped 8-4-4-4-12 with '-' between groups.  No NUL.
void format_video_id(const VideoId& id, char* out);

}  // namespace tessaloom

// The fuzzy matcher: walks the trie from the root, keeps one row of the
// edit-distance table per node on the current path, reports every node with
// a payload whose text lies within `max_dist` of the whole query, and skips
// every subtree that can no longer come that close.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "trie.hpp"

namespace tessaloom {

struct MatchResult {
  std::string text;  // the node's text, UTF-8
  NodeId node;
  std::uint32_t distance;  // edit distance between `text` and the whole query
};

// Every node with a non-empty text and a present payload whose text is
// within `max_dist` (Levenshtein over code points) of `term_utf8`, in walk
// order: depth first, a node before its descendants, siblings in ascending
// label order (equal labels by ascending node id).  The walk always runs to
// the end; `limit`, when given, keeps the first `limit` results.
//
// Arrays are taken as they come:
//  - an index with no nodes has no matches;
//  - a node with the empty label has its parent's text and row (and so its
//    distance and pruning decision);
//  - checked lookups, in walk order: `node_shifts[u]` for an expanded node,
//    then for each position k of its range `child_transitions[k]` followed
//    by `child_labels` of that child; the payload slot of each visited node
//    with a non-empty text.  A failed one throws InternalFault with
//    "index out of bounds: the len is {len} but the index is {index}";
//  - a walk that reaches a node N or more levels below the root (N = node
//    count) has followed a cycle in the child lists: InternalFault
//    "child lists contain a cycle: the walk went deeper than {N-1} levels
//    below the root".  A tree or DAG never goes that deep;
//  - child lists that share nodes (not a tree below the root, see
//    shape.hpp) are held to budgets of M = N + len(child_transitions):
//    64 M + 1024 visits ("walk exceeded {budget} node visits: ..."),
//    4 M + 1024 pending visits on the work stack ("... pending visits:
//    ..."), and 64 M + 65536 bytes of result texts for reports of nodes
//    reported before, each charged its text's bytes plus 16 ("... bytes of
//    repeated result texts: ..."); every message ends "the child lists
//    share nodes so heavily that the number of paths explodes".  A tree
//    visits, stacks and reports each node at most once and meets none.
//
// Labels that are not Unicode scalar values (only possible for a record
// built directly in C++) compare by their value and appear as U+FFFD in
// the text.  A `term_utf8` that is not valid UTF-8 is read with U+FFFD in
// place of each offending byte.
std::vector<MatchResult> fuzzy_match(const Trie& trie, std::string_view term_utf8,
                                     std::uint32_t max_dist, std::optional<std::uint32_t> limit);

namespace detail {

// Splits UTF-8 text into code points (see `fuzzy_match` for invalid input).
std::vector<std::uint32_t> code_points(std::string_view utf8);

// Appends the UTF-8 form of `label` (U+FFFD when it is no scalar value).
void append_utf8(std::string& out, Label label);

// The row implementations behind `fuzzy_match`: plain rows of n + 1
// entries (the reference), one-word bit-parallel rows for queries of at
// most `kBitParallelMaxChars` code points, rows of two to four words for
// queries of at most `kWordRowsMaxChars`, and blocked bit-parallel rows
// for longer ones.  `fuzzy_match_bitparallel` picks as `fuzzy_match` does;
// `fuzzy_match_words` uses the rows of the fewest words from two up (so
// also for short queries), and the blocked rows past four;
// `fuzzy_match_blocked` uses the blocked rows for any length.  All give
// the same results and faults; they are exposed for testing.
inline constexpr std::size_t kBitParallelMaxChars = 64;
inline constexpr std::size_t kWordRowsMaxChars = 256;
std::vector<MatchResult> fuzzy_match_plain(const Trie& trie, std::string_view term_utf8,
                                           std::uint32_t max_dist,
                                           std::optional<std::uint32_t> limit);
std::vector<MatchResult> fuzzy_match_bitparallel(const Trie& trie, std::string_view term_utf8,
                                                 std::uint32_t max_dist,
                                                 std::optional<std::uint32_t> limit);
std::vector<MatchResult> fuzzy_match_words(const Trie& trie, std::string_view term_utf8,
                                           std::uint32_t max_dist,
                                           std::optional<std::uint32_t> limit);
std::vector<MatchResult> fuzzy_match_blocked(const Trie& trie, std::string_view term_utf8,
                                             std::uint32_t max_dist,
                                             std::optional<std::uint32_t> limit);

}  // namespace detail

}  // namespace tessaloom

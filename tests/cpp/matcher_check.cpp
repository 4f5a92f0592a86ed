// Checks of the fuzzy matcher and the video ranking, with no interpreter.
//
// Build and run from the repository root:
//   g++ -std=c++20 -O2 -Wall -Wextra -Werror -ffp-contract=off -Isrc
//       tests/cpp/matcher_check.cpp src/prefix/matcher.cpp src/ranking.cpp
//       src/prefix/trie.cpp src/payload.cpp src/fault.cpp -o /tmp/matcher_check
//   /tmp/matcher_check            # optional argument: number of random rounds
// Add -g -fsanitize=address,undefined for a sanitizer run.  Exit status 0
// means every check passed.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "codec/records.hpp"
#include "fault.hpp"
#include "prefix/matcher.hpp"
#include "prefix/shape.hpp"
#include "prefix/trie.hpp"
#include "ranking.hpp"

using namespace tessaloom;

namespace {

int failures = 0;

#define CHECK(cond)                                                        \
  do {                                                                     \
    if (!(cond)) {                                                         \
      ++failures;                                                          \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
    }                                                                      \
  } while (0)

constexpr std::uint32_t kMaxDist = 0xFFFFFFFFu;

// ---------------------------------------------------------------- building

struct NodeSpec {
  Label label;
  std::vector<NodeId> children;
  bool has_payload = true;
  std::uint32_t total = 1;
  std::vector<std::uint32_t> ids = {}, counts = {};
};

// The arrays of a test index, changed freely; queries read them in place.
struct TestTrie : TrieArrays {
  operator Trie() const { return view_of(*this); }
};

TestTrie build(const std::vector<NodeSpec>& nodes) {
  TestTrie trie;
  for (const NodeSpec& n : nodes) {
    trie.node_shifts.push_back(static_cast<std::uint32_t>(trie.child_transitions.size()));
    trie.child_labels.push_back(n.label);
    trie.child_transitions.insert(trie.child_transitions.end(), n.children.begin(), n.children.end());
    if (n.has_payload) {
      trie.payloads.push(n.total, n.ids, n.counts);
    } else {
      trie.payloads.push_absent();
    }
  }
  return trie;
}

// A trie over `words`, one node per distinct prefix, every node with a
// payload (total 1, no videos).  Children are listed in reverse order of
// creation so the matcher has to sort them.
TestTrie trie_of(const std::vector<std::u32string>& words) {
  std::vector<NodeSpec> nodes{{kEmptyLabel, {}}};
  for (const std::u32string& w : words) {
    NodeId at = 0;
    for (char32_t c : w) {
      NodeId next = 0;
      for (NodeId ch : nodes[at].children) {
        if (nodes[ch].label == c) next = ch;
      }
      if (next == 0) {
        next = static_cast<NodeId>(nodes.size());
        nodes.push_back({static_cast<Label>(c), {}});
        nodes[at].children.insert(nodes[at].children.begin(), next);
      }
      at = next;
    }
  }
  return build(nodes);
}

// ------------------------------------------------------------ outcomes

struct Outcome {
  std::vector<MatchResult> matches;
  std::string fault;  // empty when the call returned
};

bool same(const Outcome& a, const Outcome& b) {
  if (a.fault != b.fault || a.matches.size() != b.matches.size()) return false;
  for (std::size_t i = 0; i < a.matches.size(); ++i) {
    const MatchResult &x = a.matches[i], &y = b.matches[i];
    if (x.text != y.text || x.node != y.node || x.distance != y.distance) return false;
  }
  return true;
}

Outcome capture(const std::function<std::vector<MatchResult>()>& call) {
  Outcome out;
  try {
    out.matches = call();
  } catch (const InternalFault& f) {
    out.fault = f.message();
  }
  return out;
}

using Matcher = std::vector<MatchResult> (*)(const Trie&, std::string_view, std::uint32_t,
                                             std::optional<std::uint32_t>);
const Matcher kMatchers[] = {fuzzy_match, detail::fuzzy_match_plain, detail::fuzzy_match_bitparallel,
                             detail::fuzzy_match_words, detail::fuzzy_match_blocked};

// (text, distance) pairs, the shape callers see.
using Pairs = std::vector<std::pair<std::string, std::uint32_t>>;
Pairs pairs(const std::vector<MatchResult>& m) {
  Pairs p;
  for (const MatchResult& r : m) p.emplace_back(r.text, r.distance);
  return p;
}

// Runs every row implementation, checks they agree, returns the outcome.
Outcome match_all(const Trie& trie, std::string_view term, std::uint32_t max_dist,
                  std::optional<std::uint32_t> limit = std::nullopt) {
  const Outcome first = capture([&] { return kMatchers[0](trie, term, max_dist, limit); });
  for (Matcher m : kMatchers) CHECK(same(first, capture([&] { return m(trie, term, max_dist, limit); })));
  return first;
}

std::string fault_of(const std::function<void()>& call) {
  try {
    call();
  } catch (const InternalFault& f) {
    return f.message();
  }
  return "";
}

// ------------------------------------------------------------ reference

std::string utf8(const std::u32string& s) {
  std::string out;
  for (char32_t c : s) detail::append_utf8(out, c);
  return out;
}

// The walk written the straightforward way: recursion, a fresh full row per
// node, the same lookups in the same order.
struct Reference {
  const Trie& trie;
  std::vector<std::uint32_t> query;
  std::uint32_t max_dist;
  std::vector<MatchResult> out;

  void visit(NodeId u, std::size_t depth, const std::u32string& text,
             const std::vector<std::uint32_t>& parent_row, bool from_parent_label) {
    const std::size_t n = query.size();
    if (depth >= trie.node_count()) {
      throw InternalFault("child lists contain a cycle: the walk went deeper than " +
                          std::to_string(trie.node_count() - 1) + " levels below the root");
    }
    std::vector<std::uint32_t> row(n + 1);
    if (text.empty()) {
      for (std::size_t j = 0; j <= n; ++j) row[j] = static_cast<std::uint32_t>(j);
    } else if (!from_parent_label) {
      row = parent_row;  // empty label: the parent's text, the parent's row
    } else {
      const char32_t c = text.back();
      row[0] = parent_row[0] + 1;
      for (std::size_t j = 1; j <= n; ++j) {
        row[j] = std::min({row[j - 1] + 1, parent_row[j] + 1,
                           parent_row[j - 1] + (query[j - 1] == c ? 0u : 1u)});
      }
    }
    if (!text.empty() && trie.payloads.checked_present(u) && row[n] <= max_dist) {
      out.push_back({utf8(text), u, row[n]});
    }
    if (*std::min_element(row.begin(), row.end()) > max_dist) return;
    const ChildRange range = trie.child_range(u);
    std::vector<std::pair<Label, NodeId>> kids;
    for (std::size_t k = range.begin; k < range.end; ++k) {
      const NodeId t = checked(trie.child_transitions, k);
      kids.emplace_back(checked(trie.child_labels, t), t);
    }
    std::sort(kids.begin(), kids.end());
    for (const auto& [label, t] : kids) {
      std::u32string child_text = text;
      if (label != kEmptyLabel) child_text.push_back(label);
      visit(t, depth + 1, child_text, row, label != kEmptyLabel);
    }
  }
};

std::vector<MatchResult> reference(const Trie& trie, std::string_view term, std::uint32_t max_dist,
                                   std::optional<std::uint32_t> limit) {
  Reference ref{trie, detail::code_points(term), max_dist, {}};
  if (trie.node_count() == 0) return {};
  ref.visit(0, 0, U"", {}, false);
  if (limit && ref.out.size() > *limit) ref.out.resize(*limit);
  return ref.out;
}

std::uint32_t levenshtein(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b) {
  std::vector<std::uint32_t> prev(b.size() + 1), cur(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) prev[j] = static_cast<std::uint32_t>(j);
  for (std::size_t i = 1; i <= a.size(); ++i) {
    cur[0] = static_cast<std::uint32_t>(i);
    for (std::size_t j = 1; j <= b.size(); ++j) {
      cur[j] = std::min({cur[j - 1] + 1, prev[j] + 1, prev[j - 1] + (a[i - 1] == b[j - 1] ? 0u : 1u)});
    }
    std::swap(prev, cur);
  }
  return prev[b.size()];
}

// On a well-formed acyclic index, pruning loses nothing: the matches are
// exactly the reachable nodes (in walk order) with a payload, a non-empty
// text and a whole-text distance within reach.
void brute_force(const Trie& trie, NodeId u, std::vector<std::uint32_t>& text,
                 const std::vector<std::uint32_t>& query, std::uint32_t max_dist, Pairs& out) {
  if (!text.empty() && trie.payloads.present(u)) {
    const std::uint32_t d = levenshtein(text, query);
    if (d <= max_dist) {
      std::string s;
      for (std::uint32_t c : text) detail::append_utf8(s, c);
      out.emplace_back(s, d);
    }
  }
  const ChildRange range = trie.child_range(u);
  std::vector<std::pair<Label, NodeId>> kids;
  for (std::size_t k = range.begin; k < range.end; ++k) {
    kids.emplace_back(trie.child_labels[trie.child_transitions[k]], trie.child_transitions[k]);
  }
  std::sort(kids.begin(), kids.end());
  for (const auto& [label, t] : kids) {
    if (label != kEmptyLabel) text.push_back(label);
    brute_force(trie, t, text, query, max_dist, out);
    if (label != kEmptyLabel) text.pop_back();
  }
}

// The ranking written the straightforward way over the reference matches.
std::vector<RankedVideo> reference_rank(const Trie& trie, std::string_view term, std::uint32_t max_dist,
                                        std::optional<std::uint32_t> limit) {
  const std::vector<MatchResult> matches = reference(trie, term, max_dist, limit);
  const double n = static_cast<double>(detail::code_points(term).size());
  double total = 0.0;
  std::vector<std::pair<std::uint32_t, double>> values;  // first-appearance order
  for (const MatchResult& m : matches) {
    const double weight = m.text == term ? 1.0 : n == 0 ? 0.0 : (1.0 - m.distance / n) * 0.05;
    if (!(weight > 0.0) || !trie.payloads.checked_present(m.node)) continue;
    DecodedPayload decoded;
    PayloadStore::decode(trie.payloads.record(m.node), decoded);
    const PayloadView p = decoded.view();
    total += weight * p.total_count;
    for (std::size_t k = 0; k < p.video_ids.size(); ++k) {
      const double add = weight * checked(std::vector<std::uint32_t>(p.video_counts.begin(), p.video_counts.end()), k);
      auto it = std::find_if(values.begin(), values.end(), [&](auto& v) { return v.first == p.video_ids[k]; });
      if (it == values.end()) {
        values.emplace_back(p.video_ids[k], add);
      } else {
        it->second += add;
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

bool same_ranking(const std::vector<RankedVideo>& a, const std::vector<RankedVideo>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].video != b[i].video || std::memcmp(&a[i].score, &b[i].score, sizeof(double)) != 0) return false;
  }
  return true;
}

// ------------------------------------------------------------ fixed cases

void check_worked_examples() {
  const TestTrie t = trie_of({U"car", U"cart", U"cat", U"dog"});
  CHECK((pairs(match_all(t, "cat", 1).matches) == Pairs{{"ca", 1}, {"car", 1}, {"cart", 1}, {"cat", 0}}));
  CHECK((pairs(match_all(t, "cat", 1, 2).matches) == Pairs{{"ca", 1}, {"car", 1}}));
  CHECK((pairs(match_all(t, "dgo", 1).matches) == Pairs{{"do", 1}}));
  CHECK((pairs(match_all(t, "", 1).matches) == Pairs{{"c", 1}, {"d", 1}}));
  CHECK((pairs(match_all(t, "", 0).matches).empty()));
  CHECK((pairs(match_all(t, "cat", 0).matches) == Pairs{{"cat", 0}}));
  CHECK((pairs(match_all(t, "cat", 1, 0).matches).empty()));
  CHECK(match_all(t, "cat", kMaxDist).matches.size() == 8);
  CHECK((pairs(match_all(t, "Cat", 0).matches).empty()));

  // Queries at and just past one machine word (64 code points), against
  // words differing in their first or last letter.
  for (std::size_t len : {63, 64, 65}) {
    std::u32string word(len, U'a');
    word[len / 2] = 0x4E2D;
    std::u32string first = word, last = word;
    first.front() = U'b';
    last.back() = U'\u00e9';
    const TestTrie w = trie_of({word, first, last});
    const std::string term = utf8(word);
    CHECK(match_all(w, term, 0).matches.size() == 1);
    CHECK(match_all(w, term, 1).matches.size() == 4);  // the word less its last letter, and 3 words
    CHECK(match_all(w, term, kMaxDist).matches.size() == 2 * len + 1);
    CHECK(match_all(w, utf8(last), 0).matches.back().distance == 0);
  }

  const TestTrie cafe = trie_of({U"cafe", U"caf\u00e9"});
  CHECK((pairs(match_all(cafe, "caf\xc3\xa9", 0).matches) == Pairs{{"caf\xc3\xa9", 0}}));
  CHECK((pairs(match_all(cafe, "cafe", 1).matches) ==
         Pairs{{"caf", 1}, {"cafe", 0}, {"caf\xc3\xa9", 1}}));
}

void check_ranking_example() {
  // cat (10, [0], [10]) and cut (20, [1], [20]); other nodes without payload.
  std::vector<NodeSpec> nodes(6);
  nodes[0] = {kEmptyLabel, {1}, false};
  nodes[1] = {'c', {4, 2}, false};
  nodes[2] = {'a', {3}, false};
  nodes[3] = {'t', {}, true, 10, {0}, {10}};
  nodes[4] = {'u', {5}, false};
  nodes[5] = {'t', {}, true, 20, {1}, {20}};
  TestTrie arrays = build(nodes);
  for (std::uint8_t b = 0; b < 2; ++b) {
    VideoId id{};
    for (std::uint8_t k = 0; k < 16; ++k) id[k] = static_cast<std::uint8_t>(16 * b + k);
    arrays.video_index.push_back(id);
  }
  Trie t = propagate(std::move(arrays), 10);

  const std::vector<RankedVideo> r = rank_videos(t, "cat", 1, std::nullopt);
  CHECK(r.size() == 2);
  if (r.size() == 2) {
    CHECK(r[0].video == 0 && r[0].score == 0.9393939393939394);
    CHECK(r[1].video == 1 && r[1].score == 0.060606060606060615);
  }
  CHECK(same_ranking(r, reference_rank(t, "cat", 1, std::nullopt)));
  CHECK(rank_videos(t, "", 1, std::nullopt).empty());
  CHECK(rank_videos(t, "cat", 1, 0).empty());
  // Exact match only: the node's own shares.
  const std::vector<RankedVideo> exact = rank_videos(t, "cu", 0, std::nullopt);
  CHECK(exact.size() == 1 && exact[0].video == 1 && exact[0].score == 1.0);
  // A video outside the table is left out; the others keep their scores.
  t.video_index = t.video_index.first(1);
  const std::vector<RankedVideo> cut = rank_videos(t, "cat", 1, std::nullopt);
  CHECK(cut.size() == 1 && cut[0].video == 0 && cut[0].score == 0.9393939393939394);

  char text[kVideoIdTextLength + 1] = {};
  format_video_id(t.video_index[0], text);
  CHECK(std::string(text) == "00010203-0405-0607-0809-0a0b0c0d0e0f");
  VideoId high;
  high.fill(0xAB);
  format_video_id(high, text);
  CHECK(std::string(text) == "abababab-abab-abab-abab-abababababab");
}

void check_ranking_edges() {
  // Payload totals of 0: videos counted, but nothing to divide by.
  std::vector<NodeSpec> nodes{{kEmptyLabel, {1}}, {'a', {2}, true, 0, {0}, {5}}, {'b', {}, true, 0, {0}, {5}}};
  TestTrie t = build(nodes);
  t.video_index.resize(1);
  CHECK(rank_videos(t, "ab", 1, std::nullopt).empty());

  // Counts shorter than ids fault at the first entry without a count.
  TestTrie bad;
  bad.node_shifts = {0, 1};
  bad.child_labels = {kEmptyLabel, 'a'};
  bad.child_transitions = {1};
  bad.payloads.push_absent();
  const std::uint32_t ids[] = {0, 1, 2}, counts[] = {4};
  bad.payloads.push(5, ids, {counts, 1});
  bad.video_index.resize(3);
  CHECK(fault_of([&] { rank_videos(bad, "a", 0, std::nullopt); }) ==
        "index out of bounds: the len is 1 but the index is 1");
  // Extra counts are ignored.
  TestTrie extra = bad;
  extra.payloads = PayloadTable();
  extra.payloads.push_absent();
  const std::uint32_t more[] = {4, 1, 7};
  extra.payloads.push(4, {ids, 1}, more);
  const std::vector<RankedVideo> r = rank_videos(extra, "a", 0, std::nullopt);
  CHECK(r.size() == 1 && r[0].video == 0 && r[0].score == 1.0);
}

void check_mended_behaviour() {
  // No nodes: no matches and no ranking.
  const Trie empty;
  for (Matcher m : kMatchers) CHECK(m(empty, "cat", 1, std::nullopt).empty());
  CHECK(rank_videos(empty, "cat", 1, std::nullopt).empty());

  // root -> c -> (empty) -> a ; root -> (empty) -> b
  std::vector<NodeSpec> nodes{{'z', {4, 1}}, {'c', {2}}, {kEmptyLabel, {3}}, {'a', {}},
                              {kEmptyLabel, {5}}, {'b', {}}};
  const TestTrie t = build(nodes);
  // The empty-label node repeats its parent's text and distance.
  CHECK((pairs(match_all(t, "c", 0).matches) == Pairs{{"c", 0}, {"c", 0}}));
  CHECK((pairs(match_all(t, "ca", 1).matches) == Pairs{{"c", 1}, {"c", 1}, {"ca", 0}}));
  // Under the root's empty-label child: the root's row, so 'b' at depth 2
  // is a one-character text; the empty-text node itself is never reported.
  const Outcome b = match_all(t, "b", 0);
  CHECK(b.matches.size() == 1 && b.matches[0].text == "b" && b.matches[0].node == 5);

  // Cycles end in a fault, whatever max_dist.
  const std::string two = "child lists contain a cycle: the walk went deeper than 1 levels below the root";
  const TestTrie pair_cycle = build({{kEmptyLabel, {1}}, {'a', {0}}});
  CHECK(match_all(pair_cycle, "a", kMaxDist).fault == two);
  CHECK(fault_of([&] { rank_videos(pair_cycle, "a", kMaxDist, std::nullopt); }) == two);
  const TestTrie empty_cycle = build({{kEmptyLabel, {1}}, {kEmptyLabel, {0}}});
  CHECK(match_all(empty_cycle, "", 0).fault == two);
  const TestTrie self = build({{kEmptyLabel, {0}}});
  CHECK(match_all(self, "x", 0).fault ==
        "child lists contain a cycle: the walk went deeper than 0 levels below the root");
  // A cycle that pruning cuts before the walk gets that deep is never seen.
  const TestTrie cut = build({{kEmptyLabel, {1}}, {'a', {2}}, {'b', {1}}, {'c', {}}, {'d', {}}});
  CHECK((pairs(match_all(cut, "x", 0).matches).empty() && match_all(cut, "x", 0).fault.empty()));

  // A long chain of empty labels costs no rows: a query longer than one
  // word (plain rows) still finds the single letter at its end.
  std::vector<NodeSpec> chain(50001);
  for (std::size_t i = 0; i < 50000; ++i) chain[i] = {kEmptyLabel, {static_cast<NodeId>(i + 1)}};
  chain[50000] = {'a', {}};
  const std::string long_term(70, 'a');
  const Outcome far = match_all(build(chain), long_term, 69);
  CHECK(far.matches.size() == 1 && far.matches[0].node == 50000 && far.matches[0].distance == 69);

  // Shared children (no cycle) are walked once per occurrence.
  const TestTrie shared = build({{kEmptyLabel, {1, 2}}, {'a', {3}}, {'b', {3}}, {'c', {}}});
  CHECK((pairs(match_all(shared, "xc", 1).matches) == Pairs{{"ac", 1}, {"bc", 1}}));
}

void check_fault_texts() {
  auto oob = [](std::size_t len, std::size_t index) {
    return "index out of bounds: the len is " + std::to_string(len) + " but the index is " +
           std::to_string(index);
  };
  // node_shifts shorter than the node count: the root's expansion faults.
  TestTrie no_shifts = build({{kEmptyLabel, {}}});
  no_shifts.node_shifts.clear();
  CHECK(match_all(no_shifts, "a", 1).fault == oob(0, 0));
  // A child range past the end of child_transitions.
  TestTrie long_range = build({{kEmptyLabel, {1}}, {'a', {}}});
  long_range.node_shifts[1] = 3;
  CHECK(match_all(long_range, "a", 1).fault == oob(1, 1));
  // A child id past the labels.
  TestTrie bad_child = build({{kEmptyLabel, {1, 7}}, {'a', {}}});
  CHECK(match_all(bad_child, "a", 1).fault == oob(2, 7));
  // Payload slots missing: looked up for every visited node with text,
  // whatever its distance.
  TestTrie short_payloads = build({{kEmptyLabel, {1, 2}}, {'a', {}}, {'q', {}}});
  short_payloads.payloads = PayloadTable();
  short_payloads.payloads.push_absent();
  short_payloads.payloads.push_absent();
  CHECK(match_all(short_payloads, "a", 1).fault == oob(2, 2));
  // A node without a payload is not reported but its subtree is walked.
  const TestTrie absent = build({{kEmptyLabel, {1}}, {'a', {2}, false}, {'b', {}}});
  CHECK((pairs(match_all(absent, "ab", 1).matches) == Pairs{{"ab", 0}}));
}

// ------------------------------------------------------------ random

const Label kAlphabet[] = {'a', 'b', 'c', 0xE9, 0x4E2D, 0x1F600};

std::string random_term(std::mt19937& rng, std::size_t len) {
  std::u32string s;
  for (std::size_t i = 0; i < len; ++i) {
    s.push_back(rng() % 40 == 0 ? U'\0' : kAlphabet[rng() % std::size(kAlphabet)]);
  }
  return utf8(s);
}

TestTrie random_trie(std::mt19937& rng, bool& well_formed) {
  const std::size_t n = 1 + rng() % 12;
  // Parents precede children in creation order; ids are then permuted.
  std::vector<NodeId> id(n);
  for (std::size_t i = 0; i < n; ++i) id[i] = static_cast<NodeId>(i);
  std::shuffle(id.begin() + 1, id.end(), rng);
  std::vector<NodeSpec> nodes(n);
  for (std::size_t i = 0; i < n; ++i) {
    NodeSpec& s = nodes[id[i]];
    s.label = rng() % 6 == 0 ? kEmptyLabel : kAlphabet[rng() % 3 == 0 ? rng() % 6 : rng() % 3];
    s.has_payload = rng() % 5 != 0;
    s.total = rng() % 4 == 0 ? 0 : rng() % 50;
    for (std::size_t v = rng() % 4; v > 0; --v) {
      s.ids.push_back(rng() % 6);
      s.counts.push_back(rng() % 20);
    }
    if (i > 0) {
      const std::size_t parent = rng() % i;
      auto& kids = nodes[id[parent]].children;
      kids.insert(kids.begin() + static_cast<std::ptrdiff_t>(rng() % (kids.size() + 1)), id[i]);
      if (rng() % 6 == 0 && parent + 1 < i) nodes[id[parent + 1 + rng() % (i - parent - 1)]].children.push_back(id[i]);
    }
  }
  TestTrie t = build(nodes);
  t.video_index.resize(4);
  well_formed = true;
  switch (rng() % 12) {
    case 0:  // a cycle back to an earlier node
      t.child_transitions.push_back(id[rng() % n]);
      well_formed = false;
      break;
    case 1:  // a child id past the nodes
      if (!t.child_transitions.empty()) t.child_transitions[rng() % t.child_transitions.size()] = static_cast<NodeId>(n + rng() % 3);
      well_formed = false;
      break;
    case 2:  // too few payload slots or shifts
    case 3: {
      TestTrie cut = t;
      const std::size_t keep = rng() % n;
      if (rng() % 2) {
        cut.node_shifts.resize(keep);
      } else {
        cut.payloads = PayloadTable();
        for (std::size_t i = 0; i < keep; ++i) {
          if (t.payloads.view().present(i)) {
            cut.payloads.push_ref(cut.payloads.append_record_bytes(t.payloads.view().record(i)));
          } else {
            cut.payloads.push_absent();
          }
        }
      }
      t = std::move(cut);
      well_formed = false;
      break;
    }
    case 5: {  // a payload with fewer counts than ids
      const std::size_t node = rng() % n;
      if (!nodes[node].ids.empty()) {
        nodes[node].has_payload = true;
        nodes[node].counts.pop_back();
        t = build(nodes);
        t.video_index.resize(4);
      }
      break;
    }
    case 4:  // a range past the end of child_transitions
      if (n > 1) t.node_shifts[rng() % (n - 1) + 1] = static_cast<std::uint32_t>(t.child_transitions.size() + 2);
      well_formed = false;
      break;
    default:
      break;
  }
  return t;
}

// The same tree numbered in pre-order, children in list order, which the
// packed form holds; none when `t` is not one tree of all its nodes.
std::optional<TestTrie> preorder(const TestTrie& t) {
  const Trie v = t;
  const std::size_t n = v.node_count();
  if (n == 0 || !is_tree(v) || v.node_shifts.size() != n || v.payloads.size() != n) return std::nullopt;
  std::vector<NodeId> order, stack{0};
  while (!stack.empty()) {
    const NodeId u = stack.back();
    stack.pop_back();
    order.push_back(u);
    const ChildRange r = v.child_range(u);
    for (std::size_t k = r.end; k-- > r.begin;) stack.push_back(v.child_transitions[k]);
  }
  if (order.size() != n) return std::nullopt;
  std::vector<NodeId> id(n);
  for (std::size_t i = 0; i < n; ++i) id[order[i]] = static_cast<NodeId>(i);
  TestTrie out;
  for (const NodeId u : order) {
    out.node_shifts.push_back(static_cast<std::uint32_t>(out.child_transitions.size()));
    out.child_labels.push_back(v.child_labels[u]);
    const ChildRange r = v.child_range(u);
    for (std::size_t k = r.begin; k < r.end; ++k) out.child_transitions.push_back(id[v.child_transitions[k]]);
    if (v.payloads.present(u)) {
      out.payloads.push_ref(out.payloads.append_record_bytes(v.payloads.record(u)));
    } else {
      out.payloads.push_absent();
    }
  }
  out.video_index = t.video_index;
  return out;
}

bool same_nodes(const NodeArrays& a, const NodeArrays& b) {
  return a.node_shifts == b.node_shifts && a.child_labels == b.child_labels &&
         a.child_transitions == b.child_transitions;
}

void check_random(unsigned rounds) {
  std::mt19937 rng(12345);
  const std::uint32_t distances[] = {0, 1, 2, 3, 4, 63, 64, 65, kMaxDist};
  for (unsigned round = 0; round < rounds; ++round) {
    bool well_formed = false;
    const TestTrie t = random_trie(rng, well_formed);
    // Packing takes only what it gives back unchanged, and what it takes
    // answers as the general arrays do.
    TrieArrays tried = t;
    if (pack_nodes(tried)) CHECK(same_nodes(general_nodes(view_of(tried)), t));
    const std::optional<TestTrie> pre = preorder(t);
    TrieArrays packed;
    if (pre) {
      packed = *pre;
      CHECK(pack_nodes(packed));
      CHECK(same_nodes(general_nodes(view_of(packed)), *pre));
      CHECK(codec::encode_to_vec(view_of(packed)) == codec::encode_to_vec(*pre));
    }
    for (int q = 0; q < 12; ++q) {
      const std::size_t len = q == 11 ? 60 + rng() % 20 : rng() % 7;
      const std::string term = random_term(rng, len);
      const std::uint32_t max_dist = rng() % 4 == 0 ? distances[rng() % std::size(distances)] : rng() % 5;
      const std::optional<std::uint32_t> limit =
          rng() % 3 == 0 ? std::optional<std::uint32_t>(rng() % 6) : std::nullopt;
      if (pre) {
        const Outcome general = capture([&] { return reference(*pre, term, max_dist, limit); });
        for (Matcher m : kMatchers) CHECK(same(capture([&] { return m(view_of(packed), term, max_dist, limit); }), general));
        const auto ranked = [&](const Trie& trie) {
          try {
            return std::pair{rank_videos(trie, term, max_dist, limit), std::string()};
          } catch (const InternalFault& f) {
            return std::pair{std::vector<RankedVideo>(), f.message()};
          }
        };
        const auto [want, want_fault] = ranked(*pre);
        const auto [got, got_fault] = ranked(view_of(packed));
        CHECK(want_fault == got_fault && same_ranking(want, got));
      }
      const Outcome expected = capture([&] { return reference(t, term, max_dist, limit); });
      for (Matcher m : kMatchers) {
        const Outcome got = capture([&] { return m(t, term, max_dist, limit); });
        CHECK(same(got, expected));
        if (!same(got, expected)) {
          std::fprintf(stderr, "  round %u term '%s' max_dist %u: fault '%s' vs '%s'\n", round,
                       term.c_str(), max_dist, got.fault.c_str(), expected.fault.c_str());
          return;
        }
      }
      if (well_formed && !limit) {
        Pairs all;
        std::vector<std::uint32_t> text;
        brute_force(t, 0, text, detail::code_points(term), max_dist, all);
        CHECK(pairs(expected.matches) == all);
      }
      std::string want_fault, got_fault;
      std::vector<RankedVideo> want, got;
      try {
        want = reference_rank(t, term, max_dist, limit);
      } catch (const InternalFault& f) {
        want_fault = f.message();
      }
      try {
        got = rank_videos(t, term, max_dist, limit);
      } catch (const InternalFault& f) {
        got_fault = f.message();
      }
      CHECK(want_fault == got_fault && same_ranking(want, got));
    }
  }
}

// Blocked rows against plain rows where blocks matter: texts and queries
// of hundreds of characters over a small alphabet (so matches are
// frequent), max_dist small enough for blocks to drop out below the band
// and large enough for none to.
void check_long_random(unsigned rounds) {
  std::mt19937 rng(777);
  const std::uint32_t distances[] = {0, 1, 2, 3, 5, 17, 70, 200, kMaxDist};
  const char32_t letters[] = {U'a', U'b', U'c', U'\u4e2d'};
  for (unsigned round = 0; round < rounds; ++round) {
    std::vector<std::u32string> words;
    const std::size_t alphabet = 2 + rng() % 3;
    for (std::size_t w = 1 + rng() % 4; w > 0; --w) {
      std::u32string word;
      for (std::size_t i = rng() % 300; i > 0; --i) word.push_back(letters[rng() % alphabet]);
      words.push_back(word);
    }
    const TestTrie t = trie_of(words);
    for (int q = 0; q < 4; ++q) {
      std::u32string query = words[rng() % words.size()];
      for (std::size_t e = rng() % 6; e > 0 && !query.empty(); --e) {
        query[rng() % query.size()] = letters[rng() % alphabet];
      }
      if (rng() % 3 == 0) query.resize(rng() % (query.size() + 1));
      if (rng() % 4 == 0) query += std::u32string(rng() % 100, letters[rng() % alphabet]);
      const std::string term = utf8(query);
      const std::uint32_t max_dist = distances[rng() % std::size(distances)];
      const Outcome expected = capture([&] { return detail::fuzzy_match_plain(t, term, max_dist, std::nullopt); });
      for (Matcher m : {detail::fuzzy_match_blocked, detail::fuzzy_match_words, detail::fuzzy_match_bitparallel}) {
        const Outcome got = capture([&] { return m(t, term, max_dist, std::nullopt); });
        CHECK(same(got, expected));
        if (!same(got, expected)) {
          std::fprintf(stderr, "  long round %u: %zu chars, max_dist %u: %zu vs %zu matches, fault '%s' vs '%s'\n",
                       round, query.size(), max_dist, got.matches.size(), expected.matches.size(),
                       got.fault.c_str(), expected.fault.c_str());
          if (std::getenv("MATCHER_CHECK_DUMP")) {
            std::fprintf(stderr, "query %s\n", term.c_str());
            for (const auto& w : words) std::fprintf(stderr, "word %s\n", utf8(w).c_str());
            for (const auto& m : got.matches) std::fprintf(stderr, "got %s %u\n", m.text.c_str(), m.distance);
            for (const auto& m : expected.matches) std::fprintf(stderr, "want %s %u\n", m.text.c_str(), m.distance);
          }
          return;
        }
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const unsigned rounds = argc > 1 ? static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10)) : 20000;
  check_worked_examples();
  check_ranking_example();
  check_ranking_edges();
  check_mended_behaviour();
  check_fault_texts();
  check_random(rounds);
  check_long_random(rounds / 10 + 1);
  if (failures != 0) {
    std::fprintf(stderr, "%d check(s) failed\n", failures);
    return 1;
  }
  std::printf("all checks passed\n");
  return 0;
}

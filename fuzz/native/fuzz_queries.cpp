// libFuzzer target: queries over decoded records.
//
// Input: an 8-byte header choosing the query, then a saved record.  The
// query has up to ~320 code points (so one-word, few-word and blocked rows
// all run), either spelled along a path of the record's own trie and then
// edited, or drawn from its labels; max_dist and limit come from the
// header too.  Every row implementation must give exactly the plain rows'
// matches or fault, and the ranking the reference ranking over the plain
// rows' matches (or the same fault).  The only extra outcome allowed is the
// ranking's own budget on shared child lists.  The plain rows read the
// record's general node arrays, everything else the packed form where the
// record's trie has one.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "codec/records.hpp"
#include "reference.hpp"

using namespace tessaloom;

namespace {

[[noreturn]] void finding(const char* what) {
  std::fprintf(stderr, "finding: %s\n", what);
  std::abort();
}

struct Outcome {
  std::vector<MatchResult> matches;
  std::string fault;
  bool done = false;
};

template <class F>
Outcome capture(F call) {
  Outcome out;
  try {
    out.matches = call();
    out.done = true;
  } catch (const InternalFault& f) {
    out.fault = f.message();
  }
  return out;
}

bool same(const Outcome& a, const Outcome& b) {
  if (a.done != b.done || a.fault != b.fault || a.matches.size() != b.matches.size()) return false;
  for (std::size_t i = 0; i < a.matches.size(); ++i) {
    const MatchResult &x = a.matches[i], &y = b.matches[i];
    if (x.text != y.text || x.node != y.node || x.distance != y.distance) return false;
  }
  return true;
}

constexpr std::uint32_t kDistances[] = {0, 1, 2, 3, 4, 5, 8, 17, 63, 64, 65, 100, 0xFFFFFFFFu};

// The query the header asks for.
std::string make_query(const NodeArrays& trie, const std::uint8_t* h) {
  const std::size_t length = h[2] < 128 ? h[2] % 70 : 64 + 2 * std::size_t(h[2] - 128);
  std::mt19937 rng(std::uint32_t{h[3]} | std::uint32_t{h[4]} << 8 | std::uint32_t{h[5]} << 16 |
                   std::uint32_t{h[6]} << 24);
  std::vector<std::uint32_t> labels{'x', 0xE9};
  for (std::size_t i = 0; i < trie.child_labels.size() && i < 64; ++i) {
    if (trie.child_labels[i] != kEmptyLabel) labels.push_back(trie.child_labels[i]);
  }
  std::u32string q;
  if (h[7] & 1) {
    // Along a path: a random child at each node, while ranges are sound.
    NodeId u = 0;
    for (std::size_t steps = 0; q.size() < length && steps < 4 * length + 8; ++steps) {
      if (u >= trie.node_shifts.size()) break;
      const std::size_t begin = trie.node_shifts[u];
      const std::size_t end =
          u + 1 < trie.node_shifts.size() ? trie.node_shifts[u + 1] : trie.child_transitions.size();
      if (begin >= end || end > trie.child_transitions.size()) break;
      const NodeId child = trie.child_transitions[begin + rng() % (end - begin)];
      if (child >= trie.child_labels.size()) break;
      if (trie.child_labels[child] != kEmptyLabel) q.push_back(static_cast<char32_t>(trie.child_labels[child]));
      u = child;
    }
  }
  while (q.size() < length) q.push_back(static_cast<char32_t>(labels[rng() % labels.size()]));
  for (unsigned e = (h[7] >> 1) & 7; e > 0 && !q.empty(); --e) {
    const std::size_t at = rng() % q.size();
    const char32_t c = static_cast<char32_t>(labels[rng() % labels.size()]);
    switch (rng() % 3) {
      case 0: q[at] = c; break;
      case 1: q.insert(q.begin() + static_cast<std::ptrdiff_t>(at), c); break;
      default: q.erase(q.begin() + static_cast<std::ptrdiff_t>(at)); break;
    }
  }
  std::string out;
  for (char32_t c : q) detail::append_utf8(out, c);
  if ((h[7] & 0x10) && !out.empty()) out[rng() % out.size()] = static_cast<char>(0xFF);  // invalid UTF-8
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 8) return 0;
  const std::uint8_t* h = data;
  codec::DecodeResult decoded;
  try {
    decoded = codec::decode_trie({data + 8, size - 8});
  } catch (const std::bad_alloc&) {
    return 0;
  }
  if (!std::holds_alternative<Trie>(decoded)) return 0;
  const Trie& trie = std::get<Trie>(decoded);
  const NodeArrays nodes = general_nodes(trie);
  Trie general = trie;
  general.packed = {};
  general.node_shifts = nodes.node_shifts;
  general.child_labels = nodes.child_labels;
  general.child_transitions = nodes.child_transitions;
  general.tree_flag.reset();

  const std::string term = make_query(nodes, h);
  const std::uint32_t max_dist = kDistances[h[0] % std::size(kDistances)];
  const std::optional<std::uint32_t> limit =
      h[1] < 200 ? std::nullopt : std::optional<std::uint32_t>(h[1] - 200);

  const Outcome plain = capture([&] { return detail::fuzzy_match_plain(general, term, max_dist, limit); });
  if (!same(plain, capture([&] { return detail::fuzzy_match_bitparallel(trie, term, max_dist, limit); }))) {
    finding("bit-parallel rows differ from the plain rows");
  }
  if (!same(plain, capture([&] { return detail::fuzzy_match_words(trie, term, max_dist, limit); }))) {
    finding("rows of two to four words differ from the plain rows");
  }
  if (!same(plain, capture([&] { return detail::fuzzy_match_blocked(trie, term, max_dist, limit); }))) {
    finding("blocked rows differ from the plain rows");
  }
  if (!same(plain, capture([&] { return fuzzy_match(trie, term, max_dist, limit); }))) {
    finding("fuzzy_match differs from the plain rows");
  }

  std::vector<RankedVideo> got, want;
  std::string got_fault, want_fault;
  try {
    got = rank_videos(trie, term, max_dist, limit);
  } catch (const InternalFault& f) {
    got_fault = f.message();
  }
  if (!plain.done) {
    if (got_fault != plain.fault) finding("the ranking's fault differs from the matcher's");
    return 0;
  }
  try {
    want = fuzzref::rank_reference(trie, term, plain.matches);
  } catch (const InternalFault& f) {
    want_fault = f.message();
  }
  if (got_fault.rfind("ranking exceeded ", 0) == 0) return 0;  // shared lists, heavily
  if (got_fault != want_fault) finding("ranking faults differ");
  if (got.size() != want.size()) finding("rankings differ in length");
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (got[i].video != want[i].video || std::memcmp(&got[i].score, &want[i].score, sizeof(double)) != 0) {
      finding("rankings differ");
    }
  }
  return 0;
}

#include "matcher.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <limits>
#include <utility>

#include "../codec/utf8.hpp"
#include "../fault.hpp"

namespace tessaloom {

namespace detail {

std::vector<std::uint32_t> code_points(std::string_view text) {
  std::vector<std::uint32_t> out;
  out.reserve(text.size());
  const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::size_t len = text.size();
  for (std::size_t i = 0; i < len;) {
    const std::size_t width = utf8::char_width(s[i]);
    std::uint32_t c = s[i];
    if (width == 1) {
      i += 1;
    } else if (width != 0 && width <= len - i && utf8::decode_multi(s + i, width, c)) {
      i += width;
    } else {
      c = utf8::kReplacement;
      i += 1;
    }
    out.push_back(c);
  }
  return out;
}

void append_utf8(std::string& out, Label label) {
  char buf[4];
  out.append(buf, utf8::put_text(buf, label));
}

}  // namespace detail

namespace {

// Writes the UTF-8 form of `label` (U+FFFD when it is no scalar value) at
// `out`, which has room for 4 bytes, and returns its length.
inline std::size_t put_utf8(char* out, Label label) { return utf8::put_text(out, label); }

// Rows of n + 1 entries, one per text length, computed entry by entry.
// Any query length, any distance.
class PlainRows {
 public:
  explicit PlainRows(const std::vector<std::uint32_t>& query) : query_(query), width_(query.size() + 1) {}

  // Makes room for the rows of texts of up to `length` characters.
  void ensure(std::size_t length) {
    const std::size_t need = (length + 1) * width_;
    if (rows_.size() < need) rows_.resize(std::max(need, rows_.size() * 2));
  }

  // Row 0, of the empty text: 0, 1, ..., n.
  void set_initial() {
    std::uint32_t* row = at(0);
    for (std::size_t j = 0; j < width_; ++j) row[j] = static_cast<std::uint32_t>(j);
  }

  // Row `length` from row `length - 1`, the text having gained `label`.
  void step(std::size_t length, Label label) {
    const std::uint32_t* prev = at(length - 1);
    std::uint32_t* row = at(length);
    std::uint32_t left = prev[0] + 1;
    row[0] = left;
    for (std::size_t j = 1; j < width_; ++j) {
      const std::uint32_t diagonal = prev[j - 1] + (query_[j - 1] == label ? 0u : 1u);
      const std::uint32_t value = std::min({left + 1, prev[j] + 1, diagonal});
      row[j] = value;
      left = value;
    }
  }

  std::uint32_t distance(std::size_t length) const { return at(length)[width_ - 1]; }

  // True when every entry exceeds `max_dist`.
  bool prune(std::size_t length, std::uint32_t max_dist) const {
    const std::uint32_t* row = at(length);
    for (std::size_t j = 0; j < width_; ++j) {
      if (row[j] <= max_dist) return false;
    }
    return true;
  }

 private:
  std::uint32_t* at(std::size_t length) { return rows_.data() + length * width_; }
  const std::uint32_t* at(std::size_t length) const { return rows_.data() + length * width_; }

  const std::vector<std::uint32_t>& query_;
  std::size_t width_;
  std::vector<std::uint32_t> rows_;
};

// For four difference bits (increases in the low nibble of the index,
// decreases in the high one; a bit is never set in both): the largest
// drop of the running sum below its start, and the number of increases
// and decreases.
struct Groups {
  std::array<std::uint8_t, 256> drop{}, rise{}, fall{};
  constexpr Groups() {
    for (unsigned g = 0; g < 256; ++g) {
      int sum = 0, low = 0;
      for (unsigned b = 0; b < 4; ++b) {
        sum += static_cast<int>((g >> b) & 1) - static_cast<int>((g >> (b + 4)) & 1);
        low = sum < low ? sum : low;
      }
      drop[g] = static_cast<std::uint8_t>(-low);
      rise[g] = static_cast<std::uint8_t>(std::popcount(g & 0xF));
      fall[g] = static_cast<std::uint8_t>(std::popcount(g >> 4));
    }
  }
};
constexpr Groups kGroups{};

// Rows of a query of at most 64 code points, held as bit vectors of their
// vertical differences: bit j-1 of `vp` (`vn`) is set when entry j is one
// more (less) than entry j-1; `row0` is entry 0, the text length.  One
// step costs a handful of word operations whatever the query length.
// Each row also carries two of its entries, updated from the step's
// differences: entry n (the distance) and the entry at the low end of the
// pruning band (see `prune`).
class BitRows {
 public:
  BitRows(const std::vector<std::uint32_t>& query, std::uint32_t max_dist)
      : n_(query.size()), max_dist_(max_dist) {
    mask_ = n_ >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n_) - 1;
    // With no query characters every mask is zero, so the step's `hp` is
    // all ones and `hn` zero: its bit 63 then carries the +1 of entry 0.
    top_ = n_ == 0 ? 63 : static_cast<unsigned>(n_ - 1);
    ascii_.fill(0);
    for (std::size_t j = 0; j < n_; ++j) {
      const std::uint64_t bit = std::uint64_t{1} << j;
      const std::uint32_t c = query[j];
      if (c < ascii_.size()) {
        ascii_[c] |= bit;
        continue;
      }
      auto it = std::find_if(other_.begin(), other_.end(), [c](const auto& e) { return e.first == c; });
      if (it == other_.end()) {
        other_.emplace_back(c, bit);
      } else {
        it->second |= bit;
      }
    }
    std::sort(other_.begin(), other_.end());
  }

  void ensure(std::size_t length) {
    if (states_.size() <= length) states_.resize(std::max(length + 1, states_.size() * 2));
  }

  // Row 0: 0, 1, ..., n; the band starts at entry 0.
  void set_initial() { states_[0] = {mask_, 0, 0, n_, 0}; }

  // One column step of the global edit distance: the text gains `label`,
  // and entry 0 (the text length) gains 1, which enters as a +1
  // horizontal difference at the top.
  void step(std::size_t length, Label label) {
    const State& prev = states_[length - 1];
    const std::uint64_t eq = equal_mask(label);
    const std::uint64_t vp = prev.vp, vn = prev.vn;
    const std::uint64_t xv = eq | vn;
    const std::uint64_t xh = (((eq & vp) + vp) ^ vp) | eq;
    std::uint64_t hp = vn | ~(xh | vp);
    std::uint64_t hn = vp & xh;
    // Entry n moves by its horizontal difference, bit n-1 before the shift.
    const std::uint64_t dist = prev.dist + ((hp >> top_) & 1) - ((hn >> top_) & 1);
    hp = (hp << 1) | 1;
    hn = hn << 1;
    State& next = states_[length];
    next.vp = (hn | ~(xv | hp)) & mask_;
    next.vn = (hp & xv) & mask_;
    next.row0 = prev.row0 + 1;
    next.dist = dist;
    // The band starts at entry max(0, row0 - max_dist).  While that is
    // entry 0 its value is row0; after that it moves one entry down per
    // step, from entry j of the previous row to entry j+1 of this one:
    // the horizontal difference at j, then the vertical one at j+1.
    if (next.row0 <= max_dist_) {
      next.lo_value = next.row0;
    } else {
      const std::uint64_t j = prev.row0 - max_dist_;
      if (j < 64) {
        next.lo_value = prev.lo_value + ((hp >> j) & 1) - ((hn >> j) & 1) + ((next.vp >> j) & 1) -
                        ((next.vn >> j) & 1);
      } else {
        next.lo_value = 0;  // the band is empty from here on (j > n)
      }
    }
  }

  std::uint32_t distance(std::size_t length) const {
    return static_cast<std::uint32_t>(states_[length].dist);
  }

  // True when every entry exceeds `max_dist`.  Entry j is at least
  // |row0 - j| (the length difference), so only the entries of the band
  // j in [row0 - max_dist, row0 + max_dist] can be within `max_dist`.
  bool prune(std::size_t length, std::uint32_t max_dist) const {
    const State& s = states_[length];
    if (s.row0 <= max_dist) return false;  // entry 0 is in the band
    const std::uint64_t lo = s.row0 - max_dist;
    const std::uint64_t hi = std::min<std::uint64_t>(n_, s.row0 + max_dist);
    if (lo > hi) return true;
    std::uint64_t value = s.lo_value;
    if (value <= max_dist) return false;
    if (lo == hi) return true;
    // The entries after lo, from the differences at lo..hi-1 (lo >= 1 and
    // hi <= 64, so fewer than 64 of them), four at a time: the lowest
    // running sum of each group comes from a table.
    const std::uint64_t window = (std::uint64_t{1} << (hi - lo)) - 1;
    std::uint64_t p = (s.vp >> lo) & window;
    std::uint64_t q = (s.vn >> lo) & window;
    while (q != 0) {  // without a decrease no later entry is lower
      const unsigned group = static_cast<unsigned>((p & 0xF) | ((q & 0xF) << 4));
      if (value - static_cast<std::uint64_t>(kGroups.drop[group]) <= max_dist) return false;
      value = value + static_cast<std::uint64_t>(kGroups.rise[group]) -
              static_cast<std::uint64_t>(kGroups.fall[group]);
      p >>= 4;
      q >>= 4;
    }
    return true;
  }

 private:
  struct State {
    std::uint64_t vp, vn;
    std::uint64_t row0;
    std::uint64_t dist;      // entry n
    std::uint64_t lo_value;  // entry max(0, row0 - max_dist)
  };

  std::uint64_t equal_mask(Label label) const {
    if (label < ascii_.size()) return ascii_[label];
    auto it = std::lower_bound(other_.begin(), other_.end(), label,
                               [](const auto& e, Label c) { return e.first < c; });
    return it != other_.end() && it->first == label ? it->second : 0;
  }

  std::size_t n_;
  std::uint64_t max_dist_;
  std::uint64_t mask_;
  unsigned top_;
  std::array<std::uint64_t, 128> ascii_;
  std::vector<std::pair<std::uint32_t, std::uint64_t>> other_;  // sorted by code point
  std::vector<State> states_;
};

[[noreturn]] void fail_cycle(std::size_t node_count) {
  throw InternalFault("child lists contain a cycle: the walk went deeper than " +
                      std::to_string(node_count - 1) + " levels below the root");
}

// Child lists that repeat or share nodes (a DAG, not a tree) can make the
// number of root paths, and so of visits, exponential in the node count:
// node i listing node i+1 twice, down a chain of 100 nodes, has 2^99 paths.
// A tree visits each node at most once, so a walk that needs more visits
// than this generous multiple of the arrays' size is ended instead of
// holding the caller for an astronomical time.
std::uint64_t visit_budget(const Trie& trie) {
  return 64 * (std::uint64_t{trie.node_count()} + trie.child_transitions.size()) + 1024;
}

[[noreturn]] void fail_budget(std::uint64_t budget) {
  throw InternalFault("walk exceeded " + std::to_string(budget) +
                      " node visits: the child lists share nodes so heavily that the number of "
                      "paths explodes");
}

// The depth-first walk.  The work stack holds (node, label, depth): a
// node's label is read once, when it is pushed.  The current text is one
// UTF-8 byte buffer with its byte and code point lengths kept per depth;
// rows are kept per text length, since a node's row depends only on its
// text: a node with the empty label reuses its parent's row and writes
// nothing, so chains of empty labels cost neither time nor memory.  When a
// node of depth d is taken from the stack, everything visited since its
// parent lies below the parent, so the lengths of depths 0..d-1 and the
// rows of text lengths 0..(parent's length) are still those of its
// ancestors.  A text becomes a string only when it is reported.
template <class Rows>
std::vector<MatchResult> walk(const Trie& trie, std::uint32_t max_dist,
                              std::optional<std::uint32_t> limit, Rows& rows) {
  std::vector<MatchResult> results;
  const std::size_t node_count = trie.node_count();
  if (node_count == 0) return results;
  // Results past the limit would be dropped at the end: do not keep them.
  const std::size_t keep = limit ? *limit : std::numeric_limits<std::size_t>::max();

  struct Pending {
    NodeId node;
    Label label;
    std::size_t depth;
  };
  // Children go on the stack largest (label, node) first, so that the
  // smallest ends on top.
  const auto after = [](const Pending& a, const Pending& b) {
    return a.label != b.label ? a.label > b.label : a.node > b.node;
  };
  struct Length {
    std::size_t bytes;  // of the UTF-8 text
    std::size_t chars;  // code points: the text length, and the row's index
  };
  std::vector<Pending> stack;
  std::vector<char> text(64);   // text of the node being visited, and room
  std::vector<Length> lengths;  // per depth
  stack.reserve(64);
  lengths.reserve(64);
  const std::size_t payload_slots = trie.payloads.size();

  // Visits are counted when they are scheduled (every pushed node is
  // visited: the walk always runs to the end), so the stack, too, never
  // holds more than the budget.
  const std::uint64_t budget = visit_budget(trie);
  std::uint64_t scheduled = 1;

  rows.ensure(0);
  rows.set_initial();
  stack.push_back({0, kEmptyLabel, 0});
  while (!stack.empty()) {
    const Pending visit = stack.back();
    stack.pop_back();
    const std::size_t depth = visit.depth;
    const NodeId u = visit.node;
    if (depth >= node_count) fail_cycle(node_count);
    if (lengths.size() <= depth) lengths.resize(depth + 1);

    Length length{0, 0};
    if (depth > 0) {
      length = lengths[depth - 1];
      if (visit.label != kEmptyLabel) {
        if (text.size() < length.bytes + 4) text.resize(std::max(length.bytes + 4, text.size() * 2));
        length.bytes += put_utf8(text.data() + length.bytes, visit.label);
        length.chars += 1;
        rows.ensure(length.chars);
        rows.step(length.chars, visit.label);
      }
    }
    lengths[depth] = length;

    if (length.chars != 0) {
      // The slot is checked for every such node; whether it holds a
      // payload matters only within reach.
      if (u >= payload_slots) fail_index(payload_slots, u);
      const std::uint32_t distance = rows.distance(length.chars);
      if (distance <= max_dist && trie.payloads.checked_present(u) && results.size() < keep) {
        results.push_back({std::string(text.data(), length.bytes), u, distance});
      }
    }

    if (rows.prune(length.chars, max_dist)) continue;

    const ChildRange range = trie.child_range(u);
    if (range.empty()) continue;
    const std::size_t first = stack.size();
    bool sorted = true;
    for (std::size_t k = range.begin; k < range.end; ++k) {
      const NodeId child = checked(trie.child_transitions, k);
      const Pending next{child, checked(trie.child_labels, child), depth + 1};
      // The child's range is read when it is expanded: start fetching it.
      if (child < trie.node_shifts.size()) __builtin_prefetch(trie.node_shifts.data() + child);
      if (stack.size() > first && after(stack.back(), next)) sorted = false;
      stack.push_back(next);
    }
    const std::size_t count = stack.size() - first;
    if (count > budget - scheduled) fail_budget(budget);
    scheduled += count;
    if (sorted) {
      std::reverse(stack.begin() + static_cast<std::ptrdiff_t>(first), stack.end());
    } else {
      std::sort(stack.begin() + static_cast<std::ptrdiff_t>(first), stack.end(), after);
    }
  }
  return results;
}

}  // namespace

namespace detail {

std::vector<MatchResult> fuzzy_match_plain(const Trie& trie, std::string_view term_utf8,
                                           std::uint32_t max_dist,
                                           std::optional<std::uint32_t> limit) {
  const std::vector<std::uint32_t> query = code_points(term_utf8);
  PlainRows rows(query);
  return walk(trie, max_dist, limit, rows);
}

std::vector<MatchResult> fuzzy_match_bitparallel(const Trie& trie, std::string_view term_utf8,
                                                 std::uint32_t max_dist,
                                                 std::optional<std::uint32_t> limit) {
  const std::vector<std::uint32_t> query = code_points(term_utf8);
  if (query.size() > kBitParallelMaxChars) {
    PlainRows rows(query);
    return walk(trie, max_dist, limit, rows);
  }
  BitRows rows(query, max_dist);
  return walk(trie, max_dist, limit, rows);
}

}  // namespace detail

// The bit-parallel rows serve every query that fits one word, whatever
// `max_dist`: their pruning test scans at most the n + 1 entries the plain
// rows would scan, and stops at the first entry within reach.
std::vector<MatchResult> fuzzy_match(const Trie& trie, std::string_view term_utf8,
                                     std::uint32_t max_dist, std::optional<std::uint32_t> limit) {
  return detail::fuzzy_match_bitparallel(trie, term_utf8, max_dist, limit);
}

}  // namespace tessaloom

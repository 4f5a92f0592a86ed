#include "matcher.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <limits>
#include <utility>

#include "../codec/utf8.hpp"
#include "../fault.hpp"
#include "shape.hpp"

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

// Bits set, without relying on a popcount instruction in the target.
inline std::uint64_t ones(std::uint64_t x) {
  x = x - ((x >> 1) & 0x5555555555555555ull);
  x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
  return (x * 0x0101010101010101ull) >> 56;
}

// Rows of a query of at most 64 code points, held as bit vectors of their
// vertical differences, after
//   G. Myers, "A fast bit-vector algorithm for approximate string matching
//   based on dynamic programming", J. ACM 46(3):395-415, 1999:
// bit j-1 of `Pv` (`Mv`) is set when entry j is one more (less) than entry
// j-1, and a step computes from Eq = Peq[c] (the query positions holding
// the text's new character c) the vectors Xv, Xh and the horizontal
// differences Ph, Mh, then the next Pv, Mv; the names are the paper's.
// That paper finds the query anywhere in a text, so entry 0 of every row
// stays 0; here the whole query is compared with the whole text (the
// edit-distance form,
// H. Hyyrö, "A bit-vector algorithm for computing Levenshtein and Damerau
// edit distances", Nordic Journal of Computing 10, 2003), so entry 0 is the
// text length and every step shifts a +1 into the bottom of Ph.  `row0`
// is entry 0 and `Score` entry n, the paper's score, which moves by the
// horizontal difference at the top.  One step costs a handful of word
// operations whatever the query length.  Each row also carries the entry
// at the low end of the pruning band (see `prune`).
class BitRows {
 public:
  BitRows(const std::vector<std::uint32_t>& query, std::uint32_t max_dist)
      : n_(query.size()), max_dist_(max_dist) {
    mask_ = n_ >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n_) - 1;
    // With no query characters every mask is zero, so the step's `Ph` is
    // all ones and `Mh` zero: its bit 63 then carries the +1 of entry 0.
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

  // One column step: the text gains `label`, and entry 0 (the text
  // length) gains 1, which enters as a +1 horizontal difference at the
  // bottom.
  void step(std::size_t length, Label label) {
    const State& prev = states_[length - 1];
    const std::uint64_t Eq = equal_mask(label);
    const std::uint64_t Pv = prev.Pv, Mv = prev.Mv;
    const std::uint64_t Xv = Eq | Mv;
    const std::uint64_t Xh = (((Eq & Pv) + Pv) ^ Pv) | Eq;
    std::uint64_t Ph = Mv | ~(Xh | Pv);
    std::uint64_t Mh = Pv & Xh;
    // Entry n moves by its horizontal difference, bit n-1 before the shift.
    const std::uint64_t Score = prev.Score + ((Ph >> top_) & 1) - ((Mh >> top_) & 1);
    Ph = (Ph << 1) | 1;
    Mh = Mh << 1;
    State& next = states_[length];
    next.Pv = (Mh | ~(Xv | Ph)) & mask_;
    next.Mv = (Ph & Xv) & mask_;
    next.row0 = prev.row0 + 1;
    next.Score = Score;
    // The band starts at entry max(0, row0 - max_dist).  While that is
    // entry 0 its value is row0; after that it moves one entry down per
    // step, from entry j of the previous row to entry j+1 of this one:
    // the horizontal difference at j, then the vertical one at j+1.
    if (next.row0 <= max_dist_) {
      next.lo_value = next.row0;
    } else {
      const std::uint64_t j = prev.row0 - max_dist_;
      if (j < 64) {
        next.lo_value = prev.lo_value + ((Ph >> j) & 1) - ((Mh >> j) & 1) + ((next.Pv >> j) & 1) -
                        ((next.Mv >> j) & 1);
      } else {
        next.lo_value = 0;  // the band is empty from here on (j > n)
      }
    }
  }

  std::uint32_t distance(std::size_t length) const {
    return static_cast<std::uint32_t>(states_[length].Score);
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
    std::uint64_t p = (s.Pv >> lo) & window;
    std::uint64_t q = (s.Mv >> lo) & window;
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
    std::uint64_t Pv, Mv;
    std::uint64_t row0;
    std::uint64_t Score;     // entry n
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
  // Peq: for code points below 128 by index, for the others by search.
  std::array<std::uint64_t, 128> ascii_;
  std::vector<std::pair<std::uint32_t, std::uint64_t>> other_;  // sorted by code point
  std::vector<State> states_;
};

// Rows of a query of at most 64 W code points (W a small fixed number of
// words), held like `BitRows` but in W words: the one-word recurrence on a
// vector of 64 W bits, whose addition carries and whose shifts pass the top
// bit of each word into the bottom of the next, written out word by word.
// This is the one-word algorithm of Myers (cited at `BitRows`) on a
// wider word, not the block-by-block form: every step computes all W words,
// which for a few words costs less than choosing the blocks of the band,
// and needs no per-row bookkeeping beyond the words themselves.  Bit i of
// the vector (bit i % 64 of word i / 64) is entry i+1 minus entry i.
template <std::size_t W>
class WordRows {
 public:
  using Words = std::array<std::uint64_t, W>;
  static constexpr std::size_t kBits = 64 * W;

  WordRows(const std::vector<std::uint32_t>& query, std::uint32_t max_dist)
      : n_(query.size()), max_dist_(max_dist) {
    for (std::size_t w = 0; w < W; ++w) {
      const std::size_t first = 64 * w;
      mask_[w] = n_ >= first + 64 ? ~std::uint64_t{0}
                 : n_ > first     ? (std::uint64_t{1} << (n_ - first)) - 1
                                  : 0;
    }
    zero_.fill(0);
    for (auto& m : ascii_) m.fill(0);
    for (std::size_t j = 0; j < n_; ++j) {
      const std::uint64_t bit = std::uint64_t{1} << (j % 64);
      const std::uint32_t c = query[j];
      if (c < ascii_.size()) {
        ascii_[c][j / 64] |= bit;
        continue;
      }
      auto it = std::find_if(other_.begin(), other_.end(), [c](const auto& e) { return e.first == c; });
      if (it == other_.end()) {
        other_.emplace_back(c, zero_);
        it = other_.end() - 1;
      }
      it->second[j / 64] |= bit;
    }
    std::sort(other_.begin(), other_.end());
  }

  void ensure(std::size_t length) {
    if (states_.size() <= length) states_.resize(std::max(length + 1, states_.size() * 2));
  }

  // Row 0: 0, 1, ..., n; the band starts at entry 0.
  void set_initial() {
    State& s = states_[0];
    s.Pv = mask_;
    s.Mv = zero_;
    s.row0 = 0;
    s.Score = n_;
    s.lo_value = 0;
  }

  // One column step, as `BitRows::step`, carrying between the words.
  void step(std::size_t length, Label label) {
    const State& prev = states_[length - 1];
    State& next = states_[length];
    const Words& Peq = equal_mask(label);
    // Ph and Mh shifted up by one, with the bits shifted out of the top
    // word in an extra one: bit i is the horizontal difference at entry i.
    std::array<std::uint64_t, W + 1> Ph_s, Mh_s;
    std::uint64_t carry = 0;
    std::uint64_t ph_in = 1, mh_in = 0;  // entry 0 gains 1
    for (std::size_t w = 0; w < W; ++w) {
      const std::uint64_t Eq = Peq[w], Pv = prev.Pv[w], Mv = prev.Mv[w];
      const std::uint64_t Xv = Eq | Mv;
      const std::uint64_t sum = (Eq & Pv) + Pv;
      const std::uint64_t total = sum + carry;
      carry = static_cast<std::uint64_t>(sum < Pv) | static_cast<std::uint64_t>(total < sum);
      const std::uint64_t Xh = (total ^ Pv) | Eq;
      const std::uint64_t Ph = Mv | ~(Xh | Pv);
      const std::uint64_t Mh = Pv & Xh;
      Ph_s[w] = (Ph << 1) | ph_in;
      Mh_s[w] = (Mh << 1) | mh_in;
      ph_in = Ph >> 63;
      mh_in = Mh >> 63;
      next.Pv[w] = (Mh_s[w] | ~(Xv | Ph_s[w])) & mask_[w];
      next.Mv[w] = (Ph_s[w] & Xv) & mask_[w];
    }
    Ph_s[W] = ph_in;
    Mh_s[W] = mh_in;
    next.row0 = prev.row0 + 1;
    // Score (entry n) moves by the horizontal difference at entry n.
    next.Score = prev.Score + bit(Ph_s.data(), n_) - bit(Mh_s.data(), n_);
    // The band's low end, as in `BitRows::step`.
    if (next.row0 <= max_dist_) {
      next.lo_value = next.row0;
    } else {
      const std::uint64_t j = prev.row0 - max_dist_;
      if (j < kBits) {
        next.lo_value = prev.lo_value + bit(Ph_s.data(), j) - bit(Mh_s.data(), j) +
                        bit(next.Pv.data(), j) - bit(next.Mv.data(), j);
      } else {
        next.lo_value = 0;  // the band is empty from here on (j > n)
      }
    }
  }

  std::uint32_t distance(std::size_t length) const {
    return static_cast<std::uint32_t>(states_[length].Score);
  }

  // As `BitRows::prune`, the band's differences taken a word at a time.
  bool prune(std::size_t length, std::uint32_t max_dist) const {
    const State& s = states_[length];
    if (s.row0 <= max_dist) return false;  // entry 0 is in the band
    const std::uint64_t lo = s.row0 - max_dist;
    const std::uint64_t hi = std::min<std::uint64_t>(n_, s.row0 + max_dist);
    if (lo > hi) return true;
    std::uint64_t value = s.lo_value;
    if (value <= max_dist) return false;
    for (std::uint64_t at = lo; at < hi; at += 64) {
      const std::uint64_t width = std::min<std::uint64_t>(64, hi - at);
      const std::uint64_t window = width == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << width) - 1;
      std::uint64_t p = bits(s.Pv, at) & window;
      std::uint64_t q = bits(s.Mv, at) & window;
      while (q != 0) {
        const unsigned group = static_cast<unsigned>((p & 0xF) | ((q & 0xF) << 4));
        if (value - static_cast<std::uint64_t>(kGroups.drop[group]) <= max_dist) return false;
        value = value + static_cast<std::uint64_t>(kGroups.rise[group]) -
                static_cast<std::uint64_t>(kGroups.fall[group]);
        p >>= 4;
        q >>= 4;
      }
      value += ones(p);  // the rest of the window only rises
    }
    return true;
  }

 private:
  struct State {
    Words Pv, Mv;
    std::uint64_t row0;
    std::uint64_t Score;     // entry n
    std::uint64_t lo_value;  // entry max(0, row0 - max_dist)
  };

  // Bit i of a vector of words that has room for it.
  static std::uint64_t bit(const std::uint64_t* v, std::uint64_t i) { return (v[i / 64] >> (i % 64)) & 1; }

  // The 64 bits of `v` from bit `at` (< 64 W) on, zeros past the top.
  static std::uint64_t bits(const Words& v, std::uint64_t at) {
    const std::size_t w = static_cast<std::size_t>(at / 64);
    const unsigned shift = static_cast<unsigned>(at % 64);
    std::uint64_t x = v[w] >> shift;
    if (shift != 0 && w + 1 < W) x |= v[w + 1] << (64 - shift);
    return x;
  }

  const Words& equal_mask(Label label) const {
    if (label < ascii_.size()) return ascii_[label];
    auto it = std::lower_bound(other_.begin(), other_.end(), label,
                               [](const auto& e, Label c) { return e.first < c; });
    return it != other_.end() && it->first == label ? it->second : zero_;
  }

  std::size_t n_;
  std::uint64_t max_dist_;
  Words mask_;
  Words zero_;
  std::array<Words, 128> ascii_;
  std::vector<std::pair<std::uint32_t, Words>> other_;  // sorted by code point
  std::vector<State> states_;
};

// Rows of a query of any length, held as the vertical differences of
// blocks of 64 entries, two words per block: the blocks-based algorithm of
// Myers' paper (cited at `BitRows`) for patterns longer than a word, where
// the blocks of a column are advanced one after another from the bottom,
// each taking the horizontal difference h_in at its lower edge from the
// block below and handing its own h_out to the block above, in the
// edit-distance form (Hyyrö, cited there too): the lowest block gets
// h_in = +1, entry 0 being the text length.  Like that algorithm, which
// computes only the blocks up to the last one that can still hold a score
// within the threshold, a step here computes only the blocks that can hold
// an entry within max_dist.  Variables carry the paper's names: Peq, Eq,
// Pv/Mv (vertical +1/-1 differences), Xv, Xh, Ph/Mh (horizontal +1/-1).
//
// Block b holds entries 64b+1 .. 64b+64 (bit i: entry 64b+i+1 minus entry
// 64b+i).  A row keeps only blocks [lo, hi):
//  - above hi every vertical difference is +1, continuing from `top`, the
//    entry at the end of block hi-1 (or at entry 64 lo when lo == hi);
//  - below lo nothing is kept but `base`, the entry just before block lo.
// Two cases make this exact or harmless:
//  - a block whose differences are all +1 in the previous row and that
//    gets h_in = -1 stays as it was and hands on -1 (every entry drops by
//    one), so the blocks above it need no work: each step stops there;
//  - entries outside the band [row0 - max_dist, row0 + max_dist] exceed
//    max_dist (|row0 - j| is a lower bound of entry j), so blocks entirely
//    below the band are dropped (`base` then grows by 1 per step, the
//    most it can) and blocks entirely above it are not started.  Values
//    derived from these stand-ins are upper bounds of the true ones, and
//    every entry that is truly within max_dist has an optimal path through
//    entries within max_dist, all inside the band: those come out exact.
//    So do the distance (when within max_dist) and the pruning decision.
// With a small max_dist a step touches the two or three blocks of the
// band; with a large one the blocks up to where the query has absorbed the
// whole text, since past that point every difference is +1.  Memory per
// text length is one header and the kept blocks.
class BlockRows {
 public:
  static constexpr std::size_t kWord = 64;

  BlockRows(const std::vector<std::uint32_t>& query, std::uint32_t max_dist)
      : n_(query.size()),
        blocks_((query.size() + kWord - 1) / kWord),
        max_dist_(max_dist),
        last_bit_(query.empty() ? 63 : static_cast<unsigned>((query.size() - 1) % kWord)),
        last_mask_(last_bit_ == 63 ? ~std::uint64_t{0} : (std::uint64_t{1} << (last_bit_ + 1)) - 1) {
    // Match masks: a dense row of one word per block for characters that
    // occur at least once per four blocks (at most 4 x 64 of them), a
    // sparse list of (block, mask) for the rest, so the masks take memory
    // linear in n whatever the alphabet.
    std::vector<std::uint32_t> chars(query);
    std::sort(chars.begin(), chars.end());
    std::vector<std::pair<std::uint32_t, std::size_t>> counts;
    for (std::uint32_t c : chars) {
      if (counts.empty() || counts.back().first != c) counts.emplace_back(c, 0);
      ++counts.back().second;
    }
    zero_.assign(blocks_, 0);
    scratch_.assign(blocks_, 0);
    for (const auto& [c, count] : counts) {
      Slot slot;
      slot.c = c;
      if (4 * count >= blocks_) {
        slot.dense = true;
        slot.at = dense_.size();
        dense_.resize(dense_.size() + blocks_, 0);
      } else {
        slot.at = sparse_.size();
      }
      slots_.push_back(slot);
    }
    finish_slots();
    // Fill in query order; the sparse lists come out sorted by block.
    std::vector<std::size_t> sparse_len(slots_.size(), 0);
    std::vector<std::size_t> first(slots_.size(), 0);
    {
      std::size_t at = 0;
      for (std::size_t s = 0; s < slots_.size(); ++s) {
        if (slots_[s].dense) continue;
        first[s] = at;
        at += counts[s].second;  // at most one entry per occurrence
      }
      sparse_.resize(at);
    }
    for (std::size_t j = 0; j < n_; ++j) {
      const std::size_t s = slot_of(query[j]);
      const std::size_t b = j / kWord;
      const std::uint64_t bit = std::uint64_t{1} << (j % kWord);
      Slot& slot = slots_[s];
      if (slot.dense) {
        dense_[slot.at + b] |= bit;
        continue;
      }
      std::size_t& len = sparse_len[s];
      auto* entries = sparse_.data() + first[s];
      if (len > 0 && entries[len - 1].block == b) {
        entries[len - 1].mask |= bit;
      } else {
        entries[len++] = {b, bit};
      }
    }
    for (std::size_t s = 0; s < slots_.size(); ++s) {
      if (!slots_[s].dense) slots_[s].at = first[s], slots_[s].len = sparse_len[s];
    }
  }

  void finish_slots() {
    ascii_slot_.fill(slots_.size());
    for (std::size_t s = 0; s < slots_.size() && slots_[s].c < ascii_slot_.size(); ++s) {
      ascii_slot_[slots_[s].c] = s;
    }
  }

  void ensure(std::size_t length) {
    if (rows_.size() <= length) rows_.resize(std::max(length + 1, rows_.size() * 2));
  }

  // Row 0: 0, 1, ..., n; no block differs from all +1.
  void set_initial() { rows_[0] = {0, 0, 0, 0, 0}; }

  void step(std::size_t length, Label label) {
    const Row prev = rows_[length - 1];
    const std::uint64_t row0 = length;
    // Blocks starting past the band's top end are not started.
    const std::uint64_t band_end = row0 + max_dist_;
    const std::size_t at = prev.at + kStride * (prev.hi - prev.lo);
    const std::size_t room = at + kStride * (blocks_ - prev.lo);
    if (pool_.size() < room) pool_.resize(std::max(room, pool_.size() * 2));
    const std::uint64_t* Peq = masks(label);
    const std::uint64_t* in = pool_.data() + prev.at;
    std::uint64_t* out = pool_.data() + at;

    int h = 1;  // h_in of block lo: entry 0 grows by one, or the stand-in below lo
    std::uint64_t end_prev = prev.base;  // previous row's entry at the end of block b
    std::size_t b = prev.lo;
    for (; b < blocks_; ++b) {
      const std::size_t i = kStride * (b - prev.lo);
      std::uint64_t Pv, Mv;
      if (b < prev.hi) {
        Pv = in[i];
        Mv = in[i + 1];
        end_prev = in[i + 2];
      } else {
        if (h < 0 || kWord * b + 1 > band_end) break;
        Pv = ~std::uint64_t{0};
        Mv = 0;
        end_prev += block_size(b);
      }
      // One block's step, given the horizontal difference h_in = h at its
      // lower edge; h_out is the one at its upper edge.
      const std::uint64_t h_neg = h < 0, h_pos = h > 0;
      const std::uint64_t Eq = Peq[b] | h_neg;
      const std::uint64_t Xv = Peq[b] | Mv;
      const std::uint64_t Xh = (((Eq & Pv) + Pv) ^ Pv) | Eq;
      std::uint64_t Ph = Mv | ~(Xh | Pv);
      std::uint64_t Mh = Pv & Xh;
      const unsigned top_bit = b + 1 == blocks_ ? last_bit_ : 63;
      const int h_out = static_cast<int>((Ph >> top_bit) & 1) - static_cast<int>((Mh >> top_bit) & 1);
      Ph = (Ph << 1) | h_pos;
      Mh = (Mh << 1) | h_neg;
      out[i] = Mh | ~(Xv | Ph);
      out[i + 1] = Ph & Xv;
      out[i + 2] = end_prev + static_cast<std::uint64_t>(static_cast<std::int64_t>(h_out));
      h = h_out;
    }
    Row row{at, prev.lo, b, prev.base + 1, 0};

    // Drop the blocks that lie entirely below the band from here on.
    const std::uint64_t band_start = row0 > max_dist_ ? row0 - max_dist_ : 0;
    // (A last block shorter than a word is kept a little longer: harmless.)
    while (row.lo < row.hi && kWord * (row.lo + 1) < band_start) {
      row.base = pool_[row.at + 2];
      ++row.lo;
      row.at += kStride;
    }
    // Blocks at the top that came out all +1 need no room.
    while (row.hi > row.lo) {
      const std::uint64_t* block = pool_.data() + row.at + kStride * (row.hi - 1 - row.lo);
      const std::uint64_t mask = block_mask(row.hi - 1);
      if ((block[0] & mask) != mask || (block[1] & mask) != 0) break;
      --row.hi;
    }
    row.top = row.hi > row.lo ? pool_[row.at + kStride * (row.hi - 1 - row.lo) + 2] : row.base;
    rows_[length] = row;
  }

  std::uint32_t distance(std::size_t length) const {
    const Row& r = rows_[length];
    const std::uint64_t end = std::min<std::uint64_t>(kWord * r.hi, n_);
    const std::uint64_t start = r.hi == r.lo ? std::min<std::uint64_t>(kWord * r.lo, n_) : end;
    const std::uint64_t d = r.top + (n_ - start);
    return d > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(d);
  }

  // True when every entry exceeds `max_dist`.  Only the kept blocks that
  // intersect the band can hold an entry within reach (the others hold
  // upper bounds of entries beyond it); the entries above hi rise from
  // `top`, and `base` stands below everything kept.
  bool prune(std::size_t length, std::uint32_t max_dist) const {
    const Row& r = rows_[length];
    if (r.base <= max_dist) return false;
    const std::uint64_t row0 = length;
    const std::uint64_t band_start = row0 > max_dist ? row0 - max_dist : 0;
    const std::uint64_t band_end = row0 + max_dist;
    std::uint64_t value = r.base;
    const std::uint64_t* block = pool_.data() + r.at;
    for (std::size_t b = r.lo; b < r.hi; ++b, block += kStride) {
      std::uint64_t v = value;  // the entry before the block
      value = block[2];         // the entry at its end
      const std::uint64_t first = kWord * b + 1, size = block_size(b);
      if (first + size - 1 < band_start) continue;
      if (first > band_end) break;
      if (value <= max_dist) return false;
      // Only the block's entries inside the band, bits lo_bit .. hi_bit-1.
      const std::uint64_t lo_bit = band_start > first ? band_start - first : 0;
      const std::uint64_t hi_bit = std::min<std::uint64_t>(size, band_end - first + 1);
      if (lo_bit >= hi_bit) continue;
      std::uint64_t p = block[0], q = block[1];
      if (lo_bit > 0) {
        const std::uint64_t below = (std::uint64_t{1} << lo_bit) - 1;
        v = v + ones(p & below) - ones(q & below);
        p >>= lo_bit;
        q >>= lo_bit;
      }
      const std::uint64_t width = hi_bit - lo_bit;
      const std::uint64_t window = width == kWord ? ~std::uint64_t{0} : (std::uint64_t{1} << width) - 1;
      p &= window;
      q &= window;
      while (q != 0) {  // without a decrease no later entry is lower
        const unsigned group = static_cast<unsigned>((p & 0xF) | ((q & 0xF) << 4));
        if (v - static_cast<std::uint64_t>(kGroups.drop[group]) <= max_dist) return false;
        v = v + static_cast<std::uint64_t>(kGroups.rise[group]) -
            static_cast<std::uint64_t>(kGroups.fall[group]);
        p >>= 4;
        q >>= 4;
      }
    }
    return true;
  }

 private:
  // Per kept block: Pv, Mv, and the entry at the block's end.
  static constexpr std::size_t kStride = 3;
  struct Row {
    std::size_t at;       // position of block lo in pool_
    std::size_t lo, hi;   // kept blocks
    std::uint64_t base;   // entry 64 lo
    std::uint64_t top;    // entry min(64 hi, n), or `base` when lo == hi
  };
  struct Slot {
    std::uint32_t c = 0;
    bool dense = false;
    std::size_t at = 0, len = 0;
  };
  struct Sparse {
    std::size_t block;
    std::uint64_t mask;
  };

  std::size_t block_size(std::size_t b) const { return b + 1 == blocks_ ? last_bit_ + 1 : kWord; }
  std::uint64_t block_mask(std::size_t b) const { return b + 1 == blocks_ ? last_mask_ : ~std::uint64_t{0}; }

  std::size_t slot_of(std::uint32_t c) const {
    if (c < ascii_slot_.size()) return ascii_slot_[c];
    auto it = std::lower_bound(slots_.begin(), slots_.end(), c,
                               [](const Slot& s, std::uint32_t v) { return s.c < v; });
    return it != slots_.end() && it->c == c ? static_cast<std::size_t>(it - slots_.begin()) : slots_.size();
  }

  // Peq of `label` for every block, valid until the next call.
  const std::uint64_t* masks(Label label) {
    for (std::size_t i = 0; i < scratch_used_; ++i) scratch_[scratch_blocks_[i]] = 0;
    scratch_used_ = 0;
    const std::size_t s = slot_of(label);
    if (s == slots_.size()) return zero_.data();
    const Slot& slot = slots_[s];
    if (slot.dense) return dense_.data() + slot.at;
    if (scratch_blocks_.size() < slot.len) scratch_blocks_.resize(slot.len);
    for (std::size_t i = 0; i < slot.len; ++i) {
      const Sparse& e = sparse_[slot.at + i];
      scratch_[e.block] = e.mask;
      scratch_blocks_[i] = e.block;
    }
    scratch_used_ = slot.len;
    return scratch_.data();
  }

  std::size_t n_;
  std::size_t blocks_;
  std::uint64_t max_dist_;
  unsigned last_bit_;        // the top entry's bit in the last block
  std::uint64_t last_mask_;  // the last block's entries
  std::vector<Slot> slots_;  // sorted by code point
  std::array<std::size_t, 128> ascii_slot_;
  std::vector<std::uint64_t> dense_;
  std::vector<Sparse> sparse_;
  std::vector<std::uint64_t> zero_, scratch_;
  std::vector<std::size_t> scratch_blocks_;
  std::size_t scratch_used_ = 0;
  std::vector<Row> rows_;
  std::vector<std::uint64_t> pool_;
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
  return 64 * (std::uint64_t{trie.node_count()} + trie.transition_count()) + 1024;
}

// Pending visits on the work stack.  A tree never holds more than one per
// child list entry; shared lists whose ranges overlap could pile up far
// more within the visit budget.
std::uint64_t pending_budget(const Trie& trie) {
  return 4 * (std::uint64_t{trie.node_count()} + trie.transition_count()) + 1024;
}

constexpr const char* kSharedNodes =
    ": the child lists share nodes so heavily that the number of paths explodes";

[[noreturn]] void fail_budget(std::uint64_t budget) {
  throw InternalFault("walk exceeded " + std::to_string(budget) + " node visits" + kSharedNodes);
}

[[noreturn]] void fail_pending(std::uint64_t budget) {
  throw InternalFault("walk exceeded " + std::to_string(budget) + " pending visits" + kSharedNodes);
}

// Result texts.  The first report of each node is what a tree of the same
// shape returns; on shared lists every further report of a node is
// charged its text's bytes plus a record's worth (16), against this
// budget, so the memory of a query's results stays within a multiple of
// the index's size beyond what a tree would give.  The constant lets small
// indexes that share nodes moderately answer in full.
std::uint64_t result_budget(const Trie& trie) {
  return 64 * (std::uint64_t{trie.node_count()} + trie.transition_count()) + 65536;
}

[[noreturn]] void fail_results(std::uint64_t budget) {
  throw InternalFault("walk exceeded " + std::to_string(budget) + " bytes of repeated result texts" +
                      kSharedNodes);
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
  const std::uint64_t pending = pending_budget(trie);
  std::uint64_t scheduled = 1;
  // On shared lists: which nodes were reported already, and what the
  // repeated reports cost.  A tree reports each node once and skips this.
  const bool tree = is_tree(trie);
  const bool packed = trie.is_packed();
  std::vector<std::uint64_t> reported;
  if (!tree) reported.assign((node_count + 63) / 64, 0);
  const std::uint64_t repeat_budget = result_budget(trie);
  std::uint64_t repeat_spent = 0;

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
        if (!tree) {
          std::uint64_t& word = reported[u / 64];
          const std::uint64_t bit = std::uint64_t{1} << (u % 64);
          if (word & bit) {
            repeat_spent += length.bytes + 16;
            if (repeat_spent > repeat_budget) fail_results(repeat_budget);
          }
          word |= bit;
        }
        results.push_back({std::string(text.data(), length.bytes), u, distance});
      }
    }

    if (rows.prune(length.chars, max_dist)) continue;

    const std::size_t first = stack.size();
    bool sorted = true;
    const auto schedule = [&](const Pending& next) {
      if (stack.size() > first && after(stack.back(), next)) sorted = false;
      stack.push_back(next);
    };
    if (packed) {
      trie.packed.for_each_child(u, [&](NodeId child, std::uint32_t word) {
        schedule({child, trie.packed.label_of(word), depth + 1});
      });
      if (stack.size() == first) continue;
    } else {
      const ChildRange range = trie.child_range(u);
      if (range.empty()) continue;
      for (std::size_t k = range.begin; k < range.end; ++k) {
        const NodeId child = checked(trie.child_transitions, k);
        schedule({child, checked(trie.child_labels, child), depth + 1});
        // The child's range is read when it is expanded: start fetching it.
        if (child < trie.node_shifts.size()) __builtin_prefetch(trie.node_shifts.data() + child);
      }
    }
    const std::size_t count = stack.size() - first;
    if (count > budget - scheduled) fail_budget(budget);
    if (stack.size() > pending) fail_pending(pending);
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

namespace {

template <class Rows>
std::vector<MatchResult> walk_with(const Trie& trie, const std::vector<std::uint32_t>& query,
                                   std::uint32_t max_dist, std::optional<std::uint32_t> limit) {
  Rows rows(query, max_dist);
  return walk(trie, max_dist, limit, rows);
}

// The fewest words (from two) that hold the query, or the blocked rows.
std::vector<MatchResult> walk_words(const Trie& trie, const std::vector<std::uint32_t>& query,
                                    std::uint32_t max_dist, std::optional<std::uint32_t> limit) {
  const std::size_t n = query.size();
  if (n <= 128) return walk_with<WordRows<2>>(trie, query, max_dist, limit);
  if (n <= 192) return walk_with<WordRows<3>>(trie, query, max_dist, limit);
  if (n <= kWordRowsMaxChars) return walk_with<WordRows<4>>(trie, query, max_dist, limit);
  return walk_with<BlockRows>(trie, query, max_dist, limit);
}

}  // namespace

std::vector<MatchResult> fuzzy_match_bitparallel(const Trie& trie, std::string_view term_utf8,
                                                 std::uint32_t max_dist,
                                                 std::optional<std::uint32_t> limit) {
  const std::vector<std::uint32_t> query = code_points(term_utf8);
  if (query.size() <= kBitParallelMaxChars) return walk_with<BitRows>(trie, query, max_dist, limit);
  return walk_words(trie, query, max_dist, limit);
}

std::vector<MatchResult> fuzzy_match_words(const Trie& trie, std::string_view term_utf8,
                                           std::uint32_t max_dist,
                                           std::optional<std::uint32_t> limit) {
  return walk_words(trie, code_points(term_utf8), max_dist, limit);
}

std::vector<MatchResult> fuzzy_match_blocked(const Trie& trie, std::string_view term_utf8,
                                             std::uint32_t max_dist,
                                             std::optional<std::uint32_t> limit) {
  const std::vector<std::uint32_t> query = code_points(term_utf8);
  BlockRows rows(query, max_dist);
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

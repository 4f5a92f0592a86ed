#include "index_builder.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <numeric>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tessaloom::build {

namespace {

// Hands the heap's free pages back to the system between the building's
// phases: the allocator keeps what large arrays leave when they are freed,
// and the next phase would otherwise find its peak on top of it.
void give_back_memory() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

std::uint64_t mix(std::uint64_t h) {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ULL;
  h ^= h >> 33;
  return h;
}

template <class Byte>
std::uint64_t load_u64(const Byte* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
template <class Byte>
std::uint32_t load_u32(const Byte* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

std::uint64_t hash_bytes(std::string_view s) {
  std::uint64_t h = 0x9E3779B97F4A7C15ULL ^ s.size();
  std::size_t k = 0;
  for (; k + 8 <= s.size(); k += 8) {
    std::uint64_t chunk;
    std::memcpy(&chunk, s.data() + k, 8);
    h = (h ^ chunk) * 0x9E3779B97F4A7C15ULL;
    h ^= h >> 29;
  }
  // The last 0 to 7 bytes, by loads of fixed width (which may overlap).
  const char* rest = s.data() + k;
  const std::size_t left = s.size() - k;
  std::uint64_t tail = 0;
  if (left >= 4) {
    tail = std::uint64_t{load_u32(rest)} | std::uint64_t{load_u32(rest + left - 4)} << 32;
  } else if (left > 0) {
    tail = std::uint64_t{static_cast<std::uint8_t>(rest[0])} |
           std::uint64_t{static_cast<std::uint8_t>(rest[left / 2])} << 8 |
           std::uint64_t{static_cast<std::uint8_t>(rest[left - 1])} << 16;
  }
  return mix(h ^ tail);
}

// Whether n bytes at a and at b are equal.  Most terms are short, and
// for them loads of fixed width (which may overlap) cost less than a call.
bool same_bytes(const char* a, const char* b, std::size_t n) {
  if (n > 16) return std::memcmp(a, b, n) == 0;
  if (n >= 8) return ((load_u64(a) ^ load_u64(b)) | (load_u64(a + n - 8) ^ load_u64(b + n - 8))) == 0;
  if (n >= 4) return ((load_u32(a) ^ load_u32(b)) | (load_u32(a + n - 4) ^ load_u32(b + n - 4))) == 0;
  return n == 0 || (a[0] == b[0] && a[n / 2] == b[n / 2] && a[n - 1] == b[n - 1]);
}

bool same_video(const VideoId& a, const VideoId& b) {
  return ((load_u64(a.data()) ^ load_u64(b.data())) | (load_u64(a.data() + 8) ^ load_u64(b.data() + 8))) == 0;
}

std::uint64_t hash_video(const VideoId& id) {
  std::uint64_t a, b;
  std::memcpy(&a, id.data(), 8);
  std::memcpy(&b, id.data() + 8, 8);
  return mix(a ^ mix(b));
}

// Hex digit values; 0xFF for anything else.
constexpr std::array<std::uint8_t, 256> kHex = [] {
  std::array<std::uint8_t, 256> table{};
  for (auto& v : table) v = 0xFF;
  for (int c = 0; c < 10; ++c) table['0' + c] = static_cast<std::uint8_t>(c);
  for (int c = 0; c < 6; ++c) {
    table['a' + c] = static_cast<std::uint8_t>(10 + c);
    table['A' + c] = static_cast<std::uint8_t>(10 + c);
  }
  return table;
}();

// Decodes the code point at `p` of valid UTF-8; advances `p`.
std::uint32_t next_code_point(const unsigned char*& p) {
  const unsigned c = *p++;
  if (c < 0x80) return c;
  if (c < 0xE0) return (c & 0x1F) << 6 | (*p++ & 0x3F);
  if (c < 0xF0) {
    const std::uint32_t v = (c & 0x0F) << 12 | (p[0] & 0x3F) << 6 | (p[1] & 0x3F);
    p += 2;
    return v;
  }
  const std::uint32_t v = (c & 0x07) << 18 | (p[0] & 0x3F) << 12 | (p[1] & 0x3F) << 6 | (p[2] & 0x3F);
  p += 3;
  return v;
}

#if defined(__SSE2__)
// The place of ids[0..n) that holds `id`, or n; four compared at once.
std::size_t find_id(const std::uint32_t* ids, std::size_t n, std::uint32_t id) {
  const __m128i key = _mm_set1_epi32(static_cast<int>(id));
  std::size_t j = 0;
  for (; j + 4 <= n; j += 4) {
    const __m128i four = _mm_loadu_si128(reinterpret_cast<const __m128i*>(ids + j));
    const int found = _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(four, key)));
    if (found != 0) return j + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(found)));
  }
  while (j < n && ids[j] != id) ++j;
  return j;
}

// Orders the n <= 32 entries by count, largest first, the first first
// among equal counts: each entry's place is the number of entries with a
// larger count and of those before it with the same, counted four at a
// time, so that no branch depends on the counts.
void order_by_count(std::uint32_t* ids, std::uint32_t* counts, std::size_t n) {
  // Compared as signed numbers, the sign bit flipped; the padding is a
  // count of 0, which no entry has, so it is never counted.
  alignas(16) std::uint32_t flipped[32];
  const std::size_t padded = (n + 3) & ~std::size_t{3};
  for (std::size_t j = 0; j < padded; ++j) flipped[j] = (j < n ? counts[j] : 0) ^ 0x80000000u;
  std::uint32_t placed_ids[32], placed_counts[32];
  const __m128i lanes = _mm_setr_epi32(0, 1, 2, 3);
  for (std::size_t k = 0; k < n; ++k) {
    const __m128i count = _mm_set1_epi32(static_cast<int>(flipped[k]));
    const __m128i place = _mm_set1_epi32(static_cast<int>(k));
    __m128i ahead = _mm_setzero_si128();
    for (std::size_t j = 0; j < padded; j += 4) {
      const __m128i four = _mm_load_si128(reinterpret_cast<const __m128i*>(flipped + j));
      const __m128i before = _mm_cmpgt_epi32(place, _mm_add_epi32(lanes, _mm_set1_epi32(static_cast<int>(j))));
      const __m128i larger = _mm_cmpgt_epi32(four, count);
      const __m128i tied = _mm_and_si128(_mm_cmpeq_epi32(four, count), before);
      ahead = _mm_sub_epi32(ahead, _mm_or_si128(larger, tied));  // a match is -1
    }
    ahead = _mm_add_epi32(ahead, _mm_shuffle_epi32(ahead, 0x4E));
    ahead = _mm_add_epi32(ahead, _mm_shuffle_epi32(ahead, 0xB1));
    const auto r = static_cast<std::size_t>(_mm_cvtsi128_si32(ahead));
    placed_ids[r] = ids[k];
    placed_counts[r] = counts[k];
  }
  std::memcpy(ids, placed_ids, n * sizeof(std::uint32_t));
  std::memcpy(counts, placed_counts, n * sizeof(std::uint32_t));
}
#else
std::size_t find_id(const std::uint32_t* ids, std::size_t n, std::uint32_t id) {
  std::size_t j = 0;
  while (j < n && ids[j] != id) ++j;
  return j;
}

// Stable insertion sort by count, largest first.
void order_by_count(std::uint32_t* ids, std::uint32_t* counts, std::size_t n) {
  for (std::size_t k = 1; k < n; ++k) {
    const std::uint32_t id = ids[k], count = counts[k];
    std::size_t j = k;
    for (; j > 0 && counts[j - 1] < count; --j) {
      ids[j] = ids[j - 1];
      counts[j] = counts[j - 1];
    }
    ids[j] = id;
    counts[j] = count;
  }
}
#endif

// Sums the counts of repeated videos in one term's entries, in place, and
// orders them by sum, largest first, the first seen first among equal
// sums.  Returns the number of distinct videos.
std::size_t fold_term(std::uint32_t* ids, std::uint32_t* counts, std::size_t n) {
  if (n <= 1) return n;
  std::size_t out = 0;
  if (n <= 32) {
    for (std::size_t k = 0; k < n; ++k) {
      const std::size_t j = find_id(ids, out, ids[k]);
      if (j == out) {
        ids[out] = ids[k];
        counts[out++] = counts[k];
      } else {
        counts[j] += counts[k];  // cannot wrap: the term's total fits
      }
    }
    order_by_count(ids, counts, out);
    return out;
  }
  struct Item {
    std::uint32_t id, first;
    std::uint64_t sum;
  };
  std::vector<Item> items(n);
  for (std::size_t k = 0; k < n; ++k) items[k] = {ids[k], static_cast<std::uint32_t>(k), counts[k]};
  std::sort(items.begin(), items.end(),
            [](const Item& a, const Item& b) { return a.id != b.id ? a.id < b.id : a.first < b.first; });
  for (std::size_t k = 0; k < n;) {
    Item group = items[k];
    for (++k; k < n && items[k].id == group.id; ++k) group.sum += items[k].sum;
    items[out++] = group;
  }
  items.resize(out);
  std::sort(items.begin(), items.end(),
            [](const Item& a, const Item& b) { return a.sum != b.sum ? a.sum > b.sum : a.first < b.first; });
  for (std::size_t k = 0; k < out; ++k) {
    ids[k] = items[k].id;
    counts[k] = static_cast<std::uint32_t>(items[k].sum);
  }
  return out;
}

// Sorts `items` by key(item), a 64-bit number, a byte at a time from the
// lowest (stable; bytes that are the same in every key take no pass).
template <class Item, class Key>
void radix_sort(std::vector<Item>& items, Key key) {
  const std::size_t n = items.size();
  std::array<std::array<std::size_t, 256>, 8> counts{};
  for (const Item& item : items) {
    const std::uint64_t k = key(item);
    for (unsigned b = 0; b < 8; ++b) ++counts[b][k >> (8 * b) & 0xFF];
  }
  std::vector<Item> other(n);
  for (unsigned b = 0; b < 8; ++b) {
    std::array<std::size_t, 256>& place = counts[b];
    if (std::find(place.begin(), place.end(), n) != place.end()) continue;
    std::size_t start = 0;
    for (std::size_t& c : place) start += std::exchange(c, start);
    for (const Item& item : items) other[place[key(item) >> (8 * b) & 0xFF]++] = item;
    items.swap(other);
  }
}

// Each term's entries, from its list, in entry order: videos renumbered,
// then folded, when propagation asks for the term's node.
class TermPayloads final : public OwnPayloads {
 public:
  TermPayloads(TermLists&& lists, std::vector<std::uint32_t>&& term_of_node,
               std::vector<std::uint32_t>&& number, std::vector<std::uint64_t>&& term_total,
               std::size_t record_bytes)
      : lists_(std::move(lists)),
        term_of_node_(std::move(term_of_node)),
        number_(std::move(number)),
        term_total_(std::move(term_total)),
        record_bytes_(record_bytes) {}

  static constexpr std::uint32_t kNoTerm = UINT32_MAX;

  void own(NodeId u, DecodedPayload& into) const override {
    into.video_ids.clear();
    into.video_counts.clear();
    const std::uint32_t t = term_of_node_[u];
    if (t == kNoTerm) {
      into.total_count = 0;
      return;
    }
    lists_.for_each(t, [&](std::uint32_t video, std::uint32_t count) {
      into.video_ids.push_back(number_[video]);
      into.video_counts.push_back(count);
    });
    const std::size_t length = fold_term(into.video_ids.data(), into.video_counts.data(), into.video_ids.size());
    into.video_ids.resize(length);
    into.video_counts.resize(length);
    into.total_count = static_cast<std::uint32_t>(term_total_[t]);  // checked to fit
  }
  // Nodes come in descending order.  A list's blocks are found one from
  // the other: the state of a term far ahead is fetched first, then its
  // blocks one by one as it comes nearer.
  void prefetch(NodeId u) const override {
    for (int step = 0; step < kSteps; ++step) {
      const NodeId back = (kSteps - 1 - step) * kAhead;
      if (u >= back) prefetch_step(u - back, step);
    }
  }
  std::size_t record_bytes() const override { return record_bytes_; }
  void release() override {
    lists_ = TermLists();
    std::vector<std::uint32_t>().swap(term_of_node_);
    std::vector<std::uint32_t>().swap(number_);
    std::vector<std::uint64_t>().swap(term_total_);
    give_back_memory();
  }

 private:
  static constexpr NodeId kAhead = 8;
  static constexpr int kSteps = 5;
  void prefetch_step(NodeId u, int step) const {
    const std::uint32_t t = term_of_node_[u];
    if (t == kNoTerm) return;
    if (step == 0) {
      lists_.prefetch_state(t);
      __builtin_prefetch(&term_total_[t]);
    } else {
      lists_.prefetch_block(t, step - 1);
    }
  }
  TermLists lists_;
  std::vector<std::uint32_t> term_of_node_;
  std::vector<std::uint32_t> number_;
  std::vector<std::uint64_t> term_total_;
  std::size_t record_bytes_;
};

}  // namespace

// ---- checks -------------------------------------------------------------------

std::size_t valid_utf8_prefix(std::string_view bytes) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    // Eight ASCII bytes at a time.
    if (i + 8 <= n) {
      std::uint64_t chunk;
      std::memcpy(&chunk, s + i, 8);
      if ((chunk & 0x8080808080808080ULL) == 0) {
        i += 8;
        continue;
      }
    }
    const unsigned c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    unsigned lo = 0x80, hi = 0xBF;  // bounds of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return i;
    }
    if (i + 1 >= n || s[i + 1] < lo || s[i + 1] > hi) return i;
    for (std::size_t k = 2; k < len; ++k) {
      if (i + k >= n || (s[i + k] & 0xC0) != 0x80) return i;
    }
    i += len;
  }
  return n;
}

TermCheck check_term(std::string_view utf8, std::uint32_t& code_point) {
  if (utf8.empty()) return TermCheck::kEmpty;
  if (valid_utf8_prefix(utf8) != utf8.size()) return TermCheck::kNotUtf8;
  if (std::memchr(utf8.data(), 0, utf8.size()) != nullptr) {
    code_point = 0;
    return TermCheck::kUnstorable;
  }
  return TermCheck::kOk;
}

bool parse_uuid_text(std::string_view text, VideoId& out) {
  if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-') return false;
  // Positions of the 16 digit pairs.
  static constexpr std::uint8_t kAt[16] = {0, 2, 4, 6, 9, 11, 14, 16, 19, 21, 24, 26, 28, 30, 32, 34};
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  unsigned bad = 0;
  for (std::size_t k = 0; k < 16; ++k) {
    const unsigned hi = kHex[s[kAt[k]]], lo = kHex[s[kAt[k] + 1]];
    bad |= hi | lo;
    out[k] = static_cast<std::uint8_t>(hi << 4 | (lo & 0x0F));
  }
  return (bad & 0xF0) == 0;
}

std::string with_thousands(std::uint64_t value) {
  std::string digits = std::to_string(value), out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

// ---- interning ----------------------------------------------------------------

std::uint32_t IndexBuilder::term_id(std::string_view utf8) {
  if (2 * (term_entries_.size() + 1) > term_slots_.size()) grow_terms();
  return find_or_add(utf8, hash_bytes(utf8));
}

void IndexBuilder::term_ids(const std::string_view* texts, std::size_t n, std::uint32_t* out) {
  // A lookup follows two loads, the second depending on the first: the
  // slot, then the term's entry (its id, length and text together).  They
  // are fetched as a pipeline, the slots some terms ahead of the entries
  // and these some terms ahead of the lookups proper, which then find what
  // they read in the cache.  The stages before the lookups only fetch: a
  // term added meanwhile at most makes one of them fetch in vain.  The
  // table grows beforehand, so that it does not move meanwhile.
  while (2 * (term_entries_.size() + n) > term_slots_.size()) grow_terms();
  const std::size_t mask = term_slots_.size() - 1;
  constexpr std::size_t kRing = 32;  // a power of two, above kSlotAhead
  constexpr std::size_t kSlotAhead = 16, kEntryAhead = 8;
  std::uint64_t hashes[kRing];
  const auto slot_stage = [&](std::size_t i) {
    hashes[i % kRing] = hash_bytes(texts[i]);
    __builtin_prefetch(&term_slots_[hashes[i % kRing] & mask]);
  };
  const auto entry_stage = [&](std::size_t i) {
    const std::uint64_t h = hashes[i % kRing];
    const TermSlot& slot = term_slots_[h & mask];
    if (slot.entry != kNoEntry && slot.check == static_cast<std::uint32_t>(h)) {
      __builtin_prefetch(term_entry(slot.entry));
    }
  };
  for (std::size_t i = 0; i < std::min(n, kSlotAhead); ++i) slot_stage(i);
  for (std::size_t i = 0; i < std::min(n, kEntryAhead); ++i) entry_stage(i);
  for (std::size_t i = 0; i < n; ++i) {
    if (i + kSlotAhead < n) slot_stage(i + kSlotAhead);
    if (i + kEntryAhead < n) entry_stage(i + kEntryAhead);
    out[i] = find_or_add(texts[i], hashes[i % kRing]);
  }
}

// The table has room for one more term.
std::uint32_t IndexBuilder::find_or_add(std::string_view utf8, std::uint64_t h) {
  const std::size_t mask = term_slots_.size() - 1;
  for (std::size_t i = h & mask;; i = (i + 1) & mask) {
    TermSlot& slot = term_slots_[i];
    if (slot.entry == kNoEntry) {
      if (term_entries_.size() >= kMaxCount || utf8.size() > kMaxCount) fail_capacity();
      // An entry: the id and the length (u32 each), then the text, the
      // next entry on the next multiple of 4.
      const std::size_t need = (8 + utf8.size() + 3) & ~std::size_t{3};
      if (need > term_left_) {
        if (term_blocks_.size() + 1 >= (std::size_t{1} << (32 - kEntryUnitBits))) fail_capacity();
        const std::size_t size = std::max(kTermBlock, need);
        term_blocks_.push_back(std::make_unique_for_overwrite<char[]>(size));
        term_next_ = term_blocks_.back().get();
        term_left_ = size;
      }
      const auto id = static_cast<std::uint32_t>(term_entries_.size());
      const auto length = static_cast<std::uint32_t>(utf8.size());
      std::memcpy(term_next_, &id, 4);
      std::memcpy(term_next_ + 4, &length, 4);
      std::memcpy(term_next_ + 8, utf8.data(), utf8.size());
      slot.check = static_cast<std::uint32_t>(h);
      slot.entry = static_cast<std::uint32_t>((term_blocks_.size() - 1) << kEntryUnitBits |
                                              static_cast<std::size_t>(term_next_ - term_blocks_.back().get()) / 4);
      term_entries_.push_back(slot.entry);
      term_next_ += need;
      term_left_ -= need;
      return id;
    }
    if (slot.check == static_cast<std::uint32_t>(h)) {
      const char* entry = term_entry(slot.entry);
      std::uint32_t length;
      std::memcpy(&length, entry + 4, 4);
      if (length == utf8.size() && same_bytes(entry + 8, utf8.data(), utf8.size())) {
        std::uint32_t id;
        std::memcpy(&id, entry, 4);
        return id;
      }
    }
  }
}

void IndexBuilder::grow_terms() {
  const std::size_t size = std::max<std::size_t>(1024, 2 * term_slots_.size());
  std::vector<TermSlot> slots(size);
  const std::size_t mask = size - 1;
  for (const TermSlot& old : term_slots_) {
    if (old.entry == kNoEntry) continue;
    // A slot keeps the low half of its term's hash, which places it in
    // any table of up to 2^32 slots without a look at the text.
    std::size_t i = old.check & mask;
    if (size > (std::size_t{1} << 32)) {
      const char* entry = term_entry(old.entry);
      std::uint32_t length;
      std::memcpy(&length, entry + 4, 4);
      i = hash_bytes({entry + 8, length}) & mask;
    }
    while (slots[i].entry != kNoEntry) i = (i + 1) & mask;
    slots[i] = old;
  }
  term_slots_ = std::move(slots);
}

std::uint32_t IndexBuilder::video_id(const VideoId& id) {
  if (2 * (videos_.size() + 1) > video_slots_.size()) grow_videos();
  return find_or_add_video(id, hash_video(id));
}

// The table has room for one more video.
std::uint32_t IndexBuilder::find_or_add_video(const VideoId& id, std::uint64_t h) {
  const std::size_t mask = video_slots_.size() - 1;
  for (std::size_t i = h & mask;; i = (i + 1) & mask) {
    VideoSlot& slot = video_slots_[i];
    if (slot.number == 0xFFFFFFFFu) {
      if (videos_.size() >= kMaxCount) fail_capacity();
      slot.id = id;
      slot.number = static_cast<std::uint32_t>(videos_.size());
      videos_.push_back(id);
      return slot.number;
    }
    if (same_video(slot.id, id)) return slot.number;
  }
}

void IndexBuilder::video_ids(const VideoId* ids, std::size_t n, std::uint32_t* out) {
  constexpr std::size_t kBatch = 16;
  std::uint64_t hashes[kBatch];
  for (std::size_t b = 0; b < n; b += kBatch) {
    const std::size_t m = std::min(kBatch, n - b);
    while (2 * (videos_.size() + m) > video_slots_.size()) grow_videos();
    const std::size_t mask = video_slots_.size() - 1;
    for (std::size_t i = 0; i < m; ++i) {
      hashes[i] = hash_video(ids[b + i]);
      __builtin_prefetch(&video_slots_[hashes[i] & mask]);
    }
    for (std::size_t i = 0; i < m; ++i) out[b + i] = find_or_add_video(ids[b + i], hashes[i]);
  }
}

void IndexBuilder::grow_videos() {
  const std::size_t size = std::max<std::size_t>(1024, 2 * video_slots_.size());
  std::vector<VideoSlot> slots(size);
  const std::size_t mask = size - 1;
  for (const VideoSlot& old : video_slots_) {
    if (old.number == 0xFFFFFFFFu) continue;
    std::size_t i = hash_video(old.id) & mask;
    while (slots[i].number != 0xFFFFFFFFu) i = (i + 1) & mask;
    slots[i] = old;
  }
  video_slots_ = std::move(slots);
}

// ---- entries ------------------------------------------------------------------

bool IndexBuilder::add(std::uint32_t term, std::uint32_t video, std::uint32_t count) {
  if (term >= term_total_.size()) term_total_.resize(term_entries_.size(), 0);
  const std::uint64_t total = term_total_[term] + count;
  if (total > kMaxCount) return false;
  term_total_[term] = total;
  entry_term_.push_back(term);
  entry_video_.push_back(video);
  entry_count_.push_back(count);
  ++checked_;
  if (checked_ >= (std::size_t{1} << 16)) commit();
  return true;
}

std::size_t IndexBuilder::check_totals(std::size_t limit) {
  term_total_.resize(term_entries_.size(), 0);
  std::size_t n = std::min({entry_term_.size(), entry_video_.size(), entry_count_.size()});
  if (limit != kNoPosition) n = std::min(n, limit > committed_ ? limit - committed_ : 0);
  for (std::size_t e = checked_; e < n; ++e) {
    const std::uint64_t total = term_total_[entry_term_[e]] + entry_count_[e];
    if (total > kMaxCount) {
      checked_ = e;
      return committed_ + e;
    }
    term_total_[entry_term_[e]] = total;
  }
  checked_ = std::max(checked_, n);
  return kNoPosition;
}

void IndexBuilder::append_entries(const std::vector<std::uint32_t>& terms, const std::vector<std::uint32_t>& videos,
                                  const std::vector<std::uint32_t>& counts, std::size_t n) {
  // Each entry goes to a list of its own term, anywhere in memory: the
  // lists' states and tails are fetched some entries ahead.
  constexpr std::size_t kStateAhead = 32, kTailAhead = 16;
  for (std::size_t e = 0; e < n; ++e) {
    if (e + kStateAhead < n) lists_.prefetch_state(terms[e + kStateAhead]);
    if (e + kTailAhead < n) lists_.prefetch_tail(terms[e + kTailAhead]);
    lists_.append(terms[e], videos[e], counts[e]);
    video_total_[videos[e]] += counts[e];
  }
}

void IndexBuilder::commit() {
  commit_aside();
  lists_.resize(term_entries_.size());
  video_total_.resize(videos_.size(), 0);
  append_entries(entry_term_, entry_video_, entry_count_, checked_);
  committed_ += checked_;
  checked_ = 0;
  entry_term_.clear();
  entry_video_.clear();
  entry_count_.clear();
}

void IndexBuilder::set_aside() {
  commit_aside();
  // What is not checked is dropped, as by commit.
  entry_term_.resize(checked_);
  entry_video_.resize(checked_);
  entry_count_.resize(checked_);
  // The emptied columns of the last batch set aside become the staging
  // columns, with their room.
  aside_term_.swap(entry_term_);
  aside_video_.swap(entry_video_);
  aside_count_.swap(entry_count_);
  aside_terms_ = term_entries_.size();
  aside_videos_ = videos_.size();
  committed_ += checked_;
  checked_ = 0;
}

void IndexBuilder::commit_aside() {
  if (aside_term_.empty()) return;
  // The counts of terms and videos as they were when the entries were set
  // aside: more may be arriving meanwhile.
  lists_.resize(aside_terms_);
  if (video_total_.size() < aside_videos_) video_total_.resize(aside_videos_, 0);
  append_entries(aside_term_, aside_video_, aside_count_, aside_term_.size());
  aside_term_.clear();
  aside_video_.clear();
  aside_count_.clear();
}

// ---- step 1: the trie's shape -----------------------------------------------------

std::optional<VocabularyError> IndexBuilder::shape() {
  commit();
  for (auto* column : {&entry_term_, &entry_video_, &entry_count_, &aside_term_, &aside_video_, &aside_count_}) {
    std::vector<std::uint32_t>().swap(*column);
  }
  // No more terms come: the table that finds them is done with.
  std::vector<TermSlot>().swap(term_slots_);
  give_back_memory();
  const std::size_t n_terms = term_entries_.size();
  term_total_.resize(n_terms, 0);
  stats_.entries = committed_;
  stats_.terms = n_terms;
  stats_.videos = videos_.size();

  // Byte order of UTF-8 is code-point order.  The terms are sorted by
  // their first eight bytes (compared as one number, with no look at the
  // texts), then each run of equal first bytes by the next eight, then each
  // run still equal by the rest of the text.
  {
    struct Keyed {
      std::uint64_t key;
      std::uint32_t term;
    };
    // Bytes [offset, offset + 8) of a term's text as one number (zero past
    // its end, where no term has a zero byte).
    const auto key_at = [&](std::uint32_t t, std::size_t offset) {
      const std::string_view text = term_text(t);
      std::uint64_t key = 0;
      for (std::size_t k = offset; k < offset + 8; ++k) {
        key = key << 8 | (k < text.size() ? static_cast<unsigned char>(text[k]) : 0u);
      }
      return key;
    };
    std::vector<Keyed> keyed(n_terms);
    for (std::uint32_t t = 0; t < n_terms; ++t) keyed[t] = {key_at(t, 0), t};
    radix_sort(keyed, [](const Keyed& k) { return k.key; });
    const auto by_key = [](const Keyed& a, const Keyed& b) { return a.key < b.key; };
    const auto by_text = [&](const Keyed& a, const Keyed& b) { return term_text(a.term) < term_text(b.term); };
    const auto runs = [&](std::size_t from, std::size_t to, auto&& each) {
      for (std::size_t k = from; k < to;) {
        std::size_t end = k + 1;
        while (end < to && keyed[end].key == keyed[k].key) ++end;
        if (end - k > 1) each(k, end);
        k = end;
      }
    };
    runs(0, n_terms, [&](std::size_t from, std::size_t to) {
      for (std::size_t k = from; k < to; ++k) keyed[k].key = key_at(keyed[k].term, 8);
      std::sort(keyed.begin() + from, keyed.begin() + to, by_key);
      runs(from, to, [&](std::size_t a, std::size_t b) {
        std::sort(keyed.begin() + a, keyed.begin() + b, by_text);
      });
    });
    term_order_.resize(n_terms);
    for (std::size_t k = 0; k < n_terms; ++k) term_order_[k] = keyed[k].term;
  }

  // Walk the terms in order keeping the nodes of the current term's
  // prefixes on a path (with the byte length of each prefix); each term adds
  // one node per character after its common prefix with the previous term.
  // The path also sums each node's total, the sum of its subtree's term
  // totals as propagation will form it: none may pass 2^32-1.  A node's
  // total is complete when it leaves the path, and goes to its parent's.
  labels_.assign(1, kEmptyLabel);
  parents_.assign(1, 0);
  term_node_.clear();
  term_node_.reserve(n_terms);
  std::vector<NodeId> path_nodes{0};
  std::vector<std::size_t> path_bytes{0};
  std::vector<std::uint64_t> path_totals{0};  // cannot wrap: at most 2^32 terms of 2^32-1
  // The longest prefix whose counts overflow, the first in code-point order
  // (the lowest node) among equally long ones.
  std::size_t worst_depth = 0;
  NodeId worst = 0;
  std::uint64_t worst_total = 0;
  auto leave = [&] {
    const std::size_t depth = path_nodes.size() - 1;
    const NodeId node = path_nodes.back();
    const std::uint64_t total = path_totals.back();
    if (total > kMaxCount && (depth > worst_depth || (depth == worst_depth && node < worst))) {
      worst_depth = depth, worst = node, worst_total = total;
    }
    path_nodes.pop_back();
    path_bytes.pop_back();
    path_totals.pop_back();
    path_totals.back() += total;
  };
  std::string_view previous;
  // Terms come in text order, their texts and totals in id order: those of
  // terms further on are fetched meanwhile, the address of a text first.
  constexpr std::size_t kEntryAhead = 16, kTextAhead = 8;
  for (std::size_t k = 0; k < n_terms; ++k) {
    if (k + kEntryAhead < n_terms) {
      __builtin_prefetch(&term_entries_[term_order_[k + kEntryAhead]]);
      __builtin_prefetch(&term_total_[term_order_[k + kEntryAhead]]);
    }
    if (k + kTextAhead < n_terms) __builtin_prefetch(term_entry(term_entries_[term_order_[k + kTextAhead]]));
    const std::uint32_t t = term_order_[k];
    const std::string_view text = term_text(t);
    std::size_t common = 0;
    const std::size_t limit = std::min(previous.size(), text.size());
    while (common < limit && previous[common] == text[common]) ++common;
    // Back to the start of the character the terms differ in.
    while (common > 0 && common < text.size() && (static_cast<unsigned char>(text[common]) & 0xC0) == 0x80) {
      --common;
    }
    while (path_bytes.back() > common) leave();
    const auto* p = reinterpret_cast<const unsigned char*>(text.data()) + common;
    const auto* end = reinterpret_cast<const unsigned char*>(text.data()) + text.size();
    while (p < end) {
      const Label label = next_code_point(p);
      const auto node = static_cast<NodeId>(labels_.size());
      labels_.push_back(label);
      parents_.push_back(path_nodes.back());
      path_nodes.push_back(node);
      path_bytes.push_back(static_cast<std::size_t>(p - reinterpret_cast<const unsigned char*>(text.data())));
      path_totals.push_back(0);
      if (labels_.size() > kMaxCount) {
        return VocabularyError{VocabularyError::kTooManyNodes, {}, labels_.size()};
      }
    }
    term_node_.push_back(path_nodes.back());
    path_totals.back() += term_total_[t];
    previous = text;
  }
  while (path_nodes.size() > 1) leave();
  const std::size_t n = labels_.size();
  stats_.nodes = n;
  if (path_totals[0] <= kMaxCount) return std::nullopt;
  if (worst_total == 0) worst_total = path_totals[0];  // only the root: all terms together
  return VocabularyError{VocabularyError::kPrefixOverflow, node_text(worst), worst_total};
}

std::string IndexBuilder::node_text(std::uint32_t node) const {
  std::vector<Label> labels;
  for (; node != 0; node = parents_[node]) labels.push_back(labels_[node]);
  std::string text;
  for (auto it = labels.rbegin(); it != labels.rend(); ++it) {
    const std::uint32_t c = *it;
    if (c < 0x80) {
      text += static_cast<char>(c);
    } else if (c < 0x800) {
      text += static_cast<char>(0xC0 | c >> 6);
      text += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      text += static_cast<char>(0xE0 | c >> 12);
      text += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      text += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      text += static_cast<char>(0xF0 | c >> 18);
      text += static_cast<char>(0x80 | (c >> 12 & 0x3F));
      text += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      text += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return text;
}

// ---- step 2: payloads, videos and the index -------------------------------------

Trie IndexBuilder::finish(std::uint32_t video_top_n) {
  const std::size_t n = labels_.size();
  const std::size_t n_terms = term_entries_.size();
  const std::size_t n_videos = videos_.size();
  // The terms' texts are done with; the index needs the memory.
  std::vector<std::uint32_t>().swap(term_entries_);
  std::vector<std::unique_ptr<char[]>>().swap(term_blocks_);
  give_back_memory();

  // Child ranges: children grouped per parent, in id order, which is label
  // order.
  std::vector<std::uint32_t> node_shifts(n, 0);
  for (std::size_t i = 1; i < n; ++i) ++node_shifts[parents_[i]];
  std::uint32_t start = 0;
  for (std::size_t i = 0; i < n; ++i) start += std::exchange(node_shifts[i], start);
  std::vector<NodeId> transitions(n > 0 ? n - 1 : 0);
  // node_shifts serves as each parent's cursor, and ends one place on: each
  // node's start is then where the node before it ends.
  for (std::size_t i = 1; i < n; ++i) transitions[node_shifts[parents_[i]]++] = static_cast<NodeId>(i);
  for (std::size_t i = n; i-- > 1;) node_shifts[i] = node_shifts[i - 1];
  if (n > 0) node_shifts[0] = 0;
  std::vector<NodeId>().swap(parents_);
  give_back_memory();

  // Videos numbered by descending total count, the first seen first among
  // equal totals.
  std::vector<VideoId> video_index(n_videos);
  std::vector<std::uint32_t> number(n_videos);
  {
    video_total_.resize(n_videos, 0);
    std::vector<std::uint32_t> order(n_videos);
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::uint32_t a, std::uint32_t b) { return video_total_[a] > video_total_[b]; });
    for (std::size_t r = 0; r < n_videos; ++r) {
      number[order[r]] = static_cast<std::uint32_t>(r);
      video_index[r] = videos_[order[r]];
    }
  }
  std::vector<std::uint64_t>().swap(video_total_);
  std::vector<VideoId>().swap(videos_);
  std::vector<VideoSlot>().swap(video_slots_);

  std::vector<std::uint32_t> term_of_node(n, TermPayloads::kNoTerm);
  for (std::size_t k = 0; k < n_terms; ++k) term_of_node[term_node_[k]] = term_order_[k];
  std::vector<std::uint32_t>().swap(term_order_);
  std::vector<NodeId>().swap(term_node_);
  Trie trie;
  {
    TermPayloads own(std::move(lists_), std::move(term_of_node), std::move(number), std::move(term_total_),
                           5 * stats_.entries + 16 * n_terms);
    TrieArrays arrays;
    arrays.node_shifts = std::move(node_shifts);
    arrays.child_labels = std::move(labels_);
    arrays.child_transitions = std::move(transitions);
    arrays.video_index = std::move(video_index);
    trie = propagate(std::move(arrays), video_top_n, own);
  }
  const BuildStats stats = stats_;
  *this = IndexBuilder();  // release the rest
  give_back_memory();
  stats_ = stats;
  return trie;
}

}  // namespace tessaloom::build

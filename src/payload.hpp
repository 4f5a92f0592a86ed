// Per-node payloads: which videos the terms at and below a node occur in,
// and how often.
//
// `Payload` is the growable working form used while payloads are merged.
// A built index keeps its payloads packed in one `PayloadTable`: a presence
// flag and a total per node, and per-node offsets into shared entry arrays,
// so an index makes no allocation per node.
#pragma once

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include "fault.hpp"

namespace tessaloom {

// A read-only look at one payload, wherever it is stored.  `video_ids` and
// `video_counts` normally have the same length; a payload read from bytes
// may break that, and its readers say what happens then.
struct PayloadView {
  std::uint32_t total_count = 0;
  std::span<const std::uint32_t> video_ids;
  std::span<const std::uint32_t> video_counts;
};

struct Payload {
  std::uint32_t total_count = 0;
  std::vector<std::uint32_t> video_ids;
  std::vector<std::uint32_t> video_counts;

  PayloadView view() const { return {total_count, video_ids, video_counts}; }

  // Absorbs `other`: totals add with clamping at 2^32-1; the entries of
  // both are summed per video id (sums clamped at 2^32-1) and stored one per
  // distinct id, largest sum first.  Never cuts the lists.
  void merge_from(const PayloadView& other);
  void merge_from(const Payload& other) { merge_from(other.view()); }
};

// Sums video entries per id across any number of payloads.  `add` appends
// a payload's pairs (up to the shorter of its two arrays); `finish` folds
// them, one entry per distinct id with its sum clamped at 2^32-1, and
// orders them largest sum first, equal sums in order of first appearance,
// keeping at most `keep`.  The scratch is reused from one use to the next,
// and folds along the way when it grows, so many payloads with the same
// ids take memory for the distinct ids, not for every pair.
class VideoTotals {
 public:
  void clear() { entries_.clear(), appended_ = 0, folded_ = 0; }
  void add(const PayloadView& payload);
  // Writes the result to ids[0..k) and counts[0..k) through `out(k)`, which
  // returns {ids, counts} with room for k entries each; returns k.
  template <class Out>
  std::size_t finish(std::size_t keep, Out out);

 private:
  struct Entry {
    // While adding: id << 32 | order.  After ordering: sum << 32 | ~order.
    std::uint64_t key;
    // While adding: the (partial) sum.  After ordering: the id.
    std::uint64_t value;
  };
  void fold();
  std::size_t order(std::size_t keep);

  std::vector<Entry> entries_;
  std::uint64_t appended_ = 0;  // pairs added since clear(), for the order
  std::size_t folded_ = 0;      // entries_ holds distinct ids up to here
};

template <class Out>
std::size_t VideoTotals::finish(std::size_t keep, Out out) {
  const std::size_t k = order(keep);
  auto [ids, counts] = out(k);
  for (std::size_t i = 0; i < k; ++i) {
    ids[i] = static_cast<std::uint32_t>(entries_[i].value);
    counts[i] = static_cast<std::uint32_t>(entries_[i].key >> 32);
  }
  return k;
}

// Saturating addition of counts.
inline std::uint32_t add_clamped(std::uint32_t a, std::uint32_t b) {
  const std::uint64_t sum = std::uint64_t{a} + b;
  return sum > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(sum);
}

// A growable array of 32-bit entries on malloc/realloc.  Growing a large
// array lets the allocator move its pages instead of copying them, and new
// elements are left for the caller to fill, so a reader appending entries
// run after run pays for neither a copy nor a zero-fill per doubling.
class EntryArray {
 public:
  EntryArray() = default;
  EntryArray(const EntryArray& other) { append(other.data_, other.size_); }
  EntryArray(EntryArray&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  EntryArray& operator=(EntryArray other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
    return *this;
  }
  ~EntryArray() { std::free(data_); }

  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  std::uint32_t* data() { return data_; }
  const std::uint32_t* data() const { return data_; }
  operator std::span<const std::uint32_t>() const { return {data_, size_}; }

  void reserve(std::size_t n) {
    if (n > capacity_) reallocate(n);
  }
  // Gives back the capacity past the size.  Shrinking a block in place is
  // cheap, so this costs no copy of the elements.
  void shrink_to_fit() {
    if (capacity_ == size_) return;
    if (size_ == 0) {
      std::free(std::exchange(data_, nullptr));
      capacity_ = 0;
    } else {
      reallocate(size_);
    }
  }
  // Lengthens the array by n elements left unwritten; returns where they start.
  std::uint32_t* grow(std::size_t n) {
    if (n > capacity_ - size_) {
      if (n > kMaxElements - size_) throw std::bad_alloc();
      const std::size_t doubled = capacity_ < kMaxElements / 2 ? 2 * capacity_ : kMaxElements;
      reallocate(std::max({size_ + n, doubled, std::size_t{16}}));
    }
    std::uint32_t* start = data_ + size_;
    size_ += n;
    return start;
  }
  void append(const std::uint32_t* values, std::size_t n) {
    if (n > 0) std::memcpy(grow(n), values, 4 * n);
  }

 private:
  static constexpr std::size_t kMaxElements = SIZE_MAX / 4;
  void reallocate(std::size_t n) {
    if (n > kMaxElements) throw std::bad_alloc();
    void* p = std::realloc(data_, 4 * n);
    if (p == nullptr) throw std::bad_alloc();
    data_ = static_cast<std::uint32_t*>(p);
    capacity_ = n;
  }

  std::uint32_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// One optional payload per node, packed.
class PayloadTable {
 public:
  // Number of slots.
  std::size_t size() const { return present_.size(); }
  bool empty() const { return present_.empty(); }

  // Unchecked: callers check `slot < size()` first (see `checked_present`).
  bool present(std::size_t slot) const { return present_[slot] != 0; }
  PayloadView get(std::size_t slot) const;

  // Checked lookups: an index at or past `size()` is an internal fault
  // naming the number of slots and the index.
  bool checked_present(std::size_t slot) const {
    if (slot >= size()) fail_index(size(), slot);
    return present(slot);
  }
  PayloadView checked_get(std::size_t slot) const {
    if (slot >= size()) fail_index(size(), slot);
    return get(slot);
  }

  // Building, slot after slot.  `reserve` sizes the arrays once.
  void reserve(std::size_t slots, std::size_t entries);
  // Releases capacity the arrays hold past their size.
  void shrink_to_fit();
  void push_absent();
  void push(std::uint32_t total_count, std::span<const std::uint32_t> video_ids,
            std::span<const std::uint32_t> video_counts);
  void push(const PayloadView& payload) {
    push(payload.total_count, payload.video_ids, payload.video_counts);
  }

  // In-place building, for readers that produce a slot's entries straight
  // into the table.  `append_ids(n)` and `append_counts(n)` lengthen the
  // entry arrays of the slot being built by n entries, left for the caller
  // to fill, and return where they start (valid until the next call on the
  // table);
  // `close_present(total_count)` ends the slot as a present payload holding
  // every id and count appended since the previous slot ended.  Ids and
  // counts may differ in number.  More than 2^32-1 ids or counts in all is
  // an internal fault ("capacity overflow").  A table left with an unclosed
  // slot is only fit to be destroyed.
  std::uint32_t* append_ids(std::size_t n) { return append_entries(ids_, n); }
  std::uint32_t* append_counts(std::size_t n) { return append_entries(counts_, n); }
  void close_present(std::uint32_t total_count);

  std::size_t entry_count() const { return ids_.size(); }
  // Every slot's ids (resp. counts) back to back, in slot order: bulk
  // readers such as the encoder's sizing pass go through these.
  std::span<const std::uint32_t> all_video_ids() const { return ids_; }
  std::span<const std::uint32_t> all_video_counts() const { return counts_; }
  // Bytes held by the table's arrays (capacity, not size).
  std::size_t memory_bytes() const;

  // A table of `slots` present payloads holding `entries` entries in all,
  // built in one pass: `slot(i)` returns slot i's payload, whose ids and
  // counts must have the same length.  Entries past 2^32-1 in all are an
  // internal fault ("capacity overflow"), as are lengths that do not add
  // up to `entries`.
  template <class Slot>
  static PayloadTable packed(std::size_t slots, std::size_t entries, Slot slot);

 private:
  void ensure_counts_offsets();
  static std::uint32_t* append_entries(EntryArray& entries, std::size_t n) {
    if (n > 0xFFFFFFFFu - entries.size()) fail_capacity_overflow();
    return entries.grow(n);
  }
  [[noreturn]] static void fail_capacity_overflow();

  std::vector<std::uint8_t> present_;
  std::vector<std::uint32_t> total_;
  // ids of slot i are ids_[ids_begin_[i] .. ids_begin_[i+1]); holds
  // size()+1 entries once anything has been pushed.
  std::vector<std::uint32_t> ids_begin_;
  EntryArray ids_;
  // Same for counts; left empty while every slot has as many counts as
  // ids, which is always so for indexes built from arrays.
  std::vector<std::uint32_t> counts_begin_;
  EntryArray counts_;
};

template <class Slot>
PayloadTable PayloadTable::packed(std::size_t slots, std::size_t entries, Slot slot) {
  if (entries > 0xFFFFFFFFu) fail_capacity_overflow();
  PayloadTable table;
  if (slots == 0 && entries == 0) return table;
  table.present_.assign(slots, 1);
  table.total_.resize(slots);
  table.ids_begin_.resize(slots + 1);
  // Reserved, not resized: the copies below are the first writes.
  table.ids_.reserve(entries);
  table.counts_.reserve(entries);
  std::size_t at = 0;
  for (std::size_t i = 0; i < slots; ++i) {
    const PayloadView v = slot(i);
    const std::size_t n = v.video_ids.size();
    if (v.video_counts.size() != n || n > entries - at) fail_capacity_overflow();
    table.total_[i] = v.total_count;
    table.ids_begin_[i] = static_cast<std::uint32_t>(at);
    table.ids_.append(v.video_ids.data(), n);
    table.counts_.append(v.video_counts.data(), n);
    at += n;
  }
  if (at != entries) fail_capacity_overflow();
  table.ids_begin_[slots] = static_cast<std::uint32_t>(at);
  return table;
}

}  // namespace tessaloom

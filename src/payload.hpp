// Per-node payloads: which videos the terms at and below a node occur in,
// and how often.
//
// `Payload` is the growable working form used while payloads are merged.
// An index holds its payloads compactly, in two flat arrays:
//
//   refs     one u32 per node: where the node's record starts in `records`,
//            or kAbsentPayload for a node without a payload;
//   records  the records, back to back, each its byte length (varint)
//            followed by the record exactly as the byte format writes it
//            after the 01 tag: total_count, then video_ids and video_counts,
//            each a count and its values, all varints in their shortest
//            form.
//
// Nodes with identical payloads may point at one record.  Nothing in the
// arrays is a pointer, so they can be used in place wherever they come
// from; every read through them is checked.  `PayloadStore` is the
// read-only view the queries use, `PayloadTable` the growable owner that
// construction and loading fill.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "codec/encoding.hpp"
#include "fault.hpp"
#include "limits.hpp"

namespace tessaloom {

// A read-only look at one payload in its decoded form.  `video_ids` and
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
  return sum > kMaxU32 ? kMaxU32 : static_cast<std::uint32_t>(sum);
}

// ---------------------------------------------------------------------------
// The record form, described once.  `Sink` is codec::SizeCounter (sizing)
// or codec::Writer (writing).

template <class Sink>
void put_record(Sink& sink, std::uint32_t total_count, std::span<const std::uint32_t> video_ids,
                std::span<const std::uint32_t> video_counts) {
  sink.write_u32(total_count);
  sink.write_count(video_ids.size());
  sink.write_u32_run(video_ids);
  sink.write_count(video_counts.size());
  sink.write_u32_run(video_counts);
}

inline constexpr std::uint32_t kAbsentPayload = kMaxU32;

// A payload decoded from its record into reusable storage.
struct DecodedPayload {
  std::uint32_t total_count = 0;
  std::vector<std::uint32_t> video_ids;
  std::vector<std::uint32_t> video_counts;
  PayloadView view() const { return {total_count, video_ids, video_counts}; }
};

// The payloads of an index, read-only.
class PayloadStore {
 public:
  static constexpr std::size_t kUnknownSize = SIZE_MAX;

  PayloadStore() = default;
  PayloadStore(std::span<const std::uint32_t> refs, std::span<const std::uint8_t> records,
               std::size_t encoded_bytes = kUnknownSize)
      : refs_(refs), records_(records), encoded_bytes_(encoded_bytes) {}

  // What the slots take in the byte format (tags and records, without their
  // count), when whoever filled them said; else kUnknownSize.
  std::size_t encoded_bytes() const { return encoded_bytes_; }

  // Number of slots.
  std::size_t size() const { return refs_.size(); }
  bool empty() const { return refs_.empty(); }

  // Unchecked: callers check `slot < size()` first (see `checked_present`).
  bool present(std::size_t slot) const { return refs_[slot] != kAbsentPayload; }
  // Checked: a slot at or past `size()` is an internal fault naming the
  // number of slots and the slot.
  bool checked_present(std::size_t slot) const { return checked(refs_, slot) != kAbsentPayload; }

  // The record of a present slot (`slot < size()`), without its length:
  // the bytes the byte format writes after the 01 tag.  A reference or
  // length that runs past `records` is an internal fault naming the length
  // of `records` and the first position past it.
  TESSALOOM_ALWAYS_INLINE std::span<const std::uint8_t> record(std::size_t slot) const { return record_at(refs_[slot]); }
  TESSALOOM_ALWAYS_INLINE std::span<const std::uint8_t> record_at(std::uint32_t offset) const {
    const std::size_t size = records_.size();
    if (offset >= size) fail_index(size, offset);
    std::uint64_t length = 0;
    const std::size_t head = codec::read_varint(records_.data() + offset, size - offset, length);
    // A cut or invalid length, or a record running past the end.
    if (head == 0 || head == 9) fail_index(size, size);
    if (length > size - offset - head) fail_index(size, size);
    return records_.subspan(offset + head, static_cast<std::size_t>(length));
  }

  // Decodes a record.  A record that is not well formed (only possible in
  // arrays from outside) is an internal fault naming the record's length
  // and the position where it breaks.
  static void decode(std::span<const std::uint8_t> record, DecodedPayload& out);
  // The total and the number of video ids, read from the record's start.
  static void decode_head(std::span<const std::uint8_t> record, std::uint32_t& total_count,
                          std::size_t& id_count);

  std::span<const std::uint32_t> refs() const { return refs_; }
  std::span<const std::uint8_t> records() const { return records_; }

 private:
  std::span<const std::uint32_t> refs_;
  std::span<const std::uint8_t> records_;
  std::size_t encoded_bytes_ = kUnknownSize;
};

// A growable array of trivially copyable elements on malloc/realloc.
// Growing or shrinking a large array lets the allocator move its pages
// instead of copying them, and new elements are left for the caller to
// fill, so neither costs a copy nor a zero-fill; capacity that is never
// written is never made resident.
template <class T>
class RawArray {
 public:
  RawArray() = default;
  RawArray(const RawArray& other) { append(other.data_, other.size_); }
  RawArray(RawArray&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  RawArray& operator=(RawArray other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
    return *this;
  }
  ~RawArray() { std::free(data_); }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::size_t capacity() const { return capacity_; }
  T* data() { return data_; }
  const T* data() const { return data_; }
  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }
  operator std::span<const T>() const { return {data_, size_}; }

  void reserve(std::size_t n) {
    if (n > capacity_) reallocate(n);
  }
  // Gives back the capacity past the size.
  void shrink_to_fit() {
    if (capacity_ == size_) return;
    if (size_ == 0) {
      std::free(std::exchange(data_, nullptr));
      capacity_ = 0;
    } else {
      reallocate(size_);
    }
  }
  // Lengthens the array by n elements left unwritten; returns where they
  // start (valid until the next call that grows the array).
  T* grow(std::size_t n) {
    if (n > capacity_ - size_) {
      if (n > kMaxElements - size_) fail_capacity();
      const std::size_t doubled = capacity_ < kMaxElements / 2 ? 2 * capacity_ : kMaxElements;
      reallocate(std::max({size_ + n, doubled, std::size_t{64}}));
    }
    T* start = data_ + size_;
    size_ += n;
    return start;
  }
  void append(const T* values, std::size_t n) {
    if (n > 0) std::memcpy(grow(n), values, sizeof(T) * n);
  }
  void push_back(const T& value) { *grow(1) = value; }
  // n copies of `value`, replacing the contents.
  void assign(std::size_t n, const T& value) {
    size_ = 0;
    std::fill_n(grow(n), n, value);
  }
  // The n elements past the end when the capacity holds them, else
  // nullptr; `extend(k)` then takes the first k <= n of them in.
  T* room(std::size_t n) { return capacity_ - size_ >= n ? data_ + size_ : nullptr; }
  void extend(std::size_t k) { size_ += k; }

 private:
  static constexpr std::size_t kMaxElements = SIZE_MAX / sizeof(T);
  void reallocate(std::size_t n) {
    if (n > kMaxElements) fail_capacity();
    void* p = std::realloc(data_, sizeof(T) * n);
    if (p == nullptr) throw std::bad_alloc();
    data_ = static_cast<T*>(p);
    capacity_ = n;
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// The owner of an index's payload arrays, filled slot after slot.
class PayloadTable {
 public:
  std::size_t size() const { return refs_.size(); }
  bool empty() const { return refs_.empty(); }
  PayloadStore view() const { return {refs_, records_, encoded_bytes_}; }
  // Records what the slots take in the byte format (see
  // PayloadStore::encoded_bytes); changing the slots afterwards forgets it.
  void set_encoded_bytes(std::size_t bytes) { encoded_bytes_ = bytes; }

  // Sizes the arrays once: `slots` references, `record_bytes` of records.
  void reserve(std::size_t slots, std::size_t record_bytes) {
    refs_.reserve(slots);
    records_.reserve(record_bytes);
  }
  // The reference array's storage: its start, and the bytes reserved.
  void* ref_storage() { return refs_.data(); }
  std::size_t ref_capacity_bytes() const { return sizeof(std::uint32_t) * refs_.capacity(); }
  // The record array's storage: its start, and the bytes reserved.
  void* record_storage() { return records_.data(); }
  std::size_t record_capacity() const { return records_.capacity(); }
  std::size_t record_bytes() const { return records_.size(); }
  // Releases capacity the arrays hold past their size.
  void shrink_to_fit() {
    refs_.shrink_to_fit();
    records_.shrink_to_fit();
  }

  void push_absent() {
    refs_.push_back(kAbsentPayload);
    encoded_bytes_ = PayloadStore::kUnknownSize;
  }
  void push(std::uint32_t total_count, std::span<const std::uint32_t> video_ids,
            std::span<const std::uint32_t> video_counts) {
    push_ref(append_record(total_count, video_ids, video_counts));
  }
  // A slot pointing at a record already stored (see `append_*`).
  void push_ref(std::uint32_t offset) {
    refs_.push_back(offset);
    encoded_bytes_ = PayloadStore::kUnknownSize;
  }
  // For slots filled in a run: room for `n` references past the slots
  // when the capacity holds them, else nullptr; `extend_refs(k)` then
  // takes the first k <= n of them in.
  std::uint32_t* ref_room(std::size_t n) { return refs_.room(n); }
  void extend_refs(std::size_t k) {
    refs_.extend(k);
    encoded_bytes_ = PayloadStore::kUnknownSize;
  }

  // Stores a record and returns its offset, for `push_ref` or `set_ref`.
  // Records past 2^32-2 bytes in all are an internal fault ("capacity
  // overflow").
  std::uint32_t append_record(std::uint32_t total_count, std::span<const std::uint32_t> video_ids,
                              std::span<const std::uint32_t> video_counts);
  // The same for a record already in its written form (shortest varints).
  std::uint32_t append_record_bytes(std::span<const std::uint8_t> record);
  // The same for a record from outside the table (not in its records).
  std::uint32_t append_record_copy(std::span<const std::uint8_t> record) {
    const auto [offset, out] = open_record(record.size());
    if (!record.empty()) std::memcpy(out, record.data(), record.size());
    return offset;
  }
  // For records written in place with fixed-size moves: where the next
  // record goes, when `n` bytes are reserved past the records and offsets
  // within them stay below kAbsentPayload; else nullptr.  The caller then
  // writes a record of k <= n bytes there (its length first) and takes it
  // in with `commit_record(k)`, at the offset record_bytes() had before.
  std::uint8_t* record_room(std::size_t n) {
    return records_.size() < kMaxU32 && n < kMaxU32 - records_.size() ? records_.room(n) : nullptr;
  }
  void commit_record(std::size_t k) { records_.extend(k); }
  // The same for a record whose total is `total_count` and whose remainder
  // (the two sequences) is `rest`, in written form.
  // `rest` may point into this table's own records.  With no total, the
  // same as append_record_bytes(rest).
  std::uint32_t append_record_with_total(std::optional<std::uint32_t> total_count,
                                         std::span<const std::uint8_t> rest);

  // Appends the records of `other` as they are; returns the offset they
  // start at, which a reference into `other` needs added.
  std::uint32_t append_records_of(const PayloadTable& other) {
    const std::size_t offset = records_.size(), size = other.records_.size();
    if (size > kMaxU32 - 1 - offset) fail_capacity();
    if (size != 0) std::memcpy(records_.grow(size), other.records_.data(), size);
    return static_cast<std::uint32_t>(offset);
  }

  // Slots filled out of order: `resize_slots(n)` makes n absent slots.
  void resize_slots(std::size_t n) {
    refs_.assign(n, kAbsentPayload);
    encoded_bytes_ = PayloadStore::kUnknownSize;
  }
  void set_ref(std::size_t slot, std::uint32_t offset) {
    refs_[slot] = offset;
    encoded_bytes_ = PayloadStore::kUnknownSize;
  }
  std::uint32_t ref(std::size_t slot) const { return refs_[slot]; }

 private:
  // Room for a record of `length` bytes behind its length; returns the
  // record's offset and where its bytes go.
  std::pair<std::uint32_t, std::uint8_t*> open_record(std::size_t length) {
    const std::size_t head = codec::varint_size(length);
    const std::size_t offset = records_.size();
    // Every offset stays below kAbsentPayload.
    if (length > kMaxU32 - 1 - offset || head > kMaxU32 - 1 - offset - length) fail_capacity();
    std::uint8_t* p = records_.grow(head + length);
    codec::Writer::put_u32(p, static_cast<std::uint32_t>(length));  // exactly `head` bytes
    return {static_cast<std::uint32_t>(offset), p + head};
  }

  RawArray<std::uint32_t> refs_;
  RawArray<std::uint8_t> records_;
  std::size_t encoded_bytes_ = PayloadStore::kUnknownSize;
};

}  // namespace tessaloom

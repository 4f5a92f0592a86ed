// Per-node payloads: which videos the terms at and below a node occur in,
// and how often.
//
// `Payload` is the growable working form used while payloads are merged.
// A built index keeps its payloads packed in one `PayloadTable`: a presence
// flag and a total per node, and per-node offsets into shared entry arrays,
// so an index makes no allocation per node.
#pragma once

#include <cstdint>
#include <span>
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

// Saturating addition of counts.
inline std::uint32_t add_clamped(std::uint32_t a, std::uint32_t b) {
  const std::uint64_t sum = std::uint64_t{a} + b;
  return sum > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(sum);
}

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
  void push_absent();
  void push(std::uint32_t total_count, std::span<const std::uint32_t> video_ids,
            std::span<const std::uint32_t> video_counts);
  void push(const PayloadView& payload) {
    push(payload.total_count, payload.video_ids, payload.video_counts);
  }

  // In-place building, for readers that produce a slot's entries straight
  // into the table.  `append_ids(n)` and `append_counts(n)` lengthen the
  // entry arrays of the slot being built by n zeroed entries and return
  // where they start (valid until the next call on the table);
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

 private:
  void ensure_counts_offsets();
  static std::uint32_t* append_entries(std::vector<std::uint32_t>& entries, std::size_t n) {
    const std::size_t old = entries.size();
    if (n > 0xFFFFFFFFu - old || n > entries.max_size() - old) fail_capacity_overflow();
    entries.resize(old + n);
    return entries.data() + old;
  }
  [[noreturn]] static void fail_capacity_overflow();

  std::vector<std::uint8_t> present_;
  std::vector<std::uint32_t> total_;
  // ids of slot i are ids_[ids_begin_[i] .. ids_begin_[i+1]); holds
  // size()+1 entries once anything has been pushed.
  std::vector<std::uint32_t> ids_begin_;
  std::vector<std::uint32_t> ids_;
  // Same for counts; left empty while every slot has as many counts as
  // ids, which is always so for indexes built from arrays.
  std::vector<std::uint32_t> counts_begin_;
  std::vector<std::uint32_t> counts_;
};

}  // namespace tessaloom

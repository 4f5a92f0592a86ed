#include "payload.hpp"

#include <algorithm>
#include <utility>

#include "fault.hpp"

namespace tessaloom {

namespace {

constexpr std::uint64_t kMaxCount = 0xFFFFFFFFu;

// Sums the entries of `a` and then `b` per video id and writes them to
// `ids`/`counts`, one per distinct id, largest sum first.  Pairs are read
// up to the shorter of each payload's two arrays.  The outputs may be the
// arrays `a` looks at: everything is read before they are written.
void sum_by_video(const PayloadView& a, const PayloadView& b, std::vector<std::uint32_t>& ids,
                  std::vector<std::uint32_t>& counts) {
  struct Entry {
    std::uint32_t id;
    std::uint32_t order;  // first appearance, for a reproducible order
    std::uint64_t sum;
  };
  thread_local std::vector<Entry> entries;
  entries.clear();
  const std::size_t na = std::min(a.video_ids.size(), a.video_counts.size());
  const std::size_t nb = std::min(b.video_ids.size(), b.video_counts.size());
  entries.reserve(na + nb);
  std::uint32_t order = 0;
  for (std::size_t k = 0; k < na; ++k) entries.push_back({a.video_ids[k], order++, a.video_counts[k]});
  for (std::size_t k = 0; k < nb; ++k) entries.push_back({b.video_ids[k], order++, b.video_counts[k]});

  // Group by id (keeping first appearance first), then fold each group.
  std::sort(entries.begin(), entries.end(), [](const Entry& x, const Entry& y) {
    return x.id != y.id ? x.id < y.id : x.order < y.order;
  });
  std::size_t out = 0;
  for (std::size_t k = 0; k < entries.size();) {
    Entry group = entries[k];
    for (++k; k < entries.size() && entries[k].id == group.id; ++k) group.sum += entries[k].sum;
    if (group.sum > kMaxCount) group.sum = kMaxCount;
    entries[out++] = group;
  }
  entries.resize(out);
  // Largest sum first; equal sums keep the order of first appearance.
  std::sort(entries.begin(), entries.end(), [](const Entry& x, const Entry& y) {
    return x.sum != y.sum ? x.sum > y.sum : x.order < y.order;
  });

  ids.clear();
  counts.clear();
  for (const Entry& e : entries) {
    ids.push_back(e.id);
    counts.push_back(static_cast<std::uint32_t>(e.sum));
  }
}

}  // namespace

void Payload::merge_from(const PayloadView& other) {
  total_count = add_clamped(total_count, other.total_count);
  sum_by_video(view(), other, video_ids, video_counts);
}

PayloadView PayloadTable::get(std::size_t slot) const {
  PayloadView v;
  v.total_count = total_[slot];
  const std::uint32_t* ids = ids_.data();
  v.video_ids = {ids + ids_begin_[slot], ids + ids_begin_[slot + 1]};
  if (counts_begin_.empty()) {
    v.video_counts = {counts_.data() + ids_begin_[slot], counts_.data() + ids_begin_[slot + 1]};
  } else {
    v.video_counts = {counts_.data() + counts_begin_[slot], counts_.data() + counts_begin_[slot + 1]};
  }
  return v;
}

void PayloadTable::reserve(std::size_t slots, std::size_t entries) {
  present_.reserve(slots);
  total_.reserve(slots);
  ids_begin_.reserve(slots + 1);
  ids_.reserve(entries);
  counts_.reserve(entries);
}

void PayloadTable::ensure_counts_offsets() {
  if (!counts_begin_.empty()) return;
  // Until now every slot had as many counts as ids.
  counts_begin_ = ids_begin_;
}

void PayloadTable::push_absent() { push(0, {}, {}), present_.back() = 0; }

void PayloadTable::push(std::uint32_t total_count, std::span<const std::uint32_t> video_ids,
                        std::span<const std::uint32_t> video_counts) {
  // Offsets are 32-bit: an index holds at most 2^32-1 entries in all.
  if (ids_.size() + video_ids.size() > kMaxCount || counts_.size() + video_counts.size() > kMaxCount) {
    fail_capacity();
  }
  if (ids_begin_.empty()) ids_begin_.push_back(0);
  if (video_ids.size() != video_counts.size()) ensure_counts_offsets();
  present_.push_back(1);
  total_.push_back(total_count);
  ids_.insert(ids_.end(), video_ids.begin(), video_ids.end());
  counts_.insert(counts_.end(), video_counts.begin(), video_counts.end());
  ids_begin_.push_back(static_cast<std::uint32_t>(ids_.size()));
  if (!counts_begin_.empty()) counts_begin_.push_back(static_cast<std::uint32_t>(counts_.size()));
}

void PayloadTable::fail_capacity_overflow() { fail_capacity(); }

void PayloadTable::close_present(std::uint32_t total_count) {
  if (ids_begin_.empty()) ids_begin_.push_back(0);
  const std::size_t ids_start = ids_begin_.back();
  const std::size_t counts_start = counts_begin_.empty() ? ids_start : counts_begin_.back();
  if (ids_.size() - ids_start != counts_.size() - counts_start) ensure_counts_offsets();
  present_.push_back(1);
  total_.push_back(total_count);
  ids_begin_.push_back(static_cast<std::uint32_t>(ids_.size()));
  if (!counts_begin_.empty()) counts_begin_.push_back(static_cast<std::uint32_t>(counts_.size()));
}

std::size_t PayloadTable::memory_bytes() const {
  return present_.capacity() + 4 * (total_.capacity() + ids_begin_.capacity() + ids_.capacity() +
                                    counts_begin_.capacity() + counts_.capacity());
}

}  // namespace tessaloom

#include "payload.hpp"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "fault.hpp"

namespace tessaloom {

namespace {

constexpr std::uint64_t kMaxCount = 0xFFFFFFFFu;

// Fold once this many pairs have been added since the last fold, unless
// that is less than the distinct ids already held.
constexpr std::size_t kFoldEvery = std::size_t{1} << 16;
// Up to this many entries, folding compares them pairwise instead of sorting.
constexpr std::size_t kFoldSmall = 32;

}  // namespace

void VideoTotals::add(const PayloadView& payload) {
  const std::size_t n = std::min(payload.video_ids.size(), payload.video_counts.size());
  const std::uint32_t* ids = payload.video_ids.data();
  const std::uint32_t* counts = payload.video_counts.data();
  const std::size_t base = entries_.size();
  entries_.resize(base + n);
  Entry* out = entries_.data() + base;
  for (std::size_t k = 0; k < n; ++k) {
    // Past 2^32-1 pairs the order saturates: it only ranks equal sums.
    const std::uint64_t order = appended_ < kMaxCount ? appended_ : kMaxCount;
    ++appended_;
    out[k] = {std::uint64_t{ids[k]} << 32 | order, counts[k]};
  }
  if (entries_.size() - folded_ >= std::max(kFoldEvery, folded_)) fold();
}

// Groups the entries by id, the first appearance first, and sums each
// group into one entry carrying that first appearance.  Clamping each
// partial sum gives the same result as clamping the whole sum.
void VideoTotals::fold() {
  if (entries_.size() <= kFoldSmall) {
    // Few entries: match each against the distinct ids found so far.
    std::size_t out = 0;
    for (std::size_t k = 0; k < entries_.size(); ++k) {
      const Entry e = entries_[k];
      std::size_t j = 0;
      while (j < out && entries_[j].key >> 32 != e.key >> 32) ++j;
      if (j == out) {
        entries_[out++] = e;
      } else {
        Entry& group = entries_[j];
        group.key = std::min(group.key, e.key);  // the first appearance
        group.value = std::min(group.value + e.value, kMaxCount);
      }
    }
    entries_.resize(out);
    folded_ = out;
    return;
  }
  std::sort(entries_.begin(), entries_.end(), [](const Entry& x, const Entry& y) { return x.key < y.key; });
  std::size_t out = 0;
  for (std::size_t k = 0; k < entries_.size();) {
    Entry group = entries_[k];
    const std::uint64_t id = group.key >> 32;
    for (++k; k < entries_.size() && entries_[k].key >> 32 == id; ++k) {
      group.value += entries_[k].value;
      if (group.value > kMaxCount) group.value = kMaxCount;
    }
    entries_[out++] = group;
  }
  entries_.resize(out);
  folded_ = out;
}

std::size_t VideoTotals::order(std::size_t keep) {
  fold();
  // Re-key: largest sum first, then earliest appearance; the id moves to
  // `value`.  Sums are clamped, so they fit in the upper 32 bits.
  for (Entry& e : entries_) {
    const std::uint64_t order = e.key & kMaxCount;
    const std::uint64_t id = e.key >> 32;
    e.key = e.value << 32 | (kMaxCount - order);
    e.value = id;
  }
  const auto larger = [](const Entry& x, const Entry& y) { return x.key > y.key; };
  const std::size_t k = std::min(keep, entries_.size());
  if (k < entries_.size()) {
    std::nth_element(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(k), entries_.end(), larger);
  }
  std::sort(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(k), larger);
  return k;
}

void Payload::merge_from(const PayloadView& other) {
  total_count = add_clamped(total_count, other.total_count);
  VideoTotals sums;
  sums.add(view());
  sums.add(other);
  std::vector<std::uint32_t> ids, counts;
  sums.finish(SIZE_MAX, [&](std::size_t k) {
    ids.resize(k);
    counts.resize(k);
    return std::pair{ids.data(), counts.data()};
  });
  video_ids = std::move(ids);
  video_counts = std::move(counts);
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

void PayloadTable::shrink_to_fit() {
  ids_.shrink_to_fit();
  counts_.shrink_to_fit();
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
  ids_.append(video_ids.data(), video_ids.size());
  counts_.append(video_counts.data(), video_counts.size());
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

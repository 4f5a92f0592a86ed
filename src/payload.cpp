#include "payload.hpp"

#include <algorithm>
#include <bit>
#include <functional>
#include <cstdint>
#include <cstring>
#include <utility>

#include "fault.hpp"

namespace tessaloom {

namespace {

constexpr std::uint64_t kMaxCount = kMaxU32;

// Fold once this many pairs have been added since the last fold, unless
// that is less than the distinct ids already held.
constexpr std::size_t kFoldEvery = std::size_t{1} << 16;
// Up to this many entries, folding finds each id's group through a small
// table on the stack instead of sorting.
constexpr std::size_t kFoldSmall = 512;

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
    // Few entries: each id's group found through an open-addressing table
    // of group numbers (plus one; 0 is empty), at most half full, the
    // groups kept in place in the order their ids first come.
    const unsigned bits = static_cast<unsigned>(std::bit_width(2 * entries_.size()));
    const std::size_t mask = (std::size_t{1} << bits) - 1;
    std::uint16_t slots[2 * kFoldSmall * 2];
    std::fill_n(slots, mask + 1, std::uint16_t{0});
    std::size_t out = 0;
    for (std::size_t k = 0; k < entries_.size(); ++k) {
      const Entry e = entries_[k];
      const auto id = static_cast<std::uint32_t>(e.key >> 32);
      for (std::size_t i = (std::uint64_t{id} * 0x9E3779B97F4A7C15ULL) >> (64 - bits);; i = (i + 1) & mask) {
        if (slots[i] == 0) {
          slots[i] = static_cast<std::uint16_t>(out + 1);
          entries_[out++] = e;
          break;
        }
        Entry& group = entries_[slots[i] - 1];
        if (group.key >> 32 == id) {
          group.key = std::min(group.key, e.key);  // the first appearance
          group.value = std::min(group.value + e.value, kMaxCount);
          break;
        }
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

// --- PayloadStore --------------------------------------------------------------

namespace {

// Reads a record's fields in order; a field that does not read ends with
// an internal fault at the record's length and the position reached.
class RecordReader {
 public:
  explicit RecordReader(std::span<const std::uint8_t> record) : record_(record) {}

  std::uint32_t u32() {
    std::uint64_t v = 0;
    const std::size_t w = codec::read_varint(record_.data() + at_, record_.size() - at_, v);
    if (w == 0 || w == 9) fail_index(record_.size(), at_);
    at_ += w;
    return static_cast<std::uint32_t>(v);
  }
  std::size_t count() {
    std::uint64_t v = 0;
    const std::size_t w = codec::read_varint(record_.data() + at_, record_.size() - at_, v);
    if (w == 0 || v > kMaxU32) fail_index(record_.size(), at_);
    at_ += w;
    // Every value takes at least a byte.
    if (v > record_.size() - at_) fail_index(record_.size(), record_.size());
    return static_cast<std::size_t>(v);
  }
  void run(std::vector<std::uint32_t>& out) {
    const std::size_t n = count();
    out.resize(n);
    codec::Reader reader(record_.subspan(at_));
    if (!reader.read_u32_run(out.data(), n)) fail_index(record_.size(), record_.size() - reader.remaining());
    at_ = record_.size() - reader.remaining();
  }

 private:
  std::span<const std::uint8_t> record_;
  std::size_t at_ = 0;
};

}  // namespace

void PayloadStore::decode(std::span<const std::uint8_t> record, DecodedPayload& out) {
  RecordReader reader(record);
  out.total_count = reader.u32();
  reader.run(out.video_ids);
  reader.run(out.video_counts);
}

void PayloadStore::decode_head(std::span<const std::uint8_t> record, std::uint32_t& total_count,
                               std::size_t& id_count) {
  RecordReader reader(record);
  total_count = reader.u32();
  id_count = reader.count();
}

// --- PayloadTable --------------------------------------------------------------

std::uint32_t PayloadTable::append_record(std::uint32_t total_count, std::span<const std::uint32_t> video_ids,
                                          std::span<const std::uint32_t> video_counts) {
  // Short records, which propagation writes by the million, are put in one
  // pass into a buffer with room for the longest form of every value (so
  // the writer stores each value whole, with no end checks), then copied
  // behind their length.  Longer ones are sized first and written in place.
  constexpr std::size_t kShortRun = 32;
  if (video_ids.size() <= kShortRun && video_counts.size() <= kShortRun) {
    // Five bytes at most for each value and the three heads, and the three
    // that a wide store writes past its value.
    std::uint8_t buffer[5 * (3 + 2 * kShortRun) + 3];
    codec::Writer writer(buffer, sizeof buffer);
    put_record(writer, total_count, video_ids, video_counts);
    const auto [offset, out] = open_record(writer.written());
    std::memcpy(out, buffer, writer.written());
    return offset;
  }
  codec::SizeCounter counter;
  put_record(counter, total_count, video_ids, video_counts);
  const auto [offset, out] = open_record(counter.size());
  codec::Writer writer(out, counter.size());
  put_record(writer, total_count, video_ids, video_counts);
  return offset;
}

std::uint32_t PayloadTable::append_record_bytes(std::span<const std::uint8_t> record) {
  const std::uint8_t* base = records_.data();
  const std::less<const std::uint8_t*> before;
  if (base != nullptr && !before(record.data(), base) && before(record.data(), base + records_.size())) {
    return append_record_with_total(std::nullopt, record);  // from this table itself
  }
  return append_record_copy(record);
}

std::uint32_t PayloadTable::append_record_with_total(std::optional<std::uint32_t> total_count,
                                                     std::span<const std::uint8_t> rest) {
  // `rest` may lie in this table's records, which growing may move.
  const std::uint8_t* base = records_.data();
  const std::less<const std::uint8_t*> before;
  const bool inside = !rest.empty() && base != nullptr && !before(rest.data(), base) &&
                      before(rest.data(), base + records_.size());
  const std::size_t at = inside ? static_cast<std::size_t>(rest.data() - base) : 0;
  const std::size_t head = total_count ? codec::varint_size(*total_count) : 0;
  const auto [offset, out] = open_record(head + rest.size());
  if (total_count) {
    codec::Writer writer(out, head);
    writer.write_u32(*total_count);
  }
  const std::uint8_t* from = inside ? records_.data() + at : rest.data();
  if (!rest.empty()) std::memcpy(out + head, from, rest.size());
  return offset;
}

}  // namespace tessaloom

#include "records.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <type_traits>
#include <utility>

#include "../fault.hpp"
#include "../storage/beside.hpp"
#include "../storage/prefault.hpp"

namespace tessaloom::codec {

namespace {

bool read_one_u32(Reader& reader, std::uint32_t& v) { return reader.read_u32(v); }
bool read_one_char(Reader& reader, std::uint32_t& c) { return reader.read_char(c); }
bool read_one_id(Reader& reader, VideoId& id) { return reader.read_bytes16(id); }

// After a run of `n` elements filled what the input could hold, element
// n + 1 cannot be read: the read below fails and leaves its failure in the
// reader.  Were it to succeed, it would land past the storage of length n.
template <class T>
bool fail_past_capacity(Reader& reader, std::size_t n, bool (*read)(Reader&, T&)) {
  T extra{};
  if (read(reader, extra)) fail_index(n, n);
  return false;
}

// How the fresh pages of large arrays are made resident: by a thread of
// their own beside the one that fills them (when a core is to spare), or
// by the filling thread itself, all at once before it fills them (when
// every core is already busy loading: a page thread would only take turns
// with the others, and faulting the pages in one by one costs about twice
// as much as asking for them at once).
enum class Pages : bool { kBeside, kInline };

// Makes [data, data + size) resident the way `pages` says while it lives.
class FreshPages {
 public:
  FreshPages(Pages pages, void* data, std::size_t size)
      : huge_(data, size), prefault_(data, pages == Pages::kBeside ? size : 0) {
    if (pages == Pages::kInline && size >= storage::Prefault::kMinSize) storage::Prefault::populate(data, size);
  }

 private:
  // Before any page is made resident, huge ones where they can be: the
  // arrays are written whole (or freed on failure).
  struct HugePages {
    HugePages(void* data, std::size_t size) { storage::Prefault::prefer_huge_pages(data, size); }
  } huge_;
  storage::Prefault prefault_;
};

// Storage for n elements; more than one block can hold is an internal fault
// (only reachable where size_t is 32 bits).
template <class T>
void resize_storage(std::vector<T>& out, std::size_t n, Pages pages = Pages::kBeside) {
  if (n > out.max_size()) fail_capacity();
  out.reserve(n);
  // The zero-filling meets pages made resident from the other end.
  const FreshPages fresh(pages, out.data(), sizeof(T) * n);
  out.resize(n);
}

// A sequence of elements that take at least one byte each (varints,
// characters), so at most remaining() of them can be read: `run` reads them
// into the storage `storage(n)` hands out, `one` is the single-element read
// that fails past what the input holds.
template <class Storage>
bool read_seq(Reader& reader, bool (Reader::*run)(std::uint32_t*, std::size_t),
              bool (*one)(Reader&, std::uint32_t&), Storage storage) {
  std::size_t count;
  if (!reader.read_count(count)) return false;
  const std::size_t n = std::min(count, reader.remaining());
  if (!(reader.*run)(storage(n), n)) return false;
  if (count > n) {
    return fail_past_capacity(reader, n, one);
  }
  return true;
}

// The sequence's elements replace the contents of `out`.
auto into(std::vector<std::uint32_t>& out) {
  return [&out](std::size_t n) {
    resize_storage(out, n);
    return out.data();
  };
}

bool read_u32_seq(Reader& reader, std::vector<std::uint32_t>& out) {
  return read_seq(reader, &Reader::read_u32_run, read_one_u32, into(out));
}

bool read_char_seq(Reader& reader, std::vector<std::uint32_t>& out) {
  return read_seq(reader, &Reader::read_char_run, read_one_char, into(out));
}

// A payload record, checked in place: the same failures as reading its
// fields.  Sets `longer` when any of its varints uses a longer form than
// needed.
bool skip_record(Reader& reader, bool& longer) {
  std::uint32_t total;
  const std::uint8_t* at = reader.position();
  if (!reader.read_u32(total)) return false;
  longer |= static_cast<std::size_t>(reader.position() - at) != varint_size(total);
  for (int run = 0; run < 2; ++run) {
    std::size_t count;
    at = reader.position();
    if (!reader.read_count(count)) return false;
    longer |= static_cast<std::size_t>(reader.position() - at) != count_size(count);
    // Each element takes at least a byte, so a count beyond the input
    // fails at its end, as reading element by element does.
    if (!reader.skip_u32_run(count, longer)) return false;
  }
  return true;
}

#if defined(__SSE2__)
__m128i load16(const std::uint8_t* at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)); }

// The length of the record at `s`, whose first 48 bytes are `x0`, `x1`
// and `x2`, with 49 bytes readable there, when it has the common shape
// (see common_record_length) with at most ten ids; else 0.  All of it is
// checked from those loads and byte masks chosen by its shape, without a
// branch on the number of ids.
TESSALOOM_ALWAYS_INLINE std::size_t short_common_length(const std::uint8_t* s, __m128i x0, __m128i x1, __m128i x2) {
  // By the width of the total (one or three bytes) and the number of ids,
  // for each of the record's first 48 bytes: 0xFF in `starts` where a
  // three-byte form starts (the total's, when it takes three bytes, and
  // the ids'), in `lows` one byte past each, in `counts` where a count
  // must take one byte.
  struct Shape {
    std::array<std::uint8_t, 48> starts, lows, counts;
  };
  static constexpr auto kShapes = [] {
    std::array<std::array<Shape, 11>, 2> shapes{};
    for (unsigned wide = 0; wide < 2; ++wide) {
      const unsigned total = wide != 0 ? 3 : 1;
      for (unsigned c = 0; c <= 10; ++c) {
        Shape& shape = shapes[wide][c];
        const auto start = [&](unsigned at) { shape.starts[at] = 0xFF, shape.lows[at + 1] = 0xFF; };
        if (wide != 0) start(0);
        for (unsigned k = 0; k < c; ++k) {
          start(total + 1 + 3 * k);
          shape.counts[total + 2 + 3 * c + k] = 0xFF;
        }
      }
    }
    return shapes;
  }();
  const std::size_t wide = s[0] > 250;
  const std::size_t total = 1 + 2 * wide;
  const std::size_t c = s[total];
  if (c > 10) return 0;
  const Shape& shape = kShapes[wide][c];
  const __m128i marker = _mm_set1_epi8(static_cast<char>(251)), limit = _mm_set1_epi8(static_cast<char>(250));
  // The bytes of 16 from `k` * 16 that break the shape: a start without
  // the marker, a low byte of at most 250 with a zero high byte after it
  // (a value with a shorter form), a count past one byte.
  const auto breaks = [&](__m128i x, int k) {
    const __m128i small = _mm_cmpeq_epi8(_mm_max_epu8(x, limit), limit);
    const __m128i high_zero = _mm_cmpeq_epi8(load16(s + 16 * k + 1), _mm_setzero_si128());
    const __m128i starts = load16(shape.starts.data() + 16 * k), lows = load16(shape.lows.data() + 16 * k),
                  counts = load16(shape.counts.data() + 16 * k);
    return _mm_or_si128(_mm_or_si128(_mm_andnot_si128(_mm_cmpeq_epi8(x, marker), starts),
                                     _mm_and_si128(_mm_and_si128(small, high_zero), lows)),
                        _mm_andnot_si128(small, counts));
  };
  const __m128i broken = _mm_or_si128(_mm_or_si128(breaks(x0, 0), breaks(x1, 1)), breaks(x2, 2));
  const bool fits = (static_cast<unsigned>(_mm_movemask_epi8(broken)) | static_cast<unsigned>(s[total + 1 + 3 * c] != c)) == 0;
  return fits ? total + 2 + 4 * c : 0;
}
#endif

// The length of the record at `p` when it has the shape nearly every
// record has: a total of one or three bytes, a one-byte count, ids in
// their three-byte forms, as many counts as ids in their one-byte forms,
// all in their shortest forms; 0 for any other record, or one too near
// the end to check with 16-byte loads.  Such a record is checked with a
// few vector compares instead of element by element (each element's place
// depends on the one before it); every other goes to skip_record.
std::size_t common_record_length([[maybe_unused]] const std::uint8_t* p, [[maybe_unused]] std::size_t avail) {
#if defined(__SSE2__)
  if (avail < 32) return 0;  // room for the first bytes looked at below
  const std::size_t total = p[0] <= 250 ? 1 : p[0] == 251 && load_le16(p + 1) > 250 ? 3 : 0;
  if (total == 0) return 0;
  const std::size_t c = p[total];
  const std::size_t length = total + 2 + 4 * c;
  if (c > 250 || avail < length + 16 || p[total + 1 + 3 * c] != c) return 0;
  // Ids five at a time (markers at bytes 0, 3, 6, 9, 12, no value in a
  // longer form than needed): whether a group fails, without a branch.
  static constexpr unsigned kStarts[] = {0, 0x1, 0x9, 0x49, 0x249, 0x1249};
  const auto bad_ids = [](const std::uint8_t* at, unsigned starts) {
    const ThreeByteGroup group = check_three_byte_group(at, starts);
    return group.not_marked | group.longer;
  };
  const std::uint8_t* q = p + total + 1;
  if (c <= 10 && avail >= total + 48) return short_common_length(p, load16(p), load16(p + 16), load16(p + 32));
  for (std::size_t left = c; left != 0;) {
    const std::size_t k = left < 5 ? left : 5;
    if (bad_ids(q, kStarts[k]) != 0) return 0;
    q += 3 * k;
    left -= k;
  }
  // Counts sixteen at a time, after their count.
  ++q;
  for (std::size_t left = c; left != 0;) {
    const std::size_t k = left < 16 ? left : 16;
    const unsigned wanted = (1u << k) - 1;
    if ((one_byte_forms(q) & wanted) != wanted) return 0;
    q += k;
    left -= k;
  }
  return length;
#else
  return 0;
#endif
}

// By the node arrays already read: when the node of `slot` has exactly one
// child, whose slot was read before and holds a payload, the reference of
// that child's record; else kAbsentPayload.  Arrays that do not fit
// together give none, and so does the packed form: its children come
// after their parents.
std::uint32_t only_child_ref(const TrieArrays& arrays, std::size_t slot) {
  const auto& shifts = arrays.node_shifts;
  const auto& transitions = arrays.child_transitions;
  if (slot >= shifts.size()) return kAbsentPayload;
  const std::size_t begin = shifts[slot];
  const std::size_t end = slot + 1 < shifts.size() ? shifts[slot + 1] : transitions.size();
  if (end != begin + 1 || begin >= transitions.size()) return kAbsentPayload;
  const std::size_t child = transitions[begin];
  if (child >= slot) return kAbsentPayload;
  return arrays.payloads.ref(child);
}

// Records of up to this many bytes, with as many readable from their
// start, are compared with the record before and copied with fixed-size
// moves, without a branch on either outcome: whether a record repeats the
// one before it is a coin toss in a trie's pre-order.
constexpr std::size_t kShortRecord = 48;

// Whether the `size` <= kShortRecord bytes at `a` and `b` are equal, with
// kShortRecord bytes readable at both.
bool short_equal(const std::uint8_t* a, const std::uint8_t* b, std::size_t size) {
#if defined(__SSE2__)
  static_assert(kShortRecord == 48);
  const auto equal = [&](int k) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + 16 * k));
    const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 16 * k));
    return std::uint64_t{static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, y)))} << (16 * k);
  };
  const std::uint64_t wanted = (std::uint64_t{1} << size) - 1;
  return ((equal(0) | equal(1) | equal(2)) & wanted) == wanted;
#else
  return std::memcmp(a, b, size) == 0;
#endif
}

// A run of slots that hold short records of the common shape (see
// common_record_length) with at most ten ids, read with everything it
// changes kept in locals: the record array's bytes are written through a
// byte pointer, which may alias any object in memory, so state kept in
// the table or the reader would be stored and loaded again every slot.
struct ShortRun {
  const std::uint8_t* p;     // the next slot's tag
  std::uint8_t* records;     // the record array
  std::size_t size;          // its bytes taken in
  std::uint32_t* refs;       // where the next reference goes
  std::uint32_t last;        // the record stored last
  // Where it is in the record array, its length first, with kShortRecord
  // + 1 bytes readable; or a length no record of a run has.
  const std::uint8_t* prev;
};

// Stands for the last record where there is none yet.
constexpr std::uint8_t kNoLastRecord[kShortRecord + 1] = {0xFF};

// Reads up to `slots` slots into `run`, while 64 bytes or more are left
// before `end` at each slot's tag and the record array's size is at most
// `size_limit`; stops before the first slot that is absent, fails, or
// holds any other record, which the caller reads the general way.
// Returns the slots read.
std::size_t read_short_run([[maybe_unused]] ShortRun& run, [[maybe_unused]] std::size_t slots, [[maybe_unused]] const std::uint8_t* end,
                           [[maybe_unused]] std::size_t size_limit) {
#if defined(__SSE2__)
  // The farthest byte looked at is 49 past a slot's tag (the last of the
  // kShortRecord bytes loaded one past its record's start).  A
  // slot takes at most 46 bytes of the input (its tag and a record of ten
  // ids) and as many of the record array (a length and the record).
  constexpr std::size_t kReadable = 64, kMostBytes = 46;
  static_assert(kShortRecord == 48 && kShortRecord + 1 <= kReadable);
  const std::uint8_t* p = run.p;
  std::uint8_t* const records = run.records;
  std::size_t size = run.size;
  std::uint32_t* refs = run.refs;
  std::uint32_t* const refs_end = refs + slots;
  std::uint32_t last = run.last;
  const std::uint8_t* prev = run.prev;
  const auto mask = [](__m128i a, __m128i b, __m128i c) {
    return std::uint64_t{static_cast<unsigned>(_mm_movemask_epi8(a))} |
           std::uint64_t{static_cast<unsigned>(_mm_movemask_epi8(b))} << 16 |
           std::uint64_t{static_cast<unsigned>(_mm_movemask_epi8(c))} << 32;
  };
  while (refs != refs_end) {
    // As many slots as the bounds allow whatever the records, with no
    // check of them on the way.
    const std::size_t avail = static_cast<std::size_t>(end - p);
    if (avail < kReadable || size > size_limit) break;
    const std::size_t k = std::min({static_cast<std::size_t>(refs_end - refs), (avail - kReadable) / kMostBytes + 1,
                                    (size_limit - size) / kMostBytes + 1});
    std::uint32_t* const stop = refs + k;
    for (; refs != stop; ++refs) {
      // A record of ten ids takes 45 bytes: all of it in three loads,
      // which every check, the comparison and the copy share.
      const std::uint8_t* s = p + 1;
      const __m128i x0 = load16(s), x1 = load16(s + 16), x2 = load16(s + 32);
      const std::size_t length = short_common_length(s, x0, x1, x2);
      if (p[0] != 1 || length == 0) break;
      // The same length and bytes as the record stored last.
      const std::uint64_t same = mask(_mm_cmpeq_epi8(x0, load16(prev + 1)), _mm_cmpeq_epi8(x1, load16(prev + 17)),
                                      _mm_cmpeq_epi8(x2, load16(prev + 33)));
      const std::uint64_t wanted = (std::uint64_t{1} << length) - 1;
      const bool repeats = static_cast<unsigned>(length == prev[0]) * static_cast<unsigned>((same & wanted) == wanted) != 0;
      std::uint8_t* out = records + size;
      out[0] = static_cast<std::uint8_t>(length);  // a one-byte length
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 1), x0);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 17), x1);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 33), x2);
      // Masks, not branches (a compiler turns a choice into a branch).
      const std::uint32_t differs = 0u - static_cast<std::uint32_t>(!repeats);
      last ^= (last ^ static_cast<std::uint32_t>(size)) & differs;
      prev = repeats ? prev : out;
      size += (1 + length) & differs;
      *refs = last;
      p = s + length;
    }
    if (refs != stop) break;
  }
  const std::size_t read = slots - static_cast<std::size_t>(refs_end - refs);
  run = {p, records, size, refs, last, prev};
  return read;
#else
  return 0;
#endif
}

// How far ahead of the copying the records' pages are made resident: on
// a page thread, and a chunk at a time on the copying thread.
constexpr std::size_t kPrefaultLead = std::size_t{4} << 20;
constexpr std::size_t kInlineChunk = std::size_t{1} << 20;
constexpr std::size_t kInlineSlots = 1024;

// Every optional payload takes at least its tag byte.
bool read_payloads(Reader& reader, TrieArrays& arrays, Pages pages = Pages::kBeside) {
  std::size_t count;
  if (!reader.read_count(count)) return false;
  PayloadTable& table = arrays.payloads;
  // Records are copied as they are: they take no more room than the input
  // that holds them, plus their lengths (at most one byte more than the
  // tag they come with, below 251 bytes; 1% above).
  const std::size_t left = reader.remaining();
  table.reserve(std::min(count, left), left + left / 64 + 16);
  // What the records do not take is given back at the end.
  storage::Prefault::prefer_huge_pages(table.record_storage(), table.record_capacity());
  // The records' pages are made resident on another thread a little ahead
  // of the copying; the capacity past what the records take is not.
  std::atomic<std::size_t> copied{0};
  const bool beside = pages == Pages::kBeside;
  const storage::Prefault prefault(table.record_storage(), beside ? table.record_capacity() : 0, copied, kPrefaultLead);
  const FreshPages refs_pages(pages, table.ref_storage(), table.ref_capacity_bytes());
  // Inline, the records' pages a chunk at a time a little ahead of the
  // copying (the capacity past what the records take is never touched).
  const bool inline_records = !beside && table.record_capacity() >= storage::Prefault::kMinSize;
  std::size_t populated = 0;
  std::uint32_t last = kAbsentPayload;  // the record stored last
  // Its bytes as the input gave them, when it was stored unchanged: the
  // comparison with the next record reads the input, not the copy.
  std::span<const std::uint8_t> last_input;
  // The same when it is short (kShortRecord readable from its start);
  // else a size no record has, beside bytes that can be read.
  static constexpr std::uint8_t kNoShortRecord[kShortRecord] = {};
  const std::uint8_t* last_short = kNoShortRecord;
  std::size_t last_short_size = kShortRecord + 1;
  const std::uint8_t* const input_end = reader.position() + reader.remaining();
  const auto set_last_input = [&](std::span<const std::uint8_t> record) {
    last_input = record;
    const bool short_record = record.size() <= kShortRecord && static_cast<std::size_t>(input_end - record.data()) >= kShortRecord;
    last_short = short_record ? record.data() : kNoShortRecord;
    last_short_size = short_record ? record.size() : kShortRecord + 1;
  };
  // Without the general node arrays no record is compared with a child's.
  const bool by_child = !arrays.node_shifts.empty();
  DecodedPayload scratch;
  // What the slots take written again: what they took here, less what the
  // records stored in shorter forms saved.
  const std::uint8_t* section = reader.position();
  std::size_t saved = 0;
  for (std::size_t i = 0; i < count; ++i) {
    // Every so many slots (their records take far less than a chunk).
    if (inline_records && i % kInlineSlots == 0 && table.record_bytes() + kInlineChunk / 2 > populated &&
        populated < table.record_capacity()) {
      const std::size_t k = std::min(kInlineChunk, table.record_capacity() - populated);
      storage::Prefault::populate(static_cast<std::uint8_t*>(table.record_storage()) + populated, k);
      populated += k;
    }
    // A run starts where the next record has at most ten ids (a look at
    // its tag and count first, so that longer records cost little more).
    if (const std::uint8_t* p = reader.position();
        reader.remaining() >= 64 && p[0] == 1 && p[p[1] <= 250 ? 2 : 4] <= 10 && !by_child &&
        (last_input.data() != nullptr || last == kAbsentPayload) && table.record_capacity() >= kShortRecord + 1) {
      // Up to the next slot where the pages are looked at.
      const std::size_t slots = std::min(count, (i / kInlineSlots + 1) * kInlineSlots) - i;
      const std::size_t room = table.record_capacity() - (kShortRecord + 1);
      auto* const records = static_cast<std::uint8_t*>(table.record_storage());
      ShortRun run{reader.position(), records, table.record_bytes(), table.ref_room(slots), last,
                   last == kAbsentPayload ? kNoLastRecord : records + last};
      if (run.refs != nullptr) {
        if (const std::size_t k = read_short_run(run, slots, input_end, std::min(room, std::size_t{kMaxU32} - 1 - (kShortRecord + 1))); k != 0) {
          // The last record came from the input, as it was.
          const std::size_t last_size = run.prev[0];
          const std::uint8_t* const last_start = run.p - last_size;
          reader.advance(static_cast<std::size_t>(run.p - reader.position()));
          table.commit_record(run.size - table.record_bytes());
          table.extend_refs(k);
          last = run.last;
          last_input = {last_start, last_size};
          last_short = last_start;
          last_short_size = last_size;
          copied.store(table.record_bytes(), std::memory_order_relaxed);
          i += k - 1;
          continue;
        }
      }
    }
    bool present;
    if (!reader.read_tag(present, kOptionalPayloadTypeName)) return false;
    if (!present) {
      table.push_absent();
      continue;
    }
    const std::uint8_t* start = reader.position();
    bool longer = false;
    if (const std::size_t length = common_record_length(start, reader.remaining()); length != 0) {
      reader.advance(length);
    } else if (!skip_record(reader, longer)) {
      return false;
    }
    const std::span<const std::uint8_t> record(start, reader.position());
    if (longer) {
      // Rare: stored again in the shortest forms.
      PayloadStore::decode(record, scratch);
      last = table.append_record(scratch.total_count, scratch.video_ids, scratch.video_counts);
      saved += record.size() - table.view().record_at(last).size();
      set_last_input({});
      table.push_ref(last);
      continue;
    }
    if (std::uint8_t* out = table.record_room(kShortRecord + 1);
        out != nullptr && !by_child && (last_input.data() != nullptr || last == kAbsentPayload) &&
        record.size() <= kShortRecord &&
        static_cast<std::size_t>(input_end - start) >= kShortRecord) {
      // Written in any case, taken in only when it differs from the last.
      const std::size_t size = record.size();
      const bool repeats = static_cast<unsigned>(size == last_short_size) * static_cast<unsigned>(short_equal(last_short, start, size)) != 0;
      const auto offset = static_cast<std::uint32_t>(table.record_bytes());
      out[0] = static_cast<std::uint8_t>(size);  // a one-byte length
      std::memcpy(out + 1, start, kShortRecord);
      // Masks, not branches (a compiler turns a choice into a branch).
      const std::uint32_t differs = 0u - static_cast<std::uint32_t>(!repeats);
      table.commit_record((1 + size) & differs);
      last ^= (last ^ offset) & differs;
      // A repeat has the same bytes as the last record.
      last_input = record;
      last_short = start;
      last_short_size = size;
      table.push_ref(last);
      copied.store(table.record_bytes(), std::memory_order_relaxed);
      continue;
    }
    const auto same = [&](std::span<const std::uint8_t> other) {
      return other.size() == record.size() && std::memcmp(other.data(), record.data(), record.size()) == 0;
    };
    if (last != kAbsentPayload && same(last_input.data() != nullptr ? last_input : table.view().record_at(last))) {
      table.push_ref(last);
      continue;
    }
    const std::uint32_t child = only_child_ref(arrays, i);
    if (child != kAbsentPayload && child != last && same(table.view().record_at(child))) {
      table.push_ref(child);
      continue;
    }
    last = table.append_record_copy(record);
    set_last_input(record);
    table.push_ref(last);
    copied.store(table.record_bytes(), std::memory_order_relaxed);
  }
  table.shrink_to_fit();
  table.set_encoded_bytes(static_cast<std::size_t>(reader.position() - section) - saved);
  return true;
}

// The node arrays read straight into the packed form, for the trees it
// holds; false when they are not such a tree or the input fails, and the
// caller reads them again the general way, which fails as the input does.
bool read_packed_nodes(Reader& reader, PackedArrays& into, Pages pages = Pages::kBeside) {
  std::size_t n;
  // Each node takes at least a byte in each of the three arrays: more than
  // the input can hold fails (below, the general way).
  if (!reader.read_count(n) || n == 0 || n > PackedNodes::kMaxNodes || n > reader.remaining() / 3) return false;
  std::vector<std::uint32_t> shifts;
  resize_storage(shifts, n, pages);
  NodePacker packer;
  if (!reader.read_u32_run(shifts.data(), n) || !packer.shifts(std::move(shifts))) return false;
  // The labels and the transitions a block at a time.
  constexpr std::size_t kBlock = 512;
  std::array<std::uint32_t, kBlock> block;
  const auto read = [&](std::size_t expected, bool (Reader::*run)(std::uint32_t*, std::size_t), auto take) {
    std::size_t count;
    if (!reader.read_count(count) || count != expected) return false;
    for (std::size_t i = 0; i < count;) {
      const std::size_t k = std::min(kBlock, count - i);
      const std::uint8_t* at = reader.position();
      if (!(reader.*run)(block.data(), k) ||
          !take(std::span(block).first(k), static_cast<std::size_t>(reader.position() - at))) {
        return false;
      }
      i += k;
    }
    return true;
  };
  return read(n, &Reader::read_char_run,
              [&](std::span<const Label> labels, std::size_t bytes) { return packer.labels_of_size(labels, bytes); }) &&
         read(n - 1, &Reader::read_u32_run,
              [&](std::span<const NodeId> transitions, std::size_t) { return packer.transitions(transitions); }) &&
         packer.finish(into);
}

// Steps over `n` shifts of a packed tree from `p` as their shortest
// forms take them: they never decrease, so once one takes five bytes, so
// do all after it.  The position past them, or nullptr where they cannot
// be such forms.
const std::uint8_t* step_shifts(const std::uint8_t* p, const std::uint8_t* end, std::size_t n) {
  for (; n != 0; --n) {
    if (p == end) return nullptr;
    if (*p == 252) return static_cast<std::size_t>(end - p) / 5 >= n ? p + 5 * n : nullptr;
    const std::size_t width = varint_width(*p);
    if (width == 0 || width > 3 || width > static_cast<std::size_t>(end - p)) return nullptr;
    p += width;
  }
  return p;
}

// Steps over `n` UTF-8 characters from `p` by their first bytes alone:
// the position past them, or nullptr where they run past `end` or a byte
// starts no character.
const std::uint8_t* step_chars(const std::uint8_t* p, const std::uint8_t* end, std::size_t n) {
  while (n != 0) {
#if defined(__SSE2__)
    // Mostly one-byte forms: sixteen at once.
    if (n >= 16 && end - p >= 16 &&
        _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))) == 0) {
      p += 16;
      n -= 16;
      continue;
    }
#endif
    if (p == end) return nullptr;
    const std::size_t width = utf8_char_width(*p);
    if (width == 0 || width > static_cast<std::size_t>(end - p)) return nullptr;
    p += width;
    --n;
  }
  return p;
}

// Steps over the node arrays of a tree the packed form holds, in their
// shortest forms, to what follows them, for a reader that starts on the
// payloads while another reads the node arrays: the shifts by their
// markers until they take five bytes each, the labels by their first
// bytes, and the transitions, which name 1 to n - 1 in some order, by the
// bytes those numbers take.  That reading says whether this ended where it
// does; any other node arrays end elsewhere, or do not pack.
bool step_over_tree_nodes(Reader& reader) {
  const std::uint8_t* const end = reader.position() + reader.remaining();
  std::size_t n = 0, labels = 0, transitions = 0;
  const auto step = [&](const std::uint8_t* p) {
    if (p == nullptr) return false;
    reader.advance(static_cast<std::size_t>(p - reader.position()));
    return true;
  };
  if (!reader.read_count(n) || !step(step_shifts(reader.position(), end, n)) || !reader.read_count(labels) ||
      !step(step_chars(reader.position(), end, labels)) || !reader.read_count(transitions) || transitions + 1 != n) {
    return false;
  }
  const std::size_t bytes = first_numbers_size(transitions);
  if (bytes > reader.remaining()) return false;
  reader.advance(bytes);
  return true;
}

// Node arrays of this many nodes are packed on a second thread while the
// payloads are read.
constexpr std::size_t kPackBeside = std::size_t{1} << 16;
// Below this many bytes of payloads and videos a node, the threads reading
// and packing make their pages resident themselves (see Pages).  Packing
// costs about as much a node as reading some 30 bytes of records; the
// light index has 22 bytes a node, the heavy one 100.
constexpr std::size_t kInlinePagesBytesPerNode = 48;

// Every video id takes exactly 16 bytes.
bool read_video_seq(Reader& reader, std::vector<VideoId>& out) {
  std::size_t count;
  if (!reader.read_count(count)) return false;
  const std::size_t n = std::min(count, reader.remaining() / 16);
  resize_storage(out, n);
  if (!reader.read_bytes16_run(out.data(), n)) return false;
  if (count > n) {
    return fail_past_capacity(reader, n, read_one_id);
  }
  return true;
}

}  // namespace

std::string EncodeError::to_string() const {
  if (kind == Kind::CountTooLarge) return "CountTooLarge(" + std::to_string(value) + ")";
  return "InvalidLabel { node: " + std::to_string(node) + ", value: " + std::to_string(value) + " }";
}

std::optional<EncodeError> find_unencodable(const Trie& trie) {
  for (const std::size_t len : {trie.node_shifts.size(), trie.child_labels.size(),
                                trie.child_transitions.size(), trie.payloads.size(),
                                trie.video_index.size()}) {
    if (len > kMaxU32) return EncodeError{EncodeError::Kind::CountTooLarge, 0, len};
  }
  // Ids and counts of one payload are bounded by the table's 32-bit offsets.
  if (trie.is_packed()) {
    const PackedNodes& nodes = trie.packed;
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      const Label label = nodes.label_of(nodes.words[i]);
      if (!is_scalar_value(label)) return EncodeError{EncodeError::Kind::InvalidLabel, i, label};
    }
    return std::nullopt;
  }
  const auto& labels = trie.child_labels;
  for (std::size_t i = 0; i < labels.size(); ++i) {
    if (!is_scalar_value(labels[i])) return EncodeError{EncodeError::Kind::InvalidLabel, i, labels[i]};
  }
  return std::nullopt;
}

// --- Trie record -----------------------------------------------------------

namespace {

// The elements that the packed nodes [from, to) take in the three general
// arrays, written into the three writers, the range of node `from`
// starting at `start` (see shift_of).
void write_node_range(const PackedNodes& nodes, std::size_t from, std::size_t to, std::uint32_t start, Writer& shifts,
                      Writer& labels, Writer& transitions) {
  // Values are gathered a block at a time and written as runs.
  constexpr std::size_t kBlock = 512;
  std::array<std::uint32_t, kBlock> shift_block, label_block, transition_block;
  std::size_t in_nodes = 0, in_transitions = 0;
  for_each_general(
      nodes, from, to, start,
      [&](Label label, std::uint32_t shift) {
        shift_block[in_nodes] = shift;
        label_block[in_nodes] = label;
        if (++in_nodes == kBlock) {
          shifts.write_u32_run(shift_block);
          labels.write_char_run(label_block);
          in_nodes = 0;
        }
      },
      [&](NodeId c, bool take) {
        transition_block[in_transitions] = c;
        in_transitions += take;
        if (in_transitions == kBlock) transitions.write_u32_run(transition_block), in_transitions = 0;
      },
      [&](std::span<const NodeId> later) {
        if (later.size() > kBlock - in_transitions) {
          transitions.write_u32_run(std::span(transition_block).first(in_transitions));
          in_transitions = 0;
          if (later.size() > kBlock) return transitions.write_u32_run(later);
        }
        for (const NodeId c : later) transition_block[in_transitions++] = c;
        if (in_transitions == kBlock) transitions.write_u32_run(transition_block), in_transitions = 0;
      });
  shifts.write_u32_run(std::span(shift_block).first(in_nodes));
  labels.write_char_run(std::span(label_block).first(in_nodes));
  transitions.write_u32_run(std::span(transition_block).first(in_transitions));
}

// The bytes the elements of the packed nodes [from, n) take in the three
// general arrays, the range of node `from` starting at `start`.
std::array<std::size_t, 3> node_range_bytes(const PackedNodes& nodes, std::size_t from, std::uint32_t start) {
  // By symbol: the width of its label's UTF-8 form.
  std::array<std::uint8_t, PackedNodes::kSymbols> widths;
  for (std::size_t k = 0; k < widths.size(); ++k) widths[k] = static_cast<std::uint8_t>(char_size(nodes.alphabet[k]));
  std::size_t shift_bytes = 0, label_bytes = 0, transition_bytes = 0;
  const std::size_t n = nodes.size();
  const std::uint32_t* words = nodes.words.data();
  if (from > 0xFFFF) {
    // Every node up to `from` is a child of one before it, so its range
    // and those after start at `from` or later, and every child is
    // numbered after its parent: five-byte forms only, for the shifts of
    // the nodes from `from` on and for the transitions past `start`.
    for (std::size_t u = from; u < n; ++u) label_bytes += widths[words[u] & 0xFF];
    if (start < from || start > n - 1) fail_index(n - 1, start);
    return {5 * (n - from), label_bytes, 5 * (n - 1 - start)};
  }
  for (std::size_t u = from; u < n; ++u) {
    const std::uint32_t w = words[u];
    const std::size_t begin = PackedNodes::later(w), end = nodes.later_end(static_cast<NodeId>(u));
    const bool parent = PackedNodes::is_parent(w);
    shift_bytes += varint_size(start);
    label_bytes += widths[w & 0xFF];
    transition_bytes += parent ? varint_size(u + 1) : 0;
    start += static_cast<std::uint32_t>(parent + (end - begin));
  }
  transition_bytes += u32_run_size(nodes.siblings.subspan(PackedNodes::later(words[from])));
  return {shift_bytes, label_bytes, transition_bytes};
}

// The record's layout, described once: `Sink` is SizeCounter for the
// sizing pass and Writer for the writing pass.  Payload records are
// stored in their written form and go out whole.
template <class Sink>
void put_nodes(Sink& sink, const Trie& trie) {
  if (!trie.is_packed()) {
    sink.write_count(trie.node_shifts.size());
    sink.write_u32_run(trie.node_shifts);
    sink.write_count(trie.child_labels.size());
    sink.write_char_run(trie.child_labels);
    sink.write_count(trie.child_transitions.size());
    sink.write_u32_run(trie.child_transitions);
    return;
  }
  const PackedNodes& nodes = trie.packed;
  const std::size_t n = nodes.size();
  const std::size_t shift_bytes = nodes.encoded_bytes[0], label_bytes = nodes.encoded_bytes[1],
                    transition_bytes = nodes.encoded_bytes[2];
  const std::size_t total = count_size(n) + shift_bytes + count_size(n) + label_bytes + count_size(n - 1) + transition_bytes;
  if constexpr (std::is_same_v<Sink, SizeCounter>) {
    sink.add(total);
  } else {
    // The three arrays in one pass over the nodes, each into its own part
    // of the output.
    const bool fits = sink.write_within(total, [&](std::uint8_t* p) {
      Writer shifts(p, count_size(n) + shift_bytes);
      Writer labels(p + shifts.remaining(), count_size(n) + label_bytes);
      Writer transitions(p + shifts.remaining() + labels.remaining(), count_size(n - 1) + transition_bytes);
      shifts.write_count(n);
      labels.write_count(n);
      transitions.write_count(n - 1);
      write_node_range(nodes, 0, n, 0, shifts, labels, transitions);
      // Sizes that disagree with what was written are an internal fault.
      for (const Writer* w : {&shifts, &labels, &transitions}) {
        if (w->remaining() != 0) fail_index(total, w->written());
      }
      return p + total;
    });
    if (!fits) fail_index(total, total);
  }
}

// A slot whose record was stored with a length of one byte is, with that
// byte turned into the 01 tag, the record's length byte and record as the
// record array holds them: slots of records shorter than this are moved
// in one fixed-size copy, whose tail the next slot overwrites.
constexpr std::size_t kSlotCopy = 48;

// Writes slots from `from` on while they are absent or hold records stored
// with a one-byte length, with room for a short record's whole copy in the
// output; returns the first slot it left for the general way.
std::size_t write_one_byte_slots(Writer& writer, const PayloadStore& payloads, std::size_t from) {
  const std::size_t room = writer.remaining();
  if (room < kSlotCopy) return from;
  const std::uint32_t* const refs = payloads.refs().data();
  const std::uint8_t* const records = payloads.records().data();
  const std::size_t record_bytes = payloads.records().size(), slots = payloads.size();
  std::size_t i = from;
  writer.write_within(room, [&](std::uint8_t* p) {
    const std::uint8_t* const end = p + room;
    for (; i < slots && static_cast<std::size_t>(end - p) >= kSlotCopy; ++i) {
      const std::uint32_t ref = refs[i];
      if (ref == kAbsentPayload) {
        *p++ = 0;
        continue;
      }
      if (ref >= record_bytes) break;
      const std::size_t length = records[ref];
      if (length < kSlotCopy && kSlotCopy <= record_bytes - ref) {
        std::memcpy(p, records + ref, kSlotCopy);
      } else if (length <= 250 && length < record_bytes - ref && length < static_cast<std::size_t>(end - p)) {
        std::memcpy(p + 1, records + ref + 1, length);
      } else {
        break;
      }
      *p = 1;
      p += 1 + length;
    }
    return p;
  });
  return i;
}

// Everything after the node arrays.
template <class Sink>
void put_rest(Sink& sink, const Trie& trie) {
  const PayloadStore& payloads = trie.payloads;
  const std::uint8_t* records_end = payloads.records().data() + payloads.records().size();
  sink.write_count(payloads.size());
  if constexpr (std::is_same_v<Sink, SizeCounter>) {
    if (payloads.encoded_bytes() != PayloadStore::kUnknownSize) {
      sink.add(payloads.encoded_bytes());
      sink.write_count(trie.video_index.size());
      sink.add(16 * trie.video_index.size());
      return;
    }
  }
  for (std::size_t i = 0; i < payloads.size(); ++i) {
    if constexpr (std::is_same_v<Sink, Writer>) {
      i = write_one_byte_slots(sink, payloads, i);
      if (i == payloads.size()) break;
    }
    const bool present = payloads.present(i);
    sink.write_tag(present);
    if (present) {
      const auto record = payloads.record(i);
      sink.write_bytes_from(record, static_cast<std::size_t>(records_end - record.data()));
    }
  }
  sink.write_count(trie.video_index.size());
  static_assert(sizeof(VideoId) == 16);
  sink.write_bytes({reinterpret_cast<const std::uint8_t*>(trie.video_index.data()), 16 * trie.video_index.size()});
}

template <class Sink>
void put_trie(Sink& sink, const Trie& trie) {
  put_nodes(sink, trie);
  put_rest(sink, trie);
}

template <class Put>
void write_exactly(std::uint8_t* out, std::size_t size, Put put) {
  Writer writer(out, size);
  put(writer);
  // A buffer longer than the record would leave bytes unwritten.
  if (writer.written() != size) fail_index(size, writer.written());
}

// Packed node arrays this large are written on a second thread while the
// caller writes the rest.
constexpr std::size_t kNodesBeside = std::size_t{1} << 20;

// How many of the `n` packed nodes the second thread writes, so that both
// threads take about as long, the caller also writing `slots` payload
// slots and `rest_bytes` after the node arrays.  By instruction counts on
// the light and heavy indexes: a node's three elements cost about 105 to
// write and 5 more to size (the caller sizes the nodes it writes past node
// 65535, see node_range_bytes), a slot
// about 20 where records are short (see kSlotCopy) and 40 where they are
// long, and the bytes a quarter of an instruction each.
std::size_t nodes_beside(std::size_t n, std::size_t slots, std::size_t rest_bytes) {
  const double per_slot = rest_bytes < kSlotCopy * slots ? 20.0 : 40.0;
  const double rest = per_slot * static_cast<double>(slots) + 0.25 * static_cast<double>(rest_bytes);
  const double split = (110.0 * static_cast<double>(n) + rest) / 215.0;
  return split >= static_cast<double>(n) ? n : static_cast<std::size_t>(split);
}

}  // namespace

std::size_t encoded_size(const Trie& trie) {
  SizeCounter counter;
  put_trie(counter, trie);
  return counter.size();
}

void encode_into(const Trie& trie, std::uint8_t* out, std::size_t size) {
  // A large output is usually fresh memory, written whole: in huge pages
  // where the kernel has them, which another thread makes resident from
  // the end while this one writes (and faults in) from the start, so that
  // the writing finds the rest mapped.
  storage::Prefault::prefer_huge_pages(out, size);
  const storage::Prefault prefault(out, size);
  SizeCounter nodes;
  put_nodes(nodes, trie);
  if (!trie.is_packed() || nodes.size() < kNodesBeside || nodes.size() > size) {
    write_exactly(out, size, [&](Writer& w) { put_trie(w, trie); });
    return;
  }
  // Regenerating the general arrays from the packed ones costs more than
  // writing everything else where records are short: the nodes up to
  // `split` are written beside, the others here before the rest.
  const PackedNodes& packed = trie.packed;
  const std::size_t n = packed.size(), split = nodes_beside(n, trie.payloads.size(), size - nodes.size());
  const std::array<std::size_t, 3> all = packed.encoded_bytes;
  const std::uint32_t start = split < n ? shift_of(packed, split) : 0;
  const std::array<std::size_t, 3> tail = split < n ? node_range_bytes(packed, split, start) : std::array<std::size_t, 3>{};
  for (std::size_t k = 0; k < 3; ++k) {
    if (tail[k] > all[k]) fail_index(all[k], tail[k]);
  }
  // Where each array starts, and where its elements of the nodes from
  // `split` on start.
  const std::size_t at[3] = {0, count_size(n) + all[0], 2 * count_size(n) + all[0] + all[1]};
  const std::size_t ends[3] = {at[1], at[2], nodes.size()};
  const auto check = [](const Writer& w) {
    if (w.remaining() != 0) fail_index(w.written() + w.remaining(), w.written());
  };
  storage::Beside beside([&] {
    Writer shifts(out, ends[0] - tail[0]), labels(out + at[1], ends[1] - at[1] - tail[1]),
        transitions(out + at[2], ends[2] - at[2] - tail[2]);
    shifts.write_count(n);
    labels.write_count(n);
    transitions.write_count(n - 1);
    write_node_range(packed, 0, split, 0, shifts, labels, transitions);
    check(shifts), check(labels), check(transitions);
  });
  if (split < n) {
    Writer shifts(out + ends[0] - tail[0], tail[0]), labels(out + ends[1] - tail[1], tail[1]),
        transitions(out + ends[2] - tail[2], tail[2]);
    write_node_range(packed, split, n, start, shifts, labels, transitions);
    check(shifts), check(labels), check(transitions);
  }
  write_exactly(out + nodes.size(), size - nodes.size(), [&](Writer& w) { put_rest(w, trie); });
  beside.join();
}

std::variant<std::vector<std::uint8_t>, EncodeError> encode_to_vec(const Trie& trie) {
  if (auto error = find_unencodable(trie)) return *error;
  const std::size_t size = encoded_size(trie);
  std::vector<std::uint8_t> out(size);
  encode_into(trie, out.data(), size);
  return out;
}

DecodeResult decode_trie(std::span<const std::uint8_t> bytes) {
  const Reader start(bytes);
  std::size_t nodes = 0;
  if (Reader peek = start; peek.read_count(nodes) && nodes >= kPackBeside) {
    // A large tree: packed on a second thread from the start, while this
    // one steps over the node arrays as a packed tree's take them to find
    // the payloads and reads them (packing reads only the node arrays'
    // bytes, reading writes only the payloads).  Where packing ends
    // elsewhere, all is read again the general way.
    PackedArrays packed;
    bool packs = false;
    // Where the records are short against the nodes, packing keeps the
    // second core as busy as reading keeps the first: each thread then
    // makes its own pages resident.  What follows the node arrays is
    // judged before they are stepped over, by the least they take (a
    // byte for each element).
    const std::size_t rest = bytes.size() - std::min(bytes.size(), 3 * nodes);
    const Pages pages = rest / kInlinePagesBytesPerNode < nodes ? Pages::kInline : Pages::kBeside;
    const std::uint8_t* nodes_end = nullptr;
    storage::Beside beside([&, nodes_reader = start]() mutable {
      packs = read_packed_nodes(nodes_reader, packed, pages);
      nodes_end = nodes_reader.position();
    });
    Reader reader = start;
    TrieArrays arrays;
    const bool stepped = step_over_tree_nodes(reader);
    const std::uint8_t* const payloads_start = reader.position();
    const bool read = stepped && read_payloads(reader, arrays, pages) && read_video_seq(reader, arrays.video_index);
    beside.join();
    if (stepped && packs && payloads_start == nodes_end) {
      if (!read) return reader.error();
      arrays.packed = std::move(packed);
      return adopt(std::move(arrays));
    }
    // Any other node arrays are read again the general way, below.
  }
  Reader reader = start;
  TrieArrays arrays;
  // A tree the packed form holds is read into it directly; any other node
  // arrays, and failing input, are read again the general way.
  Reader packed_reader = start;
  if (read_packed_nodes(packed_reader, arrays.packed)) {
    reader = packed_reader;
  } else if (!read_u32_seq(reader, arrays.node_shifts) || !read_char_seq(reader, arrays.child_labels) ||
             !read_u32_seq(reader, arrays.child_transitions)) {
    return reader.error();
  }
  if (!read_payloads(reader, arrays) || !read_video_seq(reader, arrays.video_index)) return reader.error();
  return adopt(std::move(arrays));
}

}  // namespace tessaloom::codec

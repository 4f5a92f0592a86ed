#include "records.hpp"

#include <algorithm>
#include <utility>

#include "../fault.hpp"

namespace tessaloom::codec {

namespace {

constexpr std::uint64_t kMaxCount = 0xFFFFFFFFu;

bool read_one_u32(Reader& reader, std::uint32_t& v) { return reader.read_u32(v); }
bool read_one_char(Reader& reader, std::uint32_t& c) { return reader.read_char(c); }
bool read_one_id(Reader& reader, VideoId& id) { return reader.read_bytes16(id); }
bool read_one_tag(Reader& reader, bool& present) {
  return reader.read_tag(present, kOptionalPayloadTypeName);
}

// After a run of `n` elements filled what the input could hold, element
// n + 1 cannot be read: the read below fails and leaves its failure in the
// reader.  Were it to succeed, it would land past the storage of length n.
template <class T>
bool fail_past_capacity(Reader& reader, std::size_t n, bool (*read)(Reader&, T&)) {
  T extra{};
  if (read(reader, extra)) fail_index(n, n);
  return false;
}

// Storage for n elements; more than one block can hold is an internal fault
// (only reachable where size_t is 32 bits).
template <class T>
void resize_storage(std::vector<T>& out, std::size_t n) {
  if (n > out.max_size()) fail_capacity();
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

// Reads a sequence of varint u32 into storage handed out by `append`.
template <class Append>
bool read_u32_seq_into(Reader& reader, Append append) {
  return read_seq(reader, &Reader::read_u32_run, read_one_u32, append);
}

// Every optional payload takes at least its tag byte.
bool read_payloads(Reader& reader, PayloadTable& table) {
  std::size_t count;
  if (!reader.read_count(count)) return false;
  const std::size_t n = std::min(count, reader.remaining());
  // Entries are appended as they are read: the entry arrays grow by
  // doubling, so they never hold more than twice what the input gave, and
  // give back the spare capacity at the end.
  table.reserve(n, 0);
  for (std::size_t i = 0; i < n; ++i) {
    if (!read_optional_payload_into(reader, table)) return false;
  }
  table.shrink_to_fit();
  if (count > n) {
    return fail_past_capacity(reader, n, read_one_tag);
  }
  return true;
}

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
    if (len > kMaxCount) return EncodeError{EncodeError::Kind::CountTooLarge, 0, len};
  }
  // Ids and counts of one payload are bounded by the table's 32-bit offsets.
  const auto& labels = trie.child_labels;
  for (std::size_t i = 0; i < labels.size(); ++i) {
    if (!is_scalar_value(labels[i])) return EncodeError{EncodeError::Kind::InvalidLabel, i, labels[i]};
  }
  return std::nullopt;
}

// --- Payload record ----------------------------------------------------------

std::size_t payload_encoded_size(const PayloadView& payload) {
  return varint_size(payload.total_count) + count_size(payload.video_ids.size()) +
         u32_run_size(payload.video_ids) + count_size(payload.video_counts.size()) +
         u32_run_size(payload.video_counts);
}

void write_payload(Writer& writer, const PayloadView& payload) {
  writer.write_u32(payload.total_count);
  writer.write_count(payload.video_ids.size());
  writer.write_u32_run(payload.video_ids);
  writer.write_count(payload.video_counts.size());
  writer.write_u32_run(payload.video_counts);
}

bool read_payload_into(Reader& reader, PayloadTable& table) {
  std::uint32_t total;
  if (!reader.read_u32(total)) return false;
  if (!read_u32_seq_into(reader, [&](std::size_t n) { return table.append_ids(n); })) return false;
  if (!read_u32_seq_into(reader, [&](std::size_t n) { return table.append_counts(n); })) return false;
  table.close_present(total);
  return true;
}

bool read_optional_payload_into(Reader& reader, PayloadTable& table) {
  bool present;
  if (!reader.read_tag(present, kOptionalPayloadTypeName)) return false;
  if (!present) {
    table.push_absent();
    return true;
  }
  return read_payload_into(reader, table);
}

// --- Trie record -----------------------------------------------------------

std::size_t encoded_size(const Trie& trie) {
  std::size_t size = count_size(trie.node_shifts.size()) + u32_run_size(trie.node_shifts) +
                     count_size(trie.child_labels.size()) + char_run_size(trie.child_labels) +
                     count_size(trie.child_transitions.size()) + u32_run_size(trie.child_transitions);
  // Payloads: a tag per slot, a total and two counts per present slot, and
  // the entries, sized in bulk (every entry of the table belongs to one slot).
  const PayloadTable& payloads = trie.payloads;
  size += count_size(payloads.size()) + payloads.size();
  for (std::size_t i = 0; i < payloads.size(); ++i) {
    if (!payloads.present(i)) continue;
    const PayloadView v = payloads.get(i);
    size += varint_size(v.total_count) + count_size(v.video_ids.size()) + count_size(v.video_counts.size());
  }
  size += u32_run_size(payloads.all_video_ids()) + u32_run_size(payloads.all_video_counts());
  size += count_size(trie.video_index.size()) + 16 * trie.video_index.size();
  return size;
}

void encode_into(const Trie& trie, std::uint8_t* out, std::size_t size) {
  Writer writer(out, size);
  writer.write_count(trie.node_shifts.size());
  writer.write_u32_run(trie.node_shifts);
  writer.write_count(trie.child_labels.size());
  writer.write_char_run(trie.child_labels);
  writer.write_count(trie.child_transitions.size());
  writer.write_u32_run(trie.child_transitions);
  const PayloadTable& payloads = trie.payloads;
  writer.write_count(payloads.size());
  for (std::size_t i = 0; i < payloads.size(); ++i) {
    if (!payloads.present(i)) {
      writer.write_tag(false);
      continue;
    }
    const PayloadView v = payloads.get(i);
    // At most: the tag, 5 bytes for each of the total, the two counts and
    // every entry, and 3 more that the last wide store may spill.
    const std::size_t max_bytes = 1 + 5 * (3 + v.video_ids.size() + v.video_counts.size()) + 3;
    const bool written = writer.write_within(max_bytes, [&](std::uint8_t* p) {
      *p++ = 1;
      p = Writer::put_u32_wide(p, v.total_count);
      p = Writer::put_u32_wide(p, static_cast<std::uint32_t>(v.video_ids.size()));
      for (const std::uint32_t id : v.video_ids) p = Writer::put_u32_wide(p, id);
      p = Writer::put_u32_wide(p, static_cast<std::uint32_t>(v.video_counts.size()));
      for (const std::uint32_t count : v.video_counts) p = Writer::put_u32_wide(p, count);
      return p;
    });
    if (!written) {  // the last few bytes of the buffer
      writer.write_tag(true);
      write_payload(writer, v);
    }
  }
  writer.write_count(trie.video_index.size());
  writer.write_bytes16_run(trie.video_index);
  // A buffer longer than the record would leave bytes unwritten.
  if (writer.written() != size) fail_index(size, writer.written());
}

std::variant<std::vector<std::uint8_t>, EncodeError> encode_to_vec(const Trie& trie) {
  if (auto error = find_unencodable(trie)) return *error;
  const std::size_t size = encoded_size(trie);
  std::vector<std::uint8_t> out(size);
  encode_into(trie, out.data(), size);
  return out;
}

DecodeResult decode_trie(std::span<const std::uint8_t> bytes) {
  Reader reader(bytes);
  Trie trie;
  if (!read_u32_seq(reader, trie.node_shifts) || !read_char_seq(reader, trie.child_labels) ||
      !read_u32_seq(reader, trie.child_transitions) || !read_payloads(reader, trie.payloads) ||
      !read_video_seq(reader, trie.video_index)) {
    return reader.error();
  }
  return trie;
}

}  // namespace tessaloom::codec

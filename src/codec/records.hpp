// Writers and readers of the saved-index records.
//
// A saved index is the `Trie` record and nothing else: its five fields in
// declared order, each a sequence (count, then elements):
//   node_shifts        varint u32 each
//   child_labels       one UTF-8 character each (U+0000 as 00)
//   child_transitions  varint u32 each
//   payloads           tag 00 (absent) or 01 followed by a Payload record
//   video_index        16 raw bytes each
// A Payload record is total_count (varint u32), then video_ids and
// video_counts, each a sequence of varint u32.
//
// Reading takes the record exactly as the bytes describe it (array lengths
// that disagree, ids and counts of different lengths, absent payloads) and
// ignores bytes after it.  A declared count is never trusted for storage:
// what is set aside up front is capped by what the remaining input could
// hold, so a short input declaring billions of elements fails with the same
// failure element-by-element reading reaches, in memory proportional to the
// input: at most 4 bytes of arrays per input byte (a u32 per one-byte
// element, a reference per one-byte absent slot), whatever the input.
// Memory exhaustion surfaces as std::bad_alloc.
//
// Payload records are checked in input order and copied whole into the
// index's record array, which keeps them exactly as given (absent slots,
// ids and counts of different lengths); a record that uses a longer varint
// form than needed is stored rewritten in the shortest forms, so writing
// the index again gives the shortest forms.  A record equal to the one
// stored just before it, or to that of the node's only child, is not
// stored again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "../payload.hpp"
#include "../prefix/trie.hpp"
#include "encoding.hpp"

namespace tessaloom::codec {

// A record that cannot be written so that it reads back.  Only a record
// built around the checks of construction can be like this.
struct EncodeError {
  enum class Kind : std::uint8_t {
    InvalidLabel,   // node, value: a label that is not a Unicode scalar value
    CountTooLarge,  // value: an array longer than 2^32-1 elements
  };
  Kind kind = Kind::InvalidLabel;
  std::uint64_t node = 0;
  std::uint64_t value = 0;

  // "InvalidLabel { node: 3, value: 55296 }" or "CountTooLarge(4294967296)".
  std::string to_string() const;
  friend bool operator==(const EncodeError&, const EncodeError&) = default;
};

// The first reason `trie` would not read back, if any.  Writing such a
// record is still well defined (see char_size), it just reads back as a
// failure.
std::optional<EncodeError> find_unencodable(const Trie& trie);

// Exact number of bytes `encode_into` writes.
std::size_t encoded_size(const Trie& trie);

// Writes the record into out[0..size); `size` must be encoded_size(trie),
// anything else is an internal fault.
void encode_into(const Trie& trie, std::uint8_t* out, std::size_t size);

// Checks the record, sizes it, allocates once and writes.
std::variant<std::vector<std::uint8_t>, EncodeError> encode_to_vec(const Trie& trie);

// Reads one Trie record from the front of `bytes`.
using DecodeResult = std::variant<Trie, DecodeError>;
DecodeResult decode_trie(std::span<const std::uint8_t> bytes);

}  // namespace tessaloom::codec

// An index as the sections of a mapped index file (see image.hpp), and an
// index that reads those sections in place from a file mapping.
//
// Sections, in this order (kind, element width):
//   1 node_shifts        4   u32 per node
//   2 child_labels       4   u32 per node (a Unicode scalar value, 0 empty)
//   3 child_transitions  4   u32 node id per child, grouped by parent
//   4 payload refs       4   u32 per payload slot: record offset, or
//                            FFFFFFFF for an absent payload
//   5 payload records    1   the records the refs point at
//   6 video_index        16  the 16 bytes of each video id
// The arrays are the index's own storage, written as they are held (all
// values little-endian).  An index opened from a file is checked no
// further than its sections' bounds: every lookup a query makes is checked
// as for any other index, so a damaged file gives a result or an internal
// fault, never a read outside the mapping.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "../prefix/trie.hpp"
#include "image.hpp"
#include "mapping.hpp"

namespace tessaloom::storage {

// The sections that hold `trie`, pointing into its arrays, or for packed
// nodes into their general arrays, made in `scratch`.
std::vector<SectionSource> index_sections(const Trie& trie, NodeArrays& scratch);

// The index that reads the sections of a file image in place (8-byte
// aligned, alive as long as the index), or what is wrong with it.
std::variant<Trie, std::string> view_image(std::span<const std::uint8_t> image, bool verify);

// The same for a mapped file; the index keeps the mapping alive.
std::variant<Trie, std::string> open_mapped_index(std::shared_ptr<const FileMapping> mapping, bool verify);

// Figures about an index, for `tessaloom info`.
struct IndexFacts {
  std::uint64_t nodes = 0;
  std::uint64_t child_transitions = 0;
  std::uint64_t payload_slots = 0;
  std::uint64_t present_payloads = 0;
  std::uint64_t stored_records = 0;   // distinct records the slots point at
  std::uint64_t payload_entries = 0;  // video ids over all present slots
  std::uint64_t record_bytes = 0;
  std::uint64_t videos = 0;
  std::uint64_t array_bytes = 0;      // all arrays together
};
IndexFacts index_facts(const Trie& trie);

}  // namespace tessaloom::storage

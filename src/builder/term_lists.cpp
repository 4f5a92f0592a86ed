#include "term_lists.hpp"

#include <cstring>

#include "../fault.hpp"

namespace tessaloom::build {

std::uint32_t TermLists::allocate(unsigned level, Group& group) {
  const std::size_t size = block_size(level);
  if (size > group.left) {
    // Addresses count 16-byte units in a u32: at most 64 GiB of chunks.
    if (chunks_.size() >= (std::size_t{1} << 32) / (kChunk / kUnit)) fail_capacity();
    // Zeroed: the unused end of a block reads as the end of its entries.
    group.chunks.push_back(static_cast<std::uint32_t>(chunks_.size()));
    chunks_.push_back(std::make_unique<std::uint8_t[]>(kChunk));
    group.next = (chunks_.size() - 1) * kChunk;
    group.left = kChunk;
    if (group.next == 0) group.next = kUnit, group.left -= kUnit;  // address 0 is no block
  }
  const auto address = static_cast<std::uint32_t>(group.next / kUnit);
  group.next += size;
  group.left -= size;
  return address;
}

void TermLists::release(std::size_t group) {
  Group& g = groups_[group];
  for (const std::uint32_t chunk : g.chunks) chunks_[chunk].reset();
  g = Group();
}

void TermLists::append(std::uint32_t term, std::uint32_t video, std::uint32_t count) {
  // The entry's two varints (at most 5 + 5 bytes), then zeros.
  std::uint8_t bytes[16] = {};
  std::size_t length = 0;
  for (std::uint64_t v = std::uint64_t{video} + 1; ; v >>= 7) {
    if (v < 0x80) {
      bytes[length++] = static_cast<std::uint8_t>(v);
      break;
    }
    bytes[length++] = static_cast<std::uint8_t>(v | 0x80);
  }
  for (std::uint32_t v = count; ; v >>= 7) {
    if (v < 0x80) {
      bytes[length++] = static_cast<std::uint8_t>(v);
      break;
    }
    bytes[length++] = static_cast<std::uint8_t>(v | 0x80);
  }
  List& list = lists_[term];
  Group& group = groups_[group_of(term)];
  if (list.tail == 0) {
    list.head = list.tail = allocate(0, group);
    list.fill = 4;
    list.level = 0;
  } else if (list.fill + length > block_size(list.level)) {
    const unsigned level = list.level + 1u < kLevels ? list.level + 1u : list.level;
    const std::uint32_t block = allocate(level, group);
    std::memcpy(at(list.tail), &block, 4);
    list.tail = block;
    list.fill = 4;
    list.level = static_cast<std::uint8_t>(level);
  }
  std::uint8_t* to = at(list.tail) + list.fill;
  // A store of fixed width where the block has room for it, rather than a
  // call for `length` bytes: past the entry it writes zeros, which the
  // block held there already (its chunk came zeroed).
  if (list.fill + 10u <= block_size(list.level)) {
    std::memcpy(to, bytes, 10);
  } else {
    std::memcpy(to, bytes, length);
  }
  list.fill = static_cast<std::uint16_t>(list.fill + length);
}

}  // namespace tessaloom::build

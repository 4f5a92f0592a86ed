// Every term's (video, count) entries, kept in entry order in a compact
// form while the input is read: varints in a chain of blocks per term,
// small blocks first, then doubling up to a cap, cut from large chunks that
// never move.  About 3 to 4 bytes an entry where plain columns take 12,
// and already grouped by term, so building needs no second copy of the
// entries to group them.  Terms come in groups of consecutive ids, each
// with chunks of its own, so that a group's memory can be freed as soon as
// its lists are read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace tessaloom::build {

class TermLists {
 public:
  // Room for the lists of terms [0, terms).
  void resize(std::size_t terms) {
    if (terms > lists_.size()) lists_.resize(terms);
    const std::size_t groups = (terms + (std::size_t{1} << kGroupBits) - 1) >> kGroupBits;
    if (groups > groups_.size()) groups_.resize(groups);
  }
  std::size_t terms() const { return lists_.size(); }

  // Appends an entry to the list of `term` (< terms()).
  void append(std::uint32_t term, std::uint32_t video, std::uint32_t count);

  // Hints that `term`'s list is appended to soon: its state now, the place
  // its next entry goes (as far as the state is known) on a later call.
  void prefetch_state(std::uint32_t term) const { __builtin_prefetch(&lists_[term]); }
  // Hints that `term`'s list is read soon: its block `k`, found through the
  // state and the blocks before it, fetched on earlier calls.
  void prefetch_block(std::uint32_t term, int k) const {
    const List& list = lists_[term];
    std::uint32_t block = list.head;
    for (; k > 0 && block != 0; --k) {
      if (block == list.tail) return;
      __builtin_memcpy(&block, at(block), 4);
    }
    if (block != 0) __builtin_prefetch(at(block));
  }
  void prefetch_tail(std::uint32_t term) const {
    const List& list = lists_[term];
    if (list.tail != 0) __builtin_prefetch(at(list.tail) + list.fill, 1);
  }

  // Calls visit(video, count) for each entry of `term`, in order.
  template <class Visit>
  void for_each(std::uint32_t term, Visit&& visit) const;

  // The group of a term, and the number of groups.
  static std::size_t group_of(std::uint32_t term) { return term >> kGroupBits; }
  std::size_t groups() const { return groups_.size(); }
  // Frees the lists of a group's terms (which must not be read again).
  void release(std::size_t group);

 private:
  // Blocks start on 16-byte units; a block address is its unit number
  // (0 is no block: the first unit is never handed out).
  static constexpr std::size_t kUnit = 16;
  static constexpr std::size_t kChunk = std::size_t{1} << 18;
  static constexpr unsigned kGroupBits = 15;
  // Block sizes by level: most lists are short, so the first blocks stay
  // small (little room left unused), and long lists double from there.
  static constexpr unsigned kLevels = 8;
  static constexpr std::uint16_t kBlockSize[kLevels] = {32, 32, 32, 32, 64, 128, 256, 512};
  // A block: the address of the next block (4 bytes), then entries; the
  // entries of a block that is not its list's last end at a zero byte or at
  // the block's end.
  struct List {
    std::uint32_t head = 0, tail = 0;
    std::uint16_t fill = 0;  // bytes used in the last block
    std::uint8_t level = 0;  // of the last block
  };
  static std::size_t block_size(unsigned level) { return kBlockSize[level]; }
  std::uint8_t* at(std::uint32_t address) {
    const std::size_t byte = std::size_t{address} * kUnit;
    return chunks_[byte / kChunk].get() + byte % kChunk;
  }
  const std::uint8_t* at(std::uint32_t address) const {
    const std::size_t byte = std::size_t{address} * kUnit;
    return chunks_[byte / kChunk].get() + byte % kChunk;
  }
  struct Group {
    std::vector<std::uint32_t> chunks;  // numbers in `chunks_`
    std::size_t next = 0;  // the first free byte, counting through all chunks
    std::size_t left = 0;  // free bytes in its last chunk
  };
  std::uint32_t allocate(unsigned level, Group& group);

  std::vector<List> lists_;
  std::vector<Group> groups_;
  std::vector<std::unique_ptr<std::uint8_t[]>> chunks_;
};

namespace term_lists_detail {
// Reads a varint written by `append`; advances `p`.
inline std::uint64_t read_varint(const std::uint8_t*& p) {
  std::uint64_t value = 0;
  for (unsigned shift = 0;; shift += 7) {
    const std::uint8_t byte = *p++;
    value |= std::uint64_t{byte & 0x7Fu} << shift;
    if (byte < 0x80) return value;
  }
}
}  // namespace term_lists_detail

template <class Visit>
void TermLists::for_each(std::uint32_t term, Visit&& visit) const {
  const List& list = lists_[term];
  unsigned level = 0;  // a list's blocks come at levels 0, 1, 2, ... up to the cap
  for (std::uint32_t block = list.head; block != 0; level = level + 1 < kLevels ? level + 1 : level) {
    const std::uint8_t* start = at(block);
    std::uint32_t next;
    __builtin_memcpy(&next, start, 4);
    // Within the last block, entries end at `fill`; in the others, at a
    // zero byte (a video is written plus one) or at the block's end.
    const bool last = block == list.tail;
    const std::uint8_t* end = start + (last ? list.fill : block_size(level));
    const std::uint8_t* p = start + 4;
    while (p < end && *p != 0) {
      const std::uint64_t video = term_lists_detail::read_varint(p) - 1;
      const std::uint64_t count = term_lists_detail::read_varint(p);
      visit(static_cast<std::uint32_t>(video), static_cast<std::uint32_t>(count));
    }
    block = last ? 0 : next;
  }
}

}  // namespace tessaloom::build

// libFuzzer target: mapped index files, damaged.
//
// Input: a mapped index file (the seeds are valid ones; libFuzzer flips,
// inserts and cuts bytes, and the custom mutator below also swaps section
// entries and moves their counts, offsets and lengths, with the header
// checksum recomputed so that the damage gets past the header's own
// check).  The file is opened in place, without and with verification;
// whatever opens must answer the core calls behind all five methods (both
// queries, the ranking, sizing and writing the byte form and reading it
// back, the facts) with a result or the internal fault, under the
// sanitizers.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "codec/records.hpp"
#include "prefix/matcher.hpp"
#include "ranking.hpp"
#include "storage/mapped_index.hpp"

using namespace tessaloom;

namespace {

constexpr std::size_t kHeader = storage::kHeaderBytes;
constexpr std::size_t kEntry = storage::kSectionEntryBytes;

const char* const kQueries[] = {"", "a", "ca", "cat", "zq", "\xc3\xa9t\xc3\xa9", "abcdefghijklmnopqrstuvwxyz"};

template <class F>
void tolerate_fault(F call) {
  try {
    call();
  } catch (const InternalFault&) {
  } catch (const std::bad_alloc&) {
  }
}

void exercise(const Trie& trie) {
  for (const char* term : kQueries) {
    for (const std::uint32_t max_dist : {0u, 1u, 2u, 0xFFFFFFFFu}) {
      tolerate_fault([&] { (void)fuzzy_match(trie, term, max_dist, std::nullopt); });
      tolerate_fault([&] { (void)rank_videos(trie, term, max_dist, 3); });
    }
  }
  tolerate_fault([&] {
    if (codec::find_unencodable(trie)) return;
    const std::size_t size = codec::encoded_size(trie);
    std::vector<std::uint8_t> out(size);
    codec::encode_into(trie, out.data(), size);
    (void)codec::decode_trie(out);
  });
  tolerate_fault([&] { (void)storage::index_facts(trie); });
}

std::uint64_t get64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
void put64(std::uint8_t* p, std::uint64_t v) { std::memcpy(p, &v, 8); }

// The header checksum, recomputed over the header the file declares.
void reseal(std::uint8_t* data, std::size_t size) {
  if (size < kHeader) return;
  std::uint32_t sections;
  std::memcpy(&sections, data + 20, 4);
  const std::size_t header = kHeader + kEntry * std::min<std::size_t>(sections, 64);
  if (header > size) return;
  std::vector<std::uint8_t> copy(data, data + header);
  std::memset(copy.data() + 32, 0, 8);
  put64(data + 32, storage::checksum(copy));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A mapping is page-aligned: give the image an 8-byte aligned copy.
  std::vector<std::uint64_t> aligned((size + 7) / 8);
  if (size != 0) std::memcpy(aligned.data(), data, size);
  const std::span<const std::uint8_t> image(reinterpret_cast<const std::uint8_t*>(aligned.data()), size);
  for (const bool verify : {false, true}) {
    auto opened = storage::view_image(image, verify);
    if (const Trie* trie = std::get_if<Trie>(&opened)) {
      exercise(*trie);
      break;
    }
  }
  return 0;
}

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t max_size);

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size, std::size_t max_size,
                                               unsigned int seed) {
  std::uint32_t r = seed * 2654435761u + 1;
  const auto next = [&r] { return r = r * 1664525u + 1013904223u; };
  const std::size_t sections = size >= kHeader + 6 * kEntry ? 6 : 0;
  switch (sections == 0 ? 0 : next() % 4) {
    case 1: {  // swap two section entries
      std::uint8_t* a = data + kHeader + kEntry * (next() % sections);
      std::uint8_t* b = data + kHeader + kEntry * (next() % sections);
      for (std::size_t k = 0; k < kEntry; ++k) std::swap(a[k], b[k]);
      reseal(data, size);
      return size;
    }
    case 2: {  // move a count, offset or length by a little or a lot
      std::uint8_t* field = data + kHeader + kEntry * (next() % sections) + 8 * (1 + next() % 3);
      const std::uint64_t deltas[] = {1, 4, 8, 16, 4096, std::uint64_t{1} << 32, ~std::uint64_t{0}};
      const std::uint64_t delta = deltas[next() % 7];
      put64(field, next() % 2 ? get64(field) + delta : get64(field) - delta);
      reseal(data, size);
      return size;
    }
    case 3: {  // damage the contents, then reseal
      const std::size_t n = LLVMFuzzerMutate(data, size, max_size);
      reseal(data, n);
      return n;
    }
    default:
      return LLVMFuzzerMutate(data, size, max_size);
  }
}

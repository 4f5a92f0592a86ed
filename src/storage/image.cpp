#include "image.hpp"

#include <bit>
#include <cstring>

namespace tessaloom::storage {

namespace {

// Little-endian fields of the header and the section table, of the width
// of their type.
template <class T>
void put_le(std::uint8_t* p, T v) {
  for (std::size_t k = 0; k < sizeof(T); ++k) p[k] = static_cast<std::uint8_t>(v >> (8 * k));
}
template <class T>
T get_le(const std::uint8_t* p) {
  T v = 0;
  for (std::size_t k = sizeof(T); k-- > 0;) v = static_cast<T>(v << 8 | p[k]);
  return v;
}
void put32(std::uint8_t* p, std::uint32_t v) { put_le(p, v); }
void put64(std::uint8_t* p, std::uint64_t v) { put_le(p, v); }
std::uint32_t get32(const std::uint8_t* p) { return get_le<std::uint32_t>(p); }
std::uint64_t get64(const std::uint8_t* p) { return get_le<std::uint64_t>(p); }
std::uint64_t load_le64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

constexpr std::uint64_t align8(std::uint64_t v) { return (v + 7) & ~std::uint64_t{7}; }

// Field offsets in the header and in a section entry.
enum : std::size_t {
  kVersionAt = 8,
  kByteOrderAt = 12,
  kHeaderSizeAt = 16,
  kSectionCountAt = 20,
  kFileSizeAt = 24,
  kHeaderChecksumAt = 32,
};
enum : std::size_t {
  kKindAt = 0,
  kWidthAt = 4,
  kCountAt = 8,
  kOffsetAt = 16,
  kLengthAt = 24,
  kChecksumAt = 32,
};

std::uint64_t header_checksum(std::span<const std::uint8_t> header) {
  std::vector<std::uint8_t> copy(header.begin(), header.end());
  if (copy.size() < kHeaderBytes) return 0;  // callers pass whole headers
  std::memset(copy.data() + kHeaderChecksumAt, 0, 8);
  return checksum(copy);
}

std::string section_name(std::size_t i, const SectionRule& rule) {
  return "section " + std::to_string(i) + " (" + std::string(rule.name) + ")";
}

}  // namespace

// Four lanes of multiply-rotate rounds over 8-byte words, the lanes
// folded and the tail mixed in at the end.  Not cryptographic: it catches
// damage, not forgery.
std::uint64_t checksum(std::span<const std::uint8_t> bytes) {
  constexpr std::uint64_t kP1 = 0x9E3779B185EBCA87ull, kP2 = 0xC2B2AE3D27D4EB4Full,
                          kP3 = 0x165667B19E3779F9ull, kP4 = 0x85EBCA77C2B2AE63ull;
  const auto round = [](std::uint64_t acc, std::uint64_t word) {
    return std::rotl(acc + word * kP2, 31) * kP1;
  };
  const std::uint8_t* p = bytes.data();
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  std::uint64_t h;
  if (n >= 32) {
    std::uint64_t a = kP1 + kP2, b = kP2, c = 0, d = 0 - kP1;
    for (; i + 32 <= n; i += 32) {
      a = round(a, load_le64(p + i));
      b = round(b, load_le64(p + i + 8));
      c = round(c, load_le64(p + i + 16));
      d = round(d, load_le64(p + i + 24));
    }
    h = std::rotl(a, 1) + std::rotl(b, 7) + std::rotl(c, 12) + std::rotl(d, 18);
    for (const std::uint64_t lane : {a, b, c, d}) h = (h ^ round(0, lane)) * kP1 + kP4;
  } else {
    h = kP3;
  }
  h += n;
  for (; i + 8 <= n; i += 8) h = std::rotl(h ^ round(0, load_le64(p + i)), 27) * kP1 + kP4;
  for (; i < n; ++i) h = std::rotl(h ^ (p[i] * kP3), 11) * kP1;
  h ^= h >> 33;
  h *= kP2;
  h ^= h >> 29;
  h *= kP3;
  h ^= h >> 32;
  return h;
}

ImagePlan plan_image(std::span<const SectionSource> sections) {
  ImagePlan plan;
  const std::size_t header_bytes = kHeaderBytes + kSectionEntryBytes * sections.size();
  plan.header.assign(header_bytes, 0);
  std::uint8_t* h = plan.header.data();
  std::memcpy(h, kMagic.data(), kMagic.size());
  put32(h + kVersionAt, kFormatVersion);
  put32(h + kByteOrderAt, kByteOrderMark);
  put32(h + kHeaderSizeAt, static_cast<std::uint32_t>(header_bytes));
  put32(h + kSectionCountAt, static_cast<std::uint32_t>(sections.size()));
  std::uint64_t at = header_bytes;
  for (std::size_t i = 0; i < sections.size(); ++i) {
    const SectionSource& s = sections[i];
    const std::uint64_t length = s.count * s.width;
    at = align8(at);
    plan.offsets.push_back(at);
    std::uint8_t* e = h + kHeaderBytes + kSectionEntryBytes * i;
    put32(e + kKindAt, s.kind);
    put32(e + kWidthAt, s.width);
    put64(e + kCountAt, s.count);
    put64(e + kOffsetAt, at);
    put64(e + kLengthAt, length);
    put64(e + kChecksumAt, checksum({static_cast<const std::uint8_t*>(s.data), static_cast<std::size_t>(length)}));
    at += length;
  }
  plan.file_bytes = at;
  put64(h + kFileSizeAt, at);
  put64(h + kHeaderChecksumAt, header_checksum(plan.header));
  return plan;
}

bool has_magic(std::span<const std::uint8_t> prefix) {
  return prefix.size() >= kMagic.size() && std::memcmp(prefix.data(), kMagic.data(), kMagic.size()) == 0;
}

std::variant<std::vector<SectionView>, std::string> open_image(std::span<const std::uint8_t> image,
                                                               std::span<const SectionRule> rules,
                                                               bool verify) {
  const std::uint8_t* h = image.data();
  const std::uint64_t size = image.size();
  if (size < kHeaderBytes || !has_magic(image)) return std::string("not a mapped index file (no magic)");
  const std::uint32_t version = get32(h + kVersionAt);
  if (version != kFormatVersion) {
    return "format version " + std::to_string(version) + " is not supported (this build reads version " +
           std::to_string(kFormatVersion) + ")";
  }
  if (get32(h + kByteOrderAt) != kByteOrderMark) return std::string("byte-order mark is not 0x01020304 little-endian");
  if constexpr (std::endian::native != std::endian::little) {
    return std::string("mapped index files are little-endian and this machine is not: save with format=\"bytes\"");
  }
  const std::uint64_t header_bytes = get32(h + kHeaderSizeAt);
  const std::uint64_t count = get32(h + kSectionCountAt);
  if (count != rules.size()) {
    return "the file has " + std::to_string(count) + " sections, " + std::to_string(rules.size()) + " expected";
  }
  if (header_bytes != kHeaderBytes + kSectionEntryBytes * count) {
    return "header size " + std::to_string(header_bytes) + " does not match its " + std::to_string(count) + " sections";
  }
  if (size < header_bytes) {
    return "file is " + std::to_string(size) + " bytes, shorter than its " + std::to_string(header_bytes) + "-byte header";
  }
  const std::uint64_t file_bytes = get64(h + kFileSizeAt);
  if (file_bytes != size) {
    return "file is " + std::to_string(size) + " bytes but its header says " + std::to_string(file_bytes) +
           " (truncated or extended)";
  }
  if (get64(h + kHeaderChecksumAt) != header_checksum(image.first(static_cast<std::size_t>(header_bytes)))) {
    return std::string("header checksum does not match (damaged header)");
  }

  std::vector<SectionView> views;
  views.reserve(rules.size());
  std::uint64_t end_of_previous = header_bytes;
  for (std::size_t i = 0; i < rules.size(); ++i) {
    const SectionRule& rule = rules[i];
    const std::uint8_t* e = h + kHeaderBytes + kSectionEntryBytes * i;
    const std::uint32_t kind = get32(e + kKindAt);
    const std::uint32_t width = get32(e + kWidthAt);
    const std::uint64_t elements = get64(e + kCountAt);
    const std::uint64_t offset = get64(e + kOffsetAt);
    const std::uint64_t length = get64(e + kLengthAt);
    if (kind != rule.kind || width != rule.width) {
      return section_name(i, rule) + " has kind " + std::to_string(kind) + " and width " + std::to_string(width) +
             ", expected kind " + std::to_string(rule.kind) + " and width " + std::to_string(rule.width);
    }
    if (offset % 8 != 0) return section_name(i, rule) + " is not 8-byte aligned";
    if (offset < end_of_previous) return section_name(i, rule) + " overlaps the header or the section before it";
    if (offset > size || length > size - offset) return section_name(i, rule) + " ends past the end of the file";
    if (elements > length || elements * width != length) {
      return section_name(i, rule) + " holds " + std::to_string(length) + " bytes, not " + std::to_string(elements) +
             " elements of " + std::to_string(width) + " bytes";
    }
    const SectionView view{h + offset, elements, length};
    if (verify && get64(e + kChecksumAt) != checksum({view.data, static_cast<std::size_t>(length)})) {
      return section_name(i, rule) + " checksum does not match (damaged data)";
    }
    views.push_back(view);
    end_of_previous = offset + length;
  }
  return views;
}

}  // namespace tessaloom::storage

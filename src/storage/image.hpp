// The mapped index file: a fixed header, a table of sections, and the
// sections themselves, each one flat array of fixed-width little-endian
// values starting at an 8-byte aligned offset.  Nothing in it is a
// pointer, so a file mapped read-only is used in place as it lies.
//
//   offset  size  field
//   0       8     magic FF 54 4C 4F 4F 4D 0D 0A ("\xFFTLOOM\r\n")
//   8       4     format version (1)
//   12      4     byte-order mark 0x01020304, written little-endian
//   16      4     header size in bytes: 64 + 48 x section count
//   20      4     section count
//   24      8     file size in bytes
//   32      8     checksum of the header and section table, taken with
//                 this field zero
//   40      24    zero
//   64      48 x section count: the section table, one entry per section:
//           4 kind, 4 element width in bytes, 8 element count,
//           8 offset, 8 length in bytes, 8 checksum of the section's
//           bytes, 8 zero
//
// Sections follow the table in table order, each at the next multiple of
// 8, zero bytes in the gaps.  A file that would pass for a saved byte
// string is impossible: a byte string starts with a count, whose first
// byte is never FF.
//
// Opening checks, in O(1) of the file's size: the magic, version and
// byte order, the header's own checksum, that the file is as long as the
// header says, and for every section its kind and width (as the caller
// expects them, in order), its alignment, that it lies inside the file
// after the table and after the previous section, and that its length is
// its count times its width.  With `verify` it also checks every
// section's checksum.  Nothing else is trusted: what the sections hold
// is checked by whoever reads them, lookup by lookup.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tessaloom::storage {

inline constexpr std::array<std::uint8_t, 8> kMagic = {0xFF, 'T', 'L', 'O', 'O', 'M', '\r', '\n'};
inline constexpr std::uint32_t kFormatVersion = 1;
inline constexpr std::uint32_t kByteOrderMark = 0x01020304;
inline constexpr std::size_t kHeaderBytes = 64;
inline constexpr std::size_t kSectionEntryBytes = 48;

// What a section must be: its kind, its element width and a name for
// messages.
struct SectionRule {
  std::uint32_t kind;
  std::uint32_t width;
  std::string_view name;
};

// A section to write: `count` elements of `width` bytes at `data`, already
// in little-endian form.
struct SectionSource {
  std::uint32_t kind;
  std::uint32_t width;
  const void* data;
  std::uint64_t count;
};

// A section as found in an opened file.
struct SectionView {
  const std::uint8_t* data;
  std::uint64_t count;   // elements
  std::uint64_t length;  // bytes: count times the width
};

// A 64-bit checksum of `bytes`, fast enough to run over a whole index.
std::uint64_t checksum(std::span<const std::uint8_t> bytes);

// The header and section table for `sections`, with every checksum
// filled in, and where each section goes.
struct ImagePlan {
  std::vector<std::uint8_t> header;
  std::vector<std::uint64_t> offsets;
  std::uint64_t file_bytes = 0;
};
ImagePlan plan_image(std::span<const SectionSource> sections);

// Writes the whole file through `sink(data, size)`, header first, then the
// sections with their padding.  The sink reports failure by returning
// false; writing stops there and the function returns false.
template <class Sink>
bool write_image(std::span<const SectionSource> sections, Sink&& sink) {
  const ImagePlan plan = plan_image(sections);
  static constexpr std::uint8_t kZeros[8] = {};
  std::uint64_t at = plan.header.size();
  if (!sink(plan.header.data(), plan.header.size())) return false;
  for (std::size_t i = 0; i < sections.size(); ++i) {
    const std::uint64_t gap = plan.offsets[i] - at;
    if (gap != 0 && !sink(kZeros, static_cast<std::size_t>(gap))) return false;
    const std::uint64_t length = sections[i].count * sections[i].width;
    if (length != 0 && !sink(static_cast<const std::uint8_t*>(sections[i].data), static_cast<std::size_t>(length))) {
      return false;
    }
    at = plan.offsets[i] + length;
  }
  return true;
}

// Whether `prefix` (the first bytes of a file) starts with the magic.
bool has_magic(std::span<const std::uint8_t> prefix);

// The sections of a file image laid out by `rules`, or the reason it
// cannot be used ("section 3 (child_transitions) ends past the end of the
// file", ...).  `image` must start at an 8-byte aligned address.
std::variant<std::vector<SectionView>, std::string> open_image(std::span<const std::uint8_t> image,
                                                               std::span<const SectionRule> rules,
                                                               bool verify);

}  // namespace tessaloom::storage

// Primitive byte encodings of the saved-index format and the reader's
// failure record.
//
// Integers are little-endian variable-length integers: 0..250 as one byte,
// then marker 251 + 2 bytes, 252 + 4 bytes, 253 + 8 bytes (254 would
// announce 128 bits and 255 is reserved; neither is written).  Sequence
// counts are 64-bit varints that must fit in 32 bits, characters are their
// UTF-8 form, video ids their 16 raw bytes, optional values a tag byte 0/1.
//
// The writer always writes the shortest form; the reader also accepts longer
// ones.  Reading never throws on bad input: every read returns false and
// leaves a `DecodeError` in the reader.  Runs of elements take a fast path
// while enough bytes remain for the longest element form and fall back to
// the byte-by-byte rule near the end; both give the same values and the
// same failures.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "../limits.hpp"
#include "utf8.hpp"

namespace tessaloom::codec {

// The integer type names that failures of the index format can name.
enum class IntegerType : std::uint8_t { U32, U64, U128, Reserved };
std::string_view integer_type_name(IntegerType type);

// The type name reported when an optional payload's tag is neither 0 nor 1;
// stored files and callers match on this exact text.
inline constexpr std::string_view kOptionalPayloadTypeName =
    "core::option::Option<lumenweave::payload::Payload>";

struct DecodeError {
  enum class Kind : std::uint8_t {
    UnexpectedEnd,        // additional
    InvalidIntegerType,   // expected, found_type
    OutsideUsizeRange,    // value
    InvalidCharEncoding,  // bytes
    UnexpectedVariant,    // type_name, allowed_min, allowed_max, found
  };

  Kind kind = Kind::UnexpectedEnd;
  std::uint64_t additional = 0;  // bytes missing
  IntegerType expected = IntegerType::U32;
  IntegerType found_type = IntegerType::U32;
  std::uint64_t value = 0;               // the count that does not fit
  std::array<std::uint8_t, 4> bytes{};  // bytes read for the character, zero-filled
  std::string_view type_name;            // points at a static string
  std::uint32_t allowed_min = 0;
  std::uint32_t allowed_max = 0;
  std::uint32_t found = 0;  // the tag read

  static DecodeError unexpected_end(std::uint64_t additional);
  static DecodeError invalid_integer_type(IntegerType expected, IntegerType found);
  static DecodeError outside_usize_range(std::uint64_t value);
  static DecodeError invalid_char_encoding(std::array<std::uint8_t, 4> bytes);
  static DecodeError unexpected_variant(std::string_view type_name, std::uint32_t min,
                                        std::uint32_t max, std::uint32_t found);

  // The display text, e.g. "UnexpectedEnd { additional: 2 }".
  std::string to_string() const;

  friend bool operator==(const DecodeError&, const DecodeError&) = default;
};

// ---------------------------------------------------------------------------
// Sizes of the written forms.

inline constexpr std::size_t varint_size(std::uint64_t v) {
  return v <= 250 ? 1 : v <= 0xFFFF ? 3 : v <= kMaxU32 ? 5 : 9;
}
inline constexpr std::size_t count_size(std::size_t n) { return varint_size(n); }
// The bytes the numbers 1 to m take in their shortest forms together.
inline constexpr std::size_t first_numbers_size(std::size_t m) {
  return m + 2 * (m > 250 ? m - 250 : 0) + 2 * (m > 0xFFFF ? m - 0xFFFF : 0);
}
inline constexpr std::size_t char_size(std::uint32_t c) { return utf8::encoded_width(c); }
using utf8::is_scalar_value;

std::size_t u32_run_size(std::span<const std::uint32_t> values);
std::size_t char_run_size(std::span<const std::uint32_t> chars);

// ---------------------------------------------------------------------------
// The one varint reader, on which every read of a varint rests.

// Width of the form a marker byte starts: 1, 3, 5 or 9 bytes; 0 for the
// markers 254 (128 bits) and 255 (reserved), which no reader takes.
inline constexpr std::size_t varint_width(std::uint8_t marker) {
  return marker <= 250 ? 1 : marker == 251 ? 3 : marker == 252 ? 5 : marker == 253 ? 9 : 0;
}
inline std::uint32_t load_le16(const std::uint8_t* p) { return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8; }
inline std::uint32_t load_le32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}
inline std::uint64_t load_le64(const std::uint8_t* p) {
  return std::uint64_t{load_le32(p)} | std::uint64_t{load_le32(p + 4)} << 32;
}
// The value of a whole form of `width` bytes (varint_width of its marker).
inline std::uint64_t varint_value(const std::uint8_t* p, std::size_t width) {
  return width == 1 ? p[0] : width == 3 ? load_le16(p + 1) : width == 5 ? load_le32(p + 1) : load_le64(p + 1);
}
// Reads the varint at p with `avail` bytes available: its width, with its
// value in `value`, or 0 when no form is there (no byte, a marker 254 or
// 255, or a form cut short).  The Reader below says which failure it was.
inline std::size_t read_varint(const std::uint8_t* p, std::size_t avail, std::uint64_t& value) {
  if (avail == 0) return 0;
  const std::size_t width = varint_width(*p);
  if (width == 0 || width > avail) return 0;
  value = varint_value(p, width);
  return width;
}

// Width of a UTF-8 sequence from its first byte (see utf8::char_width).
inline constexpr std::size_t utf8_char_width(std::uint8_t b) { return utf8::char_width(b); }

// A sink that only adds up the bytes a Writer would write.
class SizeCounter {
 public:
  std::size_t size() const { return size_; }
  void write_u32(std::uint32_t v) { size_ += varint_size(v); }
  void write_u64(std::uint64_t v) { size_ += varint_size(v); }
  void write_count(std::size_t n) { size_ += count_size(n); }
  void write_tag(bool) { size_ += 1; }
  void write_u32_run(std::span<const std::uint32_t> values) { size_ += u32_run_size(values); }
  void write_char(std::uint32_t c) { size_ += char_size(c); }
  void add(std::size_t bytes) { size_ += bytes; }
  void write_char_run(std::span<const std::uint32_t> chars) { size_ += char_run_size(chars); }
  void write_bytes(std::span<const std::uint8_t> bytes) { size_ += bytes.size(); }
  void write_bytes_from(std::span<const std::uint8_t> bytes, std::size_t) { size_ += bytes.size(); }

 private:
  std::size_t size_ = 0;
};

// ---------------------------------------------------------------------------
// Writer: fills a caller-provided buffer of known size.  Every write checks
// that it fits (runs check once per chunk of elements); writing past the end
// is an internal fault, "index out of bounds: the len is {size} but the
// index is {size}", which can only come from a size that does not match the
// value being written.

class Writer {
 public:
  Writer(std::uint8_t* out, std::size_t size) : begin_(out), p_(out), end_(out + size) {}

  std::size_t written() const { return static_cast<std::size_t>(p_ - begin_); }
  std::size_t remaining() const { return static_cast<std::size_t>(end_ - p_); }

  void write_u32(std::uint32_t v) {
    if (remaining() >= 5) {
      p_ = put_u32(p_, v);
    } else {
      write_u32_tail(v);
    }
  }
  void write_u64(std::uint64_t v);
  void write_count(std::size_t n) {
    if (n <= kMaxU32) {
      write_u32(static_cast<std::uint32_t>(n));
    } else {
      write_u64(n);
    }
  }
  void write_char(std::uint32_t c) {
    if (remaining() >= 4) {
      p_ = put_char(p_, c);
    } else {
      write_char_tail(c);
    }
  }
  void write_tag(bool present) {
    const std::uint8_t t = present ? 1 : 0;
    put_exact(&t, 1);
  }
  void write_bytes(std::span<const std::uint8_t> bytes) {
    if (!bytes.empty()) put_exact(bytes.data(), bytes.size());
  }
  // The same, for many short runs: when `readable` bytes can be read from
  // the start of `bytes` (its size included) and kShortCopy fit in the
  // output, a short run is copied in one fixed-size move whose tail the
  // next write overwrites.
  static constexpr std::size_t kShortCopy = 32;
  void write_bytes_from(std::span<const std::uint8_t> bytes, std::size_t readable) {
    if (bytes.size() <= kShortCopy && readable >= kShortCopy && remaining() >= kShortCopy) {
      std::memcpy(p_, bytes.data(), kShortCopy);
      p_ += bytes.size();
    } else {
      write_bytes(bytes);
    }
  }

  void write_u32_run(std::span<const std::uint32_t> values);
  void write_char_run(std::span<const std::uint32_t> chars);

  // Lets a record writer put a group of values with one room check: when
  // `max_bytes` fit, `fill(p)` writes at most that many bytes from the
  // write position unchecked and returns the new position.  Returns false,
  // writing nothing, when they don't fit.
  template <class Fill>
  bool write_within(std::size_t max_bytes, Fill fill) {
    if (remaining() < max_bytes) return false;
    p_ = fill(p_);
    return true;
  }

  // Unchecked: stores 8 bytes and advances by the varint's length (the
  // bytes past it are overwritten by whatever follows).  The caller
  // guarantees 8 bytes of room.
  static std::uint8_t* put_u32_wide(std::uint8_t* p, std::uint32_t v) {
    if constexpr (std::endian::native == std::endian::little) {
      // Arithmetic instead of branches: the widths are not predictable.
      const std::uint64_t big = v > 250, four = v > 0xFFFF;
      const std::uint64_t word = std::uint64_t{v} << (8 * big) | big * (251 + four);
      std::memcpy(p, &word, 8);
      return p + 1 + 2 * big + 2 * four;
    } else {
      return put_u32(p, v);
    }
  }
  // Unchecked writers: the caller guarantees 5 (resp. 4) bytes of room.
  static std::uint8_t* put_u32(std::uint8_t* p, std::uint32_t v) {
    if (v <= 250) {
      *p = static_cast<std::uint8_t>(v);
      return p + 1;
    }
    const bool four = v > 0xFFFF;
    p[0] = four ? 252 : 251;
    for (int k = 0; k < (four ? 4 : 2); ++k) p[1 + k] = static_cast<std::uint8_t>(v >> (8 * k));
    return p + (four ? 5 : 3);
  }
  // Values that are not Unicode scalar values take char_size() bytes and
  // read back as a failure.
  static std::uint8_t* put_char(std::uint8_t* p, std::uint32_t c) { return p + utf8::put(p, c); }

 private:
  // Near the end of the buffer: write the value's exact form, or fault.
  void write_u32_tail(std::uint32_t v);
  void write_char_tail(std::uint32_t c);
  // Copies `n` bytes after checking they fit.
  void put_exact(const std::uint8_t* bytes, std::size_t n);

  std::uint8_t* begin_;
  std::uint8_t* p_;
  std::uint8_t* end_;
};

#if defined(__SSE2__)
// A bit for each of the 16 bytes at `at` that is at most 250: a one-byte form.
inline unsigned one_byte_forms(const std::uint8_t* at) {
  const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
  const __m128i limit = _mm_set1_epi8(static_cast<char>(250));
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(x, limit), limit)));
}
#endif

#if defined(__SSE2__)
// Three-byte forms checked a group at a time, for readers that step over
// runs of them: `starts` has a bit for each byte of the 16 at `at` where
// a form starts (at most five: 0, 3, 6, 9, 12).
struct ThreeByteGroup {
  unsigned not_marked;  // starts that are not the 251 marker
  unsigned longer;      // starts (shifted one up) of a value of at most 250
};
inline ThreeByteGroup check_three_byte_group(const std::uint8_t* at, unsigned starts) {
  const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
  const auto mask = [](__m128i m) { return static_cast<unsigned>(_mm_movemask_epi8(m)); };
  const unsigned markers = mask(_mm_cmpeq_epi8(x, _mm_set1_epi8(static_cast<char>(251))));
  // A value of at most 250: its high byte zero, its low byte at most 250.
  const unsigned zero = mask(_mm_cmpeq_epi8(x, _mm_setzero_si128()));
  return {(markers & starts) ^ starts, (zero >> 1) & one_byte_forms(at) & (starts << 1)};
}
#endif

#if defined(__SSE2__)
// Sixteen five-byte forms checked at once, for readers that step over runs
// of them (80 bytes readable at `at`): whether each of the sixteen starts
// with the 252 marker, and if so, in `longer`, whether any holds a value of
// at most 0xFFFF (its two high bytes zero).
inline bool check_five_byte_run(const std::uint8_t* at, bool& longer) {
  std::uint64_t marked[5], zero[5];
  for (int k = 0; k < 5; ++k) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at + 16 * k));
    marked[k] = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, _mm_set1_epi8(static_cast<char>(252)))));
    zero[k] = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, _mm_setzero_si128())));
  }
  // Bytes 0..63 and 16..79 as two 64-bit masks.
  const auto low = [](const std::uint64_t* m) { return m[0] | m[1] << 16 | m[2] << 32 | m[3] << 48; };
  const auto every_fifth = [](int from, int to, int shift) {
    std::uint64_t bits = 0;
    for (int b = from; b < to; b += 5) bits |= std::uint64_t{1} << (b - shift);
    return bits;
  };
  // Markers at 0, 5, .. 75; the high bytes of a value at 5k+3 and 5k+4.
  static constexpr std::uint64_t kMarksLow = every_fifth(0, 64, 0), kMarksHigh = every_fifth(65, 80, 16);
  static constexpr std::uint64_t kHighLow = every_fifth(3, 63, 0), kHighHigh = every_fifth(63, 80, 16);
  const std::uint64_t marks_low = low(marked), marks_high = low(marked + 1);
  if ((marks_low & kMarksLow) != kMarksLow || (marks_high & kMarksHigh) != kMarksHigh) return false;
  const std::uint64_t zero_low = low(zero), zero_high = low(zero + 1);
  longer = ((zero_low & zero_low >> 1 & kHighLow) | (zero_high & zero_high >> 1 & kHighHigh)) != 0;
  return true;
}
#endif

// ---------------------------------------------------------------------------
// Reader: takes bytes from the front of a span, in place.

class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes)
      : p_(bytes.data()), end_(bytes.data() + bytes.size()) {}

  std::size_t remaining() const { return static_cast<std::size_t>(end_ - p_); }
  // The read position, for readers that copy what they have read.
  const std::uint8_t* position() const { return p_; }
  // The failure of the last read that returned false.
  const DecodeError& error() const { return error_; }

  // Each read returns true with its value, or false with error() set.
  bool read_u32(std::uint32_t& out) {
    if (remaining() >= 5) {
      const std::size_t width = varint_width(*p_);
      if (width == 0 || width == 9) return fail_marker(*p_, IntegerType::U32);
      out = static_cast<std::uint32_t>(varint_value(p_, width));
      p_ += width;
      return true;
    }
    return read_slow(out, IntegerType::U32);
  }
  bool read_u64(std::uint64_t& out) { return read_slow(out, IntegerType::U64); }
  // A sequence count: a 64-bit varint that must fit in 32 bits, else
  // OutsideUsizeRange with the value read.
  bool read_count(std::size_t& out) {
    if (p_ != end_ && *p_ <= 250) {
      out = *p_++;
      return true;
    }
    return read_count_slow(out);
  }
  bool read_char(std::uint32_t& out);
  bool read_bytes16(std::array<std::uint8_t, 16>& out);
  // An optional value's tag: 0 absent, 1 present, else UnexpectedVariant
  // naming `type_name` (which must outlive the error).
  bool read_tag(bool& present, std::string_view type_name) {
    if (p_ == end_) return fail(DecodeError::unexpected_end(1));
    const std::uint8_t t = *p_;
    if (t > 1) return fail(DecodeError::unexpected_variant(type_name, 0, 1, t));
    ++p_;
    present = t == 1;
    return true;
  }

  // Runs: `n` elements into out[0..n).  On failure the contents of
  // out[0..n) are unspecified; callers discard them.
  bool read_u32_run(std::uint32_t* out, std::size_t n) {
    if (n <= remaining() / 5) return read_u32_block(out, n);
    return read_u32_run_chunked(out, n);
  }
  bool read_char_run(std::uint32_t* out, std::size_t n);
  bool read_bytes16_run(std::array<std::uint8_t, 16>* out, std::size_t n);
  // Moves past `n` bytes that the caller has checked itself; n <= remaining().
  void advance(std::size_t n) { p_ += n; }
  // Reads past `n` u32 varints without keeping them: the same failures as
  // read_u32_run.  Sets `longer` when any of them is longer than its
  // shortest form.
  bool skip_u32_run(std::size_t n, bool& longer);

 private:
  bool fail(const DecodeError& e) {
    error_ = e;
    return false;
  }
  // Marker bytes 253..255 that the integer being read cannot take.
  [[gnu::cold, gnu::noinline]] bool fail_marker(std::uint8_t b, IntegerType expected);
  // The byte-by-byte rule, for any number of remaining bytes.
  template <class T>
  bool read_slow(T& out, IntegerType type);
  bool read_u32_run_chunked(std::uint32_t* out, std::size_t n);
  template <class Block, class One>
  bool read_run_chunked(std::uint32_t* out, std::size_t n, std::size_t widest, Block block, One one);
  // `n` varints with room for the longest form of each (5n bytes left): no
  // end checks.  Branching on the marker beats branch-free decoding here:
  // widths usually come in runs, and a branch-free step puts the width
  // computation on the critical path from one element to the next.
  bool read_u32_block(std::uint32_t* out, std::size_t n) {
    const std::uint8_t* p = p_;
    for (std::size_t i = 0; i < n; ++i) {
      // Large node numbers come as runs of five-byte forms: four at once.
      if (*p == 252 && n - i >= 4 && p[5] == 252 && p[10] == 252 && p[15] == 252) {
        out[i] = load_le32(p + 1), out[i + 1] = load_le32(p + 6);
        out[i + 2] = load_le32(p + 11), out[i + 3] = load_le32(p + 16);
        p += 20;
        i += 3;
        continue;
      }
      const std::size_t width = varint_width(*p);
      if (width == 0 || width == 9) {
        p_ = p;
        return fail_marker(*p, IntegerType::U32);
      }
      out[i] = static_cast<std::uint32_t>(varint_value(p, width));
      p += width;
    }
    p_ = p;
    return true;
  }
  bool read_count_slow(std::size_t& out);
  // A character whose first byte is 0x80 or above, with `avail` bytes left.
  bool read_char_multi(std::uint32_t& out, std::size_t avail);

  const std::uint8_t* p_;
  const std::uint8_t* end_;
  DecodeError error_;
};

}  // namespace tessaloom::codec

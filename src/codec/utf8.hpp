// UTF-8, written once for the whole core: the codec reads and writes labels
// with it, the matcher splits queries and spells node texts with it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessaloom::utf8 {

inline constexpr std::uint32_t kReplacement = 0xFFFD;

// A Unicode scalar value: U+0000..U+10FFFF without the surrogates.
inline constexpr bool is_scalar_value(std::uint32_t c) {
  return c < 0xD800 || (c > 0xDFFF && c <= 0x10FFFF);
}

// Width of the UTF-8 form of `c` by its value.  Values that are not scalar
// values get the width their bits select, so sizing and writing agree on
// every input.
inline constexpr std::size_t encoded_width(std::uint32_t c) {
  return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
}

// Width of a UTF-8 sequence from its first byte: 0 for a byte that cannot
// start one (continuation bytes, C0, C1, F5..FF).
inline constexpr std::size_t char_width(std::uint8_t b) {
  return b < 0x80 ? 1 : b < 0xC2 ? 0 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : b < 0xF5 ? 4 : 0;
}

// Writes the UTF-8 form of `c` at `out` (room for 4 bytes) and returns its
// length, encoded_width(c).  Bits above 21 are dropped, so a value that is
// not a scalar value still takes exactly that many bytes.
template <class Byte>
inline std::size_t put(Byte* out, std::uint32_t c) {
  if (c < 0x80) {
    out[0] = static_cast<Byte>(c);
    return 1;
  }
  if (c < 0x800) {
    out[0] = static_cast<Byte>(0xC0 | (c >> 6));
    out[1] = static_cast<Byte>(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    out[0] = static_cast<Byte>(0xE0 | (c >> 12));
    out[1] = static_cast<Byte>(0x80 | ((c >> 6) & 0x3F));
    out[2] = static_cast<Byte>(0x80 | (c & 0x3F));
    return 3;
  }
  out[0] = static_cast<Byte>(0xF0 | ((c >> 18) & 0x07));
  out[1] = static_cast<Byte>(0x80 | ((c >> 12) & 0x3F));
  out[2] = static_cast<Byte>(0x80 | ((c >> 6) & 0x3F));
  out[3] = static_cast<Byte>(0x80 | (c & 0x3F));
  return 4;
}

// The same for text shown to people: a value that is not a scalar value
// is written as U+FFFD.
template <class Byte>
inline std::size_t put_text(Byte* out, std::uint32_t c) {
  return put(out, is_scalar_value(c) ? c : kReplacement);
}

// Reads one well-formed sequence (RFC 3629's table: no overlong forms, no
// surrogates, nothing above U+10FFFF) of `width` = char_width(s[0]) bytes,
// 2 to 4, all of which are available.  Returns false when the bytes do not
// form one.
inline bool decode_multi(const std::uint8_t* s, std::size_t width, std::uint32_t& out) {
  const std::uint8_t b0 = s[0];
  std::uint8_t lo = 0x80, hi = 0xBF;
  if (b0 == 0xE0) lo = 0xA0;
  if (b0 == 0xED) hi = 0x9F;
  if (b0 == 0xF0) lo = 0x90;
  if (b0 == 0xF4) hi = 0x8F;
  bool ok = s[1] >= lo && s[1] <= hi;
  for (std::size_t k = 2; k < width; ++k) ok = ok && (s[k] & 0xC0) == 0x80;
  if (!ok) return false;
  if (width == 2) {
    out = (std::uint32_t{b0} & 0x1F) << 6 | (s[1] & 0x3Fu);
  } else if (width == 3) {
    out = (std::uint32_t{b0} & 0x0F) << 12 | (s[1] & 0x3Fu) << 6 | (s[2] & 0x3Fu);
  } else {
    out = (std::uint32_t{b0} & 0x07) << 18 | (s[1] & 0x3Fu) << 12 | (s[2] & 0x3Fu) << 6 | (s[3] & 0x3Fu);
  }
  return true;
}

}  // namespace tessaloom::utf8

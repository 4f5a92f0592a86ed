#include "encoding.hpp"

#include <algorithm>
#include <cstring>

#include "../fault.hpp"

namespace tessaloom::codec {

std::string_view integer_type_name(IntegerType type) {
  static constexpr std::string_view kNames[] = {"U32", "U64", "U128", "Reserved"};
  return kNames[static_cast<std::size_t>(type)];
}

// --- DecodeError ------------------------------------------------------------

DecodeError DecodeError::unexpected_end(std::uint64_t additional) {
  DecodeError e;
  e.kind = Kind::UnexpectedEnd;
  e.additional = additional;
  return e;
}

DecodeError DecodeError::invalid_integer_type(IntegerType expected, IntegerType found) {
  DecodeError e;
  e.kind = Kind::InvalidIntegerType;
  e.expected = expected;
  e.found_type = found;
  return e;
}

DecodeError DecodeError::outside_usize_range(std::uint64_t value) {
  DecodeError e;
  e.kind = Kind::OutsideUsizeRange;
  e.value = value;
  return e;
}

DecodeError DecodeError::invalid_char_encoding(std::array<std::uint8_t, 4> bytes) {
  DecodeError e;
  e.kind = Kind::InvalidCharEncoding;
  e.bytes = bytes;
  return e;
}

DecodeError DecodeError::unexpected_variant(std::string_view type_name, std::uint32_t min,
                                            std::uint32_t max, std::uint32_t found) {
  DecodeError e;
  e.kind = Kind::UnexpectedVariant;
  e.type_name = type_name;
  e.allowed_min = min;
  e.allowed_max = max;
  e.found = found;
  return e;
}

std::string DecodeError::to_string() const {
  using std::to_string;
  std::string s;
  switch (kind) {
    case Kind::UnexpectedEnd:
      s = "UnexpectedEnd { additional: " + to_string(additional) + " }";
      break;
    case Kind::InvalidIntegerType:
      s = "InvalidIntegerType { expected: ";
      s += integer_type_name(expected);
      s += ", found: ";
      s += integer_type_name(found_type);
      s += " }";
      break;
    case Kind::OutsideUsizeRange:
      s = "OutsideUsizeRange(" + to_string(value) + ")";
      break;
    case Kind::InvalidCharEncoding:
      s = "InvalidCharEncoding([" + to_string(bytes[0]) + ", " + to_string(bytes[1]) + ", " +
          to_string(bytes[2]) + ", " + to_string(bytes[3]) + "])";
      break;
    case Kind::UnexpectedVariant:
      s = "UnexpectedVariant { type_name: \"";
      s += type_name;
      s += "\", allowed: Range { min: " + to_string(allowed_min) +
           ", max: " + to_string(allowed_max) + " }, found: " + to_string(found) + " }";
      break;
  }
  return s;
}

// --- sizes -------------------------------------------------------------------

// Fixed-size blocks let the compiler vectorise the tallies (even at -O2)
// and keep the 32-bit block tallies from overflowing.
namespace {
constexpr std::size_t kSizeBlock = 1024;
}  // namespace

std::size_t u32_run_size(std::span<const std::uint32_t> values) {
  const std::uint32_t* v = values.data();
  const std::size_t n = values.size();
  std::size_t longer = 0;  // 2 extra bytes above 250, 2 more above 65535
  std::size_t i = 0;
  for (; i + kSizeBlock <= n; i += kSizeBlock) {
    std::uint32_t block = 0;
    for (std::size_t j = 0; j < kSizeBlock; ++j) {
      block += std::uint32_t{v[i + j] > 250} + std::uint32_t{v[i + j] > 0xFFFF};
    }
    longer += block;
  }
  for (; i < n; ++i) longer += std::size_t{v[i] > 250} + std::size_t{v[i] > 0xFFFF};
  return n + 2 * longer;
}

std::size_t char_run_size(std::span<const std::uint32_t> chars) {
  const std::uint32_t* c = chars.data();
  const std::size_t n = chars.size();
  std::size_t longer = 0;
  std::size_t i = 0;
  for (; i + kSizeBlock <= n; i += kSizeBlock) {
    std::uint32_t block = 0;
    for (std::size_t j = 0; j < kSizeBlock; ++j) {
      block += std::uint32_t{c[i + j] >= 0x80} + std::uint32_t{c[i + j] >= 0x800} +
               std::uint32_t{c[i + j] >= 0x10000};
    }
    longer += block;
  }
  for (; i < n; ++i) {
    longer += std::size_t{c[i] >= 0x80} + std::size_t{c[i] >= 0x800} + std::size_t{c[i] >= 0x10000};
  }
  return n + longer;
}

// --- Writer ----------------------------------------------------------------

void Writer::put_exact(const std::uint8_t* bytes, std::size_t n) {
  if (remaining() < n) {
    const std::size_t size = static_cast<std::size_t>(end_ - begin_);
    fail_index(size, size);
  }
  std::memcpy(p_, bytes, n);
  p_ += n;
}

void Writer::write_u32_tail(std::uint32_t v) {
  std::uint8_t tmp[5];
  put_exact(tmp, static_cast<std::size_t>(put_u32(tmp, v) - tmp));
}

void Writer::write_char_tail(std::uint32_t c) {
  std::uint8_t tmp[4];
  put_exact(tmp, static_cast<std::size_t>(put_char(tmp, c) - tmp));
}

void Writer::write_u64(std::uint64_t v) {
  if (v <= kMaxU32) {
    write_u32(static_cast<std::uint32_t>(v));
    return;
  }
  std::uint8_t tmp[9];
  tmp[0] = 253;
  for (int k = 0; k < 8; ++k) tmp[1 + k] = static_cast<std::uint8_t>(v >> (8 * k));
  put_exact(tmp, 9);
}

// Runs write unchecked in chunks that fit even if every element took its
// longest form; the last few elements before the end go one by one.
void Writer::write_u32_run(std::span<const std::uint32_t> values) {
  const std::uint32_t* v = values.data();
  const std::size_t n = values.size();
  std::size_t i = 0;
  while (i < n) {
    // k wide stores fit when the last one, starting at most 5(k-1) bytes on,
    // ends within the buffer.
    const std::size_t room = remaining();
    const std::size_t k = room >= 8 ? std::min(n - i, (room - 3) / 5) : 0;
    if (k == 0) {
      for (; i < n; ++i) write_u32_tail(v[i]);
      return;
    }
    std::uint8_t* p = p_;
    for (const std::size_t stop = i + k; i < stop; ++i) p = put_u32_wide(p, v[i]);
    p_ = p;
  }
}

void Writer::write_char_run(std::span<const std::uint32_t> chars) {
  const std::uint32_t* c = chars.data();
  const std::size_t n = chars.size();
  std::size_t i = 0;
  while (i < n) {
    const std::size_t k = std::min(n - i, remaining() / 4);
    if (k == 0) {
      for (; i < n; ++i) write_char_tail(c[i]);
      return;
    }
    std::uint8_t* p = p_;
    for (const std::size_t stop = i + k; i < stop; ++i) p = put_char(p, c[i]);
    p_ = p;
  }
}

// --- Reader ----------------------------------------------------------------

bool Reader::fail_marker(std::uint8_t b, IntegerType expected) {
  const IntegerType found = b == 253 ? IntegerType::U64 : b == 254 ? IntegerType::U128 : IntegerType::Reserved;
  return fail(DecodeError::invalid_integer_type(expected, found));
}

template <class T>
bool Reader::read_slow(T& out, IntegerType type) {
  const std::size_t n = remaining();
  if (n == 0) return fail(DecodeError::unexpected_end(1));
  const std::size_t width = varint_width(*p_);
  if (width == 0 || (width == 9 && type == IntegerType::U32)) return fail_marker(*p_, type);
  if (n < width) return fail(DecodeError::unexpected_end(width - n));
  out = static_cast<T>(varint_value(p_, width));
  p_ += width;
  return true;
}

bool Reader::read_count_slow(std::size_t& out) {
  std::uint64_t v = 0;
  if (!read_u64(v)) return false;
  if (v > kMaxU32) return fail(DecodeError::outside_usize_range(v));
  out = static_cast<std::size_t>(v);
  return true;
}

bool Reader::skip_u32_run(std::size_t n, bool& longer) {
  const std::uint8_t* p = p_;
  bool longer_form = false;
  std::size_t i = 0;
  // Room for the longest form of every element (5 bytes) and for reading
  // 8 bytes at once: no end checks.  Each form advances the position by a
  // constant on its own branch, so the position never waits for the byte
  // it is read from: ids run in forms of one width and counts in another,
  // and the branches predict well.  Runs of one-byte forms go up to eight
  // at a time: up to the first marker (251 and up: the high bit, and the
  // low seven bits plus 5 carrying into it) of the next eight bytes.
  constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full, kHigh = 0x8080808080808080ull;
  const std::size_t left = remaining();
  const std::size_t fast = left >= 8 ? (n < left / 5 ? n : std::min(n, (left - 3) / 5)) : 0;
  while (i < fast) {
    const std::uint8_t b = *p;
    if (b <= 250) {
      // Eight bytes are readable even for the last element (5 + 3).
      std::uint64_t word;
      std::memcpy(&word, p, 8);
      if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
      const std::uint64_t markers = word & ((word & kLow7) + 0x0505050505050505ull) & kHigh;
      // At least the first byte is a one-byte form.
      const std::size_t k = markers == 0 ? 8 : static_cast<std::size_t>(std::countr_zero(markers)) / 8;
      const std::size_t take = std::min(k, fast - i);
      p += take;
      i += take;
    } else if (b == 251) {
      // Ids mostly come as runs of three-byte forms: five (or four) at once.
#if defined(__SSE2__)
      if (fast - i >= 5) {
        constexpr unsigned kStarts = 0x1249;  // bytes 0, 3, 6, 9, 12
        if (const ThreeByteGroup group = check_three_byte_group(p, kStarts); group.not_marked == 0) {
          longer_form |= group.longer != 0;
          p += 15;
          i += 5;
          continue;
        }
      }
#endif
      if (fast - i >= 4 && p[3] == 251 && p[6] == 251 && p[9] == 251) {
        longer_form |= std::min({load_le16(p + 1), load_le16(p + 4), load_le16(p + 7), load_le16(p + 10)}) <= 250;
        p += 12;
        i += 4;
      } else {
        longer_form |= load_le16(p + 1) <= 250;
        p += 3;
        ++i;
      }
    } else if (b == 252) {
      // Large node numbers come as runs of five-byte forms: sixteen or
      // four at once.
#if defined(__SSE2__)
      if (bool group_longer = false; fast - i >= 16 && check_five_byte_run(p, group_longer)) {
        longer_form |= group_longer;
        p += 80;
        i += 16;
        continue;
      }
#endif
      if (fast - i >= 4 && p[5] == 252 && p[10] == 252 && p[15] == 252) {
        longer_form |= std::min({load_le32(p + 1), load_le32(p + 6), load_le32(p + 11), load_le32(p + 16)}) <= 0xFFFF;
        p += 20;
        i += 4;
      } else {
        longer_form |= load_le32(p + 1) <= 0xFFFF;
        p += 5;
        ++i;
      }
    } else {
      p_ = p;
      return fail_marker(b, IntegerType::U32);
    }
  }
  p_ = p;
  for (; i < n; ++i) {  // near the end: the byte-by-byte rule
    const std::uint8_t* at = p_;
    std::uint32_t v;
    if (!read_slow(v, IntegerType::U32)) return false;
    longer_form |= static_cast<std::size_t>(p_ - at) != varint_size(v);
  }
  longer |= longer_form;
  return true;
}

bool Reader::read_char(std::uint32_t& out) {
  const std::size_t n = remaining();
  if (n == 0) return fail(DecodeError::unexpected_end(1));
  if (*p_ < 0x80) {
    out = *p_++;
    return true;
  }
  return read_char_multi(out, n);
}

bool Reader::read_char_multi(std::uint32_t& out, std::size_t avail) {
  const std::uint8_t b0 = p_[0];
  const std::size_t width = utf8::char_width(b0);
  if (width == 0) return fail(DecodeError::invalid_char_encoding({b0, 0, 0, 0}));
  if (avail < width) return fail(DecodeError::unexpected_end(width - avail));
  if (!utf8::decode_multi(p_, width, out)) {
    std::array<std::uint8_t, 4> bytes{};
    for (std::size_t k = 0; k < width; ++k) bytes[k] = p_[k];
    return fail(DecodeError::invalid_char_encoding(bytes));
  }
  p_ += width;
  return true;
}

bool Reader::read_bytes16(std::array<std::uint8_t, 16>& out) {
  const std::size_t n = remaining();
  if (n < 16) return fail(DecodeError::unexpected_end(16 - n));
  std::memcpy(out.data(), p_, 16);
  p_ += 16;
  return true;
}

// Runs read in chunks during which even the longest element form (`widest`
// bytes) cannot pass the end: `block(out, k)` reads such a chunk examining
// only first bytes; the last few elements go through `one`, the
// byte-by-byte rule.
template <class Block, class One>
bool Reader::read_run_chunked(std::uint32_t* out, std::size_t n, std::size_t widest, Block block, One one) {
  std::size_t i = 0;
  while (i < n) {
    const std::size_t k = std::min(n - i, remaining() / widest);
    if (k == 0) {
      for (; i < n; ++i) {
        if (!one(out[i])) return false;
      }
      return true;
    }
    if (!block(out + i, k)) return false;
    i += k;
  }
  return true;
}

bool Reader::read_u32_run_chunked(std::uint32_t* out, std::size_t n) {
  return read_run_chunked(
      out, n, 5, [this](std::uint32_t* o, std::size_t k) { return read_u32_block(o, k); },
      [this](std::uint32_t& v) { return read_slow(v, IntegerType::U32); });
}

bool Reader::read_char_run(std::uint32_t* out, std::size_t n) {
  const auto block = [this](std::uint32_t* o, std::size_t k) {
    for (std::size_t i = 0; i < k; ++i) {
#if defined(__SSE2__)
      // Sixteen one-byte characters at once (4 (k - i) bytes are readable).
      if (k - i >= 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p_));
        if (_mm_movemask_epi8(x) == 0) {
          const __m128i zero = _mm_setzero_si128();
          const __m128i lo = _mm_unpacklo_epi8(x, zero), hi = _mm_unpackhi_epi8(x, zero);
          auto* at = reinterpret_cast<__m128i*>(o + i);
          _mm_storeu_si128(at, _mm_unpacklo_epi16(lo, zero));
          _mm_storeu_si128(at + 1, _mm_unpackhi_epi16(lo, zero));
          _mm_storeu_si128(at + 2, _mm_unpacklo_epi16(hi, zero));
          _mm_storeu_si128(at + 3, _mm_unpackhi_epi16(hi, zero));
          p_ += 16;
          i += 15;
          continue;
        }
      }
#endif
      if (*p_ < 0x80) {
        o[i] = *p_++;
      } else if (!read_char_multi(o[i], remaining())) {
        return false;
      }
    }
    return true;
  };
  return read_run_chunked(out, n, 4, block, [this](std::uint32_t& c) { return read_char(c); });
}

bool Reader::read_bytes16_run(std::array<std::uint8_t, 16>* out, std::size_t n) {
  const std::size_t k = std::min(n, remaining() / 16);
  if (k != 0) {
    std::memcpy(static_cast<void*>(out), p_, k * 16);
    p_ += k * 16;
  }
  if (k < n) return fail(DecodeError::unexpected_end(16 - remaining()));
  return true;
}

}  // namespace tessaloom::codec

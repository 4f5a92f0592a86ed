// The saved record written and read the slow way, straight from the
// format's rules, one byte at a time with every check spelled out: the
// reference that the codec's checks and the native fuzz targets hold the
// fast reader and writer against.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include "codec/encoding.hpp"
#include "payload.hpp"
#include "prefix/trie.hpp"

namespace reference {

using namespace tessaloom;
using codec::DecodeError;
using codec::IntegerType;
using Bytes = std::vector<std::uint8_t>;

struct ModelPayload {
  std::uint32_t total = 0;
  std::vector<std::uint32_t> ids, counts;
  bool operator==(const ModelPayload&) const = default;
};

// A record as plain arrays.
struct Model {
  std::vector<std::uint32_t> shifts, labels, transitions;
  std::vector<std::optional<ModelPayload>> payloads;
  std::vector<VideoId> videos;
  bool operator==(const Model&) const = default;
};

inline Model to_model(const Trie& t) {
  NodeArrays nodes = general_nodes(t);
  Model m{std::move(nodes.node_shifts),
          std::move(nodes.child_labels),
          std::move(nodes.child_transitions),
          {},
          {t.video_index.begin(), t.video_index.end()}};
  DecodedPayload v;
  for (std::size_t i = 0; i < t.payloads.size(); ++i) {
    if (!t.payloads.checked_present(i)) {
      m.payloads.emplace_back();
      continue;
    }
    PayloadStore::decode(t.payloads.record(i), v);
    m.payloads.push_back(ModelPayload{v.total_count, v.video_ids, v.video_counts});
  }
  return m;
}

// One byte at a time, every check spelled out.
struct ByteReader {
  const std::uint8_t* b;
  std::size_t size;
  std::size_t pos = 0;
  std::optional<DecodeError> err;

  std::size_t left() const { return size - pos; }
  bool fail(const DecodeError& e) {
    err = e;
    return false;
  }
  bool varint(std::uint64_t& v, IntegerType type) {
    if (left() == 0) return fail(DecodeError::unexpected_end(1));
    const std::uint8_t m = b[pos];
    if (m <= 250) {
      v = m, ++pos;
      return true;
    }
    if (m == 254) return fail(DecodeError::invalid_integer_type(type, IntegerType::U128));
    if (m == 255) return fail(DecodeError::invalid_integer_type(type, IntegerType::Reserved));
    if (m == 253 && type == IntegerType::U32) {
      return fail(DecodeError::invalid_integer_type(type, IntegerType::U64));
    }
    const std::size_t w = m == 251 ? 2 : m == 252 ? 4 : 8;
    if (left() < 1 + w) return fail(DecodeError::unexpected_end(1 + w - left()));
    v = 0;
    for (std::size_t k = 0; k < w; ++k) v |= std::uint64_t{b[pos + 1 + k]} << (8 * k);
    pos += 1 + w;
    return true;
  }
  bool u32(std::uint32_t& v) {
    std::uint64_t x;
    if (!varint(x, IntegerType::U32)) return false;
    v = static_cast<std::uint32_t>(x);
    return true;
  }
  bool count(std::size_t& n) {
    std::uint64_t x;
    if (!varint(x, IntegerType::U64)) return false;
    if (x > 0xFFFFFFFFu) return fail(DecodeError::outside_usize_range(x));
    n = static_cast<std::size_t>(x);
    return true;
  }
  bool character(std::uint32_t& c) {
    if (left() == 0) return fail(DecodeError::unexpected_end(1));
    const std::uint8_t b0 = b[pos];
    const std::size_t w = b0 <= 0x7F ? 1 : b0 <= 0xC1 ? 0 : b0 <= 0xDF ? 2 : b0 <= 0xEF ? 3 : b0 <= 0xF4 ? 4 : 0;
    if (w == 0) return fail(DecodeError::invalid_char_encoding({b0, 0, 0, 0}));
    if (left() < w) return fail(DecodeError::unexpected_end(w - left()));
    std::array<std::uint8_t, 4> s{};
    for (std::size_t k = 0; k < w; ++k) s[k] = b[pos + k];
    auto in = [](std::uint8_t x, int lo, int hi) { return x >= lo && x <= hi; };
    bool ok = true;
    if (w == 2) ok = in(s[1], 0x80, 0xBF);
    if (w == 3) {
      const bool second = b0 == 0xE0   ? in(s[1], 0xA0, 0xBF)
                          : b0 == 0xED ? in(s[1], 0x80, 0x9F)
                                       : in(s[1], 0x80, 0xBF);
      ok = second && in(s[2], 0x80, 0xBF);
    }
    if (w == 4) {
      const bool second = b0 == 0xF0   ? in(s[1], 0x90, 0xBF)
                          : b0 == 0xF4 ? in(s[1], 0x80, 0x8F)
                                       : in(s[1], 0x80, 0xBF);
      ok = second && in(s[2], 0x80, 0xBF) && in(s[3], 0x80, 0xBF);
    }
    if (!ok) return fail(DecodeError::invalid_char_encoding(s));
    static const std::uint32_t kLeadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    c = b0 & kLeadMask[w];
    for (std::size_t k = 1; k < w; ++k) c = c << 6 | (s[k] & 0x3F);
    pos += w;
    return true;
  }
  template <class F>
  bool seq(F element) {
    std::size_t n;
    if (!count(n)) return false;
    for (std::size_t i = 0; i < n; ++i) {
      if (!element()) return false;
    }
    return true;
  }
  bool u32s(std::vector<std::uint32_t>& v) {
    return seq([&] { return u32(v.emplace_back()); });
  }
};

inline std::variant<Model, DecodeError> decode_bytewise(const std::uint8_t* data, std::size_t size) {
  ByteReader r{data, size, 0, std::nullopt};
  Model m;
  const bool ok =
      r.u32s(m.shifts) && r.seq([&] { return r.character(m.labels.emplace_back()); }) &&
      r.u32s(m.transitions) && r.seq([&] {
        if (r.left() == 0) return r.fail(DecodeError::unexpected_end(1));
        const std::uint8_t tag = r.b[r.pos];
        if (tag > 1) {
          return r.fail(DecodeError::unexpected_variant(codec::kOptionalPayloadTypeName, 0, 1, tag));
        }
        ++r.pos;
        auto& slot = m.payloads.emplace_back();
        if (tag == 0) return true;
        slot.emplace();
        return r.u32(slot->total) && r.u32s(slot->ids) && r.u32s(slot->counts);
      }) && r.seq([&] {
        if (r.left() < 16) return r.fail(DecodeError::unexpected_end(16 - r.left()));
        std::copy_n(r.b + r.pos, 16, m.videos.emplace_back().begin());
        r.pos += 16;
        return true;
      });
  if (!ok) return *r.err;
  return m;
}

inline void ref_varint(Bytes& out, std::uint64_t v) {
  int width = 0;
  if (v <= 250) {
    out.push_back(static_cast<std::uint8_t>(v));
  } else if (v <= 0xFFFF) {
    out.push_back(251), width = 2;
  } else if (v <= 0xFFFFFFFFu) {
    out.push_back(252), width = 4;
  } else {
    out.push_back(253), width = 8;
  }
  for (int k = 0; k < width; ++k) out.push_back(static_cast<std::uint8_t>(v >> (8 * k)));
}

inline void ref_char(Bytes& out, std::uint32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<std::uint8_t>(c));
  } else if (c < 0x800) {
    out.insert(out.end(), {std::uint8_t(0xC0 | c >> 6), std::uint8_t(0x80 | (c & 0x3F))});
  } else if (c < 0x10000) {
    out.insert(out.end(), {std::uint8_t(0xE0 | c >> 12), std::uint8_t(0x80 | (c >> 6 & 0x3F)),
                           std::uint8_t(0x80 | (c & 0x3F))});
  } else {
    out.insert(out.end(), {std::uint8_t(0xF0 | c >> 18), std::uint8_t(0x80 | (c >> 12 & 0x3F)),
                           std::uint8_t(0x80 | (c >> 6 & 0x3F)), std::uint8_t(0x80 | (c & 0x3F))});
  }
}

inline Bytes ref_encode(const Model& m) {
  Bytes out;
  auto u32s = [&](const std::vector<std::uint32_t>& v) {
    ref_varint(out, v.size());
    for (auto x : v) ref_varint(out, x);
  };
  u32s(m.shifts);
  ref_varint(out, m.labels.size());
  for (auto c : m.labels) ref_char(out, c);
  u32s(m.transitions);
  ref_varint(out, m.payloads.size());
  for (const auto& p : m.payloads) {
    out.push_back(p ? 1 : 0);
    if (p) {
      ref_varint(out, p->total);
      u32s(p->ids);
      u32s(p->counts);
    }
  }
  ref_varint(out, m.videos.size());
  for (const auto& id : m.videos) out.insert(out.end(), id.begin(), id.end());
  return out;
}

}  // namespace reference

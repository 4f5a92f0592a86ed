// Checks of the saved-index codec against a small byte-by-byte reference
// reader and writer, plus a throughput figure.
//
// Build and run from the repository root:
//   g++ -std=c++20 -O2 -Wall -Wextra -Werror -ffp-contract=off -Isrc
//       tests/cpp/codec_check.cpp src/codec/*.cpp src/payload.cpp
//       src/prefix/trie.cpp src/fault.cpp -o /tmp/codec_check && /tmp/codec_check
// (one command line)
// With sanitizers add `-fsanitize=address,undefined -fno-sanitize-recover=all`
// and pass a smaller node count for the throughput run: /tmp/codec_check 100000
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "codec/encoding.hpp"
#include "codec/records.hpp"
#include "fault.hpp"
#include "reference_record.hpp"

using namespace tessaloom;
using namespace tessaloom::codec;
using namespace reference;

// Every allocation made through operator new is counted, to show that a
// declared count does not decide how much memory decoding takes.
// (The replacement pair is matched; GCC cannot see that through inlining.)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
static std::size_t g_allocated = 0;
void* operator new(std::size_t n) {
  g_allocated += n;
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

static int g_failures = 0;
static void check(bool ok, const char* what, int line) {
  if (!ok) {
    ++g_failures;
    std::fprintf(stderr, "line %d: check failed: %s\n", line, what);
  }
}
static void check_text(const std::string& got, const std::string& want, int line) {
  if (got != want) {
    ++g_failures;
    std::fprintf(stderr, "line %d: got \"%s\"\n          want \"%s\"\n", line, got.c_str(), want.c_str());
  }
}
#define CHECK(cond) check((cond), #cond, __LINE__)
#define CHECK_TEXT(got, want) check_text((got), (want), __LINE__)

static Bytes hex(const char* text) {
  Bytes out;
  for (const char* p = text; *p;) {
    if (*p == ' ' || *p == '|') {
      ++p;
      continue;
    }
    out.push_back(static_cast<std::uint8_t>(std::strtoul(std::string(p, 2).c_str(), nullptr, 16)));
    p += 2;
  }
  return out;
}

// --- plain model of the record, and the reference writer and reader --------

static Trie to_trie(const Model& m) {
  TrieArrays t;
  t.node_shifts = m.shifts;
  t.child_labels = m.labels;
  t.child_transitions = m.transitions;
  for (const auto& p : m.payloads) {
    if (p) {
      t.payloads.push(p->total, p->ids, p->counts);
    } else {
      t.payloads.push_absent();
    }
  }
  t.video_index = m.videos;
  return adopt(std::move(t));
}

static std::variant<Model, DecodeError> ref_decode(const Bytes& bytes) {
  return decode_bytewise(bytes.data(), bytes.size());
}

// The codec's decode of `bytes` agrees with the reference: the same failure,
// or the same record.
static bool agrees_with_reference(const Bytes& bytes) {
  const DecodeResult got = decode_trie(bytes);
  const auto want = ref_decode(bytes);
  if (want.index() != got.index()) return false;
  if (const auto* e = std::get_if<DecodeError>(&want)) return *e == std::get<DecodeError>(got);
  return to_model(std::get<Trie>(got)) == std::get<Model>(want);
}

static std::string decode_text(const Bytes& bytes) {
  const DecodeResult r = decode_trie(bytes);
  if (const auto* e = std::get_if<DecodeError>(&r)) return e->to_string();
  return "ok";
}

static Bytes encode(const Trie& t) {
  auto r = encode_to_vec(t);
  if (auto* e = std::get_if<EncodeError>(&r)) {
    std::fprintf(stderr, "unexpected encode error %s\n", e->to_string().c_str());
    ++g_failures;
    return {};
  }
  return std::get<Bytes>(r);
}

// --- record examples ------------------------------------------------------------

static const VideoId kId = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                            0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
static const char* kIdHex = "00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF";

static Model example(bool first_absent) {
  Model m{{0, 1}, {0, 'a'}, {1}, {}, {kId}};
  const ModelPayload p{3, {0}, {3}};
  m.payloads = {first_absent ? std::nullopt : std::optional(p), p};
  return m;
}

static void check_examples() {
  const Bytes full = hex((std::string("02 00 01 | 02 00 61 | 01 01 | 02 01 03 01 00 01 03 01 03 01 00 01 03 | 01 ") + kIdHex).c_str());
  const Bytes absent = hex((std::string("02 00 01 | 02 00 61 | 01 01 | 02 00 01 03 01 00 01 03 | 01 ") + kIdHex).c_str());
  CHECK(full.size() == 38 && absent.size() == 33);
  for (const auto& [model, bytes] : {std::pair{example(false), full}, std::pair{example(true), absent}}) {
    const Trie t = to_trie(model);
    CHECK(encoded_size(t) == bytes.size());
    CHECK(encode(t) == bytes);
    const DecodeResult r = decode_trie(bytes);
    CHECK(std::holds_alternative<Trie>(r) && to_model(std::get<Trie>(r)) == model);
  }

  // Every truncation fails with UnexpectedEnd, as the reference says.
  for (std::size_t len = 0; len < full.size(); ++len) {
    const Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(len));
    const DecodeResult r = decode_trie(cut);
    CHECK(std::holds_alternative<DecodeError>(r) &&
          std::get<DecodeError>(r).kind == DecodeError::Kind::UnexpectedEnd);
    CHECK(agrees_with_reference(cut));
  }
  CHECK_TEXT(decode_text(Bytes(full.begin(), full.begin() + 37)), "UnexpectedEnd { additional: 1 }");
  CHECK_TEXT(decode_text(Bytes(full.begin(), full.begin() + 30)), "UnexpectedEnd { additional: 8 }");
  CHECK_TEXT(decode_text({}), "UnexpectedEnd { additional: 1 }");

  Bytes tag2 = full;
  tag2[9] = 2;  // the first payload's tag
  CHECK_TEXT(decode_text(tag2),
             "UnexpectedVariant { type_name: \"core::option::Option<lumenweave::payload::Payload>\", "
             "allowed: Range { min: 0, max: 1 }, found: 2 }");

  Bytes trailing = full;
  trailing.insert(trailing.end(), {0xFF, 0x00, 0x12});
  const DecodeResult tr = decode_trie(trailing);
  CHECK(std::holds_alternative<Trie>(tr) && encode(std::get<Trie>(tr)) == full);

  // Longer integer forms read back to the same record and are rewritten in
  // the shortest form.  Counts take the 9-byte form too; the elements and
  // totals, read as 32-bit integers, refuse it.
  for (const std::size_t at : {0u, 2u, 6u, 8u, 10u, 11u, 12u, 14u, 21u}) {
    for (const char* form : {"FB %02X 00", "FC %02X 00 00 00", "FD %02X 00 00 00 00 00 00 00"}) {
      char buf[64];
      std::snprintf(buf, sizeof buf, form, full[at]);
      Bytes longer(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(at));
      const Bytes mid = hex(buf);
      longer.insert(longer.end(), mid.begin(), mid.end());
      longer.insert(longer.end(), full.begin() + static_cast<std::ptrdiff_t>(at) + 1, full.end());
      const bool is_count = at == 0 || at == 6 || at == 8 || at == 11 || at == 21;
      const DecodeResult r = decode_trie(longer);
      if (form[1] == 'D' && !is_count) {
        CHECK_TEXT(decode_text(longer), "InvalidIntegerType { expected: U32, found: U64 }");
      } else {
        CHECK(std::holds_alternative<Trie>(r) && encode(std::get<Trie>(r)) == full);
      }
    }
  }

  // Runs of three-byte forms are checked several at a time: a longer form
  // at any place in such a run is still found and rewritten.
  for (std::size_t j = 0; j < 12; ++j) {
    for (const char* form : {"FB 07 00", "FC 07 00 00 00"}) {
      Model m{{0}, {0}, {}, {}, {kId}};
      ModelPayload p{1, std::vector<std::uint32_t>(12, 300), std::vector<std::uint32_t>(12, 1)};
      m.payloads = {p};
      Bytes longer = ref_encode(m);
      const Bytes run = hex("FB 2C 01"), mid = hex(form);
      auto at = longer.begin();
      for (std::size_t k = 0; k <= j; ++k) at = std::search(k ? at + 3 : at, longer.end(), run.begin(), run.end());
      at = longer.erase(at, at + 3);
      longer.insert(at, mid.begin(), mid.end());
      m.payloads[0]->ids[j] = 7;
      const DecodeResult r = decode_trie(longer);
      CHECK(std::holds_alternative<Trie>(r) && encode(std::get<Trie>(r)) == ref_encode(m));
    }
  }
}

// --- primitives ---------------------------------------------------------------

template <class T, class Op>
static std::string read_one(const Bytes& bytes, Op op) {
  Reader r(bytes);
  T v{};
  if (!op(r, v)) return r.error().to_string();
  return std::to_string(v) + "/" + std::to_string(bytes.size() - r.remaining());
}
static std::string read_u32(const Bytes& b) {
  return read_one<std::uint32_t>(b, [](Reader& r, std::uint32_t& v) { return r.read_u32(v); });
}
static std::string read_u32_run1(const Bytes& b) {
  return read_one<std::uint32_t>(b, [](Reader& r, std::uint32_t& v) { return r.read_u32_run(&v, 1); });
}
static std::string read_u64(const Bytes& b) {
  return read_one<std::uint64_t>(b, [](Reader& r, std::uint64_t& v) { return r.read_u64(v); });
}
static std::string read_count(const Bytes& b) {
  return read_one<std::size_t>(b, [](Reader& r, std::size_t& v) { return r.read_count(v); });
}
static std::string read_char(const Bytes& b) {
  return read_one<std::uint32_t>(b, [](Reader& r, std::uint32_t& v) { return r.read_char(v); });
}
static std::string read_char_run1(const Bytes& b) {
  return read_one<std::uint32_t>(b, [](Reader& r, std::uint32_t& v) { return r.read_char_run(&v, 1); });
}
static Bytes padded(Bytes b) {
  b.resize(b.size() + 12, 0x41);
  return b;
}

static void check_varints() {
  const std::pair<std::uint64_t, const char*> table[] = {
      {0, "00"}, {250, "FA"}, {251, "FB FB 00"}, {300, "FB 2C 01"}, {65535, "FB FF FF"},
      {65536, "FC 00 00 01 00"}, {4294967295u, "FC FF FF FF FF"},
      {4294967296u, "FD 00 00 00 00 01 00 00 00"}, {~std::uint64_t{0}, "FD FF FF FF FF FF FF FF FF"}};
  for (const auto& [value, text] : table) {
    const Bytes want = hex(text);
    CHECK(varint_size(value) == want.size());
    Bytes got(want.size());
    Writer w(got.data(), got.size());  // exact room: the tail path
    w.write_u64(value);
    CHECK(got == want);
    if (value <= 0xFFFFFFFFu) {
      std::vector<std::uint32_t> one{static_cast<std::uint32_t>(value)};
      Writer w32(got.data(), got.size());
      w32.write_u32_run(one);
      CHECK(got == want && u32_run_size(one) == want.size());
    }
    const std::string ok = std::to_string(value) + "/" + std::to_string(want.size());
    CHECK_TEXT(read_u64(want), ok);
    CHECK_TEXT(read_u64(padded(want)), ok);
    if (value <= 0xFFFFFFFFu) {
      for (const Bytes& b : {want, padded(want)}) {
        CHECK_TEXT(read_u32(b), ok);
        CHECK_TEXT(read_u32_run1(b), ok);
        CHECK_TEXT(read_count(b), ok);
      }
    }
  }

  // (input, 32-bit read, count read); long forms accepted.
  const std::array<const char*, 3> cases[] = {
      {"FB 05 00", "5/3", "5/3"},
      {"FC 05 00 00 00", "5/5", "5/5"},
      {"FD 05 00 00 00 00 00 00 00", "InvalidIntegerType { expected: U32, found: U64 }", "5/9"},
      {"FD 00 00 00 00 01 00 00 00", "InvalidIntegerType { expected: U32, found: U64 }", "OutsideUsizeRange(4294967296)"},
      {"FD", "InvalidIntegerType { expected: U32, found: U64 }", "UnexpectedEnd { additional: 8 }"},
      {"FE", "InvalidIntegerType { expected: U32, found: U128 }", "InvalidIntegerType { expected: U64, found: U128 }"},
      {"FE 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00", "InvalidIntegerType { expected: U32, found: U128 }",
       "InvalidIntegerType { expected: U64, found: U128 }"},
      {"FF", "InvalidIntegerType { expected: U32, found: Reserved }", "InvalidIntegerType { expected: U64, found: Reserved }"},
      {"", "UnexpectedEnd { additional: 1 }", "UnexpectedEnd { additional: 1 }"},
      {"FB", "UnexpectedEnd { additional: 2 }", "UnexpectedEnd { additional: 2 }"},
      {"FB 01", "UnexpectedEnd { additional: 1 }", "UnexpectedEnd { additional: 1 }"},
      {"FC 01 02", "UnexpectedEnd { additional: 2 }", "UnexpectedEnd { additional: 2 }"},
      {"FC 01 02 03", "UnexpectedEnd { additional: 1 }", "UnexpectedEnd { additional: 1 }"},
  };
  for (const auto& [input, as_u32, as_count] : cases) {
    const Bytes b = hex(input);
    CHECK_TEXT(read_u32(b), as_u32);
    CHECK_TEXT(read_u32_run1(b), as_u32);
    CHECK_TEXT(read_count(b), as_count);
    if (std::string(as_u32).rfind("Unexpected", 0) != 0) {
      CHECK_TEXT(read_u32(padded(b)), as_u32);  // the look-ahead path agrees
      CHECK_TEXT(read_u32_run1(padded(b)), as_u32);
    }
  }
}

static void check_chars() {
  const std::pair<std::uint32_t, const char*> table[] = {
      {0, "00"}, {'a', "61"}, {0x7F, "7F"}, {0x80, "C2 80"}, {0xE9, "C3 A9"}, {0x7FF, "DF BF"},
      {0x800, "E0 A0 80"}, {0x4E2D, "E4 B8 AD"}, {0xD7FF, "ED 9F BF"}, {0xE000, "EE 80 80"},
      {0xFFFF, "EF BF BF"}, {0x10000, "F0 90 80 80"}, {0x1F600, "F0 9F 98 80"}, {0x10FFFF, "F4 8F BF BF"}};
  for (const auto& [c, text] : table) {
    const Bytes want = hex(text);
    Bytes got(want.size());
    Writer w(got.data(), got.size());
    w.write_char(c);
    CHECK(got == want && char_size(c) == want.size());
    const std::string ok = std::to_string(c) + "/" + std::to_string(want.size());
    CHECK_TEXT(read_char(want), ok);
    CHECK_TEXT(read_char_run1(padded(want)), ok);
  }
  const std::pair<const char*, const char*> bad[] = {
      {"C0", "InvalidCharEncoding([192, 0, 0, 0])"},
      {"80", "InvalidCharEncoding([128, 0, 0, 0])"},
      {"F5 80 80 80", "InvalidCharEncoding([245, 0, 0, 0])"},
      {"ED A0 80", "InvalidCharEncoding([237, 160, 128, 0])"},
      {"E0 80 80", "InvalidCharEncoding([224, 128, 128, 0])"},
      {"F0 80 80 80", "InvalidCharEncoding([240, 128, 128, 128])"},
      {"F4 90 80 80", "InvalidCharEncoding([244, 144, 128, 128])"},
      {"C3 41", "InvalidCharEncoding([195, 65, 0, 0])"},
      {"E4 B8", "UnexpectedEnd { additional: 1 }"},
      {"F0 9F", "UnexpectedEnd { additional: 2 }"},
      {"", "UnexpectedEnd { additional: 1 }"},
  };
  for (const auto& [input, text] : bad) {
    CHECK_TEXT(read_char(hex(input)), text);
    CHECK_TEXT(read_char_run1(hex(input)), text);
  }

  // Every scalar value survives a round trip; every first/second byte pair,
  // with characteristic later bytes and every length, reads as the
  // reference does, with and without room for the look-ahead.
  int mismatches = 0;
  for (std::uint32_t c = 0; c <= 0x10FFFF; ++c) {
    if (!is_scalar_value(c)) continue;
    std::uint8_t buf[4];
    const std::size_t n = static_cast<std::size_t>(Writer::put_char(buf, c) - buf);
    Reader r(std::span<const std::uint8_t>(buf, n));
    std::uint32_t back = 0;
    mismatches += !(n == char_size(c) && r.read_char(back) && back == c && r.remaining() == 0);
  }
  struct Outcome {
    bool ok;
    std::uint32_t value;
    std::size_t consumed;
    DecodeError error;
    bool operator==(const Outcome&) const = default;
  };
  auto codec_read = [](const Bytes& b, bool run) {
    Reader r(b);
    std::uint32_t v = 0;
    const bool ok = run ? r.read_char_run(&v, 1) : r.read_char(v);
    return ok ? Outcome{true, v, b.size() - r.remaining(), {}} : Outcome{false, 0, 0, r.error()};
  };
  const std::uint8_t later[] = {0x00, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xFF};
  for (int b0 = 0; b0 < 256; ++b0) {
    // Later bytes only matter after a lead byte of width 3 or 4.
    const int spread = b0 >= 0xE0 && b0 <= 0xEF ? 1 : b0 >= 0xF0 && b0 <= 0xF4 ? 2 : 0;
    for (int b1 = 0; b1 < 256; ++b1) {
      for (std::size_t i2 = 0; i2 < (spread >= 1 ? std::size(later) : 1); ++i2) {
        for (std::size_t i3 = 0; i3 < (spread >= 2 ? std::size(later) : 1); ++i3) {
          const Bytes full = {std::uint8_t(b0), std::uint8_t(b1), later[i2], later[i3], 0x41, 0x41};
          for (std::size_t len = 1; len <= full.size(); len += (len < 4 ? 1 : 2)) {
            const Bytes b(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(len));
            ByteReader ref{b.data(), b.size(), 0, std::nullopt};
            std::uint32_t want = 0;
            const Outcome expect = ref.character(want) ? Outcome{true, want, ref.pos, {}} : Outcome{false, 0, 0, *ref.err};
            mismatches += !(codec_read(b, false) == expect);
            mismatches += !(codec_read(b, true) == expect);
          }
        }
      }
    }
  }
  CHECK(mismatches == 0);

  // Reading a 16-byte id with 10 bytes left.
  const Bytes ten(10);
  Reader r(ten);
  VideoId id;
  CHECK(!r.read_bytes16(id));
  CHECK_TEXT(r.error().to_string(), "UnexpectedEnd { additional: 6 }");
}

// --- hostile counts -------------------------------------------------------------

static void check_huge_counts() {
  // Each input declares 4,000,000,000 elements (FC 00 28 6B EE) somewhere.
  const std::pair<const char*, const char*> cases[] = {
      {"FC 00 28 6B EE 01 01 01 01 01", "UnexpectedEnd { additional: 1 }"},
      {"FC 00 28 6B EE 01 01 FB 01", "UnexpectedEnd { additional: 1 }"},
      {"FC 00 28 6B EE 01 01 FD 01 01", "InvalidIntegerType { expected: U32, found: U64 }"},
      {"00 FC 00 28 6B EE 61 62 63 E4", "UnexpectedEnd { additional: 2 }"},
      {"00 00 00 FC 00 28 6B EE 00 00", "UnexpectedEnd { additional: 1 }"},
      {"00 00 00 FC 00 28 6B EE 00 07", "UnexpectedVariant { type_name: \"core::option::Option<lumenweave::payload::Payload>\", allowed: Range { min: 0, max: 1 }, found: 7 }"},
      {"00 00 00 01 01 05 FC 00 28 6B EE 01 02", "UnexpectedEnd { additional: 1 }"},
      {"00 00 00 01 01 05 00 FC 00 28 6B EE 09", "UnexpectedEnd { additional: 1 }"},
      {"00 00 00 00 FC 00 28 6B EE 01", "UnexpectedEnd { additional: 15 }"},
  };
  for (const auto& [input, text] : cases) {
    const Bytes b = hex(input);
    const std::size_t before = g_allocated;
    const auto start = std::chrono::steady_clock::now();
    CHECK_TEXT(decode_text(b), text);
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    CHECK(g_allocated - before < 1024);
    CHECK(ms < 50);
    CHECK(agrees_with_reference(b));
  }
}

// --- random records ---------------------------------------------------------------

struct Random {
  std::mt19937_64 gen{20240611};
  std::uint64_t below(std::uint64_t n) { return gen() % n; }
  std::uint32_t u32() {
    static const std::uint32_t edges[] = {0, 1, 250, 251, 65535, 65536, 0xFFFFFFFFu};
    switch (below(5)) {
      case 0: return edges[below(7)];
      case 1: return static_cast<std::uint32_t>(below(251));
      case 2: return static_cast<std::uint32_t>(below(65536));
      default: return static_cast<std::uint32_t>(gen());
    }
  }
  std::uint32_t label() {
    static const std::uint32_t edges[] = {0, 0x7F, 0x80, 0x7FF, 0x800, 0xD7FF, 0xE000, 0xFFFF, 0x10000, 0x10FFFF};
    for (;;) {
      std::uint32_t c;
      switch (below(5)) {
        case 0: c = edges[below(10)]; break;
        case 1: c = static_cast<std::uint32_t>(below(0x80)); break;
        case 2: c = static_cast<std::uint32_t>(below(0x800)); break;
        case 3: c = static_cast<std::uint32_t>(below(0x10000)); break;
        default: c = static_cast<std::uint32_t>(below(0x110000)); break;
      }
      if (is_scalar_value(c)) return c;
    }
  }
  std::vector<std::uint32_t> u32s(std::size_t n) {
    std::vector<std::uint32_t> v(n);
    for (auto& x : v) x = u32();
    return v;
  }
  // The node arrays of a random tree of n nodes numbered in pre-order, as a
  // builder writes them: each node's parent is on the path from the root
  // to the node before it.
  void preorder_tree(Model& m, std::size_t n) {
    std::vector<std::vector<std::uint32_t>> children(n);
    std::vector<std::uint32_t> path{0};
    for (std::uint32_t u = 1; u < n; ++u) {
      path.resize(1 + below(path.size()));
      children[path.back()].push_back(u);
      path.push_back(u);
    }
    m.shifts.clear();
    m.transitions.clear();
    for (const auto& c : children) {
      m.shifts.push_back(static_cast<std::uint32_t>(m.transitions.size()));
      m.transitions.insert(m.transitions.end(), c.begin(), c.end());
    }
  }
  Model model(std::size_t tree_nodes = 0) {
    Model m;
    const std::size_t n = tree_nodes != 0 ? tree_nodes : below(12);
    auto len = [&] { return tree_nodes == 0 && below(4) == 0 ? below(12) : n; };  // lengths may disagree
    m.shifts = u32s(len());
    m.labels.resize(len());
    for (auto& c : m.labels) c = tree_nodes != 0 ? label() % 64 : label();  // large: few labels
    m.transitions = u32s(below(16));
    // A third of the others are trees that load into the packed form.
    if (n > 0 && (tree_nodes != 0 || below(3) == 0)) preorder_tree(m, n);
    m.payloads.resize(len());
    for (auto& p : m.payloads) {
      if (below(4) == 0) continue;
      const std::size_t k = below(6);
      p = ModelPayload{u32(), u32s(k), u32s(below(4) == 0 ? below(6) : k)};
    }
    m.videos.resize(below(4));
    for (auto& id : m.videos)
      for (auto& byte : id) byte = static_cast<std::uint8_t>(gen());
    return m;
  }
  std::uint8_t interesting_byte() {
    static const std::uint8_t picks[] = {0, 1, 2, 250, 251, 252, 253, 254, 255, 0x80, 0xBF, 0xC0, 0xC2, 0xE0, 0xED, 0xF0, 0xF4, 0xF5};
    return below(2) ? picks[below(sizeof picks)] : static_cast<std::uint8_t>(gen());
  }
};

static void check_random_records() {
  Random rnd;
  int round_trip_failures = 0, disagreements = 0, crashes = 0, packed[2] = {};
  for (int iter = 0; iter < 3032; ++iter) {
    // The last few past the size from which node arrays load on a second
    // thread, and the last two past the size from which they are written
    // on two threads, each writing part of every array.
    const Model m = rnd.model(iter < 3000 ? 0 : iter < 3030 ? 70000 : 130000);
    const Trie t = to_trie(m);
    const Bytes want = ref_encode(m);
    const Bytes got = encode(t);
    const DecodeResult back = decode_trie(got);
    packed[iter < 3000] += std::holds_alternative<Trie>(back) && std::get<Trie>(back).is_packed();
    round_trip_failures += !(got == want && encoded_size(t) == want.size() &&
                             std::holds_alternative<Trie>(back) && to_model(std::get<Trie>(back)) == m &&
                             encode(std::get<Trie>(back)) == got);
    if (iter >= 3000) {
      // A longer form of the first shift or the first transition moves
      // where the node arrays end: it reads back to the same index.
      const std::size_t n = m.shifts.size();
      const std::size_t first_transition = 2 * count_size(n) + u32_run_size(m.shifts) + char_run_size(m.labels) +
                                           count_size(n - 1);
      for (const auto& [at, form] : {std::pair{count_size(n), "FC 00 00 00 00"}, std::pair{first_transition, "FB 01 00"}}) {
        Bytes longer = want;
        const Bytes mid = hex(form);
        longer.erase(longer.begin() + static_cast<std::ptrdiff_t>(at));
        longer.insert(longer.begin() + static_cast<std::ptrdiff_t>(at), mid.begin(), mid.end());
        const DecodeResult r = decode_trie(longer);
        round_trip_failures += !(std::holds_alternative<Trie>(r) && encode(std::get<Trie>(r)) == want);
      }
    }

    // Mutations: the decoder never faults and always agrees with the
    // byte-by-byte reference.
    for (int k = 0; k < 8; ++k) {
      Bytes b = want;
      for (int edits = 1 + static_cast<int>(rnd.below(3)); edits-- > 0;) {
        const std::size_t at = rnd.below(b.size() + 1);
        switch (rnd.below(4)) {
          case 0: b.resize(at); break;
          case 1: if (at < b.size()) b[at] = rnd.interesting_byte(); break;
          case 2: b.insert(b.begin() + static_cast<std::ptrdiff_t>(at), rnd.interesting_byte()); break;
          default: if (at < b.size()) b.erase(b.begin() + static_cast<std::ptrdiff_t>(at)); break;
        }
      }
      try {
        disagreements += !agrees_with_reference(b);
      } catch (...) {
        ++crashes;
      }
    }
  }
  // Random bytes behind plausible counts.
  for (int iter = 0; iter < 20000; ++iter) {
    Bytes b;
    for (std::size_t n = rnd.below(40); n-- > 0;) b.push_back(rnd.below(3) ? static_cast<std::uint8_t>(rnd.below(4)) : rnd.interesting_byte());
    try {
      disagreements += !agrees_with_reference(b);
    } catch (...) {
      ++crashes;
    }
  }
  CHECK(round_trip_failures == 0);
  CHECK(packed[0] > 5 && packed[1] > 500);  // both ways of loading the packed form ran
  CHECK(disagreements == 0);
  CHECK(crashes == 0);
}

static void check_encoder_guards() {
  const Trie t = to_trie(example(false));
  Bytes small(37), large(39);
  for (Bytes* b : {&small, &large}) {
    bool faulted = false;
    try {
      encode_into(t, b->data(), b->size());
    } catch (const InternalFault&) {
      faulted = true;
    }
    CHECK(faulted);
  }
  Model m = example(false);
  m.labels[1] = 0xD800;
  auto r = encode_to_vec(to_trie(m));
  CHECK(std::holds_alternative<EncodeError>(r) &&
        std::get<EncodeError>(r).to_string() == "InvalidLabel { node: 1, value: 55296 }");
  // Written anyway (as the binding might), it reads back as a failure, not as another label.
  const Trie bad = to_trie(m);
  Bytes out(encoded_size(bad));
  encode_into(bad, out.data(), out.size());
  CHECK_TEXT(decode_text(out), "InvalidCharEncoding([237, 160, 128, 0])");
}

// --- throughput -----------------------------------------------------------------

static void throughput(std::size_t nodes) {
  std::mt19937_64 gen(7);
  TrieArrays arrays;
  TrieArrays& t = arrays;
  t.node_shifts.resize(nodes);
  t.child_labels.resize(nodes);
  // Nodes in breadth-first order, children contiguous: node i's children
  // follow those of node i-1.
  std::size_t next_child = 1;
  for (std::size_t i = 0; i < nodes; ++i) {
    t.node_shifts[i] = static_cast<std::uint32_t>(next_child - 1);
    const std::size_t kids = std::min<std::size_t>(nodes - next_child, gen() % 3);
    for (std::size_t k = 0; k < kids; ++k) t.child_transitions.push_back(static_cast<std::uint32_t>(next_child++));
    t.child_labels[i] = gen() % 16 ? 'a' + static_cast<std::uint32_t>(gen() % 26) : 0xE0 + static_cast<std::uint32_t>(gen() % 32);
  }
  const std::size_t videos = 100000;
  t.video_index.resize(videos);
  for (auto& id : t.video_index)
    for (auto& b : id) b = static_cast<std::uint8_t>(gen());
  std::vector<std::uint32_t> ids, counts;
  t.payloads.reserve(nodes, nodes * 4);
  for (std::size_t i = 0; i < nodes; ++i) {
    const std::size_t k = 1 + gen() % 8;
    ids.resize(k);
    counts.resize(k);
    std::uint32_t total = 0;
    for (std::size_t j = 0; j < k; ++j) {
      ids[j] = static_cast<std::uint32_t>(gen() % videos);
      counts[j] = static_cast<std::uint32_t>(1 + (gen() % 4 ? gen() % 50 : gen() % 5000));
      total += counts[j];
    }
    t.payloads.push(total, ids, counts);
  }
  const Trie trie = adopt(std::move(arrays));

  // Best of three, in wall time and in this thread's CPU time (the latter
  // is the steadier figure on a busy machine).
  auto cpu_now = [] {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
  };
  auto wall_now = [] { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); };
  double enc_wall = 1e9, dec_wall = 1e9, enc_cpu = 1e9, dec_cpu = 1e9;
  std::size_t size = 0;
  bool same = true;
  for (int rep = 0; rep < 3; ++rep) {
    const double w0 = wall_now(), c0 = cpu_now();
    Bytes bytes = encode(trie);
    const double w1 = wall_now(), c1 = cpu_now();
    DecodeResult back = decode_trie(bytes);
    const double w2 = wall_now(), c2 = cpu_now();
    size = bytes.size();
    enc_wall = std::min(enc_wall, w1 - w0), enc_cpu = std::min(enc_cpu, c1 - c0);
    dec_wall = std::min(dec_wall, w2 - w1), dec_cpu = std::min(dec_cpu, c2 - c1);
    if (rep == 0) same = std::holds_alternative<Trie>(back) && encode(std::get<Trie>(back)) == bytes;
  }
  CHECK(same);
  const double mb = static_cast<double>(size) / 1e6;
  std::printf("throughput: %zu nodes, %.1f MB encoded\n"
              "  encode %.0f MB/s wall (%.1f ms), %.0f MB/s cpu (%.1f ms)\n"
              "  decode %.0f MB/s wall (%.1f ms), %.0f MB/s cpu (%.1f ms)\n",
              nodes, mb, mb / enc_wall, enc_wall * 1e3, mb / enc_cpu, enc_cpu * 1e3, mb / dec_wall,
              dec_wall * 1e3, mb / dec_cpu, dec_cpu * 1e3);
}

int main(int argc, char** argv) {
  check_examples();
  check_varints();
  check_chars();
  check_huge_counts();
  check_random_records();
  check_encoder_guards();
  throughput(argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 2000000);
  if (g_failures != 0) {
    std::printf("codec_check: %d failure(s)\n", g_failures);
    return 1;
  }
  std::printf("codec_check: all checks passed\n");
  return 0;
}

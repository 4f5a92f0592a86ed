// Checks of the index builder's core, with no interpreter: the trie it
// shapes, the payloads and video numbering it fills in, the refusal of
// counts that overflow under a prefix, the TSV rules and the value checks.
//
// Built with TESSALOOM_BUILD_TESTS=ON and run by ctest.
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "builder/index_builder.hpp"
#include "builder/tsv_input.hpp"

using namespace tessaloom;
using namespace tessaloom::build;

static int failures = 0;

#define CHECK(condition)                                                  \
  do {                                                                    \
    if (!(condition)) {                                                   \
      std::fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #condition); \
      ++failures;                                                         \
    }                                                                     \
  } while (0)

static VideoId video(std::uint8_t n) {
  VideoId id{};
  id[15] = n;
  return id;
}

static DecodedPayload payload_of(const Trie& trie, std::size_t node) {
  DecodedPayload payload;
  PayloadStore::decode(trie.payloads.record(node), payload);
  return payload;
}

template <class T>
static std::vector<T> vec(std::span<const T> s) {
  return {s.begin(), s.end()};
}

static void car_cart_cat() {
  IndexBuilder b;
  // Video 1 has the largest total and is numbered 0; video 2 then video 0.
  const struct {
    const char* term;
    std::uint8_t video;
    std::uint32_t count;
  } entries[] = {{"cat", 0, 2}, {"car", 1, 5}, {"cart", 2, 3}, {"car", 1, 1}, {"cat", 2, 1}, {"cat", 1, 2}};
  for (const auto& e : entries) CHECK(b.add(b.term_id(e.term), b.video_id(video(e.video)), e.count));
  CHECK(!b.shape());
  CHECK(b.node_count() == 6);  // '' c ca car cart cat
  const Trie trie = b.finish(10);
  const NodeArrays nodes = general_nodes(trie);
  CHECK(trie.is_packed());
  CHECK((nodes.child_labels == std::vector<Label>{0, 'c', 'a', 'r', 't', 't'}));
  CHECK((nodes.node_shifts == std::vector<std::uint32_t>{0, 1, 2, 4, 5, 5}));
  CHECK((nodes.child_transitions == std::vector<NodeId>{1, 2, 3, 5, 4}));
  CHECK((vec(trie.video_index) == std::vector<VideoId>{video(1), video(2), video(0)}));
  // cat: video 0 (now 2) 2, video 1 (now 0) 2, video 2 (now 1) 1: equal
  // counts keep the order first seen.
  CHECK((payload_of(trie, 5).video_ids == std::vector<std::uint32_t>{2, 0, 1}));
  CHECK(payload_of(trie, 3).total_count == 9);   // car and cart
  CHECK(payload_of(trie, 0).total_count == 14);  // everything
  CHECK(b.stats().terms == 3 && b.stats().nodes == 6 && b.stats().videos == 3 && b.stats().entries == 6);
}

static void overflow() {
  IndexBuilder b;
  CHECK(b.add(b.term_id("ab"), b.video_id(video(0)), 4'000'000'000u));
  CHECK(!b.add(b.term_id("ab"), b.video_id(video(1)), 400'000'000u));  // the term's own total
  CHECK(b.add(b.term_id("abc"), b.video_id(video(1)), 300'000'000u));   // ab + abc = 4.3e9
  CHECK(b.add(b.term_id("b"), b.video_id(video(1)), 1));
  const auto error = b.shape();
  CHECK(error && error->kind == VocabularyError::kPrefixOverflow && error->prefix == "ab" &&
        error->total == 4'300'000'000u);
}

static std::string tsv_problem(const std::string& text, std::size_t& line) {
  IndexBuilder b;
  TsvReader reader(b);
  // Fed in pieces, to cross the chunk boundaries.
  bool ok = true;
  for (std::size_t at = 0; ok && at < text.size(); at += 5) ok = reader.feed(std::string_view(text).substr(at, 5));
  if (ok) ok = reader.finish();
  if (ok) {
    line = b.entry_count();
    return "";
  }
  line = reader.problem().position;
  return std::to_string(reader.problem().kind) + ":" + reader.problem().text + reader.problem().number;
}

static void tsv() {
  const std::string a = "00000000-0000-0000-0000-0000000000A1";
  std::size_t line = 0;
  CHECK(tsv_problem("\xEF\xBB\xBF TERM\tVideo_ID\tcount\r\n  \n\t\ncat\t" + a + "\t3\n cat \t" + a + " \t 04", line) == "" &&
        line == 2);
  CHECK(tsv_problem("cat\t" + a + "\t+3\n", line) == std::to_string(BadValue::kCountNotInteger) + ":+3" && line == 1);
  CHECK(tsv_problem("x\t" + a + "\t1\ncat\t" + a + "\n", line) == std::to_string(BadValue::kFieldCount) + ":2" &&
        line == 2);
  CHECK(tsv_problem("c\xFFt\t" + a + "\t1\n", line) == std::to_string(BadValue::kLineNotUtf8) + ":2");
  CHECK(tsv_problem("cat\t" + a + "\t4294967296\n", line) == std::to_string(BadValue::kCountTooLarge) + ":4294967296");
  CHECK(tsv_problem("cat\t" + a + "\t000\n", line) == std::to_string(BadValue::kCountNotPositive) + ":0");
  CHECK(tsv_problem("cat\tnot-a-uuid\t1\n", line) == std::to_string(BadValue::kVideoText) + ":not-a-uuid");
  // The earlier line's overflow comes before the later line's bad field.
  CHECK(tsv_problem("cat\t" + a + "\t4000000000\n\ncat\t" + a + "\t400000000\nx\n", line) ==
            std::to_string(BadValue::kTermTotal) + ":cat" &&
        line == 3);
  CHECK(tsv_problem("cat\t" + a + "\t1\nterm\tvideo_id\tcount\n", line) ==
        std::to_string(BadValue::kVideoText) + ":video_id");  // a header only comes first
}

// Chunks that end inside a line: the entries read before must not keep
// pointing into the chunk once the reader has returned.
static void tsv_chunks() {
  std::string text, chunk;
  for (int i = 0; i < 200; ++i) {
    text += "term" + std::to_string(i) + "\t00000000-0000-0000-0000-0000000000" + std::to_string(10 + i % 90) + "\t1\n";
  }
  IndexBuilder b;
  TsvReader reader(b);
  for (std::size_t at = 0; at < text.size(); at += 77) {
    chunk = text.substr(at, 77);
    CHECK(reader.feed(chunk));
    chunk.assign(chunk.size(), 'x');  // the caller reuses its buffer
  }
  CHECK(reader.finish());
  CHECK(b.term_count() == 200 && b.entry_count() == 200);
  for (std::uint32_t t = 0; t < b.term_count(); ++t) CHECK(b.term_text(t).substr(0, 4) == "term");
}

static void values() {
  VideoId id;
  CHECK(parse_uuid_text("00010203-0405-0607-0809-0a0B0c0d0e0f", id) && id[1] == 1 && id[11] == 0x0B);
  CHECK(!parse_uuid_text("00010203-0405-0607-0809-0a0b0c0d0e0g", id));
  CHECK(!parse_uuid_text("000102030405-0607-0809-0a0b0c0d0e0f", id));
  std::uint32_t code_point = 1;
  CHECK(check_term("", code_point) == TermCheck::kEmpty);
  CHECK(check_term(std::string("a\0b", 3), code_point) == TermCheck::kUnstorable && code_point == 0);
  CHECK(check_term("\xED\xA0\x80", code_point) == TermCheck::kNotUtf8);  // a surrogate
  CHECK(check_term("\xC0\xAF", code_point) == TermCheck::kNotUtf8);      // overlong
  CHECK(check_term("caf\xC3\xA9 \xF0\x9F\x99\x82", code_point) == TermCheck::kOk);
  CHECK(valid_utf8_prefix("abcdefghij\xE2\x82") == 10);
}

int main() {
  car_cart_cat();
  overflow();
  tsv();
  tsv_chunks();
  values();
  if (failures == 0) std::printf("builder_check: all passed\n");
  return failures == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}

// libFuzzer target: the saved-record reader.
//
// Any bytes: the codec's reader (runs of elements on its fast paths) and
// the byte-by-byte reference must agree on the failure or on the record.
// A record that reads must write (no encode error can arise from read
// data), read back to the same record, and write again to the same bytes.
// Anything else aborts, as does any sanitizer report.
#include <cstdio>
#include <cstdlib>

#include "codec/records.hpp"
#include "reference.hpp"

using namespace tessaloom;

namespace {

[[noreturn]] void finding(const char* what) {
  std::fprintf(stderr, "finding: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  codec::DecodeResult got;
  try {
    got = codec::decode_trie({data, size});
  } catch (const std::bad_alloc&) {
    return 0;  // out of memory is allowed to fail; the limits keep it rare
  }
  const auto want = fuzzref::decode_bytewise(data, size);
  if (got.index() != want.index()) finding("reader and byte-by-byte reference disagree on success");
  if (const auto* e = std::get_if<codec::DecodeError>(&want)) {
    if (!(*e == std::get<codec::DecodeError>(got))) finding("different decode failures");
    if (e->to_string().empty()) finding("empty failure text");
    return 0;
  }
  const Trie& trie = std::get<Trie>(got);
  const fuzzref::Model model = fuzzref::to_model(trie);
  if (!(model == std::get<fuzzref::Model>(want))) finding("different records");

  auto written = codec::encode_to_vec(trie);
  if (!std::holds_alternative<std::vector<std::uint8_t>>(written)) finding("a read record does not write");
  const auto& bytes = std::get<std::vector<std::uint8_t>>(written);
  if (bytes.size() != codec::encoded_size(trie)) finding("encoded_size disagrees with the writer");
  if (bytes.size() > size) finding("the shortest form is longer than the input");
  const codec::DecodeResult again = codec::decode_trie(bytes);
  if (!std::holds_alternative<Trie>(again)) finding("written bytes do not read back");
  const Trie& back = std::get<Trie>(again);
  if (!(fuzzref::to_model(back) == model)) finding("round trip changed the record");
  auto rewritten = codec::encode_to_vec(back);
  if (std::get<std::vector<std::uint8_t>>(rewritten) != bytes) finding("second write differs");
  return 0;
}

// Where the time of loading a saved index goes, and how low it can go.
//
//   load_floor INDEX_FILE [--build-ms MS]
//
// Times, on the bytes of INDEX_FILE (write one with
// `python bench/bench_codec.py --save FILE`), the median of 7 runs of:
//
//   full load     decode_trie, what from_bytes runs: fresh arrays each time
//   node arrays   the three node arrays decoded into arrays allocated and
//                 touched beforehand (decoding alone, no page faults)
//   payload skip  a walk over the payload records that only follows the
//                 marker bytes to find where each record ends: no checks,
//                 no stores.  Any reader that must find every record's end
//                 in this format does at least this much.
//   fresh memory  mapping as many fresh bytes as the decoded index holds
//                 and writing each once: the least that producing the
//                 arrays the queries read costs, whatever the decoder.
//
// With --build-ms (the build time bench_codec.py prints), it also prints the
// load time that loading twenty times faster than building would allow, and
// how many times faster than building the full load and the floor (node
// arrays + payload skip) are.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <variant>
#include <vector>

#include <sys/mman.h>

#include "codec/records.hpp"

namespace {

using tessaloom::codec::Reader;

template <class F>
double median_ms(F f) {
  std::vector<double> times;
  for (int rep = 0; rep < 7; ++rep) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    const auto t1 = std::chrono::steady_clock::now();
    times.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

struct NodeArrays {
  std::vector<std::uint32_t> shifts, labels, transitions;
};

// Decodes the three node arrays into `out` (sized beforehand); returns the
// reader positioned at the payload section, or exits on malformed input.
Reader read_node_arrays(std::span<const std::uint8_t> bytes, NodeArrays& out) {
  Reader reader(bytes);
  std::size_t n = 0;
  bool ok = reader.read_count(n) && n <= out.shifts.size() && reader.read_u32_run(out.shifts.data(), n) &&
            reader.read_count(n) && n <= out.labels.size() && reader.read_char_run(out.labels.data(), n) &&
            reader.read_count(n) && n <= out.transitions.size() &&
            reader.read_u32_run(out.transitions.data(), n);
  if (!ok) {
    std::fprintf(stderr, "not a well-formed index\n");
    std::exit(1);
  }
  return reader;
}

// Width of the varint that starts with marker byte b.
inline std::size_t width(std::uint8_t b) { return b < 251 ? 1 : b == 251 ? 3 : b == 252 ? 5 : 9; }

// Follows the payload records' markers only.  The caller has checked that
// the input decodes, so every record is whole.
std::size_t skip_payloads(const std::uint8_t* p, std::size_t slots) {
  const std::uint8_t* start = p;
  auto count = [&p] {
    std::uint64_t v = *p;
    if (v >= 251) {
      v = 0;
      std::memcpy(&v, p + 1, width(*p) - 1);
    }
    p += width(*p);
    return v;
  };
  for (std::size_t i = 0; i < slots; ++i) {
    if (*p++ == 0) continue;
    p += width(*p);  // total
    for (int run = 0; run < 2; ++run) {
      for (std::uint64_t k = count(); k > 0; --k) p += width(*p);
    }
  }
  return static_cast<std::size_t>(p - start);
}

// Maps `size` fresh bytes, writes them once and unmaps them.
void touch_fresh(std::size_t size) {
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) {
    std::perror("mmap");
    std::exit(1);
  }
  std::memset(p, 1, size);
  munmap(p, size);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 && !(argc == 4 && std::string(argv[2]) == "--build-ms")) {
    std::fprintf(stderr, "usage: %s INDEX_FILE [--build-ms MS]\n", argv[0]);
    return 2;
  }
  std::ifstream file(argv[1], std::ios::binary);
  const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)), {});
  const auto decoded = tessaloom::codec::decode_trie(bytes);
  if (!std::holds_alternative<tessaloom::Trie>(decoded)) {
    std::fprintf(stderr, "decode error: %s\n", std::get<tessaloom::codec::DecodeError>(decoded).to_string().c_str());
    return 1;
  }
  const tessaloom::Trie& trie = std::get<tessaloom::Trie>(decoded);

  const double full = median_ms([&] { (void)tessaloom::codec::decode_trie(bytes); });

  NodeArrays arrays;
  // Sized by the tree, whichever form the index holds it in.
  arrays.shifts.assign(trie.node_count(), 0);
  arrays.labels.assign(trie.node_count(), 0);
  arrays.transitions.assign(trie.transition_count(), 0);
  std::size_t payload_at = 0;
  const double nodes = median_ms([&] {
    payload_at = bytes.size() - read_node_arrays(bytes, arrays).remaining();
  });

  // The payload section: its count, then the records.
  Reader reader(std::span<const std::uint8_t>(bytes).subspan(payload_at));
  std::size_t slots = 0;
  if (!reader.read_count(slots)) return 1;
  const std::uint8_t* records = bytes.data() + (bytes.size() - reader.remaining());
  std::size_t section = 0;
  const double skip = median_ms([&] { section = skip_payloads(records, slots); });

  const std::size_t node_bytes = trie.is_packed() ? trie.packed.words.size_bytes() + trie.packed.siblings.size_bytes()
                                                 : 4 * (trie.node_shifts.size() + trie.child_labels.size() +
                                                        trie.child_transitions.size());
  const std::size_t decoded_size = node_bytes +
                                   trie.payloads.refs().size_bytes() + trie.payloads.records().size() + 16 * trie.video_index.size();
  const double fresh = median_ms([&] { touch_fresh(decoded_size); });

  const double mb = static_cast<double>(bytes.size()) / 1e6;
  std::printf("index               %10.1f MB, %zu nodes, payload records %.1f MB\n", mb,
              trie.node_count(), static_cast<double>(section) / 1e6);
  std::printf("full load           %10.2f ms  %8.0f MB/s\n", full, mb / full * 1e3);
  std::printf("node arrays         %10.2f ms  (decoding only, arrays touched beforehand)\n", nodes);
  std::printf("payload skip        %10.2f ms  (markers only: no checks, no stores)\n", skip);
  std::printf("floor               %10.2f ms  (node arrays + payload skip)\n", nodes + skip);
  std::printf("fresh memory        %10.2f ms  (%.1f MB mapped and written once)\n", fresh,
              static_cast<double>(decoded_size) / 1e6);
  if (argc == 4) {
    const double build = std::strtod(argv[3], nullptr);
    std::printf("build               %10.2f ms, allows %.2f ms for 20x\n", build, build / 20);
    std::printf("build / full load   %10.1fx\n", build / full);
    std::printf("build / floor       %10.1fx\n", build / (nodes + skip));
  }
  return 0;
}

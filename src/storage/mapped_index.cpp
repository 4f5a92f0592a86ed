#include "mapped_index.hpp"

#include <algorithm>
#include <array>

namespace tessaloom::storage {

namespace {

enum Kind : std::uint32_t {
  kNodeShifts = 1,
  kChildLabels = 2,
  kChildTransitions = 3,
  kPayloadRefs = 4,
  kPayloadRecords = 5,
  kVideoIndex = 6,
};

constexpr std::array<SectionRule, 6> kRules = {{
    {kNodeShifts, 4, "node_shifts"},
    {kChildLabels, 4, "child_labels"},
    {kChildTransitions, 4, "child_transitions"},
    {kPayloadRefs, 4, "payload refs"},
    {kPayloadRecords, 1, "payload records"},
    {kVideoIndex, 16, "video_index"},
}};

template <class T>
std::span<const T> as_array(const SectionView& view) {
  // Sections are 8-byte aligned in a page-aligned mapping, and the file
  // is little-endian, as this machine is (open_image refuses otherwise).
  return {reinterpret_cast<const T*>(view.data), static_cast<std::size_t>(view.count)};
}

}  // namespace

std::vector<SectionSource> index_sections(const Trie& trie, NodeArrays& scratch) {
  static_assert(sizeof(VideoId) == 16);
  std::span<const std::uint32_t> shifts = trie.node_shifts;
  std::span<const Label> labels = trie.child_labels;
  std::span<const NodeId> transitions = trie.child_transitions;
  if (trie.is_packed()) {
    scratch = general_nodes(trie);
    shifts = scratch.node_shifts, labels = scratch.child_labels, transitions = scratch.child_transitions;
  }
  return {
      {kNodeShifts, 4, shifts.data(), shifts.size()},
      {kChildLabels, 4, labels.data(), labels.size()},
      {kChildTransitions, 4, transitions.data(), transitions.size()},
      {kPayloadRefs, 4, trie.payloads.refs().data(), trie.payloads.refs().size()},
      {kPayloadRecords, 1, trie.payloads.records().data(), trie.payloads.records().size()},
      {kVideoIndex, 16, trie.video_index.data(), trie.video_index.size()},
  };
}

std::variant<Trie, std::string> view_image(std::span<const std::uint8_t> image, bool verify) {
  auto opened = open_image(image, kRules, verify);
  if (auto* reason = std::get_if<std::string>(&opened)) return std::move(*reason);
  const std::vector<SectionView>& s = std::get<std::vector<SectionView>>(opened);
  Trie trie;
  trie.node_shifts = as_array<std::uint32_t>(s[0]);
  trie.child_labels = as_array<Label>(s[1]);
  trie.child_transitions = as_array<NodeId>(s[2]);
  trie.payloads = PayloadStore(as_array<std::uint32_t>(s[3]), as_array<std::uint8_t>(s[4]));
  trie.video_index = as_array<VideoId>(s[5]);
  return trie;
}

std::variant<Trie, std::string> open_mapped_index(std::shared_ptr<const FileMapping> mapping, bool verify) {
  auto opened = view_image(mapping->bytes(), verify);
  if (Trie* trie = std::get_if<Trie>(&opened)) trie->owner = std::move(mapping);
  return opened;
}

IndexFacts index_facts(const Trie& trie) {
  IndexFacts facts;
  facts.nodes = trie.node_count();
  facts.child_transitions = trie.transition_count();
  facts.payload_slots = trie.payloads.size();
  facts.videos = trie.video_index.size();
  facts.record_bytes = trie.payloads.records().size();
  std::vector<std::uint32_t> refs;
  for (const std::uint32_t ref : trie.payloads.refs()) {
    if (ref == kAbsentPayload) continue;
    ++facts.present_payloads;
    refs.push_back(ref);
  }
  std::sort(refs.begin(), refs.end());
  refs.erase(std::unique(refs.begin(), refs.end()), refs.end());
  facts.stored_records = refs.size();
  for (std::size_t slot = 0; slot < trie.payloads.size(); ++slot) {
    if (!trie.payloads.present(slot)) continue;
    std::uint32_t total = 0;
    std::size_t ids = 0;
    PayloadStore::decode_head(trie.payloads.record(slot), total, ids);
    facts.payload_entries += ids;
  }
  // What the index holds in memory.
  facts.array_bytes = 4 * trie.payloads.refs().size() + facts.record_bytes + 16 * facts.videos;
  if (trie.is_packed()) {
    facts.array_bytes += 4 * (trie.packed.words.size() + trie.packed.siblings.size() + PackedNodes::kSymbols);
  } else {
    facts.array_bytes += 4 * (trie.node_shifts.size() + trie.child_labels.size() + trie.child_transitions.size());
  }
  return facts;
}

}  // namespace tessaloom::storage

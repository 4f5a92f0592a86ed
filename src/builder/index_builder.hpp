// The index builder: turns (term, video, count) entries into an index.
//
// Entries arrive already converted (a term as UTF-8, a video as its 16
// bytes, a count); the readers of each input kind check them with the
// functions below and intern terms and videos into the builder.  Building
// then runs in two steps, so that a caller can report progress between
// them:
//
//   1. `shape()`: the distinct terms in code-point order, the trie over
//      them (one node per distinct prefix, node 0 the root with the empty
//      label, nodes numbered in depth-first pre-order with children in
//      label order, so each node's children form one run of
//      `child_transitions`), and the refusal of counts that add up past
//      2^32-1 under a common prefix.
//   2. `finish(video_top_n)`: one payload per term (counts summed per
//      video, videos ordered by sum, largest first, first seen first among
//      equal sums), the video table numbered by descending total count
//      (most frequent first, first seen first among equal totals), and the
//      index itself, made by the index's own construction: the arrays and
//      payloads filled in, then `propagate`.
//
// Nothing here needs the interpreter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../prefix/trie.hpp"
#include "term_lists.hpp"

namespace tessaloom::build {

inline constexpr std::uint32_t kMaxCount = 0xFFFFFFFFu;
inline constexpr std::size_t kNoPosition = static_cast<std::size_t>(-1);

// ---- checks of single values ------------------------------------------------

enum class TermCheck : std::uint8_t {
  kOk,
  kEmpty,       // "term is empty"
  kUnstorable,  // U+0000 (the trie's empty label) in the term
  kNotUtf8,     // bytes that are not UTF-8 (only from byte-level inputs)
};

// Whether a term given as bytes can be stored.  For kUnstorable,
// `code_point` is the offending character.
TermCheck check_term(std::string_view utf8, std::uint32_t& code_point);

// The 16 bytes of a 36-character UUID text: hex digits of either case in
// groups of 8-4-4-4-12.  False for anything else.
bool parse_uuid_text(std::string_view text, VideoId& out);

// Position just past the longest prefix of `bytes` that is valid UTF-8
// (surrogates and overlong forms refused); bytes.size() when all of it is.
std::size_t valid_utf8_prefix(std::string_view bytes);

// A bad entry: what is wrong and where (an entry's position, or for the
// text readers a line number).
struct BadValue {
  enum Kind : std::uint8_t {
    kNull,              // a null
    kTermEmpty,         // ""
    kTermUnstorable,    // holds U+0000 (`code_point`)
    kTermNotUtf8,       // bytes that are not UTF-8
    kVideoLength,       // binary of `number` bytes
    kVideoText,         // `text` is no UUID text
    kCountNotPositive,  // `number` <= 0
    kCountTooLarge,     // `number` > 2^32-1
    kTermTotal,         // the counts of term `text` add up past 2^32-1
    // Text inputs only:
    kLineNotUtf8,       // byte `number` of the line is not UTF-8
    kFieldCount,        // `number` fields instead of 3
    kCountNotInteger,   // count `text` is not ASCII digits
    kLineTooLong,       // longer than `number` bytes
  };
  std::size_t position = kNoPosition;
  Kind kind = kNull;
  std::string text;    // the term or video text, as bytes
  std::string number;  // a count or a byte length, in decimal
  std::uint32_t code_point = 0;
};

// ---- failures of a whole vocabulary ------------------------------------------

struct VocabularyError {
  enum Kind : std::uint8_t {
    kPrefixOverflow,  // the counts under `prefix` add up to `total`
    kTooManyNodes,    // the trie would need `total` nodes
  };
  Kind kind;
  std::string prefix;  // UTF-8
  std::uint64_t total = 0;

  // The message; `prefix` is quoted as given by `quote` (which the
  // bindings make the interpreter's repr).
  template <class Quote>
  std::string message(Quote quote) const;
};

std::string with_thousands(std::uint64_t value);

template <class Quote>
std::string VocabularyError::message(Quote quote) const {
  if (kind == kTooManyNodes) {
    return "the vocabulary needs " + with_thousands(total) + " trie nodes, more than " +
           with_thousands(kMaxCount);
  }
  const std::string tail = " add up to " + std::to_string(total) + ", more than 4294967295, which a trie node's " +
                           "total count cannot hold";
  if (prefix.empty()) return "the counts of all terms together" + tail;
  return "the counts of the terms starting with " + quote(prefix) + tail;
}

// ---- the builder ----------------------------------------------------------------

struct BuildStats {
  std::size_t entries = 0;
  std::size_t terms = 0;
  std::size_t nodes = 0;
  std::size_t videos = 0;
};

class IndexBuilder {
 public:
  // The id of a term (checked beforehand), interned on first sight.
  std::uint32_t term_id(std::string_view utf8);
  // The ids of n terms at once: the table lookups of a batch overlap, which
  // hides most of their memory latency on large vocabularies.
  void term_ids(const std::string_view* texts, std::size_t n, std::uint32_t* out);
  // The id of a video, in first-seen order.
  std::uint32_t video_id(const VideoId& id);
  // The ids of n videos at once (see term_ids).
  void video_ids(const VideoId* ids, std::size_t n, std::uint32_t* out);

  std::string_view term_text(std::uint32_t term) const {
    const char* entry = term_entry(term_entries_[term]);
    std::uint32_t length;
    std::memcpy(&length, entry + 4, 4);
    return {entry + 8, length};
  }
  std::size_t term_count() const { return term_entries_.size(); }
  std::size_t video_count() const { return videos_.size(); }
  std::size_t entry_count() const { return committed_ + entry_term_.size(); }

  // Entries wait in three staging columns, are checked (each term's
  // running total), then committed: moved into the per-term lists, which
  // hold them in a few bytes each.  Positions count all entries, committed
  // or not.

  // Appends one entry whose values were checked, keeping each term's
  // running total; false (nothing appended) when the term's counts would
  // then add up past 2^32-1.  Commits now and then.
  bool add(std::uint32_t term, std::uint32_t video, std::uint32_t count);

  // Column-wise filling, for inputs read one column at a time: the three
  // staging columns are appended separately, then `check_totals` runs the
  // totals over the staged entries before position `limit`.  Returns the
  // position of the first entry at which its term's counts add up past
  // 2^32-1 (checking stops before it), or kNoPosition.
  std::vector<std::uint32_t>& term_column() { return entry_term_; }
  std::vector<std::uint32_t>& video_column() { return entry_video_; }
  std::vector<std::uint32_t>& count_column() { return entry_count_; }
  std::size_t check_totals(std::size_t limit);
  // Moves the checked entries into the per-term lists and drops the rest
  // of the staging columns.
  void commit();
  // The same in two halves, for inputs read a batch at a time: `set_aside`
  // moves the staged entries (all of them checked) out of the staging
  // columns, and `commit_aside` later moves them into the lists.  That may
  // run on one thread while another interns the next batch's terms into
  // the staging term column: the two share nothing.
  void set_aside();
  void commit_aside();
  // The term of a staged entry.
  std::uint32_t staged_term(std::size_t position) const { return entry_term_[position - committed_]; }

  // Step 1 (see the file comment), after committing what is staged (all of
  // it checked).  On success the node count is known.
  std::optional<VocabularyError> shape();
  std::size_t node_count() const { return labels_.size(); }

  // Step 2: the index.  Releases the builder's working storage.
  Trie finish(std::uint32_t video_top_n);

  BuildStats stats() const { return stats_; }

 private:
  // A slot of the term table: the low half of the term's hash (which
  // places the slot, so the table grows without reading the texts), and
  // where the term's entry is (see term_entry).  Eight bytes, so that the
  // table of a large vocabulary stays small.
  static constexpr std::uint32_t kNoEntry = 0xFFFFFFFFu;
  struct TermSlot {
    std::uint32_t check = 0;
    std::uint32_t entry = kNoEntry;
  };
  // Term entries (id, length, text) lie in blocks of 1 MB (a longer term
  // in one of its own) on 4-byte units; an entry's address is its block's
  // number and its unit in the block.
  static constexpr std::size_t kTermBlock = std::size_t{1} << 20;
  static constexpr unsigned kEntryUnitBits = 18;  // units in a block
  const char* term_entry(std::uint32_t entry) const {
    return term_blocks_[entry >> kEntryUnitBits].get() +
           std::size_t{entry & ((std::uint32_t{1} << kEntryUnitBits) - 1)} * 4;
  }
  struct VideoSlot {
    VideoId id{};
    std::uint32_t number = 0xFFFFFFFFu;
  };
  void grow_terms();
  std::uint32_t find_or_add(std::string_view utf8, std::uint64_t hash);
  std::uint32_t find_or_add_video(const VideoId& id, std::uint64_t hash);
  void grow_videos();
  std::string node_text(std::uint32_t node) const;

  // Term storage: entries back to back in blocks that never move, and
  // their addresses by id.
  std::vector<std::unique_ptr<char[]>> term_blocks_;
  char* term_next_ = nullptr;
  std::size_t term_left_ = 0;
  std::vector<std::uint32_t> term_entries_;
  std::vector<TermSlot> term_slots_;
  std::vector<std::uint64_t> term_total_;

  std::vector<VideoId> videos_;
  std::vector<VideoSlot> video_slots_;

  void append_entries(const std::vector<std::uint32_t>& terms, const std::vector<std::uint32_t>& videos,
                      const std::vector<std::uint32_t>& counts, std::size_t n);

  std::vector<std::uint32_t> entry_term_, entry_video_, entry_count_;
  // Entries set aside, and the numbers of terms and videos then known.
  std::vector<std::uint32_t> aside_term_, aside_video_, aside_count_;
  std::size_t aside_terms_ = 0, aside_videos_ = 0;
  std::size_t committed_ = 0;  // entries moved into `lists_` or set aside
  std::size_t checked_ = 0;    // staged entries counted into `term_total_`
  TermLists lists_;
  std::vector<std::uint64_t> video_total_;

  // Filled by shape().
  std::vector<Label> labels_;
  std::vector<NodeId> parents_;
  std::vector<std::uint32_t> term_order_;  // term ids in code-point order
  std::vector<NodeId> term_node_;          // node of term_order_[k]

  BuildStats stats_;
};

}  // namespace tessaloom::build

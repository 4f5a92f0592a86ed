// Entries from `term<TAB>video_id<TAB>count` lines of UTF-8.
//
// The rules:
//   - lines end at LF; carriage returns at the end of a line are dropped,
//     and so are byte-order marks at the start of the first line;
//   - a line holding nothing but whitespace (space, tab, CR, VT, FF) is
//     blank and skipped;
//   - the first line that is not blank is a header, and skipped, when its
//     three fields read term, video_id and count in any letter case;
//   - every other line has exactly three tab-separated fields, each
//     stripped of surrounding whitespace (space, CR, VT, FF);
//   - the count is ASCII digits only; the term and video id are checked as
//     for any entry.
// The first bad line ends the reading, reported by its number (from 1).
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "index_builder.hpp"

namespace tessaloom::build {

class TsvReader {
 public:
  // `progress(entries, lines)` is called every `progress_every` entries.
  TsvReader(IndexBuilder& builder, std::function<bool(std::size_t, std::size_t)> progress = {},
            std::size_t progress_every = 250'000)
      : builder_(builder), progress_(std::move(progress)), progress_every_(progress_every) {}

  // Reads the complete lines of `chunk` (what follows the last LF waits for
  // the next chunk).  False at the first bad line (`problem()` tells), or
  // when `progress` returned false (stopped() is then true).
  bool feed(std::string_view chunk);
  // The last line, if the input does not end with LF.
  bool finish();

  std::size_t lines() const { return line_; }
  const BadValue& problem() const { return bad_; }
  bool stopped() const { return stopped_; }

 private:
  bool line(std::string_view text);
  // Interns and adds the entries waiting in `pending_` (their texts point
  // into the chunk being read, so this runs before it goes away).
  bool flush();
  bool fail(BadValue::Kind kind) {
    // The entries of earlier lines come first: one may overflow its term.
    if (!flush()) return false;
    bad_.position = line_;
    bad_.kind = kind;
    return false;
  }

  struct Pending {
    std::string_view term;
    VideoId video;
    std::uint32_t count;
    std::size_t line;
  };
  static constexpr std::size_t kBatch = 64;
  // No vocabulary line is this long; an input without line ends (a pipe
  // from /dev/zero, say) fails here instead of filling memory.
  static constexpr std::size_t kMaxLine = std::size_t{1} << 20;
  std::vector<Pending> pending_;
  std::vector<std::string_view> texts_;
  std::vector<VideoId> videos_;
  std::vector<std::uint32_t> term_ids_, video_ids_;

  IndexBuilder& builder_;
  std::function<bool(std::size_t, std::size_t)> progress_;
  std::size_t progress_every_;
  std::string carry_;
  std::size_t line_ = 0;
  bool header_possible_ = true;
  bool stopped_ = false;
  BadValue bad_;
};

}  // namespace tessaloom::build

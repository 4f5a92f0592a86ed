#include "tsv_input.hpp"

#include <cstring>

namespace tessaloom::build {

namespace {

bool is_space(char c) { return c == ' ' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view strip(std::string_view s) {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

bool equals_folded(std::string_view s, std::string_view lower) {
  if (s.size() != lower.size()) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

}  // namespace

bool TsvReader::feed(std::string_view chunk) {
  while (!chunk.empty()) {
    const void* found = std::memchr(chunk.data(), '\n', chunk.size());
    const std::size_t at =
        found == nullptr ? chunk.size() : static_cast<std::size_t>(static_cast<const char*>(found) - chunk.data());
    if (carry_.size() + at > kMaxLine) {
      ++line_;  // the line being read
      bad_.number = std::to_string(kMaxLine);
      return fail(BadValue::kLineTooLong);
    }
    if (found == nullptr) {
      carry_.append(chunk);
      break;
    }
    bool ok;
    if (carry_.empty()) {
      ok = line(chunk.substr(0, at));
    } else {
      carry_.append(chunk.substr(0, at));
      ok = line(carry_) && flush();
      carry_.clear();
    }
    if (!ok) return false;
    chunk.remove_prefix(at + 1);
  }
  return flush();
}

bool TsvReader::finish() {
  if (carry_.empty()) return flush();
  const std::string last = std::move(carry_);
  carry_.clear();
  return line(last) && flush();
}

bool TsvReader::flush() {
  if (pending_.empty()) return true;
  texts_.clear();
  videos_.clear();
  for (const Pending& p : pending_) {
    texts_.push_back(p.term);
    videos_.push_back(p.video);
  }
  term_ids_.resize(pending_.size());
  video_ids_.resize(pending_.size());
  builder_.term_ids(texts_.data(), texts_.size(), term_ids_.data());
  builder_.video_ids(videos_.data(), videos_.size(), video_ids_.data());
  for (std::size_t k = 0; k < pending_.size(); ++k) {
    if (!builder_.add(term_ids_[k], video_ids_[k], pending_[k].count)) {
      bad_.text = pending_[k].term;
      bad_.position = pending_[k].line;
      bad_.kind = BadValue::kTermTotal;
      pending_.clear();
      return false;
    }
    if (progress_ && builder_.entry_count() % progress_every_ == 0) {
      if (!progress_(builder_.entry_count(), pending_[k].line)) {
        stopped_ = true;
        pending_.clear();
        return false;
      }
    }
  }
  pending_.clear();
  return true;
}

bool TsvReader::line(std::string_view text) {
  ++line_;
  const std::size_t valid = valid_utf8_prefix(text);
  if (valid != text.size()) {
    bad_.number = std::to_string(valid + 1);
    return fail(BadValue::kLineNotUtf8);
  }
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.remove_suffix(1);
  if (line_ == 1) {
    while (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  }
  bool blank = true;
  for (const char c : text) {
    if (c != '\t' && !is_space(c)) {
      blank = false;
      break;
    }
  }
  if (blank) return true;

  std::string_view fields[3];
  std::size_t found = 0;
  for (std::string_view rest = text;;) {
    const std::size_t tab = rest.find('\t');
    if (found < 3) fields[found] = strip(rest.substr(0, tab));
    ++found;
    if (tab == std::string_view::npos) break;
    rest.remove_prefix(tab + 1);
  }
  const bool first = header_possible_;
  header_possible_ = false;
  if (found != 3) {
    bad_.number = std::to_string(found);
    return fail(BadValue::kFieldCount);
  }
  if (first && equals_folded(fields[0], "term") && equals_folded(fields[1], "video_id") &&
      equals_folded(fields[2], "count")) {
    return true;
  }

  const std::string_view term = fields[0], video = fields[1], count_text = fields[2];
  std::uint32_t code_point = 0;
  switch (check_term(term, code_point)) {
    case TermCheck::kOk:
      break;
    case TermCheck::kEmpty:
      return fail(BadValue::kTermEmpty);
    case TermCheck::kUnstorable:
      bad_.text = term;
      bad_.code_point = code_point;
      return fail(BadValue::kTermUnstorable);
    case TermCheck::kNotUtf8:  // the line was checked
      bad_.text = term;
      return fail(BadValue::kTermNotUtf8);
  }
  VideoId id;
  if (!parse_uuid_text(video, id)) {
    bad_.text = video;
    return fail(BadValue::kVideoText);
  }
  bool digits = !count_text.empty();
  for (const char c : count_text) digits = digits && c >= '0' && c <= '9';
  if (!digits) {
    bad_.text = count_text;
    return fail(BadValue::kCountNotInteger);
  }
  std::string_view significant = count_text;
  while (significant.size() > 1 && significant.front() == '0') significant.remove_prefix(1);
  std::uint64_t count = 0;
  if (significant.size() <= 10) {
    for (const char c : significant) count = count * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (count == 0 && significant != "0") count = UINT64_MAX;  // more than ten digits
  if (count == 0) {
    bad_.number = "0";
    return fail(BadValue::kCountNotPositive);
  }
  if (count > kMaxCount) {
    bad_.number = significant;
    return fail(BadValue::kCountTooLarge);
  }
  pending_.push_back({term, id, static_cast<std::uint32_t>(count), line_});
  return pending_.size() < kBatch || flush();
}

}  // namespace tessaloom::build

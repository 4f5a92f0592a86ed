#include "arrow_input.hpp"

#include <algorithm>
#include <cstring>
#include <exception>
#include <thread>
#include <string_view>

namespace tessaloom::build {

namespace {

// Room for n more elements, growing geometrically.
void make_room(std::vector<std::uint32_t>& out, std::size_t n) {
  if (out.capacity() - out.size() < n) out.reserve(std::max(out.size() + n, 2 * out.capacity()));
}

bool bit(const void* bitmap, std::int64_t i) {
  return (static_cast<const std::uint8_t*>(bitmap)[i >> 3] >> (i & 7)) & 1;
}

// The validity test of one array: null when a validity bitmap is given and
// the row's bit is clear.
struct Validity {
  const void* bitmap = nullptr;
  explicit Validity(const ArrowArray& array) {
    if (array.null_count != 0 && array.n_buffers > 0) bitmap = array.buffers[0];
  }
  bool null(std::int64_t i) const { return bitmap != nullptr && !bit(bitmap, i); }
};

// A string or binary column's values, whatever the layout.
class Strings {
 public:
  Strings(const ColumnType& type, const ArrowArray& array) : type_(type), array_(array) {}

  std::string_view get(std::int64_t i) const {
    switch (type_.layout) {
      case ColumnType::kUtf8:
      case ColumnType::kBinary: {
        const auto* offsets = static_cast<const std::int32_t*>(array_.buffers[1]);
        const char* data = static_cast<const char*>(array_.buffers[2]);
        return {data + offsets[i], static_cast<std::size_t>(offsets[i + 1] - offsets[i])};
      }
      case ColumnType::kLargeUtf8:
      case ColumnType::kLargeBinary: {
        const auto* offsets = static_cast<const std::int64_t*>(array_.buffers[1]);
        const char* data = static_cast<const char*>(array_.buffers[2]);
        return {data + offsets[i], static_cast<std::size_t>(offsets[i + 1] - offsets[i])};
      }
      default: {  // views: 16 bytes per value
        const auto* view = static_cast<const std::uint8_t*>(array_.buffers[1]) + 16 * i;
        std::int32_t length;
        std::memcpy(&length, view, 4);
        if (length <= 12) return {reinterpret_cast<const char*>(view + 4), static_cast<std::size_t>(length)};
        std::int32_t buffer, offset;
        std::memcpy(&buffer, view + 8, 4);
        std::memcpy(&offset, view + 12, 4);
        const char* data = static_cast<const char*>(array_.buffers[2 + buffer]);
        return {data + offset, static_cast<std::size_t>(length)};
      }
    }
  }

  // Whether rows [first, first+length) (offsets checked) are all storable
  // terms, found in one pass over their bytes: they lie back to back, so
  // when all of them together are UTF-8 without U+0000 and each starts a
  // character, each is UTF-8 on its own.  False also where only a row by
  // row look can tell (views, nulls); the rows are then checked one by one.
  bool all_storable(std::int64_t first, std::int64_t length) const {
    if (Validity(array_).bitmap != nullptr) return false;
    switch (type_.layout) {
      case ColumnType::kUtf8:
        return storable_run(static_cast<const std::int32_t*>(array_.buffers[1]), first, length);
      case ColumnType::kLargeUtf8:
        return storable_run(static_cast<const std::int64_t*>(array_.buffers[1]), first, length);
      default:
        return false;
    }
  }

  // Checks what can be checked without knowing the buffers' sizes: offsets
  // that never decrease and view lengths and buffer numbers in range, over
  // rows [first, first+length).
  bool check(std::int64_t first, std::int64_t length, std::string& problem) const {
    switch (type_.layout) {
      case ColumnType::kUtf8:
      case ColumnType::kBinary:
        return check_offsets(static_cast<const std::int32_t*>(array_.buffers[1]), first, length, problem);
      case ColumnType::kLargeUtf8:
      case ColumnType::kLargeBinary:
        return check_offsets(static_cast<const std::int64_t*>(array_.buffers[1]), first, length, problem);
      default: {
        const std::int64_t data_buffers = array_.n_buffers - 3;
        const auto* views = static_cast<const std::uint8_t*>(array_.buffers[1]);
        for (std::int64_t i = first; i < first + length; ++i) {
          std::int32_t size, buffer, offset;
          std::memcpy(&size, views + 16 * i, 4);
          std::memcpy(&buffer, views + 16 * i + 8, 4);
          std::memcpy(&offset, views + 16 * i + 12, 4);
          if (size < 0 || (size > 12 && (buffer < 0 || buffer >= data_buffers || offset < 0 ||
                                         array_.buffers[2 + buffer] == nullptr))) {
            problem = "a string view out of range";
            return false;
          }
        }
        return true;
      }
    }
  }

 private:
  template <class Offset>
  bool storable_run(const Offset* offsets, std::int64_t first, std::int64_t length) const {
    const char* data = static_cast<const char*>(array_.buffers[2]);
    const std::string_view bytes(data + offsets[first], static_cast<std::size_t>(offsets[first + length] - offsets[first]));
    if (std::memchr(bytes.data(), 0, bytes.size()) != nullptr || valid_utf8_prefix(bytes) != bytes.size()) return false;
    for (std::int64_t i = first; i < first + length; ++i) {
      if (offsets[i + 1] == offsets[i] || (static_cast<unsigned char>(data[offsets[i]]) & 0xC0) == 0x80) return false;
    }
    return true;
  }

  template <class Offset>
  static bool check_offsets(const Offset* offsets, std::int64_t first, std::int64_t length, std::string& problem) {
    if (offsets[first] < 0) {
      problem = "a negative offset";
      return false;
    }
    for (std::int64_t i = first; i < first + length; ++i) {
      if (offsets[i + 1] < offsets[i]) {
        problem = "decreasing offsets";
        return false;
      }
    }
    return true;
  }

  const ColumnType& type_;
  const ArrowArray& array_;
};

std::int64_t expected_buffers(const ColumnType& type) {
  switch (type.layout) {
    case ColumnType::kFixed16:
    case ColumnType::kInteger:
      return 2;
    case ColumnType::kUtf8View:
    case ColumnType::kBinaryView:
      return 3;  // at least: validity, views, variadic sizes
    default:
      return 3;
  }
}

std::optional<ColumnType> string_type(std::string_view format, bool binary_too) {
  ColumnType type;
  if (format == "u") return type.layout = ColumnType::kUtf8, type;
  if (format == "U") return type.layout = ColumnType::kLargeUtf8, type;
  if (format == "vu") return type.layout = ColumnType::kUtf8View, type;
  if (binary_too) {
    if (format == "z") return type.layout = ColumnType::kBinary, type;
    if (format == "Z") return type.layout = ColumnType::kLargeBinary, type;
    if (format == "vz") return type.layout = ColumnType::kBinaryView, type;
  }
  return std::nullopt;
}

}  // namespace

const char* field_name(Field field) {
  switch (field) {
    case Field::kTerm:
      return "term";
    case Field::kVideo:
      return "video_id";
    default:
      return "count";
  }
}

bool row_is_null(const ArrowArray& array, std::int64_t i) { return Validity(array).null(array.offset + i); }

std::optional<ColumnType> column_type(Field field, const ArrowSchema& schema, std::string& problem) {
  const std::string_view format = schema.format != nullptr ? schema.format : "";
  std::optional<ColumnType> type;
  if (schema.dictionary != nullptr && field != Field::kCount) {
    // Indices of any integer type into a dictionary of accepted values.
    std::string inner;
    type = column_type(field, *schema.dictionary, inner);
    const std::optional<ColumnType> index = column_type(Field::kCount, ArrowSchema{schema.format, nullptr, nullptr, 0, 0,
                                                                                   nullptr, nullptr, nullptr, nullptr},
                                                        inner);
    if (type && index && type->index_width == 0) {
      type->index_width = index->width;
      type->index_signed = index->is_signed;
      return type;
    }
    type.reset();
  } else if (schema.dictionary == nullptr) {
    switch (field) {
      case Field::kTerm:
        type = string_type(format, false);
        break;
      case Field::kVideo:
        if (format == "w:16") {
          type = ColumnType{ColumnType::kFixed16, 16, false};
        } else {
          type = string_type(format, true);
        }
        break;
      case Field::kCount: {
        static constexpr struct {
          char code;
          int width;
          bool is_signed;
        } kIntegers[] = {{'c', 1, true}, {'C', 1, false}, {'s', 2, true}, {'S', 2, false},
                         {'i', 4, true}, {'I', 4, false}, {'l', 8, true}, {'L', 8, false}};
        for (const auto& integer : kIntegers) {
          if (format.size() == 1 && format[0] == integer.code) {
            type = ColumnType{ColumnType::kInteger, integer.width, integer.is_signed};
          }
        }
        break;
      }
    }
  }
  if (type) return type;
  static constexpr const char* kExpected[] = {
      "a string type",
      "fixed-size binary of 16 bytes or 36-character UUID text",
      "an integer type",
  };
  problem = "column '" + std::string(field_name(field)) + "' has Arrow type '" + std::string(format) + "'" +
            (schema.dictionary != nullptr ? " (dictionary-encoded)" : "") + ", expected " +
            kExpected[static_cast<int>(field)];
  return std::nullopt;
}

namespace {

std::vector<std::uint32_t>& column_of(Field field, IndexBuilder& builder) {
  return field == Field::kTerm ? builder.term_column() : field == Field::kVideo ? builder.video_column()
                                                                                : builder.count_column();
}

// A dictionary-encoded column: each dictionary value a row refers to is
// read (checked and interned) once, on its first use, so values no row
// uses are never looked at.
ReadStatus read_dictionary(Field field, const ColumnType& type, const ArrowArray& array, std::int64_t first,
                           std::int64_t length, std::size_t base, IndexBuilder& builder, BadValue& bad,
                           std::string& problem) {
  const ArrowArray* dictionary = array.dictionary;
  if (dictionary == nullptr || dictionary->length < 0 || array.n_buffers < 2 ||
      (length > 0 && array.buffers[1] == nullptr)) {
    problem = "a dictionary-encoded array without its dictionary";
    return ReadStatus::kMalformed;
  }
  ColumnType values = type;
  values.index_width = 0;
  constexpr std::uint32_t kUnread = 0xFFFFFFFFu;
  std::vector<std::uint32_t> ids(static_cast<std::size_t>(dictionary->length), kUnread);
  std::vector<std::uint32_t>& out = column_of(field, builder);
  make_room(out, static_cast<std::size_t>(length));
  const Validity validity(array);
  const auto* indices = static_cast<const std::uint8_t*>(array.buffers[1]);
  const auto width = static_cast<std::size_t>(type.index_width);
  for (std::int64_t i = first; i < first + length; ++i) {
    const std::size_t position = base + static_cast<std::size_t>(i - first);
    if (validity.null(i)) {
      bad.position = position;
      bad.kind = BadValue::kNull;
      return ReadStatus::kBadValue;
    }
    std::uint64_t raw = 0;
    std::memcpy(&raw, indices + width * static_cast<std::size_t>(i), width);  // little-endian
    if (type.index_signed && width < 8 && (raw >> (8 * width - 1)) != 0) raw = UINT64_MAX;  // negative
    if (type.index_signed && width == 8 && static_cast<std::int64_t>(raw) < 0) raw = UINT64_MAX;
    if (raw >= ids.size()) {
      problem = "a dictionary index out of range";
      return ReadStatus::kMalformed;
    }
    std::uint32_t& id = ids[raw];
    if (id == kUnread) {
      const auto status =
          read_column(field, values, *dictionary, static_cast<std::int64_t>(raw), 1, position, builder, bad, problem);
      if (status != ReadStatus::kOk) return status;
      id = out.back();
      out.pop_back();
    }
    out.push_back(id);
  }
  return ReadStatus::kOk;
}

// Appends the counts at [first, first + length) of a column without nulls
// to `out` when every one is from 1 to kMaxCount; otherwise appends none.
template <class T>
bool copy_counts_as(const std::uint8_t* data, std::int64_t first, std::int64_t length, std::vector<std::uint32_t>& out) {
  const std::size_t at = out.size();
  out.resize(at + static_cast<std::size_t>(length));
  std::uint32_t* to = out.data() + at;
  const std::uint8_t* from = data + sizeof(T) * static_cast<std::size_t>(first);
  std::uint32_t bad = 0;
  for (std::int64_t i = 0; i < length; ++i) {
    T v;
    std::memcpy(&v, from + sizeof(T) * static_cast<std::size_t>(i), sizeof(T));
    // Zero, negative values and values past kMaxCount all land above
    // kMaxCount - 1 once one is taken away (unsigned).
    const auto shifted = static_cast<std::uint64_t>(static_cast<std::int64_t>(v)) - 1;
    bad |= static_cast<std::uint32_t>(shifted >= kMaxCount);
    to[i] = static_cast<std::uint32_t>(v);
  }
  if (bad != 0) out.resize(at);
  return bad == 0;
}

bool copy_counts(const ColumnType& type, const std::uint8_t* data, std::int64_t first, std::int64_t length,
                 std::vector<std::uint32_t>& out) {
  switch (type.width) {
    case 1:
      return type.is_signed ? copy_counts_as<std::int8_t>(data, first, length, out)
                            : copy_counts_as<std::uint8_t>(data, first, length, out);
    case 2:
      return type.is_signed ? copy_counts_as<std::int16_t>(data, first, length, out)
                            : copy_counts_as<std::uint16_t>(data, first, length, out);
    case 4:
      return type.is_signed ? copy_counts_as<std::int32_t>(data, first, length, out)
                            : copy_counts_as<std::uint32_t>(data, first, length, out);
    case 8:
      return type.is_signed ? copy_counts_as<std::int64_t>(data, first, length, out)
                            : copy_counts_as<std::uint64_t>(data, first, length, out);
    default:
      return false;
  }
}

}  // namespace

ReadStatus read_column(Field field, const ColumnType& type, const ArrowArray& array, std::int64_t skip,
                       std::int64_t length, std::size_t base, IndexBuilder& builder, BadValue& bad,
                       std::string& problem) {
  if (length < 0 || skip < 0 || array.offset < 0 || array.length < 0 || skip > array.length - length) {
    problem = "a length or offset out of range";
    return ReadStatus::kMalformed;
  }
  const std::int64_t first = array.offset + skip;
  if (type.index_width != 0) return read_dictionary(field, type, array, first, length, base, builder, bad, problem);
  if (array.n_buffers < expected_buffers(type) || array.buffers == nullptr) {
    problem = "too few buffers for its type";
    return ReadStatus::kMalformed;
  }
  if (length == 0) return ReadStatus::kOk;
  for (std::int64_t b = 1; b < std::min<std::int64_t>(array.n_buffers, 3); ++b) {
    if (type.layout == ColumnType::kUtf8View || type.layout == ColumnType::kBinaryView) {
      if (b == 2) break;  // variadic data buffers may be absent
    } else if (type.layout == ColumnType::kFixed16 || type.layout == ColumnType::kInteger) {
      if (b == 2) break;
    }
    if (array.buffers[b] == nullptr) {
      problem = "a missing data buffer";
      return ReadStatus::kMalformed;
    }
  }
  const Validity validity(array);
  auto fail = [&](std::int64_t i, BadValue::Kind kind) {
    bad.position = base + static_cast<std::size_t>(i - first);
    bad.kind = kind;
    return ReadStatus::kBadValue;
  };

  switch (field) {
    case Field::kTerm: {
      const Strings strings(type, array);
      if (!strings.check(first, length, problem)) return ReadStatus::kMalformed;
      std::vector<std::uint32_t>& out = builder.term_column();
      make_room(out, static_cast<std::size_t>(length));
      // Checked values wait in a batch, interned together.
      constexpr std::size_t kBatch = 1024;
      std::string_view batch[kBatch];
      std::size_t waiting = 0;
      auto flush = [&] {
        const std::size_t at = out.size();
        out.resize(at + waiting);
        builder.term_ids(batch, waiting, out.data() + at);
        waiting = 0;
      };
      if (length > 0 && strings.all_storable(first, length)) {
        for (std::int64_t i = first; i < first + length; ++i) {
          batch[waiting++] = strings.get(i);
          if (waiting == kBatch) flush();
        }
        flush();
        return ReadStatus::kOk;
      }
      for (std::int64_t i = first; i < first + length; ++i) {
        if (validity.null(i)) return flush(), fail(i, BadValue::kNull);
        const std::string_view text = strings.get(i);
        std::uint32_t code_point = 0;
        const TermCheck check = check_term(text, code_point);
        if (check != TermCheck::kOk) {
          flush();
          if (check == TermCheck::kEmpty) return fail(i, BadValue::kTermEmpty);
          bad.text = text;
          bad.code_point = code_point;
          return fail(i, check == TermCheck::kUnstorable ? BadValue::kTermUnstorable : BadValue::kTermNotUtf8);
        }
        batch[waiting++] = text;
        if (waiting == kBatch) flush();
      }
      flush();
      return ReadStatus::kOk;
    }
    case Field::kVideo: {
      std::vector<std::uint32_t>& out = builder.video_column();
      make_room(out, static_cast<std::size_t>(length));
      VideoId id;
      if (type.layout == ColumnType::kFixed16) {
        const auto* data = static_cast<const std::uint8_t*>(array.buffers[1]);
        // Looked up a run at a time, so that the lookups overlap.
        constexpr std::int64_t kRun = 1024;
        VideoId run[kRun];
        for (std::int64_t start = first; start < first + length; start += kRun) {
          const std::int64_t end = std::min(start + kRun, first + length);
          std::int64_t i = start;
          for (; i < end && !validity.null(i); ++i) std::memcpy(run[i - start].data(), data + 16 * i, 16);
          const std::size_t at = out.size();
          out.resize(at + static_cast<std::size_t>(i - start));
          builder.video_ids(run, static_cast<std::size_t>(i - start), out.data() + at);
          if (i < end) return fail(i, BadValue::kNull);
        }
        return ReadStatus::kOk;
      }
      const Strings strings(type, array);
      if (!strings.check(first, length, problem)) return ReadStatus::kMalformed;
      const bool binary = type.layout == ColumnType::kBinary || type.layout == ColumnType::kLargeBinary ||
                          type.layout == ColumnType::kBinaryView;
      for (std::int64_t i = first; i < first + length; ++i) {
        if (validity.null(i)) return fail(i, BadValue::kNull);
        const std::string_view value = strings.get(i);
        if (binary) {
          if (value.size() != 16) {
            bad.number = std::to_string(value.size());
            return fail(i, BadValue::kVideoLength);
          }
          std::memcpy(id.data(), value.data(), 16);
        } else if (!parse_uuid_text(value, id)) {
          bad.text = value;
          return fail(i, BadValue::kVideoText);
        }
        out.push_back(builder.video_id(id));
      }
      return ReadStatus::kOk;
    }
    case Field::kCount: {
      std::vector<std::uint32_t>& out = builder.count_column();
      make_room(out, static_cast<std::size_t>(length));
      const auto* data = static_cast<const std::uint8_t*>(array.buffers[1]);
      // Without nulls, a column whose values are all storable is copied in
      // one pass; one that is not, value by value below, which stops at the
      // first bad one.
      if (validity.bitmap == nullptr && copy_counts(type, data, first, length, out)) return ReadStatus::kOk;
      for (std::int64_t i = first; i < first + length; ++i) {
        if (validity.null(i)) return fail(i, BadValue::kNull);
        const std::uint8_t* at = data + static_cast<std::size_t>(type.width) * static_cast<std::size_t>(i);
        std::int64_t value = 0;
        std::uint64_t unsigned_value = 0;
        bool negative = false;
        switch (type.width) {
          case 1:
            if (type.is_signed) {
              value = static_cast<std::int8_t>(*at);
            } else {
              unsigned_value = *at;
            }
            break;
          case 2: {
            std::uint16_t v;
            std::memcpy(&v, at, 2);
            if (type.is_signed) {
              value = static_cast<std::int16_t>(v);
            } else {
              unsigned_value = v;
            }
            break;
          }
          case 4: {
            std::uint32_t v;
            std::memcpy(&v, at, 4);
            if (type.is_signed) {
              value = static_cast<std::int32_t>(v);
            } else {
              unsigned_value = v;
            }
            break;
          }
          default: {
            std::uint64_t v;
            std::memcpy(&v, at, 8);
            if (type.is_signed) {
              value = static_cast<std::int64_t>(v);
            } else {
              unsigned_value = v;
            }
            break;
          }
        }
        if (type.is_signed) {
          negative = value < 0;
          unsigned_value = negative ? 0 : static_cast<std::uint64_t>(value);
        }
        if (negative || unsigned_value == 0) {
          bad.number = std::to_string(type.is_signed ? value : 0);
          return fail(i, BadValue::kCountNotPositive);
        }
        if (unsigned_value > kMaxCount) {
          bad.number = std::to_string(unsigned_value);
          return fail(i, BadValue::kCountTooLarge);
        }
        out.push_back(static_cast<std::uint32_t>(unsigned_value));
      }
      return ReadStatus::kOk;
    }
  }
  return ReadStatus::kOk;
}

std::string table_layout(const ArrowSchema& schema, TableLayout& layout, bool& type_error) {
  type_error = true;
  if (schema.format == nullptr || std::strcmp(schema.format, "+s") != 0) {
    return std::string("Arrow data of type '") + (schema.format ? schema.format : "") +
           "' is not a table: expected columns term, video_id and count";
  }
  std::string names;
  for (std::int64_t c = 0; c < schema.n_children; ++c) {
    const ArrowSchema* child = schema.children[c];
    const char* name = child != nullptr && child->name != nullptr ? child->name : "";
    if (c > 0) names += ", ";
    names += name;
    for (int f = 0; f < 3; ++f) {
      if (layout.index[f] < 0 && std::strcmp(name, field_name(static_cast<Field>(f))) == 0) {
        layout.index[f] = c;
      }
    }
  }
  for (int f = 0; f < 3; ++f) {
    if (layout.index[f] < 0) {
      type_error = false;
      return std::string("the Arrow data has no column named '") + field_name(static_cast<Field>(f)) +
             "' (its columns: " + (names.empty() ? "none" : names) + ")";
    }
    std::string problem;
    const auto type = column_type(static_cast<Field>(f), *schema.children[layout.index[f]], problem);
    if (!type) return problem;
    layout.type[f] = *type;
  }
  return {};
}

// Batches of at least this many rows read their columns on two threads.
constexpr std::int64_t kParallelRows = 16'384;

void read_batch(const TableLayout& layout, const ArrowArray& batch, std::size_t base, IndexBuilder& builder,
                Found& found) {
  if (batch.length < 0 || batch.offset < 0 || batch.n_children < 0 || batch.children == nullptr) {
    found.malformed = "a table batch without columns";
    return;
  }
  for (int f = 0; f < 3; ++f) {
    if (layout.index[f] >= batch.n_children || batch.children[layout.index[f]] == nullptr) {
      found.malformed = "a batch with fewer columns than its schema";
      return;
    }
  }
  if (batch.null_count != 0 && batch.n_buffers > 0 && batch.buffers != nullptr && batch.buffers[0] != nullptr) {
    for (std::int64_t i = 0; i < batch.length; ++i) {
      if (row_is_null(batch, i)) {
        found.bad.position = base + static_cast<std::size_t>(i);
        found.row_null = true;
        break;
      }
    }
  }
  // The columns are independent (each has its own part of the builder),
  // so on a large batch the terms, the costliest, are read on a second
  // thread meanwhile, while this one reads the rest and commits the
  // entries of the batch before, if they were set aside.
  BadValue bads[3];
  std::string problems[3];
  ReadStatus statuses[3];
  auto read = [&](int f) {
    statuses[f] = read_column(static_cast<Field>(f), layout.type[f], *batch.children[layout.index[f]],
                                     batch.offset, batch.length, base, builder, bads[f], problems[f]);
  };
  if (batch.length >= kParallelRows) {
    std::exception_ptr failure;
    std::thread terms([&] {
      try {
        read(0);
      } catch (...) {
        failure = std::current_exception();
      }
    });
    try {
      read(1);
      read(2);
      builder.commit_aside();
    } catch (...) {
      terms.join();
      throw;
    }
    terms.join();
    if (failure) std::rethrow_exception(failure);
  } else {
    for (int f = 0; f < 3; ++f) read(f);
    builder.commit_aside();
  }
  for (int f = 0; f < 3; ++f) {
    BadValue& bad = bads[f];
    const std::string& problem = problems[f];
    const auto status = statuses[f];
    if (status == ReadStatus::kMalformed) {
      found.malformed = "column '" + std::string(field_name(static_cast<Field>(f))) + "': " + problem;
      return;
    }
    if (status == ReadStatus::kBadValue && bad.position < found.bad.position) {
      found.bad = std::move(bad);
      found.field = static_cast<Field>(f);
      found.row_null = false;
    }
  }
}


}  // namespace tessaloom::build

// Entries from columnar data in the Arrow C data interface.
//
// The three structs below are the interface's published ABI, field for
// field; producers (pyarrow, Polars, DuckDB and
// others) hand them over without any library of theirs being needed here.
// Accepted columns:
//   term      string ("u"), large string ("U") or string view ("vu");
//   video_id  fixed-size binary of 16 ("w:16"), 36-character UUID text in
//             any string type, or binary ("z", "Z", "vz") of 16 bytes;
//   count     any integer type ("c" "C" "s" "S" "i" "I" "l" "L").
// Terms and video ids may also be dictionary-encoded (integer indices into
// a dictionary of such values).
// Every value is checked as a Python entry would be, and a bad one is
// reported with its position.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "index_builder.hpp"

extern "C" {

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  int64_t flags;
  int64_t n_children;
  struct ArrowSchema** children;
  struct ArrowSchema* dictionary;
  void (*release)(struct ArrowSchema*);
  void* private_data;
};

struct ArrowArray {
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void** buffers;
  struct ArrowArray** children;
  struct ArrowArray* dictionary;
  void (*release)(struct ArrowArray*);
  void* private_data;
};

#endif  // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

struct ArrowArrayStream {
  int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
  int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
  const char* (*get_last_error)(struct ArrowArrayStream*);
  void (*release)(struct ArrowArrayStream*);
  void* private_data;
};

#endif  // ARROW_C_STREAM_INTERFACE
}

namespace tessaloom::build {

enum class Field : std::uint8_t { kTerm, kVideo, kCount };

// Names of the fields, as columns and messages call them.
const char* field_name(Field field);

// How a column's values are laid out.
struct ColumnType {
  enum Layout : std::uint8_t {
    kUtf8,       // 32-bit offsets
    kLargeUtf8,  // 64-bit offsets
    kUtf8View,
    kBinary,
    kLargeBinary,
    kBinaryView,
    kFixed16,
    kInteger,
  };
  Layout layout = kUtf8;
  int width = 0;  // bytes of an integer
  bool is_signed = false;
  // Dictionary-encoded columns: the width and signedness of the indices
  // (0: not dictionary-encoded); `layout` is then the values'.
  int index_width = 0;
  bool index_signed = false;
};

// The column type for `field` from its schema, or nullopt with `problem`
// set ("has Arrow type 'g', expected ...").
std::optional<ColumnType> column_type(Field field, const ArrowSchema& schema, std::string& problem);

enum class ReadStatus : std::uint8_t { kOk, kBadValue, kMalformed };

// Reads `length` rows of one array (a chunk) of a column, from row `skip`
// on (a column of a sliced struct array starts at the struct's offset);
// the first is entry `base`.  Term ids, video ids or counts are appended
// to the builder's column of that field.  Stops at the first bad value
// (kBadValue, `bad` set).  An array whose shape does not fit its type
// gives kMalformed with `problem`.
ReadStatus read_column(Field field, const ColumnType& type, const ArrowArray& array, std::int64_t skip,
                       std::int64_t length, std::size_t base, IndexBuilder& builder, BadValue& bad,
                       std::string& problem);

// Row `i` of a struct array is null.
bool row_is_null(const ArrowArray& array, std::int64_t i);

// The three columns of a table (a struct array), found by name.
struct TableLayout {
  std::int64_t index[3] = {-1, -1, -1};
  ColumnType type[3];
};

// Finds the columns in a table's schema; on failure the message, and
// whether it is a wrong type (else a missing column).
std::string table_layout(const ArrowSchema& schema, TableLayout& layout, bool& type_error);

// The first bad entry that reading found, and the field it is in; or an
// array whose shape does not fit its type.
struct Found {
  BadValue bad;
  Field field = Field::kTerm;
  bool row_null = false;  // a null row of the table itself
  std::string malformed;
  bool any() const { return bad.position != kNoPosition || !malformed.empty(); }
};

// Reads one batch of a table (rows `base` on) into the builder's columns,
// stopping each column at its first bad value; `found` gets the first bad
// entry over all columns (a null row first, then the fields in order).
// The columns are independent, so a large batch reads its terms on a
// second thread meanwhile.  Entries set aside in the builder (the batch
// before) are committed meanwhile too.
void read_batch(const TableLayout& layout, const ArrowArray& batch, std::size_t base, IndexBuilder& builder,
                Found& found);

}  // namespace tessaloom::build

// The builder's bindings: entries from Python objects, Arrow data or TSV
// text go into the core's IndexBuilder, which runs with the interpreter
// lock released; the index comes out as a `_tessaloom.PrefixSearch`.
//
// Every function here that returns `bool` returns false with the
// interpreter's error indicator set.
#include "build.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <condition_variable>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "builder/arrow_input.hpp"
#include "builder/index_builder.hpp"
#include "builder/tsv_input.hpp"
#include "pyref.hpp"
#include "storage/beside.hpp"
#include "storage/thread.hpp"
#include "wrap.hpp"

namespace tessaloom::native {

using build::BadValue;
using build::Field;
using build::IndexBuilder;
using build::kNoPosition;
using py::PyRef;

namespace {

constexpr std::size_t kProgressEvery = 250'000;

// ---- the interpreter lock ----------------------------------------------------------

// Releases the lock for its lifetime; `relock()`/`unlock()` take it back
// for a moment (to report progress).
class Unlocked {
 public:
  Unlocked() : state_(PyEval_SaveThread()) {}
  ~Unlocked() {
    if (state_ != nullptr) PyEval_RestoreThread(state_);
  }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;
  void relock() { PyEval_RestoreThread(std::exchange(state_, nullptr)); }
  void unlock() { state_ = PyEval_SaveThread(); }

 private:
  PyThreadState* state_;
};

// ---- messages and exceptions ----------------------------------------------------------

std::string utf8_of(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = text != nullptr ? PyUnicode_AsUTF8AndSize(text, &size) : nullptr;
  if (data == nullptr) {
    PyErr_Clear();
    return "<unprintable>";
  }
  return std::string(data, static_cast<std::size_t>(size));
}

std::string repr_of(PyObject* object) {
  PyRef text = PyRef::steal(PyObject_Repr(object));
  if (!text) PyErr_Clear();
  return utf8_of(text.get());
}

// The repr of the str these bytes decode to.
std::string repr_of_bytes(std::string_view bytes) {
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "surrogateescape"));
  if (!text) {
    PyErr_Clear();
    return "<undecodable>";
  }
  return repr_of(text.get());
}

// type(object).__name__
std::string type_name(PyObject* object) {
  PyRef name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__name__"));
  if (!name) PyErr_Clear();
  return utf8_of(name.get());
}

// A bad entry, as the builder's exceptions carry it.
struct EntryFault {
  std::size_t position = kNoPosition;
  bool type_error = false;
  std::string problem;
};

const char kVideoTypes[] = "video_id must be a uuid.UUID, 16 bytes or a 36-character UUID text, got ";

EntryFault fault_of(const BadValue& bad, Field field) {
  EntryFault fault;
  fault.position = bad.position;
  switch (bad.kind) {
    case BadValue::kNull:
      fault.type_error = true;
      fault.problem = field == Field::kTerm    ? "term must be a str, got NoneType"
                      : field == Field::kVideo ? std::string(kVideoTypes) + "NoneType"
                                               : "count must be an int, got NoneType";
      break;
    case BadValue::kTermEmpty:
      fault.problem = "term is empty";
      break;
    case BadValue::kTermUnstorable: {
      char code[16];
      std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(bad.code_point));
      fault.problem = "term " + repr_of_bytes(bad.text) + " contains " + code + ", which an index cannot store";
      break;
    }
    case BadValue::kTermNotUtf8:
      fault.problem = "term is not valid UTF-8";
      break;
    case BadValue::kVideoLength:
      fault.problem = "video_id has " + bad.number + " bytes, expected 16";
      break;
    case BadValue::kVideoText:
      fault.problem = "video_id " + repr_of_bytes(bad.text) +
                      " is not a 36-character UUID text (hex digits in groups of 8-4-4-4-12)";
      break;
    case BadValue::kCountNotPositive:
      fault.problem = "count must be positive, got " + bad.number;
      break;
    case BadValue::kCountTooLarge:
      fault.problem = "count " + bad.number + " is above the largest count 4294967295";
      break;
    case BadValue::kTermTotal:
      fault.problem = "counts for term " + repr_of_bytes(bad.text) + " add up to more than 4294967295";
      break;
    case BadValue::kLineNotUtf8:
      fault.problem = "not valid UTF-8 (byte " + bad.number + " of the line)";
      break;
    case BadValue::kFieldCount:
      fault.problem = "expected 3 tab-separated fields (term, video_id, count), found " + bad.number;
      break;
    case BadValue::kCountNotInteger:
      fault.problem = "count " + repr_of_bytes(bad.text) + " is not an integer";
      break;
    case BadValue::kLineTooLong:
      fault.problem = "line longer than " + bad.number + " bytes";
      break;
  }
  return fault;
}

// Entry `position`, of term `term`, takes the term's counts past 2^32-1.
EntryFault total_fault(const IndexBuilder& builder, std::size_t position, std::uint32_t term) {
  BadValue bad;
  bad.position = position;
  bad.kind = BadValue::kTermTotal;
  bad.text = builder.term_text(term);
  return fault_of(bad, Field::kCount);
}

EntryFault total_fault(IndexBuilder& builder, std::size_t position) {
  return total_fault(builder, position, builder.staged_term(position));
}

// An exception class of tessaloom._builder.
PyObject* builder_class(const char* name) {
  PyRef module = PyRef::steal(PyImport_ImportModule("tessaloom._builder"));
  if (!module) return nullptr;
  return PyObject_GetAttrString(module.get(), name);
}

bool raise_as(const char* class_name, PyObject* args) {
  PyRef arguments = PyRef::steal(args);
  if (!arguments) return false;
  PyRef type = PyRef::steal(builder_class(class_name));
  if (!type) return false;
  PyRef error = PyRef::steal(PyObject_CallObject(type.get(), arguments.get()));
  if (!error) return false;
  PyErr_SetObject(type.get(), error.get());
  return false;
}

// EntryTypeError / EntryValueError(position, problem)
bool raise_entry(const EntryFault& fault) {
  return raise_as(fault.type_error ? "EntryTypeError" : "EntryValueError",
                  Py_BuildValue("(ns#)", static_cast<Py_ssize_t>(fault.position), fault.problem.data(),
                                static_cast<Py_ssize_t>(fault.problem.size())));
}

// LineError(line, problem)
bool raise_line(const EntryFault& fault) {
  return raise_as("LineError", Py_BuildValue("(ns#)", static_cast<Py_ssize_t>(fault.position),
                                             fault.problem.data(), static_cast<Py_ssize_t>(fault.problem.size())));
}

bool raise_vocabulary(const build::VocabularyError& error) {
  const std::string message = error.message([](const std::string& prefix) { return repr_of_bytes(prefix); });
  return raise_as("VocabularyError", Py_BuildValue("(s#)", message.data(), static_cast<Py_ssize_t>(message.size())));
}

bool raise_text(PyObject* type, const std::string& text) {
  PyErr_SetString(type, text.c_str());
  return false;
}

// ---- progress -----------------------------------------------------------------------------

// The caller's progress callback (or None): called with a message, or for
// text inputs with the message and the number of lines read.
class Progress {
 public:
  Progress(PyObject* callback, bool with_lines)
      : callback_(callback == Py_None ? nullptr : callback), with_lines_(with_lines) {}
  bool say(const std::string& message, std::size_t lines = 0) {
    if (callback_ == nullptr) return true;
    PyRef result = PyRef::steal(
        with_lines_ ? PyObject_CallFunction(callback_, "s#n", message.data(), static_cast<Py_ssize_t>(message.size()),
                                            static_cast<Py_ssize_t>(lines))
                    : PyObject_CallFunction(callback_, "s#", message.data(), static_cast<Py_ssize_t>(message.size())));
    return static_cast<bool>(result);
  }
  bool active() const { return callback_ != nullptr; }

 private:
  PyObject* callback_;
  bool with_lines_;
};

std::string read_message(std::size_t entries) { return "read " + build::with_thousands(entries) + " entries"; }

// The common end of every input kind: the summary, the two building
// steps with the lock released, and the index with its figures.
PyObject* complete(IndexBuilder& builder, std::uint32_t top_n, Progress& progress, std::size_t lines = 0) {
  if (!progress.say(read_message(builder.entry_count()) + ": " + build::with_thousands(builder.term_count()) +
                        " distinct terms, " + build::with_thousands(builder.video_count()) + " videos",
                    lines)) {
    return nullptr;
  }
  std::optional<build::VocabularyError> error;
  {
    Unlocked unlocked;
    error = builder.shape();
  }
  if (error) return raise_vocabulary(*error), nullptr;
  if (!progress.say("trie of " + build::with_thousands(builder.node_count()) + " nodes", lines)) return nullptr;
  Trie trie;
  {
    Unlocked unlocked;
    trie = builder.finish(top_n);
  }
  const build::BuildStats stats = builder.stats();
  PyRef index = PyRef::steal(wrap_index(std::move(trie)));
  if (!index) return nullptr;
  return Py_BuildValue("(Onnn)", index.get(), static_cast<Py_ssize_t>(stats.terms),
                       static_cast<Py_ssize_t>(stats.nodes), static_cast<Py_ssize_t>(stats.videos));
}

// ---- values from Python objects ------------------------------------------------------------

enum class Conv { kOk, kEntry, kPython };

// The ids of objects converted lately, by identity: entries given as
// Python objects usually repeat the same video id objects, and a hit
// skips the id's conversion, checks and table lookup.  Only immutable
// objects are cached, each kept alive by a reference of the cache's own,
// so an address never stands for another object while it is cached.
class IdentityCache {
 public:
  IdentityCache() : slots_(kSize) {}
  ~IdentityCache() { clear(); }
  IdentityCache(const IdentityCache&) = delete;
  IdentityCache& operator=(const IdentityCache&) = delete;

  bool find(PyObject* object, std::uint32_t& id) const {
    const Slot& slot = slots_[index(object)];
    if (slot.object != object) return false;
    id = slot.id;
    return true;
  }
  void put(PyObject* object, std::uint32_t id) {
    Slot& slot = slots_[index(object)];
    Py_INCREF(object);
    Py_XDECREF(slot.object);
    slot = {object, id};
  }
  void clear() {
    for (Slot& slot : slots_) Py_CLEAR(slot.object);
  }

 private:
  static constexpr std::size_t kBits = 16, kSize = std::size_t{1} << kBits;
  struct Slot {
    PyObject* object = nullptr;
    std::uint32_t id = 0;
  };
  static std::size_t index(PyObject* object) {
    return static_cast<std::size_t>((reinterpret_cast<std::uintptr_t>(object) >> 4) * 0x9E3779B97F4A7C15ULL >>
                                    (64 - kBits));
  }
  std::vector<Slot> slots_;
};

class Converter {
 public:
  explicit Converter(IndexBuilder& builder) : builder_(builder) {}

  bool init() {
    PyRef module = PyRef::steal(PyImport_ImportModule("uuid"));
    if (!module) return false;
    uuid_class_ = PyRef::steal(PyObject_GetAttrString(module.get(), "UUID"));
    return static_cast<bool>(uuid_class_);
  }

  // Drops the references the cache holds.
  void clear() { videos_.clear(); }

  Conv term(PyObject* object, std::size_t position, std::uint32_t& id, EntryFault& fault) {
    std::string_view text;
    const Conv conv = term_text(object, position, text, fault);
    if (conv == Conv::kOk) id = builder_.term_id(text);
    return conv;
  }

  // Checks a term; `text` is then its UTF-8, valid while `object` lives.
  // (Terms are not cached by identity: a vocabulary has far more distinct
  // terms than a cache could hold.)
  Conv term_text(PyObject* object, std::size_t position, std::string_view& text, EntryFault& fault) {
    if (!PyUnicode_Check(object)) {
      return entry(fault, position, true, "term must be a str, got " + type_name(object));
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    if (data == nullptr) {
      if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return Conv::kPython;
      PyErr_Clear();
      return unstorable(object, position, fault);
    }
    if (size == 0) return entry(fault, position, false, "term is empty");
    if (std::memchr(data, 0, static_cast<std::size_t>(size)) != nullptr) return unstorable(object, position, fault);
    text = {data, static_cast<std::size_t>(size)};
    return Conv::kOk;
  }


  Conv video(PyObject* object, std::size_t position, std::uint32_t& id, EntryFault& fault) {
    VideoId bytes;
    bool known = false;
    const Conv conv = video_bytes(object, position, bytes, id, known, fault);
    if (conv == Conv::kOk && !known) {
      id = builder_.video_id(bytes);
      remember_video(object, id);
    }
    return conv;
  }

  void remember_video(PyObject* object, std::uint32_t id) {
    if (cacheable(object)) videos_.put(object, id);
  }

  // Checks a video id; either its id is known already (`known`) or
  // `bytes` holds it.
  Conv video_bytes(PyObject* object, std::size_t position, VideoId& bytes, std::uint32_t& id, bool& known,
                   EntryFault& fault) {
    known = cacheable(object) && videos_.find(object, id);
    if (known) return Conv::kOk;
    if (PyUnicode_Check(object)) {
      Py_ssize_t size = 0;
      const char* data = PyUnicode_AsUTF8AndSize(object, &size);
      if (data == nullptr) PyErr_Clear();
      if (data == nullptr || !build::parse_uuid_text({data, static_cast<std::size_t>(size)}, bytes)) {
        return entry(fault, position, false,
                     "video_id " + repr_of(object) +
                         " is not a 36-character UUID text (hex digits in groups of 8-4-4-4-12)");
      }
    } else if (is_uuid(object)) {
      PyRef raw = PyRef::steal(PyObject_GetAttrString(object, "bytes"));
      if (!raw) return Conv::kPython;
      if (!PyBytes_Check(raw.get()) || PyBytes_GET_SIZE(raw.get()) != 16) {
        PyErr_SetString(PyExc_TypeError, "uuid.UUID.bytes is not 16 bytes");
        return Conv::kPython;
      }
      std::memcpy(bytes.data(), PyBytes_AS_STRING(raw.get()), 16);
    } else if (PyBytes_Check(object) || PyByteArray_Check(object)) {
      const bool is_bytes = PyBytes_Check(object);
      const Py_ssize_t size = is_bytes ? PyBytes_GET_SIZE(object) : PyByteArray_GET_SIZE(object);
      if (size != 16) {
        return entry(fault, position, false, "video_id has " + std::to_string(size) + " bytes, expected 16");
      }
      std::memcpy(bytes.data(), is_bytes ? PyBytes_AS_STRING(object) : PyByteArray_AS_STRING(object), 16);
    } else {
      return entry(fault, position, true, kVideoTypes + type_name(object));
    }
    return Conv::kOk;
  }

  Conv count(PyObject* object, std::size_t position, std::uint32_t& value, EntryFault& fault) {
    if (PyBool_Check(object)) return entry(fault, position, true, "count must be an int, got bool");
    PyRef index;
    if (PyLong_CheckExact(object)) {
      index = PyRef::borrow(object);
    } else {
      index = PyRef::steal(PyNumber_Index(object));
      if (!index) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return Conv::kPython;
        PyErr_Clear();
        return entry(fault, position, true, "count must be an int, got " + type_name(object));
      }
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return Conv::kPython;
    if (overflow == 0 && v > 0 && v <= build::kMaxCount) {
      value = static_cast<std::uint32_t>(v);
      return Conv::kOk;
    }
    const std::string text = utf8_of(PyRef::steal(PyObject_Str(index.get())).get());
    if (overflow < 0 || (overflow == 0 && v <= 0)) {
      return entry(fault, position, false, "count must be positive, got " + text);
    }
    return entry(fault, position, false, "count " + text + " is above the largest count 4294967295");
  }

 private:
  bool cacheable(PyObject* object) const {
    return PyUnicode_CheckExact(object) || PyBytes_CheckExact(object) ||
           Py_TYPE(object) == reinterpret_cast<PyTypeObject*>(uuid_class_.get());
  }

  bool is_uuid(PyObject* object) {
    if (Py_TYPE(object) == reinterpret_cast<PyTypeObject*>(uuid_class_.get())) return true;
    const int is = PyObject_IsInstance(object, uuid_class_.get());
    if (is < 0) PyErr_Clear();
    return is > 0;
  }

  static Conv entry(EntryFault& fault, std::size_t position, bool type_error, std::string problem) {
    fault.position = position;
    fault.type_error = type_error;
    fault.problem = std::move(problem);
    return Conv::kEntry;
  }

  // The first U+0000 or lone surrogate of a str.
  static Conv unstorable(PyObject* object, std::size_t position, EntryFault& fault) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(object);
    Py_UCS4 bad = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
      const Py_UCS4 c = PyUnicode_READ_CHAR(object, i);
      if (c == 0 || (c >= 0xD800 && c <= 0xDFFF)) {
        bad = c;
        break;
      }
    }
    char code[16];
    std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(bad));
    return entry(fault, position, false,
                 "term " + repr_of(object) + " contains " + code + ", which an index cannot store");
  }

  IndexBuilder& builder_;
  PyRef uuid_class_;
  IdentityCache videos_;
};

// Unpacks one entry into three new references, as `term, video, count =
// entry` would: a TypeError of the unpacking becomes "expected a triple",
// a ValueError "expected exactly 3 items".
Conv unpack(PyObject* entry, std::size_t position, PyRef (&out)[3], EntryFault& fault) {
  auto triple = [&] {
    fault = {position, true, "expected a (term, video_id, count) triple, got " + type_name(entry)};
    return Conv::kEntry;
  };
  auto three = [&] {
    fault = {position, false, "expected exactly 3 items: term, video_id, count"};
    return Conv::kEntry;
  };
  if (PyTuple_CheckExact(entry) || PyList_CheckExact(entry)) {
    const bool tuple = PyTuple_CheckExact(entry);
    if ((tuple ? PyTuple_GET_SIZE(entry) : PyList_GET_SIZE(entry)) != 3) return three();
    for (Py_ssize_t k = 0; k < 3; ++k) {
      out[k] = PyRef::borrow(tuple ? PyTuple_GET_ITEM(entry, k) : PyList_GET_ITEM(entry, k));
    }
    return Conv::kOk;
  }
  auto failed = [&]() -> Conv {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      return triple();
    }
    if (PyErr_ExceptionMatches(PyExc_ValueError)) {
      PyErr_Clear();
      return three();
    }
    return Conv::kPython;
  };
  PyRef iterator = PyRef::steal(PyObject_GetIter(entry));
  if (!iterator) return failed();
  for (int k = 0; k < 4; ++k) {
    PyRef item = PyRef::steal(PyIter_Next(iterator.get()));
    if (!item) {
      if (PyErr_Occurred()) return failed();
      return k == 3 ? Conv::kOk : three();
    }
    if (k == 3) return three();
    out[k] = std::move(item);
  }
  return Conv::kOk;
}

bool to_top_n(PyObject* object, std::uint32_t& out) {
  const unsigned long value = PyLong_AsUnsignedLong(object);
  if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) return false;
  if (value > build::kMaxCount) return raise_text(PyExc_OverflowError, "video_top_n out of range");
  out = static_cast<std::uint32_t>(value);
  return true;
}

// ---- Arrow capsules -------------------------------------------------------------------------

// Owned Arrow structs, moved out of their capsules: the capsule's own
// destructor then finds them released and does nothing.
struct OwnedSchema {
  ArrowSchema value{};
  ~OwnedSchema() {
    if (value.release != nullptr) value.release(&value);
  }
};
struct OwnedArray {
  ArrowArray value{};
  ~OwnedArray() { reset(); }
  void reset() {
    if (value.release != nullptr) value.release(&value);
    value = ArrowArray{};
  }
};
struct OwnedStream {
  ArrowArrayStream value{};
  ~OwnedStream() {
    if (value.release != nullptr) value.release(&value);
  }
  std::string last_error() {
    const char* text = value.get_last_error != nullptr ? value.get_last_error(&value) : nullptr;
    return text != nullptr ? text : "no reason given";
  }
};

template <class T>
bool take_capsule(PyObject* capsule, const char* name, T& out) {
  auto* pointer = static_cast<T*>(PyCapsule_GetPointer(capsule, name));
  if (pointer == nullptr) return false;
  if (pointer->release == nullptr) return raise_text(PyExc_ValueError, std::string("the ") + name + " was already used");
  out = *pointer;
  pointer->release = nullptr;
  return true;
}

using build::Found;
using build::TableLayout;

bool table_layout(const ArrowSchema& schema, TableLayout& layout) {
  bool type_error = false;
  const std::string problem = build::table_layout(schema, layout, type_error);
  if (problem.empty()) return true;
  return raise_text(type_error ? PyExc_TypeError : PyExc_ValueError, problem);
}

// After reading: the first bad entry (a term whose counts add up past
// 2^32-1 before it counts too), raised; true when there is none.
bool check_entries(IndexBuilder& builder, const Found& found) {
  if (!found.malformed.empty()) return raise_text(PyExc_ValueError, "malformed Arrow data: " + found.malformed);
  const std::size_t limit = found.bad.position;
  std::size_t overflow;
  {
    Unlocked unlocked;
    overflow = builder.check_totals(limit);
  }
  if (overflow != kNoPosition) return raise_entry(total_fault(builder, overflow));
  if (limit != kNoPosition) {
    if (found.row_null) {
      return raise_entry({limit, true, "expected a (term, video_id, count) triple, got NoneType"});
    }
    return raise_entry(fault_of(found.bad, found.field));
  }
  return true;
}

// ---- the input kinds --------------------------------------------------------------------------

PyObject* entries_body(PyObject* entries, std::uint32_t top_n, Progress& progress) {
  PyRef iterator = PyRef::steal(PyObject_GetIter(entries));
  if (!iterator) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
    PyErr_Clear();
    raise_text(PyExc_TypeError, "entries must be an iterable of (term, video_id, count), got " + type_name(entries));
    return nullptr;
  }
  IndexBuilder builder;
  Converter convert(builder);
  if (!convert.init()) return nullptr;
  const bool list = PyList_CheckExact(entries);

  // Entries go in batches: each is converted and checked, then the
  // batch's new terms and videos are interned together, then added in
  // order.  A bad entry ends the last batch; the entries before it are
  // still added first, so that a term whose counts overflow earlier is
  // the one reported.
  constexpr std::size_t kBatch = 64;
  struct Pending {
    PyRef items[3];
    std::string_view term_text;
    VideoId video_bytes;
    std::uint32_t term = 0, video = 0, count = 0;
    bool video_known = false;
  };
  std::vector<Pending> batch(kBatch);
  std::vector<std::string_view> texts;
  std::vector<VideoId> videos;
  std::vector<std::uint32_t> ids;
  EntryFault fault;
  Conv failed = Conv::kOk;
  bool done = false;
  for (std::size_t position = 0; !done && failed == Conv::kOk;) {
    std::size_t n = 0;
    while (n < kBatch) {
      PyRef entry;
      if (list) {
        if (static_cast<Py_ssize_t>(position) >= PyList_GET_SIZE(entries)) {
          done = true;
          break;
        }
        entry = PyRef::borrow(PyList_GET_ITEM(entries, static_cast<Py_ssize_t>(position)));
      } else {
        entry = PyRef::steal(PyIter_Next(iterator.get()));
        if (!entry) {
          if (PyErr_Occurred()) return nullptr;
          done = true;
          break;
        }
      }
      if (position % kProgressEvery == 0 && position > 0 && progress.active()) {
        if (!progress.say(read_message(position))) return nullptr;
      }
      Pending& p = batch[n];
      Conv conv = unpack(entry.get(), position, p.items, fault);
      if (conv == Conv::kOk) {
        conv = convert.term_text(p.items[0].get(), position, p.term_text, fault);
      }
      if (conv == Conv::kOk) {
        conv = convert.video_bytes(p.items[1].get(), position, p.video_bytes, p.video, p.video_known, fault);
      }
      if (conv == Conv::kOk) conv = convert.count(p.items[2].get(), position, p.count, fault);
      if (conv != Conv::kOk) {
        failed = conv;
        break;
      }
      ++n;
      ++position;
    }
    // Intern what the batch brought.
    texts.clear();
    videos.clear();
    for (std::size_t k = 0; k < n; ++k) {
      texts.push_back(batch[k].term_text);
      if (!batch[k].video_known) videos.push_back(batch[k].video_bytes);
    }
    ids.resize(std::max(texts.size(), videos.size()));
    builder.term_ids(texts.data(), texts.size(), ids.data());
    for (std::size_t k = 0; k < n; ++k) batch[k].term = ids[k];
    builder.video_ids(videos.data(), videos.size(), ids.data());
    for (std::size_t k = 0, v = 0; k < n; ++k) {
      Pending& p = batch[k];
      if (!p.video_known) convert.remember_video(p.items[1].get(), p.video = ids[v++]);
    }
    const std::size_t first = position - n;
    for (std::size_t k = 0; k < n; ++k) {
      Pending& p = batch[k];
      if (!builder.add(p.term, p.video, p.count)) return raise_entry(total_fault(builder, first + k, p.term)), nullptr;
      for (PyRef& item : p.items) item = PyRef();
    }
  }
  if (failed == Conv::kPython) return nullptr;
  if (failed == Conv::kEntry) return raise_entry(fault), nullptr;
  convert.clear();
  return complete(builder, top_n, progress);
}

// Batches of at least this many rows have the ones after them fetched
// beside them.
constexpr std::int64_t kAheadRows = 16'384;

// Fetches a stream's batches on a thread of its own, up to kAhead of them
// ahead of the reader: from a file, that is their decoding, which then
// fills whatever time the reading of a batch leaves a core idle, rather
// than waiting for that reading to end.  Only this thread calls the
// stream, one call at a time, as its interface asks.  It is started and
// destroyed with the interpreter lock released, since the stream may take
// that lock (a stream of Python objects does).
class Fetcher {
 public:
  explicit Fetcher(ArrowArrayStream& stream) : stream_(stream) {
    if (std::thread::hardware_concurrency() < 2) return;
    try {
      thread_ = storage::start_thread([this] { run(); });
    } catch (...) {
      // No thread: `next` fetches on the caller's.
    }
  }
  Fetcher(const Fetcher&) = delete;
  Fetcher& operator=(const Fetcher&) = delete;
  ~Fetcher() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
    for (; count_ > 0; --count_, head_ = (head_ + 1) % kAhead) ring_[head_].release(&ring_[head_]);
  }

  // The next batch into `out` (released: the end), or the stream's error.
  int next(ArrowArray& out) {
    if (!thread_.joinable()) return stream_.get_next(&stream_, &out);
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return count_ > 0 || done_; });
    if (count_ == 0) return rc_;
    out = ring_[head_];
    head_ = (head_ + 1) % kAhead;
    --count_;
    changed_.notify_all();
    return 0;
  }

 private:
  static constexpr std::size_t kAhead = 2;

  void run() {
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return stop_ || count_ < kAhead; });
        if (stop_) return;
      }
      ArrowArray batch{};
      const int rc = stream_.get_next(&stream_, &batch);
      const std::lock_guard<std::mutex> lock(mutex_);
      if (rc != 0 || batch.release == nullptr || stop_) {
        if (rc == 0 && batch.release != nullptr) batch.release(&batch);
        rc_ = rc;
        done_ = true;
        changed_.notify_all();
        return;
      }
      ring_[(head_ + count_) % kAhead] = batch;
      ++count_;
      changed_.notify_all();
    }
  }

  ArrowArrayStream& stream_;
  std::mutex mutex_;
  std::condition_variable changed_;
  ArrowArray ring_[kAhead]{};
  std::size_t head_ = 0, count_ = 0;
  bool stop_ = false, done_ = false;
  int rc_ = 0;
  std::thread thread_;
};

// Reads every batch of a table stream.
PyObject* stream_body(PyObject* capsule, std::uint32_t top_n, Progress& progress) {
  OwnedStream stream;
  if (!take_capsule(capsule, "arrow_array_stream", stream.value)) return nullptr;
  OwnedSchema schema;
  int rc;
  {
    Unlocked unlocked;
    rc = stream.value.get_schema(&stream.value, &schema.value);
  }
  if (rc != 0) return raise_text(PyExc_ValueError, "reading the Arrow stream failed: " + stream.last_error()), nullptr;
  TableLayout layout;
  if (!table_layout(schema.value, layout)) return nullptr;

  IndexBuilder builder;
  Found found;
  std::size_t base = 0, reported = 0;
  std::string failure;
  {
    Unlocked unlocked;
    OwnedArray batch;
    // Small batches are not worth a thread's hand-over each: until a
    // large one comes, they are fetched one after the other.
    std::optional<Fetcher> ahead;
    auto fetch = [&](ArrowArray& into) {
      return ahead ? ahead->next(into) : stream.value.get_next(&stream.value, &into);
    };
    for (;;) {
      if (fetch(batch.value) != 0) {
        failure = "reading the Arrow stream failed: " + stream.last_error();
        break;
      }
      if (batch.value.release == nullptr) break;  // the end
      if (!ahead && batch.value.length >= kAheadRows) ahead.emplace(stream.value);
      read_batch(layout, batch.value, base, builder, found);
      if (found.any()) break;
      base += static_cast<std::size_t>(batch.value.length);
      batch.reset();
      // A batch read whole is checked and set aside at once, so that only
      // one batch's entries wait in the staging columns (and one batch's
      // aside, committed while the next is read); a term whose counts
      // overflow stops the reading (check_entries reports it).
      if (builder.check_totals(kNoPosition) != kNoPosition) break;
      builder.set_aside();
      if (progress.active() && base / kProgressEvery > reported) {
        reported = base / kProgressEvery;
        unlocked.relock();
        const bool ok = progress.say(read_message(base));
        unlocked.unlock();
        if (!ok) {
          failure = "\n";  // the callback's exception is set
          break;
        }
      }
    }
  }
  if (failure == "\n") {
    // Raised by the callback; it was set with the lock held, and is still.
    return nullptr;
  }
  if (!failure.empty()) return raise_text(PyExc_ValueError, failure), nullptr;
  if (!check_entries(builder, found)) return nullptr;
  return complete(builder, top_n, progress);
}

PyObject* batch_body(PyObject* schema_capsule, PyObject* array_capsule, std::uint32_t top_n, Progress& progress) {
  OwnedSchema schema;
  if (!take_capsule(schema_capsule, "arrow_schema", schema.value)) return nullptr;
  OwnedArray batch;
  if (!take_capsule(array_capsule, "arrow_array", batch.value)) return nullptr;
  TableLayout layout;
  if (!table_layout(schema.value, layout)) return nullptr;
  IndexBuilder builder;
  Found found;
  {
    Unlocked unlocked;
    read_batch(layout, batch.value, 0, builder, found);
    batch.reset();
  }
  if (!check_entries(builder, found)) return nullptr;
  return complete(builder, top_n, progress);
}

// One column given on its own: ("arrow", schema, array), ("stream",
// stream), ("buffer", memoryview) or ("sequence", object).
bool read_separate_column(Field field, PyObject* spec, IndexBuilder& builder, Converter& convert, Found& found,
                          EntryFault& fault) {
  const char* name = build::field_name(field);
  const char* kind = nullptr;
  PyObject *first = nullptr, *second = nullptr;
  if (!PyArg_ParseTuple(spec, "sO|O", &kind, &first, &second)) return false;
  const std::string_view how = kind;
  auto bad_value = [&](BadValue&& bad) {
    found.bad = std::move(bad);
    found.field = field;
  };

  if (how == "arrow" || how == "stream") {
    OwnedSchema schema;
    OwnedArray array;
    OwnedStream stream;
    if (how == "arrow") {
      if (second == nullptr) return raise_text(PyExc_TypeError, "an Arrow column needs a schema and an array");
      if (!take_capsule(first, "arrow_schema", schema.value)) return false;
      if (!take_capsule(second, "arrow_array", array.value)) return false;
    } else {
      if (!take_capsule(first, "arrow_array_stream", stream.value)) return false;
      int rc;
      {
        Unlocked unlocked;
        rc = stream.value.get_schema(&stream.value, &schema.value);
      }
      if (rc != 0) return raise_text(PyExc_ValueError, "reading the Arrow stream failed: " + stream.last_error());
    }
    std::string problem;
    const auto type = build::column_type(field, schema.value, problem);
    if (!type) return raise_text(PyExc_TypeError, problem);
    std::string failure;
    {
      Unlocked unlocked;
      std::size_t base = 0;
      for (bool more = true; more;) {
        if (how == "stream") {
          array.reset();
          if (stream.value.get_next(&stream.value, &array.value) != 0) {
            failure = "reading the Arrow stream failed: " + stream.last_error();
            break;
          }
          if (array.value.release == nullptr) break;
        } else {
          more = false;
        }
        BadValue bad;
        const auto status =
            build::read_column(field, *type, array.value, 0, array.value.length, base, builder, bad, problem);
        if (status == build::ReadStatus::kMalformed) {
          failure = "malformed Arrow data: column '" + std::string(name) + "': " + problem;
          break;
        }
        if (status == build::ReadStatus::kBadValue) {
          bad_value(std::move(bad));
          break;
        }
        base += static_cast<std::size_t>(array.value.length);
      }
    }
    if (!failure.empty()) return raise_text(PyExc_ValueError, failure);
    return true;
  }

  if (how == "buffer") {
    Py_buffer view;
    if (PyObject_GetBuffer(first, &view, PyBUF_RECORDS_RO) < 0) return false;
    struct Release {
      Py_buffer* view;
      ~Release() { PyBuffer_Release(view); }
    } release{&view};
    std::string_view format = view.format != nullptr ? view.format : "B";
    if (!format.empty() && (format[0] == '@' || format[0] == '=' || format[0] == '<')) format.remove_prefix(1);
    const Py_ssize_t rows = view.ndim >= 1 ? view.shape[0] : 0;
    const Py_ssize_t stride = view.ndim >= 1 ? view.strides[0] : 0;
    const auto* data = static_cast<const std::uint8_t*>(view.buf);
    if (field == Field::kVideo) {
      const bool fixed = view.ndim == 1 && view.itemsize == 16;
      const bool matrix = view.ndim == 2 && view.shape[1] == 16 && view.itemsize == 1 && view.strides[1] == 1;
      if (!fixed && !matrix) {
        return raise_text(PyExc_TypeError,
                          "column 'video_id' given as an array must hold 16-byte items or 16 bytes per row");
      }
      Unlocked unlocked;
      std::vector<std::uint32_t>& out = builder.video_column();
      VideoId id;
      for (Py_ssize_t i = 0; i < rows; ++i) {
        std::memcpy(id.data(), data + i * stride, 16);
        out.push_back(builder.video_id(id));
      }
      return true;
    }
    static constexpr std::string_view kSigned = "bhilq", kUnsigned = "BHILQ";
    if (field != Field::kCount || view.ndim != 1 || format.size() != 1 ||
        (kSigned.find(format[0]) == std::string_view::npos && kUnsigned.find(format[0]) == std::string_view::npos) ||
        (view.itemsize != 1 && view.itemsize != 2 && view.itemsize != 4 && view.itemsize != 8)) {
      return raise_text(PyExc_TypeError, std::string("column '") + name + "' given as an array of format '" +
                                             std::string(format) + "': expected one-dimensional integers");
    }
    const bool is_signed = kSigned.find(format[0]) != std::string_view::npos;
    Unlocked unlocked;
    std::vector<std::uint32_t>& out = builder.count_column();
    out.reserve(static_cast<std::size_t>(rows));
    for (Py_ssize_t i = 0; i < rows; ++i) {
      const std::uint8_t* at = data + i * stride;
      std::int64_t s = 0;
      std::uint64_t u = 0;
      switch (view.itemsize) {
        case 1:
          s = static_cast<std::int8_t>(*at), u = *at;
          break;
        case 2: {
          std::uint16_t v;
          std::memcpy(&v, at, 2);
          s = static_cast<std::int16_t>(v), u = v;
          break;
        }
        case 4: {
          std::uint32_t v;
          std::memcpy(&v, at, 4);
          s = static_cast<std::int32_t>(v), u = v;
          break;
        }
        default: {
          std::uint64_t v;
          std::memcpy(&v, at, 8);
          s = static_cast<std::int64_t>(v), u = v;
          break;
        }
      }
      if (is_signed) u = s < 0 ? 0 : static_cast<std::uint64_t>(s);
      if (u == 0 || u > build::kMaxCount) {
        BadValue bad;
        bad.position = static_cast<std::size_t>(i);
        bad.kind = u == 0 ? BadValue::kCountNotPositive : BadValue::kCountTooLarge;
        bad.number = u == 0 ? std::to_string(is_signed ? s : 0) : std::to_string(u);
        bad_value(std::move(bad));
        return true;
      }
      out.push_back(static_cast<std::uint32_t>(u));
    }
    return true;
  }

  // A Python sequence, item by item.
  if (PyUnicode_Check(first) || PyBytes_Check(first) || PyByteArray_Check(first)) {
    return raise_text(PyExc_TypeError, std::string("column '") + name + "' must be a sequence of values, got " +
                                           type_name(first));
  }
  PyRef iterator = PyRef::steal(PyObject_GetIter(first));
  if (!iterator) return false;
  std::vector<std::uint32_t>& out = field == Field::kTerm    ? builder.term_column()
                                    : field == Field::kVideo ? builder.video_column()
                                                             : builder.count_column();
  for (std::size_t position = 0;; ++position) {
    PyRef item = PyRef::steal(PyIter_Next(iterator.get()));
    if (!item) return !PyErr_Occurred();
    std::uint32_t value = 0;
    const Conv conv = field == Field::kTerm    ? convert.term(item.get(), position, value, fault)
                      : field == Field::kVideo ? convert.video(item.get(), position, value, fault)
                                               : convert.count(item.get(), position, value, fault);
    if (conv == Conv::kPython) return false;
    if (conv == Conv::kEntry) return true;
    out.push_back(value);
  }
}

PyObject* columns_body(PyObject* specs[3], std::uint32_t top_n, Progress& progress) {
  IndexBuilder builder;
  Converter convert(builder);
  if (!convert.init()) return nullptr;
  // The first bad entry over all columns; among bad values of one entry,
  // the first field's.
  EntryFault first;
  for (int f = 0; f < 3; ++f) {
    Found found;
    EntryFault fault;
    if (!read_separate_column(static_cast<Field>(f), specs[f], builder, convert, found, fault)) return nullptr;
    if (found.bad.position != kNoPosition && found.bad.position < first.position) {
      first = fault_of(found.bad, found.field);
    }
    if (fault.position < first.position) first = std::move(fault);
  }
  const std::size_t lengths[3] = {builder.term_column().size(), builder.video_column().size(),
                                  builder.count_column().size()};
  std::size_t overflow;
  {
    Unlocked unlocked;
    overflow = builder.check_totals(first.position);
  }
  if (overflow != kNoPosition) return raise_entry(total_fault(builder, overflow)), nullptr;
  if (first.position != kNoPosition) return raise_entry(first), nullptr;
  if (lengths[0] != lengths[1] || lengths[0] != lengths[2]) {
    return raise_text(PyExc_ValueError, "the columns have different lengths: term " + std::to_string(lengths[0]) +
                                            ", video_id " + std::to_string(lengths[1]) + ", count " +
                                            std::to_string(lengths[2])),
           nullptr;
  }
  return complete(builder, top_n, progress);
}

PyObject* tsv_body(PyObject* source, std::uint32_t top_n, Progress& progress) {
  IndexBuilder builder;
  Unlocked* current = nullptr;  // the lock state while reading
  auto report = [&](std::size_t entries, std::size_t lines) {
    current->relock();
    const bool ok = progress.say(read_message(entries), lines);
    current->unlock();
    return ok;
  };
  build::TsvReader reader(builder, progress.active() ? std::function<bool(std::size_t, std::size_t)>(report)
                                                     : std::function<bool(std::size_t, std::size_t)>());
  bool ok = true;
  if (PyLong_Check(source)) {
    const long fd_value = PyLong_AsLong(source);
    if (fd_value == -1 && PyErr_Occurred()) return nullptr;
    if (fd_value < 0 || fd_value > INT32_MAX) return raise_text(PyExc_ValueError, "not a file descriptor"), nullptr;
    const int fd = static_cast<int>(fd_value);
    std::vector<char> buffer(std::size_t{1} << 20);
    int error = 0;
    bool interrupted = false;
    {
      Unlocked unlocked;
      current = &unlocked;
      for (;;) {
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0) {
          if (errno == EINTR) {
            unlocked.relock();
            interrupted = PyErr_CheckSignals() < 0;
            unlocked.unlock();
            if (interrupted) break;
            continue;
          }
          error = errno;
          break;
        }
        if (got == 0) {
          ok = reader.finish();
          break;
        }
        if (!(ok = reader.feed({buffer.data(), static_cast<std::size_t>(got)}))) break;
      }
    }
    if (interrupted) return nullptr;
    if (error != 0) {
      errno = error;
      return PyErr_SetFromErrno(PyExc_OSError);
    }
  } else {
    Py_buffer view;
    if (PyObject_GetBuffer(source, &view, PyBUF_SIMPLE) < 0) return nullptr;
    {
      Unlocked unlocked;
      current = &unlocked;
      ok = reader.feed({static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len)}) && reader.finish();
    }
    PyBuffer_Release(&view);
  }
  if (reader.stopped()) return nullptr;  // the callback raised
  if (!ok) return raise_line(fault_of(reader.problem(), Field::kTerm)), nullptr;
  return complete(builder, top_n, progress, reader.lines());
}

}  // namespace

// ---- the module's functions --------------------------------------------------------------------

PyObject* build_entries(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *entries, *top_n_object, *callback;
    if (!PyArg_ParseTuple(args, "OOO", &entries, &top_n_object, &callback)) return nullptr;
    std::uint32_t top_n;
    if (!to_top_n(top_n_object, top_n)) return nullptr;
    Progress progress(callback, false);
    return entries_body(entries, top_n, progress);
  });
}

PyObject* build_stream(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *capsule, *top_n_object, *callback;
    Py_ssize_t rows = 0;  // how many rows the stream holds, if it says (no longer used)
    if (!PyArg_ParseTuple(args, "OOO|n", &capsule, &top_n_object, &callback, &rows)) return nullptr;
    std::uint32_t top_n;
    if (!to_top_n(top_n_object, top_n)) return nullptr;
    Progress progress(callback, false);
    return stream_body(capsule, top_n, progress);
  });
}

PyObject* build_batch(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *schema, *array, *top_n_object, *callback;
    if (!PyArg_ParseTuple(args, "OOOO", &schema, &array, &top_n_object, &callback)) return nullptr;
    std::uint32_t top_n;
    if (!to_top_n(top_n_object, top_n)) return nullptr;
    Progress progress(callback, false);
    return batch_body(schema, array, top_n, progress);
  });
}

PyObject* build_columns(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *specs[3], *top_n_object, *callback;
    if (!PyArg_ParseTuple(args, "O!O!O!OO", &PyTuple_Type, &specs[0], &PyTuple_Type, &specs[1], &PyTuple_Type,
                          &specs[2], &top_n_object, &callback)) {
      return nullptr;
    }
    std::uint32_t top_n;
    if (!to_top_n(top_n_object, top_n)) return nullptr;
    Progress progress(callback, false);
    return columns_body(specs, top_n, progress);
  });
}

PyObject* build_tsv(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *source, *top_n_object, *callback;
    if (!PyArg_ParseTuple(args, "OOO", &source, &top_n_object, &callback)) return nullptr;
    std::uint32_t top_n;
    if (!to_top_n(top_n_object, top_n)) return nullptr;
    Progress progress(callback, true);
    return tsv_body(source, top_n, progress);
  });
}

}  // namespace tessaloom::native

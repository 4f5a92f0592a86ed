// The method bindings of PrefixSearch: argument binding and conversion,
// the call into the core, and the building of results.
#include <Python.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "binding.hpp"
#include "codec/records.hpp"
#include "prefix/matcher.hpp"
#include "prefix_search.hpp"
#include "ranking.hpp"

namespace tessaloom::py {

namespace {

// The sizes from which the work takes more than a few microseconds, and
// runs with the interpreter lock released (measured: a query's walk at
// max_dist 1 over 1,000 nodes takes about 3 us; encoding or decoding 250
// nodes, or 4 KiB, about 5 us).
bool long_query(const Trie& trie) { return trie.node_count() >= 1024; }
bool long_encoding(std::size_t nodes) { return nodes >= 256; }
bool long_decoding(std::span<const std::uint8_t> bytes) { return bytes.size() >= 4096; }

// ---- from_internal_data_v2 -------------------------------------------------

constexpr const char* kFromArraysNames[] = {"node_shifts",       "child_labels", "payloads",
                                            "child_transitions", "video_index",  "video_top_n"};
constexpr Signature kFromArrays{"PrefixSearch.from_internal_data_v2()", kFromArraysNames, 6};

bool to_u32_array(PyObject* object, std::vector<std::uint32_t>& out) {
  if (PyList_CheckExact(object)) {
    // What to_sequence does for a list, with one shortcut: a small exact
    // int converts without running Python code, so it cannot change the
    // list and needs no reference of its own while it is converted.
    out.reserve(static_cast<std::size_t>(PyList_GET_SIZE(object)));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(object); ++i) {
      PyObject* item = PyList_GET_ITEM(object, i);
      std::uint32_t value;
      if (!small_exact_int(item, value)) {
        PyRef hold = PyRef::borrow(item);
        if (!to_u32(item, value)) return false;
      }
      out.push_back(value);
    }
    return true;
  }
  return to_sequence(
      object, [&](std::size_t n) { out.reserve(n); },
      [&](PyObject* item) {
        std::uint32_t value;
        if (!to_u32(item, value)) return false;
        out.push_back(value);
        return true;
      });
}

// The video table as converted: the 16-byte entries, and whether any entry
// had another length (refused later, in its turn among the checks).
struct VideoTable {
  std::vector<VideoId> ids;
  bool bad_length = false;
};

bool to_video_entry(PyObject* object, VideoTable& table) {
  VideoId id{};
  std::size_t length = 0;
  if (PyBytes_CheckExact(object)) {
    // Every element of a bytes object passes the byte rule.
    length = static_cast<std::size_t>(PyBytes_GET_SIZE(object));
    if (length == id.size()) std::memcpy(id.data(), PyBytes_AS_STRING(object), id.size());
  } else {
    const bool ok = to_sequence(
        object, [](std::size_t) {},
        [&](PyObject* item) {
          std::uint8_t byte;
          if (!to_byte(item, byte)) return false;
          if (length < id.size()) id[length] = byte;
          ++length;
          return true;
        });
    if (!ok) return false;
  }
  if (length == id.size()) {
    table.ids.push_back(id);
  } else {
    table.bad_length = true;
  }
  return true;
}

// Converts one payload tuple into the table; errors carry no argument name.
bool push_payload(PyObject* object, PayloadTable& table, std::vector<std::uint32_t>& ids,
                  std::vector<std::uint32_t>& counts) {
  if (!PyTuple_Check(object)) {
    raise_wrong_type(object, "PyTuple");
    return false;
  }
  if (PyTuple_GET_SIZE(object) != 3) {
    PyErr_SetString(PyExc_ValueError, "Payload tuple must have 3 elements");
    return false;
  }
  std::uint32_t total = 0;
  if (!to_u32(PyTuple_GET_ITEM(object, 0), total)) return false;
  ids.clear();
  counts.clear();
  if (!to_u32_array(PyTuple_GET_ITEM(object, 1), ids)) return false;
  if (!to_u32_array(PyTuple_GET_ITEM(object, 2), counts)) return false;
  if (ids.size() != counts.size()) {
    PyErr_SetString(PyExc_ValueError, "video_ids and video_counts length mismatch");
    return false;
  }
  table.push(total, ids, counts);
  return true;
}

PyObject* from_internal_data_v2(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[6];
    if (!bind_arguments(kFromArrays, args, nargsf, kwnames, arg)) return nullptr;

    TrieArrays trie;
    if (!to_u32_array(arg[0], trie.node_shifts)) return fail_argument("node_shifts"), nullptr;
    if (!to_sequence(
            arg[1], [&](std::size_t n) { trie.child_labels.reserve(n); },
            [&](PyObject* item) {
              std::uint32_t label;
              if (!to_first_char(item, label)) return false;
              trie.child_labels.push_back(label);
              return true;
            })) {
      return fail_argument("child_labels"), nullptr;
    }
    std::vector<PyRef> payload_objects;  // null for None
    if (!to_sequence(
            arg[2], [&](std::size_t n) { payload_objects.reserve(n); },
            [&](PyObject* item) {
              payload_objects.push_back(item == Py_None ? PyRef() : PyRef::borrow(item));
              return true;
            })) {
      return fail_argument("payloads"), nullptr;
    }
    if (!to_u32_array(arg[3], trie.child_transitions)) return fail_argument("child_transitions"), nullptr;
    VideoTable videos;
    if (!to_sequence(
            arg[4], [&](std::size_t n) { videos.ids.reserve(n); },
            [&](PyObject* item) { return to_video_entry(item, videos); })) {
      return fail_argument("video_index"), nullptr;
    }
    std::uint32_t video_top_n = 0;
    if (!to_u32(arg[5], video_top_n)) return fail_argument("video_top_n"), nullptr;

    // The checks, in order; the first failure ends the call.
    const std::size_t n = trie.child_labels.size();
    if (trie.node_shifts.size() != n) {
      PyErr_Format(PyExc_ValueError, "node_shifts len %zu != child_labels len %zu", trie.node_shifts.size(), n);
      return nullptr;
    }
    if (payload_objects.size() != n) {
      PyErr_Format(PyExc_ValueError, "payloads len %zu != child_labels len %zu", payload_objects.size(), n);
      return nullptr;
    }
    for (std::size_t j = 0; j < trie.child_transitions.size(); ++j) {
      if (trie.child_transitions[j] >= n) {
        PyErr_Format(PyExc_ValueError, "child_transitions[%zu] = %u out of range [0..%zu)", j,
                     static_cast<unsigned>(trie.child_transitions[j]), n);
        return nullptr;
      }
    }
    trie.payloads.reserve(n, 0);
    std::vector<std::uint32_t> ids, counts;
    for (PyRef& object : payload_objects) {
      if (!object) {
        trie.payloads.push_absent();
      } else if (!push_payload(object.get(), trie.payloads, ids, counts)) {
        return nullptr;
      }
      object = PyRef();  // done with it
    }
    if (videos.bad_length) {
      PyErr_SetString(PyExc_ValueError, "video_index entries must be exactly 16 bytes");
      return nullptr;
    }
    trie.video_index = std::move(videos.ids);

    return wrap_trie(unlocked_if(long_encoding(n), [&] { return propagate(std::move(trie), video_top_n); }));
  });
}

// ---- to_bytes and from_bytes --------------------------------------------------

PyObject* to_bytes_method(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const Trie* trie = receiver(self);
    if (trie == nullptr) return nullptr;
    const bool release = long_encoding(trie->node_count());
    if (const auto error = unlocked_if(release, [&] { return codec::find_unencodable(*trie); })) {
      PyErr_Format(PyExc_ValueError, "encode error: %s", error->to_string().c_str());
      return nullptr;
    }
    // Sized exactly, then written straight into the bytes object (which no
    // other thread can see yet).
    const std::size_t size = unlocked_if(release, [&] { return codec::encoded_size(*trie); });
    PyRef bytes = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!bytes) return nullptr;
    auto* out = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes.get()));
    unlocked_if(release, [&] { codec::encode_into(*trie, out, size); });
    return bytes.release();
  });
}

constexpr const char* kFromBytesNames[] = {"b"};
constexpr Signature kFromBytes{"PrefixSearch.from_bytes()", kFromBytesNames, 1};

PyObject* from_bytes_method(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* arg[1];
    if (!bind_arguments(kFromBytes, args, nargsf, kwnames, arg)) return nullptr;
    // The caller's bytes object stays alive for the call; it is read in place.
    std::span<const std::uint8_t> bytes;
    if (!to_bytes_view(arg[0], bytes)) return fail_argument("b"), nullptr;
    codec::DecodeResult decoded = unlocked_if(long_decoding(bytes), [&] { return codec::decode_trie(bytes); });
    if (auto* error = std::get_if<codec::DecodeError>(&decoded)) {
      PyErr_Format(PyExc_ValueError, "decode error: %s", error->to_string().c_str());
      return nullptr;
    }
    return wrap_trie(std::move(std::get<Trie>(decoded)));
  });
}

// ---- fuzzy_match and fuzzy_match_video --------------------------------------

constexpr const char* kQueryNames[] = {"term", "max_dist", "limit"};
constexpr Signature kFuzzyMatch{"PrefixSearch.fuzzy_match()", kQueryNames, 1};
constexpr Signature kFuzzyMatchVideo{"PrefixSearch.fuzzy_match_video()", kQueryNames, 1};

struct Query {
  const Trie* trie = nullptr;
  std::string_view term;
  std::uint32_t max_dist = 1;
  std::optional<std::uint32_t> limit;
};

// Binds and converts (term, max_dist=1, limit=None) in that order.
bool to_query(const Signature& signature, PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
              PyObject* kwnames, Query& query) {
  PyObject* arg[3];
  if (!bind_arguments(signature, args, nargsf, kwnames, arg)) return false;
  query.trie = receiver(self);
  if (query.trie == nullptr) return false;
  if (!to_text(arg[0], query.term)) return fail_argument("term");
  if (arg[1] != nullptr && !to_u32(arg[1], query.max_dist)) return fail_argument("max_dist");
  if (!to_optional_u32(arg[2], query.limit)) return fail_argument("limit");
  return true;
}

// Steals `items` into a new tuple; null (with the error set) if any is null.
template <std::size_t N>
PyObject* tuple_of(std::array<PyRef, N> items) {
  for (const PyRef& item : items) {
    if (!item) return nullptr;
  }
  PyRef tuple = PyRef::steal(PyTuple_New(N));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < N; ++i) PyTuple_SET_ITEM(tuple.get(), i, items[i].release());
  return tuple.release();
}

PyObject* fuzzy_match_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Query query;
    if (!to_query(kFuzzyMatch, self, args, nargsf, kwnames, query)) return nullptr;
    const std::vector<MatchResult> matches =
        unlocked_if(long_query(*query.trie),
                    [&] { return fuzzy_match(*query.trie, query.term, query.max_dist, query.limit); });

    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(matches.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < matches.size(); ++i) {
      const MatchResult& match = matches[i];
      PyObject* item = tuple_of<3>({
          PyRef::steal(PyUnicode_DecodeUTF8(match.text.data(), static_cast<Py_ssize_t>(match.text.size()), nullptr)),
          PyRef::steal(PyLong_FromLong(1)),
          PyRef::steal(PyLong_FromUnsignedLong(match.distance)),
      });
      if (item == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
  });
}

// The 36-character text of a video id, built in place in one allocation.
PyObject* video_id_text(const VideoId& id) {
  PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(kVideoIdTextLength), 127);
  if (text == nullptr) return nullptr;
  format_video_id(id, reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text)));
  return text;
}

PyObject* fuzzy_match_video_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Query query;
    if (!to_query(kFuzzyMatchVideo, self, args, nargsf, kwnames, query)) return nullptr;
    const std::vector<RankedVideo> ranked =
        unlocked_if(long_query(*query.trie),
                    [&] { return rank_videos(*query.trie, query.term, query.max_dist, query.limit); });

    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(ranked.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < ranked.size(); ++i) {
      PyObject* item = tuple_of<2>({
          PyRef::steal(video_id_text(query.trie->video_index[ranked[i].video])),
          PyRef::steal(PyFloat_FromDouble(ranked[i].score)),
      });
      if (item == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
  });
}

}  // namespace

PyMethodDef prefix_search_methods[] = {
    {"from_internal_data_v2", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(from_internal_data_v2)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_internal_data_v2(node_shifts, child_labels, payloads, child_transitions, video_index, video_top_n)\n--\n\n"},
    {"to_bytes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(to_bytes_method)), METH_NOARGS,
     "to_bytes($self)\n--\n\n"},
    {"from_bytes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(from_bytes_method)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, "from_bytes(b)\n--\n\n"},
    {"fuzzy_match", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fuzzy_match_method)),
     METH_FASTCALL | METH_KEYWORDS, "fuzzy_match(term, max_dist=1, limit=None)\n--\n\n"},
    {"fuzzy_match_video", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fuzzy_match_video_method)),
     METH_FASTCALL | METH_KEYWORDS, "fuzzy_match_video(term, max_dist=1, limit=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tessaloom::py

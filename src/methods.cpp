// The method bindings of PrefixSearch: argument binding and conversion,
// the call into the core, and the building of results.
#include <Python.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "binding.hpp"
#include "prefix_search.hpp"

namespace tessaloom::py {

namespace {

// ---- from_internal_data_v2 -------------------------------------------------

constexpr const char* kFromArraysNames[] = {"node_shifts",       "child_labels", "payloads",
                                            "child_transitions", "video_index",  "video_top_n"};
constexpr Signature kFromArrays{"PrefixSearch.from_internal_data_v2()", kFromArraysNames, 6};

bool to_u32_array(PyObject* object, std::vector<std::uint32_t>& out) {
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

    Trie trie;
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

    propagate(trie, video_top_n);
    return wrap_trie(std::move(trie));
  });
}

}  // namespace

PyMethodDef prefix_search_methods[] = {
    {"from_internal_data_v2", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(from_internal_data_v2)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "from_internal_data_v2(node_shifts, child_labels, payloads, child_transitions, video_index, video_top_n)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tessaloom::py

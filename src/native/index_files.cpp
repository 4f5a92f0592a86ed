#include "index_files.hpp"

#include <cerrno>
#include <memory>
#include <string>
#include <variant>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

#include "fault.hpp"
#include "pyref.hpp"
#include "storage/mapped_index.hpp"
#include "wrap.hpp"

namespace tessaloom::native {

namespace {

// Releases the interpreter lock for its lifetime.
class Unlocked {
 public:
  Unlocked() : state_(PyEval_SaveThread()) {}
  ~Unlocked() { PyEval_RestoreThread(state_); }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

 private:
  PyThreadState* state_;
};

// Writes all of `data` to `fd`; errno is set on failure.
bool write_all(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
#if defined(_WIN32)
    const unsigned chunk = size > (1u << 30) ? (1u << 30) : static_cast<unsigned>(size);
    const int n = _write(fd, data, chunk);
#else
    const ssize_t n = ::write(fd, data, size > (std::size_t{1} << 30) ? (std::size_t{1} << 30) : size);
#endif
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

PyObject* write_mapped(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* object;
    int fd;
    if (!PyArg_ParseTuple(args, "Oi:write_mapped", &object, &fd)) return nullptr;
    const Trie* trie = index_of(object);
    if (trie == nullptr) return nullptr;
    NodeArrays scratch;
    const std::vector<storage::SectionSource> sections = storage::index_sections(*trie, scratch);
    bool written;
    int error = 0;
    std::uint64_t total = 0;
    {
      // The index never changes and the caller holds it for the call.
      Unlocked unlocked;
      written = storage::write_image(sections, [&](const std::uint8_t* data, std::size_t size) {
        total += size;
        if (write_all(fd, data, size)) return true;
        error = errno;
        return false;
      });
    }
    if (!written) {
      errno = error;
      return PyErr_SetFromErrno(PyExc_OSError);
    }
    return PyLong_FromUnsignedLongLong(total);
  });
}

PyObject* open_mapped(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    int fd;
    int verify;
    if (!PyArg_ParseTuple(args, "ip:open_mapped", &fd, &verify)) return nullptr;
    std::variant<Trie, std::string> opened;
    {
      Unlocked unlocked;
      auto mapped = storage::FileMapping::map(fd);
      if (auto* reason = std::get_if<std::string>(&mapped)) {
        opened = std::move(*reason);
      } else {
        auto mapping = std::make_shared<const storage::FileMapping>(std::move(std::get<storage::FileMapping>(mapped)));
        opened = storage::open_mapped_index(std::move(mapping), verify != 0);
      }
    }
    if (auto* reason = std::get_if<std::string>(&opened)) {
      PyErr_SetString(PyExc_ValueError, reason->c_str());
      return nullptr;
    }
    return wrap_index(std::move(std::get<Trie>(opened)));
  });
}

PyObject* checksum(PyObject*, PyObject* args) {
  Py_buffer view;
  if (!PyArg_ParseTuple(args, "y*:checksum", &view)) return nullptr;
  const std::uint64_t sum =
      storage::checksum({static_cast<const std::uint8_t*>(view.buf), static_cast<std::size_t>(view.len)});
  PyBuffer_Release(&view);
  return PyLong_FromUnsignedLongLong(sum);
}

PyObject* index_facts(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* object;
    if (!PyArg_ParseTuple(args, "O:index_facts", &object)) return nullptr;
    const Trie* trie = index_of(object);
    if (trie == nullptr) return nullptr;
    storage::IndexFacts facts;
    {
      Unlocked unlocked;
      facts = storage::index_facts(*trie);
    }
    return Py_BuildValue("{sKsKsKsKsKsKsKsKsK}", "nodes", facts.nodes, "child_transitions",
                         facts.child_transitions, "payload_slots", facts.payload_slots, "present_payloads",
                         facts.present_payloads, "stored_records", facts.stored_records, "payload_entries",
                         facts.payload_entries, "record_bytes", facts.record_bytes, "videos", facts.videos,
                         "array_bytes", facts.array_bytes);
  });
}

}  // namespace tessaloom::native

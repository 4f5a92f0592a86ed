// Argument binding and conversion for the methods of PrefixSearch, and the
// one place where failures of the core become interpreter exceptions.
//
// Every function here that returns `bool` returns false with the
// interpreter's error indicator set.
#pragma once

#include <Python.h>

#include <chrono>
#include <cstdint>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "fault.hpp"
#include "pyref.hpp"

#if PY_VERSION_HEX < 0x030B0000
#include <longintrepr.h>  // included by Python.h from 3.11 on
#endif

namespace tessaloom::py {

// ---- argument binding -----------------------------------------------------

// The parameters of one fast-call method: all positional-or-keyword, the
// first `required` of them required.
struct Signature {
  const char* function;  // "PrefixSearch.fuzzy_match()", as messages name it
  std::span<const char* const> names;
  std::size_t required;
};

// Binds positional and keyword arguments to the parameters.  On success
// `out[i]` is a borrowed reference to parameter i's argument, or null when
// an optional parameter was left out.
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames, PyObject** out);

// ---- errors ---------------------------------------------------------------

// The qualified name of an object's type, or "<failed to extract type name>".
std::string type_name(PyObject* object);

// TypeError "'{type}' object cannot be converted to '{target}'".
void raise_wrong_type(PyObject* object, const char* target);

// OverflowError "out of range integral type conversion attempted".
void raise_out_of_range();

// After a failed conversion of argument `name`: an exception of exactly
// the type TypeError is replaced by "argument '{name}': {text}", keeping
// the first error's cause.  Other exceptions pass through.  Always false.
bool fail_argument(const char* name);

// Raises PanicException (created on first use) with `message`.
void raise_panic(const std::string& message);

// Runs a method body; no exception leaves it.  The core's internal fault
// becomes PanicException with its text; a size too large to store (a
// container's length_error) the same "capacity overflow" fault the core
// raises for it; exhausted memory MemoryError; anything else PanicException
// naming what was thrown.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    try {
      return body();
    } catch (const InternalFault& fault) {
      raise_panic(fault.message());
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    } catch (const std::length_error&) {
      raise_panic("capacity overflow");
    } catch (const std::exception& e) {
      raise_panic(std::string("unexpected internal error: ") + e.what());
    } catch (...) {
      raise_panic("unexpected internal error");
    }
  } catch (...) {
    // Raising itself failed (no memory for the message).
    PyErr_NoMemory();
  }
  return nullptr;
}

// ---- the interpreter lock ---------------------------------------------------

// Releases the interpreter lock while it lives and takes it back when it
// goes out of scope, on every path out, an exception's included: the lock
// is held again before any handler touches the C API or turns the
// exception into an interpreter one.  Between the two, only plain C++ may
// run: no interpreter object may be touched, and whatever the work reads
// must be kept alive and unchanged by references the caller holds (an
// index never changes; str and bytes arguments are immutable).
//
// While the interpreter shuts down, taking the lock back ends a thread
// other than the main one instead of returning (up to Python 3.13; later
// versions park the thread).  With glibc it ends the thread by unwinding
// its stack, which would end the whole process once it reached a frame
// that may not throw, such as this destructor.  That unwinding is caught
// here and the thread parked until the process exits, as later Pythons
// do; it holds no lock and touches nothing while it waits.
class ReleasedLock {
 public:
  ReleasedLock() : state_(PyEval_SaveThread()) {}
  ~ReleasedLock() {
    try {
      PyEval_RestoreThread(state_);
    } catch (...) {  // only the thread's ending can arrive here
      for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    }
  }
  ReleasedLock(const ReleasedLock&) = delete;
  ReleasedLock& operator=(const ReleasedLock&) = delete;

 private:
  PyThreadState* state_;
};

// Runs `work()`, with the interpreter lock released if `release`, and
// returns its result.  Releasing pays only for work longer than a few
// microseconds: a thread that gives the lock up must wait to take it back
// until the thread running Python code next lets it go, which beside a
// busy thread cut a loop of tiny queries from 366,000 calls a second to
// 6,000.
template <class Work>
decltype(auto) unlocked_if(bool release, Work&& work) {
  std::optional<ReleasedLock> released;
  if (release) released.emplace();
  return std::forward<Work>(work)();
}

// ---- conversion rules -----------------------------------------------------

// The value of an exact int held in a single digit (below 2^15 or 2^30),
// when `object` is one: these need no call into the interpreter, so their
// conversion runs no Python code.  False, with no error set, for anything
// else.
inline bool small_exact_int(PyObject* object, std::uint32_t& out) {
  if (!PyLong_CheckExact(object)) return false;
#if PY_VERSION_HEX >= 0x030C0000
  PyLongObject* value = reinterpret_cast<PyLongObject*>(object);
  if (!PyUnstable_Long_IsCompact(value)) return false;
  const Py_ssize_t v = PyUnstable_Long_CompactValue(value);
  if (v < 0) return false;
  out = static_cast<std::uint32_t>(v);
  return true;
#else
  const Py_ssize_t size = Py_SIZE(object);
  if (size == 0) {
    out = 0;
    return true;
  }
  if (size != 1) return false;
  out = static_cast<std::uint32_t>(reinterpret_cast<PyLongObject*>(object)->ob_digit[0]);
  return true;
#endif
}

// Unsigned-integer rule: an int (or anything with __index__) in 0..2^32-1.
bool to_u32(PyObject* object, std::uint32_t& out);

// Optional rule: None (or left out, a null `object`) is no value.
bool to_optional_u32(PyObject* object, std::optional<std::uint32_t>& out);

// Byte rule: an integer in 0..255.
bool to_byte(PyObject* object, std::uint8_t& out);

// String rule: a str, taken as UTF-8.  The view lives as long as `object`.
bool to_text(PyObject* object, std::string_view& out);

// A str's first character (0 for the empty string), by the string rule.
bool to_first_char(PyObject* object, std::uint32_t& out);

// Bytes rule: a bytes object (or subclass), read in place.
bool to_bytes_view(PyObject* object, std::span<const std::uint8_t>& out);

// Sequence rule.  `reserve(n)` is called once with the length the object
// reports (0 if it cannot tell); `element(item)` converts one borrowed item
// and returns false on failure.  Items are converted in iteration order and
// the first failure ends the conversion.
template <class Reserve, class Element>
bool to_sequence(PyObject* object, Reserve&& reserve, Element&& element) {
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(object)) {
    raise_wrong_type(object, "Sequence");
    return false;
  }
  if (PyList_CheckExact(object)) {
    reserve(static_cast<std::size_t>(PyList_GET_SIZE(object)));
    // Indexing the list directly is what its iterator does: the length is
    // read again at every step, in case a conversion changed the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(object); ++i) {
      PyRef item = PyRef::borrow(PyList_GET_ITEM(object, i));
      if (!element(item.get())) return false;
    }
    return true;
  }
  if (PyTuple_CheckExact(object)) {
    reserve(static_cast<std::size_t>(PyTuple_GET_SIZE(object)));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(object); ++i) {
      if (!element(PyTuple_GET_ITEM(object, i))) return false;
    }
    return true;
  }
  Py_ssize_t size = PySequence_Size(object);
  if (size < 0) {
    PyErr_Clear();
    size = 0;
  }
  // A reported length is only a hint: it need not match what iteration
  // yields, so it never reserves more than a modest amount up front.
  reserve(static_cast<std::size_t>(size < (1 << 16) ? size : (1 << 16)));
  PyRef iterator = PyRef::steal(PyObject_GetIter(object));
  if (!iterator) return false;
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    if (!element(item.get())) return false;
  }
  return !PyErr_Occurred();
}

}  // namespace tessaloom::py

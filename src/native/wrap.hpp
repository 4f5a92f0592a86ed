// Making `_tessaloom.PrefixSearch` objects from this module.
//
// The index class lives in `_tessaloom`; this module builds its records
// and hands them over.  Both modules are built from the same sources in
// one build, so the object layout is the same: `wrap_index` takes the
// class from `_tessaloom`, checks that it is the class this build expects
// (its name and its instance size), allocates an instance with the class's
// own allocator and moves the record into it.  `_tessaloom`'s deallocator
// destroys the record when the object dies.
#pragma once

#include <Python.h>

#include <new>
#include <stdexcept>

#include "fault.hpp"
#include "prefix/trie.hpp"

namespace tessaloom::native {

// A new PrefixSearch owning `trie`, or null with the error indicator set.
PyObject* wrap_index(Trie&& trie);

// The index of a PrefixSearch object, or null with TypeError set.
const Trie* index_of(PyObject* object);

// Raises the extension's PanicException with `message`.
void raise_panic(const char* message);

// Runs a binding's body: the core's internal fault becomes PanicException,
// exhausted memory MemoryError, and no other C++ exception gets past.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const InternalFault& fault) {
    raise_panic(fault.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "tessaloom._native: unexpected C++ exception");
  }
  return nullptr;
}

}  // namespace tessaloom::native

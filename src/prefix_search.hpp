// The PrefixSearch class: an interpreter object owning one index record.
#pragma once

#include <Python.h>

#include "prefix/trie.hpp"

namespace tessaloom::py {

struct PrefixSearchObject {
  PyObject_HEAD
  Trie trie;
};

// Creates the class object, once per process, from the module's entry point.
PyTypeObject* create_prefix_search_type();

// A new PrefixSearch owning `trie`, or null with the error indicator set.
PyObject* wrap_trie(Trie&& trie);

// Receiver rule: the index of `self`, or null with TypeError set.
const Trie* receiver(PyObject* self);

// The method definitions, in the class's order.
extern PyMethodDef prefix_search_methods[];

}  // namespace tessaloom::py

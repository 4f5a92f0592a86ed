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

#include "prefix/trie.hpp"

namespace tessaloom::native {

// A new PrefixSearch owning `trie`, or null with the error indicator set.
PyObject* wrap_index(Trie&& trie);

}  // namespace tessaloom::native

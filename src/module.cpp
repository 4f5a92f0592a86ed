// The module's entry point and the PrefixSearch type.
#include <Python.h>

#include <new>

#include "binding.hpp"
#include "prefix_search.hpp"

namespace tessaloom::py {

namespace {

PyTypeObject* the_type = nullptr;

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for PrefixSearch");
  return nullptr;
}

void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<PrefixSearchObject*>(self)->trie.~Trie();
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_methods, prefix_search_methods},
    {0, nullptr},
};

// The class declares no module of its own: its full name is that of a
// builtin type.
PyType_Spec spec = {
    "builtins.PrefixSearch",
    static_cast<int>(sizeof(PrefixSearchObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    slots,
};

}  // namespace

PyTypeObject* create_prefix_search_type() {
  the_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
  return the_type;
}

PyObject* wrap_trie(Trie&& trie) {
  PyTypeObject* type = the_type;
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&reinterpret_cast<PrefixSearchObject*>(self)->trie) Trie(std::move(trie));
  return self;
}

const Trie* receiver(PyObject* self) {
  if (self == nullptr || !PyObject_TypeCheck(self, the_type)) {
    raise_wrong_type(self ? self : Py_None, "PrefixSearch");
    return nullptr;
  }
  return &reinterpret_cast<PrefixSearchObject*>(self)->trie;
}

}  // namespace tessaloom::py

namespace {

// No per-module state (size 0, not -1): the interpreter then calls the
// entry point for every interpreter that imports the module, instead of
// handing a sub-interpreter a copy of the first one's module dictionary,
// so the guard below sees every import.  The module stays single-phase.
PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_tessaloom",
    "",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Set once, under the main interpreter's lock, by its first import.
PyObject* the_module = nullptr;

}  // namespace

// The module's objects belong to the main interpreter: any other
// interpreter is refused, whether it imports before or after the main one,
// and the main one's import is never spoilt by it.
PyMODINIT_FUNC PyInit__tessaloom(void) {
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError,
                    "_tessaloom does not support sub-interpreters: it can only be imported by the "
                    "main interpreter");
    return nullptr;
  }
  if (the_module != nullptr) {
    Py_INCREF(the_module);
    return the_module;
  }

  using tessaloom::py::PyRef;
  PyRef module = PyRef::steal(PyModule_Create(&module_definition));
  if (!module) return nullptr;
  PyRef type = PyRef::borrow(reinterpret_cast<PyObject*>(tessaloom::py::create_prefix_search_type()));
  if (!type) return nullptr;
  if (PyModule_AddObject(module.get(), "PrefixSearch", type.get()) < 0) return nullptr;
  type.release();  // the module holds it now; the type lives for the process
  the_module = module.get();
  Py_INCREF(the_module);  // kept for later calls of the entry point
  return module.release();
}

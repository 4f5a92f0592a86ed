// The module's entry point and the PrefixSearch type.
#include <Python.h>

#include <cstdint>
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

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_tessaloom",
    "",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Set once, under the interpreter lock, by the first import.
PyObject* the_module = nullptr;
std::int64_t first_interpreter = -1;

}  // namespace

PyMODINIT_FUNC PyInit__tessaloom(void) {
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (first_interpreter == -1) {
    first_interpreter = interpreter;
  } else if (interpreter != first_interpreter) {
    PyErr_SetString(PyExc_ImportError,
                    "_tessaloom does not support sub-interpreters: it can only be imported by the "
                    "interpreter that first imported it in this process");
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

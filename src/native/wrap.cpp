#include "wrap.hpp"

#include <cstring>
#include <new>
#include <utility>

#include "prefix_search.hpp"
#include "pyref.hpp"

namespace tessaloom::native {

namespace {

// `_tessaloom.PrefixSearch`, checked; a reference is kept for the process.
PyTypeObject* prefix_search_class() {
  static PyTypeObject* the_class = nullptr;
  if (the_class != nullptr) return the_class;
  using py::PyRef;
  PyRef module = PyRef::steal(PyImport_ImportModule("_tessaloom"));
  if (!module) return nullptr;
  PyRef object = PyRef::steal(PyObject_GetAttrString(module.get(), "PrefixSearch"));
  if (!object) return nullptr;
  if (!PyType_Check(object.get())) {
    PyErr_SetString(PyExc_ImportError, "_tessaloom.PrefixSearch is not a class");
    return nullptr;
  }
  auto* type = reinterpret_cast<PyTypeObject*>(object.get());
  if (std::strcmp(type->tp_name, "builtins.PrefixSearch") != 0 ||
      type->tp_basicsize != static_cast<Py_ssize_t>(sizeof(py::PrefixSearchObject)) || type->tp_alloc == nullptr) {
    PyErr_Format(PyExc_ImportError,
                 "tessaloom._native and _tessaloom come from different builds (PrefixSearch is %s of %zd bytes, "
                 "expected builtins.PrefixSearch of %zu)",
                 type->tp_name, type->tp_basicsize, sizeof(py::PrefixSearchObject));
    return nullptr;
  }
  the_class = reinterpret_cast<PyTypeObject*>(object.release());
  return the_class;
}

}  // namespace

PyObject* wrap_index(Trie&& trie) {
  PyTypeObject* type = prefix_search_class();
  if (type == nullptr) return nullptr;
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&reinterpret_cast<py::PrefixSearchObject*>(self)->trie) Trie(std::move(trie));
  return self;
}

void raise_panic(const char* message) {
  // The extension's own fault type, which the package knows how to find.
  using py::PyRef;
  PyRef package = PyRef::steal(PyImport_ImportModule("tessaloom"));
  PyRef type = package ? PyRef::steal(PyObject_CallMethod(package.get(), "_panic_exception", nullptr)) : PyRef();
  if (type) PyErr_SetString(type.get(), message);
}

const Trie* index_of(PyObject* object) {
  PyTypeObject* type = prefix_search_class();
  if (type == nullptr) return nullptr;
  if (!PyObject_TypeCheck(object, type)) {
    PyErr_Format(PyExc_TypeError, "index must be a PrefixSearch, got %s", Py_TYPE(object)->tp_name);
    return nullptr;
  }
  return &reinterpret_cast<py::PrefixSearchObject*>(object)->trie;
}

}  // namespace tessaloom::native

#include "binding.hpp"

#include "limits.hpp"

#include <string>
#include <vector>

namespace tessaloom::py {

namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'"
std::string list_names(const std::vector<const char*>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) text += ",";
      text += i + 1 == names.size() ? " and " : " ";
    }
    text += "'";
    text += names[i];
    text += "'";
  }
  return text;
}

}  // namespace

bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames, PyObject** out) {
  const std::size_t count = signature.names.size();
  const auto given = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
  if (given > count) {
    const char* verb = given == 1 ? "was" : "were";
    if (signature.required == count) {
      PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zu %s given",
                   signature.function, count, given, verb);
    } else {
      PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zu %s given",
                   signature.function, signature.required, count, given, verb);
    }
    return false;
  }
  for (std::size_t i = 0; i < count; ++i) out[i] = i < given ? args[i] : nullptr;

  const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, k);
    std::size_t slot = count;
    for (std::size_t i = 0; i < count; ++i) {
      if (PyUnicode_CompareWithASCIIString(name, signature.names[i]) == 0) {
        slot = i;
        break;
      }
    }
    if (slot == count) {
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", signature.function, name);
      return false;
    }
    if (out[slot] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%U'", signature.function, name);
      return false;
    }
    out[slot] = args[static_cast<std::size_t>(PyVectorcall_NARGS(nargsf)) + static_cast<std::size_t>(k)];
  }

  std::vector<const char*> missing;
  for (std::size_t i = 0; i < signature.required; ++i) {
    if (out[i] == nullptr) missing.push_back(signature.names[i]);
  }
  if (!missing.empty()) {
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", signature.function,
                 missing.size(), missing.size() == 1 ? "argument" : "arguments", list_names(missing).c_str());
    return false;
  }
  return true;
}

std::string type_name(PyObject* object) {
  PyRef name = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
  if (name && PyUnicode_Check(name.get())) {
    Py_ssize_t size = 0;
    if (const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size)) {
      return std::string(text, static_cast<std::size_t>(size));
    }
  }
  PyErr_Clear();
  return "<failed to extract type name>";
}

void raise_wrong_type(PyObject* object, const char* target) {
  const std::string name = type_name(object);
  PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", name.c_str(), target);
}

void raise_out_of_range() {
  PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
}

bool fail_argument(const char* name) {
#if PY_VERSION_HEX >= 0x030C0000
  PyRef error = PyRef::steal(PyErr_GetRaisedException());
  if (!error || Py_TYPE(error.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(error.release());
    return false;
  }
#else
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, traceback);
    return false;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback) PyException_SetTraceback(value, traceback);
  PyRef error = PyRef::steal(value);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  if (!error) return false;
#endif
  PyRef text = PyRef::steal(PyObject_Str(error.get()));
  if (!text) return false;
  PyRef replacement = PyRef::steal(PyObject_CallFunction(PyExc_TypeError, "N",
                                                         PyUnicode_FromFormat("argument '%s': %U", name, text.get())));
  if (!replacement) return false;
  PyException_SetCause(replacement.get(), PyException_GetCause(error.get()));
  PyErr_SetObject(PyExc_TypeError, replacement.get());
  return false;
}

void raise_panic(const std::string& message) {
  // Created on first use and kept for the life of the process.
  static PyObject* panic_type = nullptr;
  if (panic_type == nullptr) {
    panic_type = PyErr_NewExceptionWithDoc(
        "tessaloom.PanicException",
        "A failed internal check: the index's arrays are inconsistent.  Derives from\n"
        "BaseException so that ordinary `except Exception` handlers do not catch it.",
        PyExc_BaseException, nullptr);
    if (panic_type == nullptr) return;
  }
  PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return;
  PyErr_SetObject(panic_type, text.get());
}

bool to_u32(PyObject* object, std::uint32_t& out) {
  if (small_exact_int(object, out)) return true;
  unsigned long long value;
  if (PyLong_Check(object)) {
    value = PyLong_AsUnsignedLongLong(object);
  } else {
    PyRef index = PyRef::steal(PyNumber_Index(object));
    if (!index) return false;
    value = PyLong_AsUnsignedLongLong(index.get());
  }
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  if (value > kMaxU32) {
    raise_out_of_range();
    return false;
  }
  out = static_cast<std::uint32_t>(value);
  return true;
}

bool to_optional_u32(PyObject* object, std::optional<std::uint32_t>& out) {
  if (object == nullptr || object == Py_None) {
    out.reset();
    return true;
  }
  std::uint32_t value;
  if (!to_u32(object, value)) return false;
  out = value;
  return true;
}

bool to_byte(PyObject* object, std::uint8_t& out) {
  long value;
  if (PyLong_Check(object)) {
    value = PyLong_AsLong(object);
  } else {
    // Through __index__ only: before Python 3.10, PyLong_AsLong also took
    // floats (through __int__).
    PyRef index = PyRef::steal(PyNumber_Index(object));
    if (!index) return false;
    value = PyLong_AsLong(index.get());
  }
  if (value == -1 && PyErr_Occurred()) return false;
  if (value < 0 || value > 255) {
    raise_out_of_range();
    return false;
  }
  out = static_cast<std::uint8_t>(value);
  return true;
}

bool to_text(PyObject* object, std::string_view& out) {
  if (!PyUnicode_Check(object)) {
    raise_wrong_type(object, "PyString");
    return false;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &size);
  if (text == nullptr) return false;
  out = std::string_view(text, static_cast<std::size_t>(size));
  return true;
}

bool to_first_char(PyObject* object, std::uint32_t& out) {
  if (!PyUnicode_Check(object)) {
    raise_wrong_type(object, "PyString");
    return false;
  }
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_READY(object) < 0) return false;
#endif
  // Only the first character is kept, but a string that has no UTF-8 form
  // (lone surrogates) is refused whole, as the string rule says.
  if (!PyUnicode_IS_ASCII(object)) {
    Py_ssize_t size = 0;
    if (PyUnicode_AsUTF8AndSize(object, &size) == nullptr) return false;
  }
  out = PyUnicode_GET_LENGTH(object) > 0 ? PyUnicode_READ_CHAR(object, 0) : 0;
  return true;
}

bool to_bytes_view(PyObject* object, std::span<const std::uint8_t>& out) {
  if (!PyBytes_Check(object)) {
    raise_wrong_type(object, "PyBytes");
    return false;
  }
  out = {reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(object)),
         static_cast<std::size_t>(PyBytes_GET_SIZE(object))};
  return true;
}

}  // namespace tessaloom::py

// Mapped index files, for tessaloom.save and tessaloom.load.
#pragma once

#include <Python.h>

namespace tessaloom::native {

// write_mapped(index, fd): writes the index as a mapped index file to the
// file open for writing on `fd`, from its current position; returns the
// number of bytes written.  OSError on a failed write.
PyObject* write_mapped(PyObject* module, PyObject* args);

// open_mapped(fd, verify) -> PrefixSearch reading the regular file open on
// `fd` in place.  ValueError naming what is wrong with the file.
PyObject* open_mapped(PyObject* module, PyObject* args);

// checksum(data) -> the file format's checksum of a bytes object.
PyObject* checksum(PyObject* module, PyObject* args);

// index_facts(index) -> dict of counts and sizes.
PyObject* index_facts(PyObject* module, PyObject* args);

}  // namespace tessaloom::native

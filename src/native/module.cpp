// The entry point of `tessaloom._native`: the package's native helpers,
// built from the same core library as `_tessaloom`.
#include <Python.h>

#include "build.hpp"
#include "index_files.hpp"

namespace {

PyMethodDef functions[] = {
    {"build_entries", tessaloom::native::build_entries, METH_VARARGS,
     "build_entries(entries, video_top_n, progress) -> (index, terms, nodes, videos)"},
    {"build_stream", tessaloom::native::build_stream, METH_VARARGS,
     "build_stream(stream_capsule, video_top_n, progress) -> (index, terms, nodes, videos)"},
    {"build_batch", tessaloom::native::build_batch, METH_VARARGS,
     "build_batch(schema_capsule, array_capsule, video_top_n, progress) -> (index, terms, nodes, videos)"},
    {"build_columns", tessaloom::native::build_columns, METH_VARARGS,
     "build_columns(term, video_id, count, video_top_n, progress) -> (index, terms, nodes, videos)"},
    {"build_tsv", tessaloom::native::build_tsv, METH_VARARGS,
     "build_tsv(source, video_top_n, progress) -> (index, terms, nodes, videos)"},
    {"write_mapped", tessaloom::native::write_mapped, METH_VARARGS,
     "write_mapped(index, fd) -> bytes written: the index as a mapped index file"},
    {"open_mapped", tessaloom::native::open_mapped, METH_VARARGS,
     "open_mapped(fd, verify) -> PrefixSearch reading the mapped index file open on fd in place"},
    {"checksum", tessaloom::native::checksum, METH_VARARGS, "checksum(data) -> the mapped file format's checksum"},
    {"index_facts", tessaloom::native::index_facts, METH_VARARGS, "index_facts(index) -> dict of counts and sizes"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "tessaloom._native", "Native helpers of the tessaloom package.", -1, functions,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__native(void) { return PyModule_Create(&module_definition); }

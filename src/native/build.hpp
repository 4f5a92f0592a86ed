// The builder's functions, as the module `tessaloom._native` offers them.
// Each takes its input, `video_top_n` and a progress callback (or None),
// and returns (index, terms, nodes, videos).
#pragma once

#include <Python.h>

namespace tessaloom::native {

// build_entries(entries, video_top_n, progress): an iterable of
// (term, video_id, count).
PyObject* build_entries(PyObject* self, PyObject* args);
// build_stream(capsule, video_top_n, progress[, rows]): an Arrow C stream
// of record batches with the columns term, video_id and count; `rows`, the
// number of rows if the source tells it, sizes the builder's columns.
PyObject* build_stream(PyObject* self, PyObject* args);
// build_batch(schema, array, video_top_n, progress): one Arrow record batch
// (a struct array) given as its two capsules.
PyObject* build_batch(PyObject* self, PyObject* args);
// build_columns(term, video_id, count, video_top_n, progress): three
// parallel columns, each a tuple ("arrow", schema, array),
// ("stream", stream), ("buffer", memoryview) or ("sequence", object).
PyObject* build_columns(PyObject* self, PyObject* args);
// build_tsv(source, video_top_n, progress): TSV text from a file
// descriptor or a bytes-like object; progress gets (message, lines).
PyObject* build_tsv(PyObject* self, PyObject* args);

}  // namespace tessaloom::native

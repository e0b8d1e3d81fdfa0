// SHA-256 of description texts, taken by the interpreter's own hashlib.
#pragma once

#include "common/refs.hpp"

namespace tarvex::engine {

// content_hash(text): the module function.
PyObject* content_hash(PyObject* module, PyObject* text);
extern const char content_hash_doc[];

// The SHA-256 digest (bytes) of raw bytes, as content_hash gives it for their text.
PyObject* sha256_digest(PyObject* module, const char* data, Py_ssize_t size);

}  // namespace tarvex::engine

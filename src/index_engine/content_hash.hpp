// SHA-256 of description texts, taken by the interpreter's own hashlib.
#pragma once

#include "common/refs.hpp"

namespace tarvex::engine {

// The SHA-256 digest (bytes) of raw bytes: the text_hash of a description
// whose UTF-8 text they are.
PyObject* sha256_digest(PyObject* module, const char* data, Py_ssize_t size);

}  // namespace tarvex::engine

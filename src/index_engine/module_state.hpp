// What the engine module keeps per module object, and the entry points that
// its source units give the module definition.
#pragma once

#include <optional>
#include <string>

#include "common/refs.hpp"

namespace tarvex::engine {

struct ModuleState {
    PyObject* scanner_type;  // strong reference, made at exec time
    PyObject* sha256;        // strong reference to hashlib.sha256, fetched on first use
};

ModuleState* module_state(PyObject* module) noexcept;

// module.cpp: the Python values of what a read gave: the text ('' for none;
// it is valid UTF-8) and the real path (None for none).
PyObject* text_object(const std::optional<std::string>& text);
Owned real_path_object(const std::optional<std::string>& real_path);

// scanner_object.cpp: creates the Scanner type and adds it to the module.
int add_scanner_type(PyObject* module);

// content_hash.cpp
PyObject* content_hash(PyObject* module, PyObject* text);
// The SHA-256 digest (bytes) of raw bytes, as content_hash gives it for their text.
PyObject* sha256_digest(PyObject* module, const char* data, Py_ssize_t size);
extern const char content_hash_doc[];

}  // namespace tarvex::engine

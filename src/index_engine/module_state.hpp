// What the engine module keeps per module object, and the entry points that
// its source units give the module definition.
#pragma once

#include "common/refs.hpp"

namespace tarvex::engine {

struct ModuleState {
    PyObject* scanner_type;  // strong reference, made at exec time
    PyObject* sha256;        // strong reference to hashlib.sha256, fetched on first use
};

ModuleState* module_state(PyObject* module) noexcept;

// scanner_object.cpp: creates the Scanner type and adds it to the module.
int add_scanner_type(PyObject* module);

// content_hash.cpp
PyObject* content_hash(PyObject* module, PyObject* text);
extern const char content_hash_doc[];

}  // namespace tarvex::engine

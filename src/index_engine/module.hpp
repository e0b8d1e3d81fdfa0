// The engine module: what it keeps per module object, and the Python values
// of what a read gave, which the module's functions and the Scanner share.
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

// The Python values of what a read gave: the text ('' for none; it is valid
// UTF-8) and the real path (None for none).
PyObject* text_object(const std::optional<std::string>& text);
Owned real_path_object(const std::optional<std::string>& real_path);

}  // namespace tarvex::engine

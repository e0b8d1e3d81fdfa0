// The Scanner type: one corpus folder's listing and what it remembers of it.
#pragma once

#include "common/refs.hpp"

namespace tarvex::engine {

// Creates the Scanner type and adds it to the module.
int add_scanner_type(PyObject* module);

}  // namespace tarvex::engine

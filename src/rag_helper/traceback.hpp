// Traceback entries that exceptions carry when they leave the module's
// functions, named after the module's source lines.
#pragma once

#include "common/refs.hpp"

namespace tarvex {

// Push an entry for `function_name` at `line` onto the pending exception, as
// the interpreter does when an exception leaves a Python frame.  The code
// objects are made on first use and kept, one per name and line.
void add_traceback(const char* function_name, int line);

}  // namespace tarvex

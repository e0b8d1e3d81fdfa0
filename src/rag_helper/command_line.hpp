// The command-line block at the end of the module body.
#pragma once

#include "rag_helper/steps.hpp"

namespace tarvex {

// Runs the block for a module executed as main.  On failure returns false
// with the exception set and the failing source line in `steps`.
bool run_command_line(Steps& steps);

}  // namespace tarvex

// The command-line block at the end of the module body.
#pragma once

namespace tarvex {

// Runs the block for a module executed as main.  On failure returns false
// with the exception set and the failing source line in *failed_line.
bool run_command_line(int* failed_line);

}  // namespace tarvex

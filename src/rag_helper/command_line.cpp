// Command-line entry: placeholder until the command-line run lands.
#include "module_shell.hpp"

namespace tarvex {

bool run_command_line(int* failed_line) {
    (void)failed_line;
    return true;
}

}  // namespace tarvex

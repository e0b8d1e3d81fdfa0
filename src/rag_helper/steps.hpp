// The failure vocabulary of the function bodies.  A body is a sequence of
// steps, each named by its source line.  A step hands its result through
// `steps.at(line, result)`: when the result says "failed" (a null reference
// with the exception set, or a negative status), the line is remembered, and
// the function's boundary adds the one traceback entry for it.  The first
// failure counts: later steps that only pass it on (see calls.hpp) keep its
// line.  Nothing is thrown: on success a step costs one test of its result.
#pragma once

#include "common/refs.hpp"

namespace tarvex {

class Steps {
public:
    Owned at(int line, Owned result) noexcept {
        failed_unless(line, static_cast<bool>(result));
        return result;
    }
    // A truth value or comparison: 1, 0, or -1 when it failed.
    int at(int line, int status) noexcept {
        failed_unless(line, status >= 0);
        return status;
    }
    bool at(int line, bool succeeded) noexcept {
        failed_unless(line, succeeded);
        return succeeded;
    }

    // The line of the failed step; 0 while none failed or once the entry for
    // it was added (by a handler that caught the exception).
    int failed_line() const noexcept { return failed_line_; }
    void reported() noexcept { failed_line_ = 0; }

private:
    void failed_unless(int line, bool succeeded) noexcept {
        if (!succeeded && failed_line_ == 0) {
            failed_line_ = line;
        }
    }

    int failed_line_ = 0;
};

}  // namespace tarvex

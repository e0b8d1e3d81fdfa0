// The failure vocabulary of the function bodies.  A body is a sequence of
// steps, each named by its source line.  A step hands its result through
// `steps.at(line, result)`: when the result says "failed" (a null reference
// with the exception set, or a negative status), the line is remembered, and
// the function's boundary adds the one traceback entry for it.  The first
// failure counts: later steps that only pass it on (see calls.hpp) keep its
// line.  Nothing is thrown: on success a step costs one test of its result.
//
// The line numbers (the k...Line constants beside each function body) are part
// of the module's traceback contract: a traceback through the module names the
// file "tarvex/rag_helper", the function and the line of the step that failed,
// and callers, tests and the reference's own tracebacks agree on those numbers.
// Each constant must stay the line its step has in the module's source layout
// (the function's first line is its code object's co_firstlineno); the traceback
// tests pin every one of them.  Never renumber one to tidy the code.
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

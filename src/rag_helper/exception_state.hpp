// Exception state held for the length of a scope: the exception a handler
// is handling, and an exception on its way out while other work runs.
#pragma once

#include "common/refs.hpp"

namespace tarvex {

// Makes `caught` the handled exception (what `sys.exception()` shows) for
// the life of the scope, as an `except` clause or a `with` exit does, and
// puts back the previous entry when the scope ends.
//
// It saves the innermost entry exactly as stored: PyErr_GetHandledException()
// looks past an empty innermost entry (a generator's own) to an outer one,
// and restoring that would plant the outer exception in the generator.
class HandledExceptionScope {
public:
    // Only puts the entry back when the scope ends.
    HandledExceptionScope() noexcept : saved_(Owned::share(PyThreadState_Get()->exc_info->exc_value)) {}
    explicit HandledExceptionScope(Borrowed caught) noexcept
        : saved_(Owned::share(PyThreadState_Get()->exc_info->exc_value)) {
        PyErr_SetHandledException(caught);
    }
    HandledExceptionScope(const HandledExceptionScope&) = delete;
    HandledExceptionScope& operator=(const HandledExceptionScope&) = delete;
    ~HandledExceptionScope() { PyErr_SetHandledException(saved_.get()); }

private:
    Owned saved_;
};

// Takes the raised exception out of the thread state so that other calls can
// run, and raises it again when the scope ends unless it was taken over.
class PendingException {
public:
    PendingException() noexcept : raised_(Owned::steal(PyErr_GetRaisedException())) {}
    PendingException(const PendingException&) = delete;
    PendingException& operator=(const PendingException&) = delete;
    ~PendingException() {
        if (raised_) {
            PyErr_SetRaisedException(raised_.release());
        }
    }

    Borrowed get() const noexcept { return raised_.borrow(); }
    // The exception is dealt with: it is not raised again.
    Owned take() noexcept { return std::move(raised_); }

private:
    Owned raised_;
};

}  // namespace tarvex

// Calls into the interpreter that pass a failure on: given a null operand
// (an earlier call failed, its exception set) they make no call and return
// null, so that a step can chain several calls and test once.  Operands are
// evaluated by C++ in no fixed order, so only one operand of a call may be an
// expression that can fail; the others are values already made.
#pragma once

#include <cstddef>

#include "common/refs.hpp"

namespace tarvex {

template <class... Arguments>
Owned call(Borrowed callable, const Arguments&... arguments) {
    // The first slot is free for the callee to use (PY_VECTORCALL_ARGUMENTS_OFFSET).
    PyObject* items[] = {nullptr, Borrowed(arguments).get()...};
    if (!callable) {
        return Owned();
    }
    for (std::size_t k = 1; k <= sizeof...(arguments); ++k) {
        if (items[k] == nullptr) {
            return Owned();
        }
    }
    return Owned::steal(
        PyObject_Vectorcall(callable, items + 1, sizeof...(arguments) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

template <class... Arguments>
Owned call_method(Borrowed self, PyObject* name, const Arguments&... arguments) {
    PyObject* items[] = {self.get(), Borrowed(arguments).get()...};
    for (PyObject* item : items) {
        if (item == nullptr) {
            return Owned();
        }
    }
    return Owned::steal(PyObject_VectorcallMethod(name, items, 1 + sizeof...(arguments), nullptr));
}

inline Owned attribute(Borrowed object, PyObject* name) {
    return object ? Owned::steal(PyObject_GetAttr(object, name)) : Owned();
}

inline Owned item(Borrowed container, Borrowed key) {
    return container && key ? Owned::steal(PyObject_GetItem(container, key)) : Owned();
}

inline Owned iterate(Borrowed object) { return object ? Owned::steal(PyObject_GetIter(object)) : Owned(); }

// format(value, spec)
inline Owned format(Borrowed value, PyObject* spec) {
    return value ? Owned::steal(PyObject_Format(value, spec)) : Owned();
}

// The standard truth test: 1, 0, or -1 on failure (also for a null operand).
inline int truth(Borrowed object) { return object ? PyObject_IsTrue(object) : -1; }

}  // namespace tarvex

// An int argument read as a 64-bit number, with overflow reported rather than
// raised, so that each caller decides what an outsized value means.
#pragma once

#include "common/refs.hpp"

namespace tarvex::engine {

struct IntArgument {
    long long value = 0;
    int overflow = 0;  // -1 or 1 when the int lies beyond a long long
};

// False, with TypeError set, for anything but an int.
inline bool read_int_argument(PyObject* object, const char* name, IntArgument& out) {
    if (!PyLong_Check(object)) {
        PyErr_Format(PyExc_TypeError, "%s must be an int, not %.200s", name, Py_TYPE(object)->tp_name);
        return false;
    }
    out.value = PyLong_AsLongLongAndOverflow(object, &out.overflow);
    return !(out.value == -1 && PyErr_Occurred());
}

}  // namespace tarvex::engine

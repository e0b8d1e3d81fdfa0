// An int argument read as a 64-bit number, with overflow reported rather than
// raised, so that each caller decides what an outsized value means.
#pragma once

#include <cstdint>
#include <limits>

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

// A max_chars argument as the bounded readers take it.  A text stream cannot
// be asked for max_chars + 1 characters beyond its size range, so such limits
// read nothing (-1), and so do far negative ones, which cut everything away.
inline bool read_max_chars(PyObject* object, std::int64_t& out) {
    IntArgument limit;
    if (!read_int_argument(object, "max_chars", limit)) {
        return false;
    }
    const bool outsized = limit.overflow != 0 || limit.value == std::numeric_limits<long long>::max();
    out = outsized ? -1 : limit.value;
    return true;
}

}  // namespace tarvex::engine

// Statements that several function bodies perform, done the way the
// interpreter does them: `from module import name`, slicing, and the walk of
// a `for` loop.
#pragma once

#include <initializer_list>

#include "common/refs.hpp"

namespace tarvex {

// The import call of `from module_name import names...` (absolute, with the
// module globals and a new empty dict as locals); returns the module.
Owned import_from(PyObject* module_name, std::initializer_list<PyObject*> names);

// One name of that statement: the module's attribute, else the submodule
// entered in sys.modules as "module_name.name"; else ImportError
// "cannot import name %S".
Owned imported_name(PyObject* module, PyObject* module_name, PyObject* name);

// `value[slice]`; an object without subscription raises TypeError
// "'%.200s' object is unsliceable".
inline Owned slice_of(PyObject* value, PyObject* slice) {
    PyMappingMethods* mapping = Py_TYPE(value)->tp_as_mapping;
    if (mapping == nullptr || mapping->mp_subscript == nullptr) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is unsliceable", Py_TYPE(value)->tp_name);
        return Owned();
    }
    return Owned::steal(PyObject_GetItem(value, slice));
}

// The walk of `for item in sequence`: a list or tuple by index (a list's
// length read again before every step, since the body may change it), any
// other object through its iterator.  `visit(item)` returns false with an
// exception set to stop; returns false on any failure.
template <class Visit>
bool for_each_item(PyObject* sequence, Visit&& visit) {
    if (PyList_CheckExact(sequence) || PyTuple_CheckExact(sequence)) {
        const bool is_list = PyList_CheckExact(sequence);
        for (Py_ssize_t index = 0;; ++index) {
            const Py_ssize_t size = is_list ? PyList_GET_SIZE(sequence) : PyTuple_GET_SIZE(sequence);
            if (index >= size) {
                return true;
            }
            Owned item = Owned::share(is_list ? PyList_GET_ITEM(sequence, index) : PyTuple_GET_ITEM(sequence, index));
            if (!visit(item.get())) {
                return false;
            }
        }
    }
    Owned iterator = Owned::steal(PyObject_GetIter(sequence));
    if (!iterator) {
        return false;
    }
    while (Owned item = Owned::steal(PyIter_Next(iterator.get()))) {
        if (!visit(item.get())) {
            return false;
        }
    }
    return !PyErr_Occurred();
}

}  // namespace tarvex

// The module's process-wide state: the constants and builtins made once at
// load, and the module globals that the functions read and write by name.
#include "rag_helper/module_state.hpp"

#include <initializer_list>

#include "rag_helper/names.hpp"

namespace tarvex {

Constants constants;
CachedBuiltins cached_builtins;

namespace {

PyObject* globals_dict = nullptr;  // borrowed from the adopted module
PyObject* builtins_module = nullptr;

Interned str_print("print");
Interned str_enumerate("enumerate");
Interned str_file_not_found_error("FileNotFoundError");
Interned str_zip("zip");
Interned str_sorted("sorted");
Interned str_default_model(kDefaultModelName);
Interned str_encoding("encoding");
Interned str_errors("errors");

PyObject* new_tuple(std::initializer_list<PyObject*> items) {
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
    if (tuple == nullptr) {
        return nullptr;
    }
    Py_ssize_t index = 0;
    for (PyObject* item : items) {
        PyTuple_SET_ITEM(tuple, index++, Py_NewRef(item));
    }
    return tuple;
}

}  // namespace

bool make_base_constants() {
    if (constants.empty_tuple == nullptr) {
        constants.empty_tuple = PyTuple_New(0);
        constants.empty_bytes = PyBytes_FromStringAndSize("", 0);
        constants.empty_str = PyUnicode_FromStringAndSize("", 0);
        if (!constants.empty_tuple || !constants.empty_bytes || !constants.empty_str) {
            return false;
        }
    }
    if (!Interned::make_all()) {
        return false;
    }
    if (constants.int_0 == nullptr) {
        constants.int_0 = PyLong_FromLong(0);
        constants.int_1 = PyLong_FromLong(1);
        constants.int_10 = PyLong_FromLong(10);
        constants.preview_chars = PyLong_FromLong(kPreviewChars);
        constants.read_limit_chars = PyLong_FromLong(kReadLimitChars);
        if (!constants.int_0 || !constants.int_1 || !constants.int_10 || !constants.preview_chars ||
            !constants.read_limit_chars) {
            return false;
        }
    }
    return true;
}

bool fetch_builtins() {
    PyObject** const destinations[] = {
        &cached_builtins.print, nullptr, &cached_builtins.file_not_found_error, &cached_builtins.zip,
        &cached_builtins.sorted};
    Interned* const names[] = {&str_print, &str_enumerate, &str_file_not_found_error, &str_zip, &str_sorted};
    PyObject* fetched[5] = {};
    for (int k = 0; k < 5; ++k) {
        fetched[k] = PyObject_GetAttr(builtins_module, names[k]->get());
        if (fetched[k] == nullptr) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_NameError, "name '%U' is not defined", names[k]->get());
            }
            for (int j = 0; j < k; ++j) {
                Py_DECREF(fetched[j]);
            }
            return false;
        }
    }
    for (int k = 0; k < 5; ++k) {
        if (destinations[k] == nullptr) {
            Py_DECREF(fetched[k]);
        } else {
            Py_XSETREF(*destinations[k], fetched[k]);
        }
    }
    return true;
}

bool make_constant_tuples() {
    if (constants.none_triple != nullptr) {
        return true;
    }
    Owned newline = Owned::steal(PyUnicode_FromString("\n"));
    Owned space = Owned::steal(PyUnicode_FromString(" "));
    if (!newline || !space) {
        return false;
    }
    constants.none_triple = new_tuple({Py_None, Py_None, Py_None});
    constants.preview_slice = PySlice_New(Py_None, constants.preview_chars, Py_None);
    constants.newline_to_space = new_tuple({newline.get(), space.get()});
    constants.read_text_defaults = new_tuple({constants.read_limit_chars});
    constants.rank_defaults = new_tuple({Py_None, constants.int_10, str_default_model.get()});
    constants.argv_tail_slice = PySlice_New(constants.int_1, Py_None, Py_None);
    constants.open_keywords = PyTuple_Pack(2, str_encoding.get(), str_errors.get());
    return constants.none_triple && constants.preview_slice && constants.newline_to_space &&
           constants.read_text_defaults && constants.rank_defaults && constants.argv_tail_slice &&
           constants.open_keywords;
}

Borrowed module_globals() noexcept { return Borrowed(globals_dict); }

bool attach_globals(PyObject* module) {
    globals_dict = PyModule_GetDict(module);
    if (globals_dict == nullptr) {
        return false;
    }
    Py_XSETREF(builtins_module, PyImport_ImportModule("builtins"));
    return builtins_module != nullptr && PyObject_SetAttrString(module, "__builtins__", builtins_module) == 0;
}

void detach_globals() noexcept { globals_dict = nullptr; }

Owned lookup_global(PyObject* name) {
    PyObject* value = nullptr;
    if (globals_dict != nullptr && PyDict_GetItemRef(globals_dict, name, &value) < 0) {
        return Owned();
    }
    if (value != nullptr) {
        return Owned::steal(value);
    }
    if (builtins_module != nullptr) {
        if (PyObject_GetOptionalAttr(builtins_module, name, &value) < 0) {
            return Owned();
        }
        if (value != nullptr) {
            return Owned::steal(value);
        }
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Owned();
}

bool bind_global(PyObject* name, PyObject* value) { return PyDict_SetItem(globals_dict, name, value) == 0; }

}  // namespace tarvex

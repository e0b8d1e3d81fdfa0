// `from module import name`, done the way the interpreter does it.
#include "rag_helper/statements.hpp"

#include "rag_helper/module_state.hpp"

namespace tarvex {

Owned import_from(PyObject* module_name, std::initializer_list<PyObject*> names) {
    Owned fromlist = Owned::steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
    Owned locals = Owned::steal(PyDict_New());
    if (!fromlist || !locals) {
        return Owned();
    }
    Py_ssize_t index = 0;
    for (PyObject* name : names) {
        PyList_SET_ITEM(fromlist.get(), index++, Py_NewRef(name));
    }
    return Owned::steal(PyImport_ImportModuleLevelObject(module_name, module_globals().get(), locals.get(), fromlist.get(), 0));
}

Owned imported_name(PyObject* module, PyObject* module_name, PyObject* name) {
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttr(module, name, &value) != 0) {
        return Owned::steal(value);  // found, or an error other than AttributeError
    }
    Owned full_name = Owned::steal(PyUnicode_FromFormat("%U.%U", module_name, name));
    if (!full_name || PyDict_GetItemRef(PyImport_GetModuleDict(), full_name.get(), &value) < 0) {
        return Owned();
    }
    if (value == nullptr) {
        PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    }
    return Owned::steal(value);
}

}  // namespace tarvex

// SHA-256 of description texts, computed by the interpreter's own hashlib.
#include "index_engine/content_hash.hpp"

#include "index_engine/module.hpp"

namespace tarvex::engine {

namespace {

PyObject* sha256_constructor(ModuleState* state) {
    if (state->sha256 == nullptr) {
        Owned hashlib = Owned::steal(PyImport_ImportModule("hashlib"));
        if (!hashlib) {
            return nullptr;
        }
        state->sha256 = PyObject_GetAttrString(hashlib.get(), "sha256");
    }
    return state->sha256;
}

}  // namespace

PyObject* sha256_digest(PyObject* module, const char* data, Py_ssize_t size) {
    PyObject* sha256 = sha256_constructor(module_state(module));
    if (sha256 == nullptr) {
        return nullptr;
    }
    // Hash the bytes in place; the view is released before they can go, so
    // nothing that kept it could read freed memory.
    Owned view = Owned::steal(PyMemoryView_FromMemory(const_cast<char*>(data), size, PyBUF_READ));
    if (!view) {
        return nullptr;
    }
    Owned hasher = Owned::steal(PyObject_CallOneArg(sha256, view.get()));
    PyObject* failure = PyErr_GetRaisedException();
    Owned released = Owned::steal(PyObject_CallMethod(view.get(), "release", nullptr));
    if (failure != nullptr) {
        PyErr_Clear();
        PyErr_SetRaisedException(failure);
        return nullptr;
    }
    if (!released) {
        return nullptr;
    }
    return PyObject_CallMethod(hasher.get(), "digest", nullptr);
}

}  // namespace tarvex::engine

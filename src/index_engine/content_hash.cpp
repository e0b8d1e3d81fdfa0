// content_hash(text): SHA-256 of a text's UTF-8 encoding (lone surrogates
// passed through), computed by the interpreter's own hashlib.
#include "index_engine/content_hash.hpp"

#include "index_engine/module.hpp"

namespace tarvex::engine {

const char content_hash_doc[] =
    "content_hash(text, /)\n--\n\n"
    "SHA-256 digest (32 bytes) of the text encoded as UTF-8, lone surrogates included\n"
    "as 'surrogatepass' encodes them.";

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

PyObject* content_hash(PyObject* module, PyObject* text) {
    if (!PyUnicode_Check(text)) {
        PyErr_Format(PyExc_TypeError, "content_hash() argument must be str, not %.200s", Py_TYPE(text)->tp_name);
        return nullptr;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    Owned encoded;  // only for texts holding lone surrogates
    if (utf8 == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
            return nullptr;
        }
        PyErr_Clear();
        encoded = Owned::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
        if (!encoded) {
            return nullptr;
        }
        utf8 = PyBytes_AS_STRING(encoded.get());
        size = PyBytes_GET_SIZE(encoded.get());
    }
    return sha256_digest(module, utf8, size);
}

}  // namespace tarvex::engine

// Interned strings: the registry that makes every declared one at load.
#include "rag_helper/names.hpp"

#include <cstring>

namespace tarvex {

namespace {
Interned* interned_head = nullptr;
}

Interned::Interned(const char* text, std::size_t length) noexcept
    : text_(text), length_(length == std::size_t(-1) ? std::strlen(text) : length), next_(interned_head) {
    interned_head = this;
}

bool Interned::make_all() {
    for (Interned* entry = interned_head; entry != nullptr; entry = entry->next_) {
        if (entry->object_ != nullptr) {
            continue;
        }
        PyObject* text = PyUnicode_FromStringAndSize(entry->text_, static_cast<Py_ssize_t>(entry->length_));
        if (text == nullptr) {
            return false;
        }
        PyUnicode_InternInPlace(&text);
        if (PyObject_Hash(text) == -1) {
            Py_DECREF(text);
            return false;
        }
        entry->object_ = text;
    }
    return true;
}

}  // namespace tarvex

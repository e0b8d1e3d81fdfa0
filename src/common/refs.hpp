// Ownership vocabulary for CPython references.
//
// `Borrowed` is a plain view: it never touches the reference count and must
// not outlive whoever owns the object.  `Owned` holds exactly one strong
// reference and drops it when it goes out of scope, so every early return on
// an error path releases what the function took.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tarvex {

class Owned;

class Borrowed {
public:
    constexpr Borrowed() noexcept = default;
    constexpr Borrowed(PyObject* object) noexcept : object_(object) {}
    // A view of what an Owned holds, valid while that Owned keeps it.
    Borrowed(const Owned& owner) noexcept;

    PyObject* get() const noexcept { return object_; }
    operator PyObject*() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    PyObject* object_ = nullptr;
};

class Owned {
public:
    constexpr Owned() noexcept = default;
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Owned(Owned&& other) noexcept : object_(other.release()) {}
    Owned& operator=(Owned&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    ~Owned() { Py_XDECREF(object_); }

    // Adopt a new reference, typically the result of an API call (may be null).
    [[nodiscard]] static Owned steal(PyObject* object) noexcept { return Owned(object); }
    // Take an extra reference to an object someone else owns.
    [[nodiscard]] static Owned share(Borrowed object) noexcept {
        Py_XINCREF(object.get());
        return Owned(object.get());
    }

    PyObject* get() const noexcept { return object_; }
    Borrowed borrow() const noexcept { return Borrowed(object_); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // Hand the reference over to the caller (for returning to the interpreter).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    // Replace the held object with a new reference, dropping the old one last
    // so that destructors running arbitrary code see a consistent state.
    void reset(PyObject* object = nullptr) noexcept {
        PyObject* old = std::exchange(object_, object);
        Py_XDECREF(old);
    }

private:
    explicit Owned(PyObject* object) noexcept : object_(object) {}

    PyObject* object_ = nullptr;
};

inline Borrowed::Borrowed(const Owned& owner) noexcept : object_(owner.get()) {}

// Return a new reference to an object we only borrow.
inline PyObject* new_ref(Borrowed object) noexcept { return Py_NewRef(object.get()); }

}  // namespace tarvex

// The module's process-wide state: the constants and builtins made once at
// load, and the module globals that the functions read and write by name.
#pragma once

#include "common/description_rules.hpp"
#include "common/refs.hpp"

namespace tarvex {

// Objects shared by every call, made once by the module body.  All are
// immortal for our purposes: the module has no teardown.
struct Constants {
    PyObject* empty_tuple = nullptr;
    PyObject* empty_bytes = nullptr;
    PyObject* empty_str = nullptr;
    PyObject* int_0 = nullptr;
    PyObject* int_1 = nullptr;
    PyObject* int_10 = nullptr;
    PyObject* preview_chars = nullptr;      // kPreviewChars
    PyObject* read_limit_chars = nullptr;   // kReadLimitChars
    PyObject* none_triple = nullptr;        // (None, None, None): __exit__ arguments
    PyObject* preview_slice = nullptr;      // slice(None, kPreviewChars, None)
    PyObject* newline_to_space = nullptr;   // ("\n", " ")
    PyObject* read_text_defaults = nullptr; // (kReadLimitChars,)
    PyObject* rank_defaults = nullptr;      // (None, 10, default model name)
    PyObject* argv_tail_slice = nullptr;    // slice(1, None, None)
    PyObject* open_keywords = nullptr;      // ("encoding", "errors"): keyword names of a file's open
};
extern Constants constants;

// Builtins fetched once at load; rebinding the names later changes nothing.
struct CachedBuiltins {
    PyObject* print = nullptr;
    PyObject* file_not_found_error = nullptr;
    PyObject* zip = nullptr;
    PyObject* sorted = nullptr;
};
extern CachedBuiltins cached_builtins;

// Name shown for the module in tracebacks and given as `__module__`.
inline constexpr const char kModuleQualifiedName[] = "tarvex.rag_helper";
// The file name of every code object of the module.
inline constexpr const char kSourceFileName[] = "tarvex/rag_helper";

// The module dictionary of the running module (borrowed; set at load).
Borrowed module_globals() noexcept;

// Makes the dictionary of `module` the module globals and gives it
// `__builtins__`; false with an exception set.  Detaching forgets them.
bool attach_globals(PyObject* module);
void detach_globals() noexcept;

// The empty objects and small ints, then every interned string (load, before
// the module body).
bool make_base_constants();
// The builtins the functions call, fetched as the body's globals see them.
bool fetch_builtins();
// The constant tuples and slices of the function bodies.
bool make_constant_tuples();

// Look a name up in the module globals, then in builtins, as a global name
// lookup of Python code does.  Raises NameError "name '%U' is not defined".
Owned lookup_global(PyObject* name);

// Store into the module dictionary.
bool bind_global(PyObject* name, PyObject* value);

}  // namespace tarvex

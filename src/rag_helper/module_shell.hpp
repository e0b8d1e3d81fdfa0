// What the module shell offers the other units: interned strings and
// constants made once at load, the native function objects with their
// argument binding, traceback entries, and name lookup in the module globals.
#pragma once

#include "common/refs.hpp"

#include <cstddef>
#include <initializer_list>

namespace tarvex {

// ---------------------------------------------------------------------------
// Constants

// An interned string made once while the module body runs.  Units declare the
// identifiers and literals they use as file-level `static Interned` objects;
// the constructor only records the text, so nothing is allocated before the
// interpreter is ready.
class Interned {
public:
    explicit Interned(const char* text, std::size_t length = std::size_t(-1)) noexcept;
    Interned(const Interned&) = delete;
    Interned& operator=(const Interned&) = delete;

    PyObject* get() const noexcept { return object_; }
    operator PyObject*() const noexcept { return object_; }
    const char* text() const noexcept { return text_; }

    // Creates every registered string (once per process).
    static bool make_all();

private:
    const char* text_;
    std::size_t length_;
    PyObject* object_ = nullptr;
    Interned* next_;
};

// Objects shared by every call, made once by the module body.  All are
// immortal for our purposes: the module has no teardown.
struct Constants {
    PyObject* empty_tuple = nullptr;
    PyObject* empty_bytes = nullptr;
    PyObject* empty_str = nullptr;
    PyObject* int_0 = nullptr;
    PyObject* int_1 = nullptr;
    PyObject* int_10 = nullptr;
    PyObject* int_300 = nullptr;
    PyObject* int_100000 = nullptr;
    PyObject* none_triple = nullptr;        // (None, None, None): __exit__ arguments
    PyObject* preview_slice = nullptr;      // slice(None, 300, None)
    PyObject* newline_to_space = nullptr;   // ("\n", " ")
    PyObject* read_text_defaults = nullptr; // (100000,)
    PyObject* rank_defaults = nullptr;      // (None, 10, default model name)
    PyObject* argv_tail_slice = nullptr;    // slice(1, None, None)
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

// The text of the default embedding model name, shared by the defaults and
// the ranking unit.
inline constexpr const char default_model_name[] = "sentence-transformers/all-MiniLM-L6-v2";
// Name shown for the module in tracebacks and given as `__module__`.
inline constexpr const char module_qualified_name[] = "tarvex.rag_helper";
// The file name of every code object of the module.
inline constexpr const char source_file_name[] = "tarvex/rag_helper";

// ---------------------------------------------------------------------------
// Module globals

// The module dictionary of the running module (borrowed; set at load).
Borrowed module_globals() noexcept;

// Look a name up in the module globals, then in builtins, as a global name
// lookup of Python code does.  Raises NameError "name '%U' is not defined".
Owned lookup_global(PyObject* name);

// Store into the module dictionary.
bool bind_global(PyObject* name, PyObject* value);

// ---------------------------------------------------------------------------
// Traceback entries

// Push an entry for `function_name` at `line` onto the pending exception, as
// the interpreter does when an exception leaves a Python frame.  The code
// objects are made on first use and kept, one per name and line.
void add_traceback(const char* function_name, int line);

// ---------------------------------------------------------------------------
// Function objects

enum class ExactType { any, str, int_ };

struct Parameter {
    Interned* name;
    ExactType test = ExactType::any;
};

class FunctionObject;

// The body receives the bound arguments in parameter order (borrowed) and
// returns a new reference or null with an exception set.
using FunctionBody = PyObject* (*)(FunctionObject* self, PyObject* const* args);

struct FunctionSpec {
    const char* binding_name;     // the name in binding messages ("lambda1" for the sort key)
    const char* name;             // __name__
    const char* qualname;         // __qualname__
    const char* traceback_name;   // function name of traceback entries
    int first_line;
    const Parameter* parameters;
    int parameter_count;
    // Address of the constant tuple of defaults of the trailing optional
    // parameters (null for none).  Binding reads this constant, never the
    // function's `__defaults__` attribute.
    PyObject** defaults;
    // The code object's local names, separated by spaces: the variables,
    // parameters first (varnames), then those that a nested function reads
    // (cellvars), then those this function reads from its enclosing one
    // (freevars).  Null for none.
    const char* local_names;
    const char* cell_names = nullptr;
    const char* free_names = nullptr;
    bool is_generator;
    FunctionBody body;
    PyObject* code = nullptr;     // made once at load by make_code()
};

// Builds `spec.code` (file "tarvex/rag_helper", name, first line, arguments).
bool make_code(FunctionSpec& spec);

// Create a native function object that calls spec.body after binding.
// `doc`, `defaults` and `annotations` may be null (then None / empty dict).
Owned new_function(FunctionSpec& spec, PyObject* doc, PyObject* defaults, PyObject* annotations);

// Makes the function type ready (module body, line 1).
bool ready_function_type();

// Type-name check of a returned value: raises TypeError "Expected %s, got
// %.200s" unless `value` is exactly of `expected` or None.
bool check_returned_type(PyObject* value, PyTypeObject* expected, const char* expected_name);

// Functions that rely on exceptions leaving them: record where it happened.
inline PyObject* fail_at(const FunctionSpec& spec, int line) {
    add_traceback(spec.traceback_name, line);
    return nullptr;
}

// ---------------------------------------------------------------------------
// What the other units contribute to the module body.

// Description corpus: `_iter_description_files`, `_read_text`.
extern FunctionSpec iter_description_files_spec;
extern FunctionSpec read_text_spec;

// Semantic ranking: `_load_model`, `rank_problem_descriptions`, and the two
// objects each ranking call makes (the record builder and the sort key).
extern FunctionSpec genexpr_spec;
extern FunctionSpec sort_key_spec;
extern FunctionSpec load_model_spec;
extern FunctionSpec rank_spec;
bool ready_ranking_types();  // the record builder's type

// Command-line entry: runs the block for a module executed as main.  On
// failure returns false with the exception set and the failing source line
// in *failed_line.
bool run_command_line(int* failed_line);

}  // namespace tarvex

// The module's native function objects: how each is declared, argument
// binding with exact-type tests, and the returned-value check.
#pragma once

#include "common/refs.hpp"
#include "rag_helper/names.hpp"
#include "rag_helper/steps.hpp"
#include "rag_helper/traceback.hpp"

namespace tarvex {

enum class ExactType { any, str, int_ };

struct Parameter {
    Interned* name;
    ExactType test = ExactType::any;
    const char* annotation = nullptr;  // published as the string itself
};

class FunctionObject;

// The body receives the bound arguments in parameter order (borrowed) and
// returns a new reference, or null with an exception set and, in `steps`,
// the line for the traceback entry that the call's boundary adds.
using FunctionBody = Owned (*)(Steps& steps, PyObject* const* args);

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
    const char* doc;                       // __doc__ (null: None)
    const char* return_annotation;         // null: none
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

// Each function is declared once, beside its body, by a FunctionSpec: its
// names, parameters with their tests and annotations, defaults, docstring,
// traceback name and lines, and local names.

// Create a native function object that calls spec.body after binding, with
// the docstring, defaults and annotations that the spec declares.
Owned new_function(FunctionSpec& spec);

// Makes the function type ready (module body, line 1).
bool ready_function_type();

// Type-name check of a returned value: raises TypeError "Expected %s, got
// %.200s" unless `value` is exactly of `expected` or None.
bool check_returned_type(PyObject* value, PyTypeObject* expected, const char* expected_name);

}  // namespace tarvex

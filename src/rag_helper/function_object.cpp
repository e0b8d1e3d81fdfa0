// Native function objects: their type, how a call binds its arguments and
// the exact-type tests.
#include "rag_helper/function_object.hpp"

#include <cstddef>

#include "rag_helper/module_state.hpp"

namespace tarvex {

// ---------------------------------------------------------------------------
// The function type

class FunctionObject {
public:
    PyObject_HEAD
    vectorcallfunc vectorcall;
    FunctionSpec* spec;
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* module;
    PyObject* defaults;
    PyObject* annotations;
    PyObject* globals;
    PyObject* dict;
    PyObject* weakrefs;
};

namespace {

Interned str_return("return");

// Error texts of a call that does not fit.
void raise_count_error(const FunctionSpec& spec, Py_ssize_t given) {
    const Py_ssize_t n = spec.parameter_count;
    const char* qualifier;
    Py_ssize_t count;
    if (n == 1) {
        qualifier = "exactly";
        count = 1;
    } else if (given < 1) {
        qualifier = "at least";
        count = 1;
    } else {
        qualifier = "at most";
        count = n;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 spec.binding_name, qualifier, count, count == 1 ? "" : "s", given);
}

// Compare a keyword with a parameter name: identity, then text.  Returns 1
// for a match, 0 for none, -1 on error (only possible for str subclasses).
int keyword_matches(PyObject* keyword, PyObject* parameter) {
    if (keyword == parameter) {
        return 1;
    }
    if (PyUnicode_CheckExact(keyword)) {
        return PyUnicode_Compare(keyword, parameter) == 0 ? 1 : 0;
    }
    return PyObject_RichCompareBool(keyword, parameter, Py_EQ);
}

// Binds the call into `bound` (borrowed values).  On failure raises the
// binding TypeError and returns false.
bool bind_arguments(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t given, PyObject* kwnames,
                    PyObject** bound) {
    const Py_ssize_t n = spec.parameter_count;
    const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < n; ++k) {
        bound[k] = nullptr;
    }
    if (keyword_count == 0) {
        if (given < 1 || given > n) {
            raise_count_error(spec, given);
            return false;
        }
    } else if (given > n) {
        raise_count_error(spec, given);
        return false;
    }
    for (Py_ssize_t k = 0; k < given; ++k) {
        bound[k] = args[k];
    }
    for (Py_ssize_t w = 0; w < keyword_count; ++w) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, w);
        PyObject* value = args[given + w];
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec.binding_name);
            return false;
        }
        Py_ssize_t target = -1;
        for (Py_ssize_t k = given; k < n && target < 0; ++k) {
            int match = keyword_matches(keyword, spec.parameters[k].name->get());
            if (match < 0) {
                return false;
            }
            if (match) {
                target = k;
            }
        }
        if (target >= 0) {
            bound[target] = value;
            continue;
        }
        for (Py_ssize_t k = 0; k < given; ++k) {
            int match = keyword_matches(keyword, spec.parameters[k].name->get());
            if (match < 0) {
                return false;
            }
            if (match) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                             spec.binding_name, keyword);
                return false;
            }
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.binding_name, keyword);
        return false;
    }
    if (spec.defaults != nullptr) {
        PyObject* defaults = *spec.defaults;
        const Py_ssize_t first_default = n - PyTuple_GET_SIZE(defaults);
        for (Py_ssize_t k = first_default; k < n; ++k) {
            if (bound[k] == nullptr) {
                bound[k] = PyTuple_GET_ITEM(defaults, k - first_default);
            }
        }
    }
    if (bound[0] == nullptr) {
        raise_count_error(spec, 0);
        return false;
    }
    return true;
}

// The notes attached when an instance of a subclass was refused, made once
// at load like the module's other constants.
Interned str_add_note("add_note");
Interned str_subclass_note_str(
    "Subclasses of builtin types are rejected: pass a plain str, for example str(value).");
Interned str_subclass_note_int(
    "Subclasses of builtin types are rejected: pass a plain int, for example int(value).");

// Attach the note that explains why an instance of a subclass was refused.
void add_subclass_note(PyObject* note) {
    PyObject* raised = PyErr_GetRaisedException();
    Owned result = Owned::steal(PyObject_CallMethodOneArg(raised, str_add_note, note));
    if (!result) {
        // The note is a courtesy; keep the original error whatever happens.
        PyErr_Clear();
    }
    PyErr_SetRaisedException(raised);
}

bool passes_exact_type_tests(const FunctionSpec& spec, PyObject* const* bound) {
    for (int k = 0; k < spec.parameter_count; ++k) {
        const Parameter& parameter = spec.parameters[k];
        PyTypeObject* expected;
        const char* expected_name;
        PyObject* note;
        switch (parameter.test) {
        case ExactType::any:
            continue;
        case ExactType::str:
            expected = &PyUnicode_Type;
            expected_name = "str";
            note = str_subclass_note_str;
            break;
        case ExactType::int_:
            expected = &PyLong_Type;
            expected_name = "int";
            note = str_subclass_note_int;
            break;
        default:
            continue;
        }
        PyObject* value = bound[k];
        if (Py_IS_TYPE(value, expected)) {
            continue;
        }
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                     parameter.name->text(), expected_name, Py_TYPE(value)->tp_name);
        if (PyObject_TypeCheck(value, expected)) {
            add_subclass_note(note);
        }
        return false;
    }
    return true;
}

constexpr int kMaxParameters = 8;

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    auto* self = reinterpret_cast<FunctionObject*>(callable);
    const FunctionSpec& spec = *self->spec;
    PyObject* bound[kMaxParameters];
    if (!bind_arguments(spec, args, PyVectorcall_NARGS(nargsf), kwnames, bound)) {
        add_traceback(spec.traceback_name, spec.first_line);
        return nullptr;
    }
    if (!passes_exact_type_tests(spec, bound)) {
        return nullptr;
    }
    Steps steps;
    Owned result = spec.body(steps, bound);
    if (!result && steps.failed_line() != 0) {
        add_traceback(spec.traceback_name, steps.failed_line());
    }
    return result.release();
}

int function_traverse(PyObject* object, visitproc visit, void* arg) {
    auto* self = reinterpret_cast<FunctionObject*>(object);
    Py_VISIT(Py_TYPE(object));
    Py_VISIT(self->name);
    Py_VISIT(self->qualname);
    Py_VISIT(self->doc);
    Py_VISIT(self->module);
    Py_VISIT(self->defaults);
    Py_VISIT(self->annotations);
    Py_VISIT(self->globals);
    Py_VISIT(self->dict);
    return 0;
}

int function_clear(PyObject* object) {
    auto* self = reinterpret_cast<FunctionObject*>(object);
    Py_CLEAR(self->name);
    Py_CLEAR(self->qualname);
    Py_CLEAR(self->doc);
    Py_CLEAR(self->module);
    Py_CLEAR(self->defaults);
    Py_CLEAR(self->annotations);
    Py_CLEAR(self->globals);
    Py_CLEAR(self->dict);
    return 0;
}

void function_dealloc(PyObject* object) {
    auto* self = reinterpret_cast<FunctionObject*>(object);
    PyObject_GC_UnTrack(object);
    if (self->weakrefs != nullptr) {
        PyObject_ClearWeakRefs(object);
    }
    function_clear(object);
    PyObject_GC_Del(object);
}

PyObject* function_repr(PyObject* object) {
    auto* self = reinterpret_cast<FunctionObject*>(object);
    return PyUnicode_FromFormat("<native function %U at %p>", self->qualname, object);
}

// Attribute access.  Settable text attributes must stay strings, as they do
// on Python functions; the defaults are reported but never used by calls.

PyObject* get_name(PyObject* object, void*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(object)->name);
}

int set_string_slot(PyObject** slot, PyObject* value, const char* attribute) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", attribute);
        return -1;
    }
    Py_XSETREF(*slot, Py_NewRef(value));
    return 0;
}

int set_name(PyObject* object, PyObject* value, void*) {
    return set_string_slot(&reinterpret_cast<FunctionObject*>(object)->name, value, "__name__");
}

PyObject* get_qualname(PyObject* object, void*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(object)->qualname);
}

int set_qualname(PyObject* object, PyObject* value, void*) {
    return set_string_slot(&reinterpret_cast<FunctionObject*>(object)->qualname, value, "__qualname__");
}

// Attributes that may hold any object; deleting them stores None.
template <std::size_t Offset>
PyObject* get_any(PyObject* object, void*) {
    PyObject* value = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(object) + Offset);
    return Py_NewRef(value != nullptr ? value : Py_None);
}

template <std::size_t Offset>
int set_any(PyObject* object, PyObject* value, void*) {
    auto** slot = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(object) + Offset);
    Py_XSETREF(*slot, Py_NewRef(value != nullptr ? value : Py_None));
    return 0;
}

int set_defaults(PyObject* object, PyObject* value, void*) {
    if (value == nullptr) {
        value = Py_None;
    }
    if (value != Py_None && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(reinterpret_cast<FunctionObject*>(object)->defaults, Py_NewRef(value));
    return 0;
}

PyObject* get_annotations(PyObject* object, void*) {
    auto* self = reinterpret_cast<FunctionObject*>(object);
    if (self->annotations == nullptr) {
        self->annotations = PyDict_New();
        if (self->annotations == nullptr) {
            return nullptr;
        }
    }
    return Py_NewRef(self->annotations);
}

int set_annotations(PyObject* object, PyObject* value, void*) {
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(reinterpret_cast<FunctionObject*>(object)->annotations, Py_XNewRef(value));
    return 0;
}

PyObject* get_code(PyObject* object, void*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(object)->spec->code);
}

PyObject* get_globals(PyObject* object, void*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(object)->globals);
}

PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_any<offsetof(FunctionObject, doc)>, set_any<offsetof(FunctionObject, doc)>, nullptr, nullptr},
    {"__module__", get_any<offsetof(FunctionObject, module)>, set_any<offsetof(FunctionObject, module)>, nullptr,
     nullptr},
    {"__defaults__", get_any<offsetof(FunctionObject, defaults)>, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject function_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tarvex.rag_helper.native_function",
    .tp_basicsize = sizeof(FunctionObject),
    .tp_dealloc = function_dealloc,
    .tp_vectorcall_offset = offsetof(FunctionObject, vectorcall),
    .tp_repr = function_repr,
    .tp_call = PyVectorcall_Call,
    .tp_getattro = PyObject_GenericGetAttr,
    .tp_setattro = PyObject_GenericSetAttr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL,
    .tp_doc = "A function of the tarvex.rag_helper module.",
    .tp_traverse = function_traverse,
    .tp_clear = function_clear,
    .tp_weaklistoffset = offsetof(FunctionObject, weakrefs),
    .tp_getset = function_getset,
    .tp_dictoffset = offsetof(FunctionObject, dict),
};

}  // namespace

bool ready_function_type() {
    return (function_type.tp_flags & Py_TPFLAGS_READY) != 0 || PyType_Ready(&function_type) == 0;
}

namespace {

// A tuple of the interned names in `names`, separated by spaces (or empty).
Owned name_tuple(const char* names) {
    if (names == nullptr) {
        return Owned::share(constants.empty_tuple);
    }
    Owned text = Owned::steal(PyUnicode_FromString(names));
    Owned list = Owned::steal(text ? PyUnicode_Split(text.get(), nullptr, -1) : nullptr);
    if (!list) {
        return Owned();
    }
    for (Py_ssize_t index = 0; index < PyList_GET_SIZE(list.get()); ++index) {
        PyUnicode_InternInPlace(&PyList_GET_ITEM(list.get(), index));
    }
    return Owned::steal(PyList_AsTuple(list.get()));
}

}  // namespace

bool make_code(FunctionSpec& spec) {
    if (spec.code != nullptr) {
        return true;
    }
    Owned varnames = name_tuple(spec.local_names);
    Owned cellvars = name_tuple(spec.cell_names);
    Owned freevars = name_tuple(spec.free_names);
    Owned file_name = Owned::steal(PyUnicode_InternFromString(kSourceFileName));
    Owned name = Owned::steal(PyUnicode_InternFromString(spec.name));
    Owned qualname = Owned::steal(PyUnicode_FromString(spec.qualname));
    if (!varnames || !cellvars || !freevars || !file_name || !name || !qualname) {
        return false;
    }
    int flags = CO_OPTIMIZED | CO_NEWLOCALS;
    if (spec.is_generator) {
        flags |= CO_GENERATOR;
    }
    PyCodeObject* code = PyUnstable_Code_NewWithPosOnlyArgs(
        spec.parameter_count, 0, 0, static_cast<int>(PyTuple_GET_SIZE(varnames.get())), 0, flags,
        constants.empty_bytes, constants.empty_tuple, constants.empty_tuple, varnames.get(), freevars.get(),
        cellvars.get(), file_name.get(), name.get(), qualname.get(), spec.first_line, constants.empty_bytes,
        constants.empty_bytes);
    if (code == nullptr) {
        return false;
    }
    spec.code = reinterpret_cast<PyObject*>(code);
    return true;
}

namespace {

// The annotations the spec declares, in parameter order, then `return`; null
// without an exception when it declares none (the attribute then makes an
// empty dict on first access).
Owned declared_annotations(const FunctionSpec& spec) {
    Owned dict;
    auto add = [&dict](PyObject* key, const char* annotation) {
        if (annotation == nullptr) {
            return true;
        }
        if (!dict && !(dict = Owned::steal(PyDict_New()))) {
            return false;
        }
        Owned text = Owned::steal(PyUnicode_InternFromString(annotation));
        return text && PyDict_SetItem(dict.get(), key, text.get()) == 0;
    };
    for (int k = 0; k < spec.parameter_count; ++k) {
        if (!add(spec.parameters[k].name->get(), spec.parameters[k].annotation)) {
            return Owned();
        }
    }
    if (!add(str_return, spec.return_annotation)) {
        return Owned();
    }
    return dict;
}

}  // namespace

Owned new_function(FunctionSpec& spec) {
    Owned name = Owned::steal(PyUnicode_InternFromString(spec.name));
    Owned qualname = Owned::steal(PyUnicode_FromString(spec.qualname));
    Owned doc = spec.doc != nullptr ? Owned::steal(PyUnicode_FromString(spec.doc)) : Owned::share(Py_None);
    Owned annotations = declared_annotations(spec);
    if (!name || !qualname || !doc || PyErr_Occurred()) {
        return Owned();
    }
    auto* self = PyObject_GC_New(FunctionObject, &function_type);
    if (self == nullptr) {
        return Owned();
    }
    self->vectorcall = function_vectorcall;
    self->spec = &spec;
    self->name = name.release();
    self->qualname = qualname.release();
    self->doc = doc.release();
    self->module = Py_NewRef(str_module_name.get());
    self->defaults = Py_NewRef(spec.defaults != nullptr ? *spec.defaults : Py_None);
    self->annotations = annotations.release();
    self->globals = Py_NewRef(module_globals().get());
    self->dict = nullptr;
    self->weakrefs = nullptr;
    PyObject_GC_Track(self);
    return Owned::steal(reinterpret_cast<PyObject*>(self));
}

bool check_returned_type(PyObject* value, PyTypeObject* expected, const char* expected_name) {
    if (value == Py_None || Py_IS_TYPE(value, expected)) {
        return true;
    }
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected_name, Py_TYPE(value)->tp_name);
    return false;
}

}  // namespace tarvex

// Module start-up: the entry point, the create and exec phases of the
// multi-phase initialisation, and the module body that publishes the
// functions.
#include <cstdint>
#include <cstdio>

#include "rag_helper/calls.hpp"
#include "rag_helper/command_line.hpp"
#include "rag_helper/description_corpus.hpp"
#include "rag_helper/function_object.hpp"
#include "rag_helper/module_state.hpp"
#include "rag_helper/names.hpp"
#include "rag_helper/semantic_ranking.hpp"
#include "rag_helper/statements.hpp"
#include "rag_helper/steps.hpp"

// Set to non-zero by a host that runs this module as its main program,
// before the module is initialised.
extern "C" {
__attribute__((visibility("default"))) std::int32_t rag_helper_is_main = 0;
}

namespace tarvex {


namespace {

// Process-wide records: the adopted module and the first loader.
PyObject* module_instance = nullptr;
std::int64_t first_interpreter_id = -1;

Interned str_dunder_name("__name__");
Interned str_dunder_main("__main__");
Interned str_dunder_spec("__spec__");
Interned str_initializing("_initializing");
Interned str_dunder_test("__test__");
Interned str_functools("functools");
Interned str_lru_cache("lru_cache");
Interned str_maxsize("maxsize");
Interned str_pathlib("pathlib");
Interned str_typing("typing");
Interned str_any("Any");
Interned str_dict("Dict");
Interned str_list("List");
Interned str_optional("Optional");
Interned str_get_logger("getLogger");
Interned str_logger("logger");

constexpr const char kInitTracebackName[] = "init tarvex.rag_helper";

// ---------------------------------------------------------------------------
// Create phase

// Copy one attribute of the import spec into the new module.  A missing
// attribute is skipped; None is skipped only where `skip_none` says so.
bool copy_spec_attribute(PyObject* spec, PyObject* module_dict, PyObject* from, PyObject* to, bool skip_none) {
    Owned value = Owned::steal(PyObject_GetAttr(spec, from));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return true;
        }
        return false;
    }
    if (skip_none && value.get() == Py_None) {
        return true;
    }
    return PyDict_SetItem(module_dict, to, value.get()) == 0;
}

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    const std::int64_t interpreter_id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter_id == -1) {
        return nullptr;
    }
    if (first_interpreter_id == -1) {
        first_interpreter_id = interpreter_id;
    } else if (interpreter_id != first_interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    if (module_instance != nullptr) {
        return Py_NewRef(module_instance);
    }
    // The string constants do not exist yet on a first load: use plain
    // attribute names here.
    Owned name = Owned::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return nullptr;
    }
    Owned module = Owned::steal(PyModule_NewObject(name.get()));
    if (!module) {
        return nullptr;
    }
    PyObject* module_dict = PyModule_GetDict(module.get());
    struct Copy {
        const char* from;
        const char* to;
        bool skip_none;
    };
    const Copy copies[] = {
        {"loader", "__loader__", false},
        {"origin", "__file__", false},
        {"parent", "__package__", false},
        {"submodule_search_locations", "__path__", true},
    };
    for (const Copy& copy : copies) {
        Owned from = Owned::steal(PyUnicode_InternFromString(copy.from));
        Owned to = Owned::steal(PyUnicode_InternFromString(copy.to));
        if (!from || !to || !copy_spec_attribute(spec, module_dict, from.get(), to.get(), copy.skip_none)) {
            return nullptr;
        }
    }
    return module.release();
}

// ---------------------------------------------------------------------------
// Exec phase helpers

bool make_code_objects() {
    FunctionSpec* const specs[] = {&genexpr_spec,          &sort_key_spec, &load_model_spec,
                                   &iter_description_files_spec, &read_text_spec, &rank_spec};
    for (FunctionSpec* spec : specs) {
        if (!make_code(*spec)) {
            return false;
        }
    }
    return true;
}

// Import a whole module as `import name` does at module level.  A module
// already in sys.modules and fully initialised is used as it is.
Owned import_module(PyObject* name) {
    PyObject* modules = PyImport_GetModuleDict();
    PyObject* existing = nullptr;
    if (PyDict_GetItemRef(modules, name, &existing) < 0) {
        return Owned();
    }
    Owned module = Owned::steal(existing);
    if (module) {
        Owned spec = Owned::steal(PyObject_GetAttr(module.get(), str_dunder_spec));
        if (!spec) {
            PyErr_Clear();
            return module;
        }
        Owned initializing = Owned::steal(PyObject_GetAttr(spec.get(), str_initializing));
        if (!initializing) {
            PyErr_Clear();
            return module;
        }
        int busy = PyObject_IsTrue(initializing.get());
        if (busy < 0) {
            return Owned();
        }
        if (!busy) {
            return module;
        }
    }
    Owned locals = Owned::steal(PyDict_New());
    if (!locals) {
        return Owned();
    }
    return Owned::steal(PyImport_ImportModuleLevelObject(name, module_globals(), locals.get(), nullptr, 0));
}

// `from module import name...`: one import call, then each name bound as a
// global, in order.
bool import_names(PyObject* module_name, std::initializer_list<PyObject*> names) {
    Owned module = import_from(module_name, names);
    if (!module) {
        return false;
    }
    for (PyObject* name : names) {
        Owned value = imported_name(module.get(), module_name, name);
        if (!value || !bind_global(name, value.get())) {
            return false;
        }
    }
    return true;
}

// Publish one function object under its own name.
bool publish(FunctionSpec& spec) {
    Owned function = new_function(spec);
    Owned name = Owned::steal(PyUnicode_InternFromString(spec.name));
    return function && name && bind_global(name.get(), function.get());
}

// `@lru_cache(maxsize=None)` over `_load_model`: the decorator is made
// before the function object, as the decorator expression is evaluated first.
bool publish_load_model() {
    Owned lru_cache = lookup_global(str_lru_cache);
    if (!lru_cache) {
        return false;
    }
    Owned keywords = Owned::steal(PyTuple_Pack(1, str_maxsize.get()));
    if (!keywords) {
        return false;
    }
    PyObject* call_args[] = {Py_None};
    Owned decorator = Owned::steal(PyObject_Vectorcall(lru_cache.get(), call_args, 0, keywords.get()));
    if (!decorator) {
        return false;
    }
    Owned function = new_function(load_model_spec);
    if (!function) {
        return false;
    }
    Owned wrapper = Owned::steal(PyObject_CallOneArg(decorator.get(), function.get()));
    return wrapper && bind_global(str_load_model, wrapper.get());
}

// Returns 1 when the module's __name__ equals "__main__", 0 otherwise.
int running_as_main() {
    Owned name = lookup_global(str_dunder_name);
    if (!name) {
        return -1;
    }
    return PyObject_RichCompareBool(name.get(), str_dunder_main, Py_EQ);
}

// Steps of line 1: the types, `__name__` for a main module, the entry in
// sys.modules, cached builtins, constant tuples and code objects.
bool prepare_body() {
    if (!ready_function_type() || !ready_ranking_types()) {
        return false;
    }
    if (rag_helper_is_main != 0 && PyObject_SetAttr(module_instance, str_dunder_name, str_dunder_main) < 0) {
        return false;
    }
    PyObject* modules = PyImport_GetModuleDict();
    const int registered = PyDict_Contains(modules, str_module_name);
    if (registered < 0 || (registered == 0 && PyDict_SetItem(modules, str_module_name, module_instance) < 0)) {
        return false;
    }
    return fetch_builtins() && make_constant_tuples() && make_code_objects();
}

// `import name` at module level, bound as the global `name`.
bool import_and_bind(PyObject* name) {
    Owned module = import_module(name);
    return module && bind_global(name, module.get());
}

// logger = logging.getLogger(__name__)
bool bind_logger() {
    Owned get_logger = attribute(lookup_global(str_logging), str_get_logger);
    Owned name = get_logger ? lookup_global(str_dunder_name) : Owned();
    Owned logger = call(get_logger, name);
    return logger && bind_global(str_logger, logger.get());
}

// The module body from the point where failures carry traceback entries.
// Returns false with the exception set and the failing line in `steps`.
bool run_module_body(Steps& steps) {
    if (!steps.at(1, prepare_body()) || !steps.at(3, import_and_bind(str_logging)) ||
        !steps.at(4, import_and_bind(str_sys)) || !steps.at(5, import_names(str_functools, {str_lru_cache})) ||
        !steps.at(6, import_names(str_pathlib, {str_path_class})) ||
        !steps.at(7, import_names(str_typing, {str_any, str_dict, str_list, str_optional})) ||
        !steps.at(11, bind_logger()) || !steps.at(load_model_spec.first_line, publish_load_model())) {
        return false;
    }
    for (FunctionSpec* spec : {&iter_description_files_spec, &read_text_spec, &rank_spec}) {
        if (!steps.at(spec->first_line, publish(*spec))) {
            return false;
        }
    }
    const int is_main = steps.at(124, running_as_main());
    if (is_main < 0 || (is_main && !run_command_line(steps))) {
        return false;
    }
    Owned test_dict = Owned::steal(PyDict_New());
    return steps.at(1, test_dict && bind_global(str_dunder_test, test_dict.get()));
}

int exec_module(PyObject* module) {
    if (module_instance != nullptr) {
        if (module_instance == module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'rag_helper' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    module_instance = Py_NewRef(module);

    auto fail = [](bool with_entry, int line) {
        if (with_entry) {
            add_traceback(kInitTracebackName, line);  // nothing without module globals
        }
        detach_globals();
        Py_CLEAR(module_instance);
        return -1;
    };

    if (!attach_globals(module)) {
        return fail(false, 0);
    }

    // The module is built for 3.13; another minor version may still work, but
    // say so.
    const int runtime_major = static_cast<int>((Py_Version >> 24) & 0xFF);
    const int runtime_minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if (runtime_major != 3 || runtime_minor != 13) {
        char message[200];
        std::snprintf(message, sizeof message, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                      3, 13, kModuleQualifiedName, "does not match", runtime_major, runtime_minor);
        if (PyErr_WarnEx(nullptr, message, 1) < 0) {
            return fail(false, 0);
        }
    }

    if (!make_base_constants()) {
        return fail(false, 0);
    }

    Steps steps;
    if (!run_module_body(steps)) {
        return fail(true, steps.failed_line());
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "rag_helper",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace tarvex

extern "C" PyMODINIT_FUNC PyInit_rag_helper(void) { return PyModuleDef_Init(&tarvex::module_definition); }

// Description corpus: finding the description files below a corpus folder
// and reading each one as bounded, stripped UTF-8 text.
#include "rag_helper/description_corpus.hpp"

#include "rag_helper/calls.hpp"
#include "rag_helper/exception_state.hpp"
#include "rag_helper/module_state.hpp"
#include "rag_helper/statements.hpp"

namespace tarvex {
namespace {

Interned str_rglob("rglob");
Interned str_txt_pattern("*.txt");
Interned str_is_file("is_file");
Interned str_open("open");
Interned str_read_mode("r");
Interned str_utf8("utf-8");
Interned str_ignore("ignore");
Interned str_dunder_enter("__enter__");
Interned str_dunder_exit("__exit__");
Interned str_read("read");

// ---------------------------------------------------------------------------
// _iter_description_files(models_dir)

// Traceback line numbers of the steps below: part of the traceback contract (see steps.hpp).
constexpr int kListingLine = 29;

// Keep `p` when `p.is_file()` is true.  Returns false on error.
bool append_if_file(PyObject* result, PyObject* p) {
    Owned is_file = Owned::steal(PyObject_CallMethodNoArgs(p, str_is_file));
    if (!is_file) {
        return false;
    }
    int keep = is_file.get() == Py_True ? 1 : is_file.get() == Py_False || is_file.get() == Py_None ? 0
                                                                                                   : PyObject_IsTrue(is_file.get());
    if (keep < 0) {
        return false;
    }
    return keep == 0 || PyList_Append(result, p) == 0;
}

bool collect_description_files(PyObject* models_dir, PyObject* result) {
    Owned candidates = Owned::steal(PyObject_CallMethodOneArg(models_dir, str_rglob, str_txt_pattern));
    if (!candidates) {
        return false;
    }
    // `is_file` may change a list that rglob returned: the walk allows for it.
    auto keep_files = [result](PyObject* p) { return append_if_file(result, p); };
    if (!for_each_item(candidates.get(), keep_files)) {
        return false;
    }
    return PyList_Sort(result) == 0;
}

Owned iter_description_files(Steps& steps, PyObject* const* args);

const Parameter listing_parameters[] = {{&str_models_dir, ExactType::any, "Path"}};

}  // namespace

FunctionSpec iter_description_files_spec{
    .binding_name = "_iter_description_files",
    .name = "_iter_description_files",
    .qualname = "_iter_description_files",
    .traceback_name = "tarvex.rag_helper._iter_description_files",
    .first_line = 25,
    .parameters = listing_parameters,
    .parameter_count = 1,
    .defaults = nullptr,
    .doc = "\n    Find all .txt files recursively under models_dir.\n    ",
    .return_annotation = "List[Path]",
    .local_names = "models_dir p",
    .is_generator = false,
    .body = iter_description_files,
};

namespace {

Owned iter_description_files(Steps& steps, PyObject* const* args) {
    Owned result = Owned::steal(PyList_New(0));
    const bool listed = result && collect_description_files(args[0], result.get());
    return steps.at(kListingLine, listed ? std::move(result) : Owned());
}

// ---------------------------------------------------------------------------
// _read_text(path, max_chars=100000)

// Traceback line numbers of the steps below: part of the traceback contract (see steps.hpp).
constexpr int kOpenLine = 37;
constexpr int kReadLine = 38;
constexpr int kMeasureLine = 39;
constexpr int kCutLine = 40;
constexpr int kStripLine = 41;

// Look a special method up on the type, as the `with` statement does: along
// the type's method resolution order, then bound to the object.  A missing
// method raises AttributeError(name).
Owned special_method(PyObject* object, PyObject* name) {
    PyObject* mro = Py_TYPE(object)->tp_mro;
    Owned attribute;
    for (Py_ssize_t index = 0; !attribute && index < PyTuple_GET_SIZE(mro); ++index) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, index));
        // Static builtin types keep their dict per interpreter: only
        // PyType_GetDict() reaches it.
        Owned dict = base->tp_dict != nullptr ? Owned::share(base->tp_dict) : Owned::steal(PyType_GetDict(base));
        PyObject* found = nullptr;
        if (PyDict_GetItemRef(dict.get(), name, &found) < 0) {
            return Owned();
        }
        attribute = Owned::steal(found);
    }
    if (!attribute) {
        PyErr_SetObject(PyExc_AttributeError, name);
        return Owned();
    }
    descrgetfunc bind = Py_TYPE(attribute.get())->tp_descr_get;
    if (bind == nullptr) {
        return attribute;
    }
    return Owned::steal(bind(attribute.get(), object, reinterpret_cast<PyObject*>(Py_TYPE(object))));
}

// Steps inside the file's context: read at most max_chars + 1 characters,
// cut to max_chars, strip.
Owned read_bounded(Steps& steps, PyObject* stream, PyObject* max_chars) {
    Owned txt = steps.at(kReadLine, call_method(stream, str_read, Owned::steal(PyNumber_Add(max_chars, constants.int_1))));
    const Py_ssize_t length = txt ? PyObject_Length(txt.get()) : -1;
    Owned measured = length >= 0 ? Owned::steal(PyLong_FromSsize_t(length)) : Owned();
    const int too_long = steps.at(kMeasureLine, measured ? PyObject_RichCompareBool(measured.get(), max_chars, Py_GT) : -1);
    if (too_long < 0) {
        return Owned();
    }
    if (too_long) {
        Owned cut = Owned::steal(PySlice_New(Py_None, max_chars, Py_None));
        txt = steps.at(kCutLine, cut ? slice_of(txt.get(), cut.get()) : Owned());
    }
    Owned stripped = call_method(txt, str_strip);
    if (!steps.at(kStripLine, stripped && check_returned_type(stripped.get(), &PyUnicode_Type, "str"))) {
        return Owned();
    }
    return stripped;
}

// Handler of the file's context for an exception raised while reading: the
// context's exit sees it first.  Returns 1 when `__exit__` suppressed it,
// 0 when an exception (the same or a new one) is pending again.
int exit_context_with_exception(PyObject* exit) {
    PendingException raised;
    HandledExceptionScope handling(raised.get());
    Owned traceback = Owned::steal(PyException_GetTraceback(raised.get()));
    Owned outcome = call(exit, reinterpret_cast<PyObject*>(Py_TYPE(raised.get().get())), raised.get(),
                         traceback ? traceback.get() : Py_None);
    const int suppressed = truth(outcome);
    if (suppressed != 0) {
        raised.take();  // suppressed, or __exit__ (or its truth test) raised a new one that goes on
    }
    return suppressed == 1;
}

// The file's context: open, enter, the steps inside, exit.  Returns the text
// (or None when `__exit__` suppressed a failure) with no exception, or null
// with the exception that should pass on.
Owned read_in_context(Steps& steps, PyObject* path, PyObject* max_chars) {
    PyObject* open_args[] = {path, str_read_mode, str_utf8, str_ignore};
    Owned opened = Owned::steal(
        PyObject_VectorcallMethod(str_open, open_args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, constants.open_keywords));
    Owned exit = opened ? special_method(opened.get(), str_dunder_exit) : Owned();
    Owned enter = exit ? special_method(opened.get(), str_dunder_enter) : Owned();
    Owned stream = call(enter);
    if (!stream) {
        return Owned();
    }
    Owned text = read_bounded(steps, stream.get(), max_chars);
    if (!text) {
        add_traceback(read_text_spec.traceback_name, steps.failed_line());
        steps.reported();
        return exit_context_with_exception(exit.get()) ? Owned::share(Py_None) : Owned();
    }
    return call(exit, Py_None, Py_None, Py_None) ? std::move(text) : Owned();
}

// Everything after binding is protected: every `Exception` becomes the
// empty string; others pass on with an entry for the `with` line.
Owned read_text(Steps& steps, PyObject* const* args) {
    HandledExceptionScope unchanged_afterwards;
    Owned text = read_in_context(steps, args[0], args[1]);
    if (text || !PyErr_ExceptionMatches(PyExc_Exception)) {
        return steps.at(kOpenLine, std::move(text));
    }
    PyErr_Clear();
    return Owned::share(constants.empty_str);
}

const Parameter reading_parameters[] = {{&str_path, ExactType::any, "Path"}, {&str_max_chars, ExactType::int_, "int"}};

}  // namespace

FunctionSpec read_text_spec{
    .binding_name = "_read_text",
    .name = "_read_text",
    .qualname = "_read_text",
    .traceback_name = "tarvex.rag_helper._read_text",
    .first_line = 32,
    .parameters = reading_parameters,
    .parameter_count = 2,
    .defaults = &constants.read_text_defaults,
    .doc = "\n    Read text content safely with UTF-8, truncating very large files.\n    ",
    .return_annotation = "str",
    .local_names = "path max_chars f txt",
    .is_generator = false,
    .body = read_text,
};

}  // namespace tarvex

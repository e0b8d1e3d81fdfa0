// tarvex._index_engine: the module object, read_with_real_path and top_k.
#include "index_engine/module.hpp"

#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "index_engine/change_check.hpp"
#include "index_engine/description_reader.hpp"
#include "index_engine/int_argument.hpp"
#include "index_engine/path_order.hpp"
#include "index_engine/scanner_object.hpp"
#include "index_engine/top_k.hpp"

namespace tarvex::engine {

ModuleState* module_state(PyObject* module) noexcept { return static_cast<ModuleState*>(PyModule_GetState(module)); }

PyObject* text_object(const std::optional<std::string>& text) {
    if (!text) {
        return PyUnicode_FromStringAndSize("", 0);
    }
    return PyUnicode_DecodeUTF8(text->data(), static_cast<Py_ssize_t>(text->size()), "strict");
}

Owned real_path_object(const std::optional<std::string>& real_path) {
    if (!real_path) {
        return Owned::share(Py_None);
    }
    return Owned::steal(PyUnicode_DecodeFSDefaultAndSize(real_path->data(), static_cast<Py_ssize_t>(real_path->size())));
}

namespace {

// ---- read_with_real_path --------------------------------------------------

// The file-system bytes that Path(path).open() would open, or nothing when it
// would fail before reaching the file system.
std::optional<std::string> openable_path(PyObject* path) {
    Owned encoded = Owned::steal(PyUnicode_EncodeFSDefault(path));
    if (!encoded) {
        PyErr_Clear();
        return std::nullopt;
    }
    const std::string_view bytes(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
    if (bytes.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    return normalize_path(bytes);
}

PyObject* read_with_real_path_function(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"path", "max_chars", nullptr};
    PyObject* path = nullptr;
    PyObject* max_chars_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U|O:read_with_real_path", const_cast<char**>(keywords), &path,
                                     &max_chars_arg)) {
        return nullptr;
    }
    std::int64_t max_chars = kDefaultMaxChars;
    if (max_chars_arg != nullptr && !read_max_chars(max_chars_arg, max_chars)) {
        return nullptr;
    }
    OpenedDescription opened;
    if (const std::optional<std::string> file = openable_path(path)) {
        bool out_of_memory = false;
        Py_BEGIN_ALLOW_THREADS
        try {
            opened = open_description(*file, max_chars);
        } catch (const std::bad_alloc&) {
            out_of_memory = true;
        }
        Py_END_ALLOW_THREADS
        if (out_of_memory) {
            return PyErr_NoMemory();
        }
    }
    Owned text = Owned::steal(text_object(opened.text));
    Owned real_path = real_path_object(opened.real_path);
    if (!text || !real_path) {
        return nullptr;
    }
    return PyTuple_Pack(2, text.get(), real_path.get());
}

// ---- top_k -----------------------------------------------------------------

// A buffer view released on every way out.
class BufferView {
public:
    BufferView() noexcept = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() {
        if (held_) {
            PyBuffer_Release(&view_);
        }
    }
    // Takes a C-contiguous view of float32 values (or of raw bytes).
    bool acquire(PyObject* object, const char* name) {
        if (PyObject_GetBuffer(object, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
            return false;
        }
        held_ = true;
        const std::string_view format = view_.format != nullptr ? view_.format : "B";
        const bool floats = format == "f" || format == "<f" || format == "=f" || format == "@f";
        const bool raw = format == "B" || format == "b" || format == "c";
        if (!floats && !raw) {
            PyErr_Format(PyExc_TypeError, "%s must hold float32 values, not items of format '%s'", name, view_.format);
            return false;
        }
        if (view_.len % static_cast<Py_ssize_t>(sizeof(float)) != 0) {
            PyErr_Format(PyExc_ValueError, "%s holds %zd bytes, not a whole number of float32 values", name, view_.len);
            return false;
        }
        return true;
    }
    const Py_buffer& get() const noexcept { return view_; }
    std::size_t floats() const noexcept { return static_cast<std::size_t>(view_.len) / sizeof(float); }

private:
    Py_buffer view_{};
    bool held_ = false;
};

PyObject* top_k_function(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"vectors", "query", "k", nullptr};
    PyObject* vectors_arg = nullptr;
    PyObject* query_arg = nullptr;
    PyObject* k_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:top_k", const_cast<char**>(keywords), &vectors_arg,
                                     &query_arg, &k_arg)) {
        return nullptr;
    }
    IntArgument requested;
    if (!read_int_argument(k_arg, "k", requested)) {
        return nullptr;
    }
    const long long k_value = requested.value;
    const int overflow = requested.overflow;

    BufferView vectors, query;
    if (!vectors.acquire(vectors_arg, "vectors") || !query.acquire(query_arg, "query")) {
        return nullptr;
    }
    const std::size_t d = query.floats();
    const std::size_t total = vectors.floats();
    if (d == 0 ? total != 0 : total % d != 0) {
        PyErr_Format(PyExc_ValueError, "vectors hold %zu float32 values, not a whole number of rows of %zu (the query's length)",
                     total, d);
        return nullptr;
    }
    const Py_buffer& view = vectors.get();
    if (view.ndim >= 2 && view.shape != nullptr && static_cast<std::size_t>(view.shape[view.ndim - 1]) != d) {
        PyErr_Format(PyExc_ValueError, "vectors have rows of %zd values but the query has %zu", view.shape[view.ndim - 1], d);
        return nullptr;
    }
    const std::size_t n = d == 0 ? 0 : total / d;
    // k <= 0 asks for all rows, and so does any k beyond them.
    const std::size_t k = overflow > 0 ? n : (overflow < 0 || k_value <= 0 ? 0 : static_cast<std::size_t>(k_value));

    std::vector<std::pair<std::size_t, float>> best;
    bool out_of_memory = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        best = top_k_rows(view.buf, n, d, query.get().buf, k);
    } catch (const std::bad_alloc&) {
        out_of_memory = true;
    }
    Py_END_ALLOW_THREADS
    if (out_of_memory) {
        return PyErr_NoMemory();
    }

    Owned result = Owned::steal(PyList_New(static_cast<Py_ssize_t>(best.size())));
    if (!result) {
        return nullptr;
    }
    for (std::size_t i = 0; i < best.size(); ++i) {
        Owned row = Owned::steal(PyLong_FromSize_t(best[i].first));
        Owned score = Owned::steal(PyFloat_FromDouble(static_cast<double>(best[i].second)));
        if (!row || !score) {
            return nullptr;
        }
        PyObject* pair = PyTuple_Pack(2, row.get(), score.get());
        if (pair == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), pair);
    }
    return result.release();
}

// ---- the module ------------------------------------------------------------

int exec_module(PyObject* module) {
    ModuleState* state = module_state(module);
    state->scanner_type = nullptr;
    state->sha256 = nullptr;
    // For callers that keep scans of their own and judge them the same way.
    if (PyModule_AddIntConstant(module, "RACY_WINDOW_NS", static_cast<long>(kRacyWindowNs)) != 0) {
        return -1;
    }
    return add_scanner_type(module);
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    ModuleState* state = module_state(module);
    Py_VISIT(state->scanner_type);
    Py_VISIT(state->sha256);
    return 0;
}

int clear_module(PyObject* module) {
    ModuleState* state = module_state(module);
    Py_CLEAR(state->scanner_type);
    Py_CLEAR(state->sha256);
    return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyMethodDef module_functions[] = {
    {"read_with_real_path", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(read_with_real_path_function)),
     METH_VARARGS | METH_KEYWORDS,
     "read_with_real_path(path, max_chars=100000)\n--\n\n"
     "(text, real_path): the text of a description file (UTF-8 with undecodable bytes\n"
     "dropped, universal newlines, at most max_chars characters, stripped; '' when it\n"
     "cannot be read or is not a regular file), and where the file it was read from\n"
     "lies, asked of that very descriptor (None when nothing was opened or the kernel\n"
     "cannot tell).  A link swapped meanwhile cannot pair one file's text with\n"
     "another's place.  Reads no more of the file than the limit needs."},
    {"top_k", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(top_k_function)),
     METH_VARARGS | METH_KEYWORDS,
     "top_k(vectors, query, k)\n--\n\n"
     "The k rows of the C-contiguous float32 matrix `vectors` (n x len(query)) with\n"
     "the highest dot product with `query`, as (row, score) pairs best first, equal\n"
     "scores in row order, NaN scores last; k <= 0 gives all rows.  Products are\n"
     "accumulated in float32, without the GIL."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "tarvex._index_engine",
    .m_doc = "The native engine of the description index: corpus scans, bounded reads,\n"
             "content hashes and exact top-k search.",
    .m_size = sizeof(ModuleState),
    .m_methods = module_functions,
    .m_slots = module_slots,
    .m_traverse = traverse_module,
    .m_clear = clear_module,
    .m_free = free_module,
};

}  // namespace
}  // namespace tarvex::engine

extern "C" PyMODINIT_FUNC PyInit__index_engine(void) { return PyModuleDef_Init(&tarvex::engine::module_definition); }

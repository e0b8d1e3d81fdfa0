// Semantic ranking: loading and caching the embedding model, and ranking the
// stored descriptions against a query.
//
// `_load_model` is published wrapped by `functools.lru_cache`, so the cache
// lives in the wrapper; this unit only supplies the function it wraps.
// `rank_problem_descriptions` keeps the working values of a call in C++
// locals; the two objects it makes per call are the record builder (an
// iterator type of this unit) and the sort key (a native function object).
#include "semantic_ranking.hpp"
#include "exception_state.hpp"
#include "module_state.hpp"
#include "statements.hpp"

namespace tarvex {
namespace {

Interned str_x("x");

Interned str_sentence_transformers("sentence_transformers");
Interned str_sentence_transformer("SentenceTransformer");
Interned str_warning("warning");
Interned str_load_failed_format("RAG disabled (embedding model load failed): %s");

Interned str_dunder_file("__file__");
Interned str_resolve("resolve");
Interned str_parent("parent");
Interned str_zolt_models("zolt_models");
Interned str_exists("exists");
Interned str_not_found_prefix("Models directory not found: ");
Interned str_encode("encode");
Interned str_convert_to_tensor("convert_to_tensor");
Interned str_normalize_embeddings("normalize_embeddings");
Interned str_show_progress_bar("show_progress_bar");
Interned str_torch("torch");
Interned str_matmul("matmul");
Interned str_cpu("cpu");
Interned str_tolist("tolist");
Interned str_key("key");
Interned str_reverse("reverse");
Interned str_preview("preview");
Interned str_replace("replace");

// ---------------------------------------------------------------------------
// Shared helpers

// Take a value apart into exactly two, as `a, b = value` does.
bool unpack_pair(PyObject* value, Owned* first, Owned* second) {
    if (PyTuple_CheckExact(value) && PyTuple_GET_SIZE(value) == 2) {
        *first = Owned::share(PyTuple_GET_ITEM(value, 0));
        *second = Owned::share(PyTuple_GET_ITEM(value, 1));
        return true;
    }
    Owned iterator = Owned::steal(PyObject_GetIter(value));
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(value)->tp_iter == nullptr &&
            !PySequence_Check(value)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(value)->tp_name);
        }
        return false;
    }
    Owned* const targets[] = {first, second};
    for (Py_ssize_t taken = 0; taken < 2; ++taken) {
        *targets[taken] = Owned::steal(PyIter_Next(iterator.get()));
        if (!*targets[taken]) {
            if (!PyErr_Occurred()) {
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", taken);
            }
            return false;
        }
    }
    Owned extra = Owned::steal(PyIter_Next(iterator.get()));
    if (extra) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return false;
    }
    return !PyErr_Occurred();
}

// Raise an exception instance the way `raise error` does.
void raise_instance(PyObject* error) {
    if (PyExceptionInstance_Check(error)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error)), error);
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
}

// ---------------------------------------------------------------------------
// _load_model(model_name)

constexpr int import_line = 17;
constexpr int construct_line = 19;
constexpr int warn_line = 21;

// `from sentence_transformers import SentenceTransformer`, done afresh on
// every cache miss.
Owned import_model_class() {
    Owned module = import_from(str_sentence_transformers, {str_sentence_transformer});
    return module ? imported_name(module.get(), str_sentence_transformers, str_sentence_transformer) : Owned();
}

// The protected region: import, then construct.  On failure *line holds the
// line of the failing statement.
Owned construct_model(PyObject* model_name, int* line) {
    *line = import_line;
    Owned model_class = import_model_class();
    if (!model_class) {
        return Owned();
    }
    *line = construct_line;
    return Owned::steal(PyObject_CallOneArg(model_class.get(), model_name));
}

// `logging.warning("RAG disabled (embedding model load failed): %s", e)`,
// through whatever the global `logging` is at this moment.
bool warn_load_failure(PyObject* error) {
    Owned logging = lookup_global(str_logging);
    if (!logging) {
        return false;
    }
    Owned warning = Owned::steal(PyObject_GetAttr(logging.get(), str_warning));
    if (!warning) {
        return false;
    }
    PyObject* call_args[] = {str_load_failed_format, error};
    Owned outcome = Owned::steal(PyObject_Vectorcall(warning.get(), call_args, 2, nullptr));
    return static_cast<bool>(outcome);
}

// Constructions of models never overlap in the process: two running at once
// fail inside the model package, and that failure would be cached for good.
// Waiting for the lock releases the interpreter lock (PyMutex_Lock detaches
// the thread state), so the thread that constructs can go on meanwhile.  A
// construction that loads a model again on its own thread goes ahead rather
// than waiting for itself.
class ConstructionLock {
public:
    ConstructionLock() noexcept : thread_(PyThread_get_thread_ident()) {
        if (owner == thread_) {
            return;  // re-entered from inside the construction
        }
        PyMutex_Lock(&mutex);
        owner = thread_;
        holds_ = true;
    }
    ConstructionLock(const ConstructionLock&) = delete;
    ConstructionLock& operator=(const ConstructionLock&) = delete;
    ~ConstructionLock() {
        if (holds_) {
            owner = 0;
            PyMutex_Unlock(&mutex);
        }
    }

private:
    static inline PyMutex mutex{};
    // Written only by the thread that holds `mutex`, and read under the
    // interpreter lock.
    static inline unsigned long owner = 0;
    unsigned long thread_;
    bool holds_ = false;
};

PyObject* load_model(FunctionObject*, PyObject* const* args) {
    int failed_line = import_line;
    Owned model;
    {
        ConstructionLock serialised;
        model = construct_model(args[0], &failed_line);
    }
    if (model) {
        return model.release();
    }
    add_traceback(load_model_spec.traceback_name, failed_line);
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        return nullptr;  // KeyboardInterrupt and friends pass through
    }
    // The handler: the caught error is the handled exception while the
    // warning is written, so anything raised there carries it as context.
    Owned caught = Owned::steal(PyErr_GetRaisedException());
    bool warned;
    {
        HandledExceptionScope handling(caught.borrow());
        warned = warn_load_failure(caught.get());
    }
    if (!warned) {
        return fail_at(load_model_spec, warn_line);
    }
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// The record builder: turns each (path, score) pair into a result record
// while `sorted` consumes it.

constexpr int builder_line = 111;
constexpr int builder_score_line = 112;
constexpr int builder_preview_line = 113;
constexpr int builder_loop_line = 115;
constexpr const char builder_creation_traceback_name[] = "tarvex.rag_helper.rank_problem_descriptions.genexpr";

struct RecordBuilder {
    PyObject_HEAD
    PyObject* pairs;    // iterator over (path, score) pairs; null once finished
    PyObject* texts;    // the call's tuple of texts, read by position
    Py_ssize_t index;   // position of the next pair in `files` and `texts`
    bool running;
};

extern PyTypeObject record_builder_type;

// One record from the next pair.  Returns null without an exception when
// the pairs are exhausted; on failure *line holds the failing line.
Owned build_record(RecordBuilder* self, int* line) {
    Owned pairs = Owned::share(self->pairs);
    Owned texts = Owned::share(self->texts);

    *line = builder_loop_line;
    Owned pair = Owned::steal(PyIter_Next(pairs.get()));
    if (!pair) {
        return Owned();
    }
    Owned p;
    Owned s;
    if (!unpack_pair(pair.get(), &p, &s)) {
        return Owned();
    }
    const Py_ssize_t i = self->index++;

    *line = builder_line;
    Owned record = Owned::steal(PyDict_New());
    if (!record) {
        return Owned();
    }
    Owned path = PyUnicode_CheckExact(p.get()) ? Owned::share(p.get()) : Owned::steal(PyObject_Str(p.get()));
    if (!path || PyDict_SetItem(record.get(), str_path, path.get()) < 0) {
        return Owned();
    }

    *line = builder_score_line;
    Owned score = PyFloat_CheckExact(s.get()) ? Owned::share(s.get()) : Owned::steal(PyNumber_Float(s.get()));
    if (!score) {
        return Owned();
    }
    *line = builder_line;
    if (PyDict_SetItem(record.get(), str_score, score.get()) < 0) {
        return Owned();
    }

    *line = builder_preview_line;
    Owned text = Owned::steal(PySequence_GetItem(texts.get(), i));
    if (!text) {
        return Owned();
    }
    Owned head = Owned::steal(PyObject_GetItem(text.get(), constants.preview_slice));
    if (!head) {
        return Owned();
    }
    PyObject* replace_args[] = {head.get(), PyTuple_GET_ITEM(constants.newline_to_space, 0),
                                PyTuple_GET_ITEM(constants.newline_to_space, 1)};
    Owned preview = Owned::steal(PyObject_VectorcallMethod(str_replace, replace_args, 3, nullptr));
    if (!preview) {
        return Owned();
    }
    *line = builder_line;
    if (PyDict_SetItem(record.get(), str_preview, preview.get()) < 0) {
        return Owned();
    }
    return record;
}

// Drop what the builder holds, keeping any pending exception intact.
void finish_builder(RecordBuilder* self) {
    PyObject* pending = PyErr_GetRaisedException();
    Py_CLEAR(self->pairs);
    Py_CLEAR(self->texts);
    PyErr_SetRaisedException(pending);
}

// As for any generator: a StopIteration escaping the body would read as
// the end of the records, so it becomes a RuntimeError.
void replace_stop_iteration() {
    if (!PyErr_ExceptionMatches(PyExc_StopIteration)) {
        return;
    }
    PyObject* stop = PyErr_GetRaisedException();
    PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
    PyObject* replacement = PyErr_GetRaisedException();
    PyException_SetCause(replacement, Py_NewRef(stop));
    PyException_SetContext(replacement, stop);
    PyErr_SetRaisedException(replacement);
}

PyObject* builder_next(PyObject* object) {
    auto* self = reinterpret_cast<RecordBuilder*>(object);
    if (self->running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    if (self->pairs == nullptr) {
        return nullptr;
    }
    self->running = true;
    int failed_line = builder_loop_line;
    Owned record = build_record(self, &failed_line);
    self->running = false;
    if (record) {
        return record.release();
    }
    if (PyErr_Occurred()) {
        replace_stop_iteration();
        add_traceback(genexpr_spec.traceback_name, failed_line);
    }
    finish_builder(self);
    return nullptr;
}

int builder_traverse(PyObject* object, visitproc visit, void* arg) {
    auto* self = reinterpret_cast<RecordBuilder*>(object);
    Py_VISIT(self->pairs);
    Py_VISIT(self->texts);
    return 0;
}

int builder_clear(PyObject* object) {
    auto* self = reinterpret_cast<RecordBuilder*>(object);
    Py_CLEAR(self->pairs);
    Py_CLEAR(self->texts);
    return 0;
}

void builder_dealloc(PyObject* object) {
    PyObject_GC_UnTrack(object);
    builder_clear(object);
    PyObject_GC_Del(object);
}

PyObject* builder_repr(PyObject* object) {
    return PyUnicode_FromFormat("<generator object %s at %p>", genexpr_spec.qualname, object);
}

PyObject* builder_name(PyObject*, void*) { return PyUnicode_FromString(genexpr_spec.name); }
PyObject* builder_qualname(PyObject*, void*) { return PyUnicode_FromString(genexpr_spec.qualname); }
PyObject* builder_code(PyObject*, void*) { return Py_NewRef(genexpr_spec.code); }
PyObject* builder_running(PyObject* object, void*) {
    return PyBool_FromLong(reinterpret_cast<RecordBuilder*>(object)->running);
}

PyGetSetDef builder_getset[] = {
    {"__name__", builder_name, nullptr, nullptr, nullptr},
    {"__qualname__", builder_qualname, nullptr, nullptr, nullptr},
    {"gi_code", builder_code, nullptr, nullptr, nullptr},
    {"gi_running", builder_running, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject record_builder_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tarvex.rag_helper.record_builder",
    .tp_basicsize = sizeof(RecordBuilder),
    .tp_dealloc = builder_dealloc,
    .tp_repr = builder_repr,
    .tp_getattro = PyObject_GenericGetAttr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "The record builder of one ranking call.",
    .tp_traverse = builder_traverse,
    .tp_clear = builder_clear,
    .tp_iter = PyObject_SelfIter,
    .tp_iternext = builder_next,
    .tp_getset = builder_getset,
};

// Creates the builder over `pairs` (an iterator) and the shared `texts`.
Owned new_record_builder(PyObject* pairs, PyObject* texts) {
    auto* self = PyObject_GC_New(RecordBuilder, &record_builder_type);
    if (self == nullptr) {
        add_traceback(builder_creation_traceback_name, builder_line);
        return Owned();
    }
    self->pairs = Py_NewRef(pairs);
    self->texts = Py_NewRef(texts);
    self->index = 0;
    self->running = false;
    PyObject_GC_Track(self);
    return Owned::steal(reinterpret_cast<PyObject*>(self));
}

// The builder is made directly by each ranking call and never called as a
// function; its spec carries the code object and the traceback name.
PyObject* builder_is_not_callable(FunctionObject*, PyObject* const*) {
    PyErr_SetString(PyExc_SystemError, "the record builder is not called as a function");
    return nullptr;
}

// ---------------------------------------------------------------------------
// The sort key: `lambda x: x["score"]`

constexpr int sort_key_line = 117;

PyObject* sort_key(FunctionObject*, PyObject* const* args) {
    PyObject* x = args[0];
    PyObject* score = nullptr;
    if (PyDict_CheckExact(x)) {
        const int found = PyDict_GetItemRef(x, str_score, &score);
        if (found == 0) {
            PyErr_SetObject(PyExc_KeyError, str_score);
        }
        if (found <= 0) {
            return fail_at(sort_key_spec, sort_key_line);
        }
        return score;
    }
    score = PyObject_GetItem(x, str_score);
    if (score == nullptr) {
        return fail_at(sort_key_spec, sort_key_line);
    }
    return score;
}

// ---------------------------------------------------------------------------
// rank_problem_descriptions(query, models_dir=None, top_k=10, model_name=...)

constexpr int module_dir_line = 65;
constexpr int choose_dir_line = 66;
constexpr int exists_line = 68;
constexpr int not_found_line = 69;
constexpr int listing_line = 71;
constexpr int listing_test_line = 72;
constexpr int reading_line = 75;
constexpr int nonempty_line = 77;
constexpr int transpose_line = 81;
constexpr int model_line = 83;
constexpr int encode_texts_line = 87;
constexpr int texts_batch_line = 88;
constexpr int encode_query_line = 93;
constexpr int query_batch_line = 94;
constexpr int query_item_line = 98;
constexpr int torch_import_line = 102;
constexpr int matmul_line = 104;
constexpr int scores_line = 105;
constexpr int sort_line = 108;
constexpr int cut_line = 121;

// Steps of the corpus folder: the module's folder, the chosen folder, its
// existence.  Returns the folder as a path object.
Owned corpus_directory(PyObject* models_dir, int* line) {
    *line = module_dir_line;
    Owned path_class = lookup_global(str_path_class);
    if (!path_class) {
        return Owned();
    }
    Owned module_file = lookup_global(str_dunder_file);
    if (!module_file) {
        return Owned();
    }
    Owned module_path = Owned::steal(PyObject_CallOneArg(path_class.get(), module_file.get()));
    if (!module_path) {
        return Owned();
    }
    Owned resolved = Owned::steal(PyObject_CallMethodNoArgs(module_path.get(), str_resolve));
    if (!resolved) {
        return Owned();
    }
    Owned repo_root = Owned::steal(PyObject_GetAttr(resolved.get(), str_parent));
    if (!repo_root) {
        return Owned();
    }

    *line = choose_dir_line;
    const int given = PyObject_IsTrue(models_dir);
    if (given < 0) {
        return Owned();
    }
    Owned directory;
    if (given) {
        path_class = lookup_global(str_path_class);
        if (!path_class) {
            return Owned();
        }
        directory = Owned::steal(PyObject_CallOneArg(path_class.get(), models_dir));
    } else {
        directory = Owned::steal(PyNumber_TrueDivide(repo_root.get(), str_zolt_models));
    }
    if (!directory) {
        return Owned();
    }

    *line = exists_line;
    Owned exists = Owned::steal(PyObject_CallMethodNoArgs(directory.get(), str_exists));
    if (!exists) {
        return Owned();
    }
    const int present = PyObject_IsTrue(exists.get());
    if (present < 0) {
        return Owned();
    }
    if (present) {
        return directory;
    }

    *line = not_found_line;
    Owned shown = Owned::steal(PyObject_Format(directory.get(), constants.empty_str));
    if (!shown) {
        return Owned();
    }
    Owned message = Owned::steal(PyUnicode_Concat(str_not_found_prefix, shown.get()));
    if (!message) {
        return Owned();
    }
    Owned error = Owned::steal(PyObject_CallOneArg(cached_builtins.file_not_found_error, message.get()));
    if (error) {
        raise_instance(error.get());
    }
    return Owned();
}

// Reads every listed file and keeps the (path, text) pairs whose text is
// true.  Returns the new list `nonempty`.
Owned read_nonempty(PyObject* files_t, int* line) {
    *line = reading_line;
    Owned texts_t = Owned::steal(PyList_New(0));
    if (!texts_t) {
        return Owned();
    }
    Owned files_iterator = Owned::steal(PyObject_GetIter(files_t));
    if (!files_iterator) {
        return Owned();
    }
    while (Owned p = Owned::steal(PyIter_Next(files_iterator.get()))) {
        Owned read_text = lookup_global(str_read_text);
        if (!read_text) {
            return Owned();
        }
        Owned text = Owned::steal(PyObject_CallOneArg(read_text.get(), p.get()));
        if (!text || PyList_Append(texts_t.get(), text.get()) < 0) {
            return Owned();
        }
    }
    if (PyErr_Occurred()) {
        return Owned();
    }

    *line = nonempty_line;
    Owned nonempty = Owned::steal(PyList_New(0));
    if (!nonempty) {
        return Owned();
    }
    PyObject* zip_args[] = {files_t, texts_t.get()};
    Owned pairs = Owned::steal(PyObject_Vectorcall(cached_builtins.zip, zip_args, 2, nullptr));
    if (!pairs) {
        return Owned();
    }
    Owned pairs_iterator = Owned::steal(PyObject_GetIter(pairs.get()));
    if (!pairs_iterator) {
        return Owned();
    }
    while (Owned pair = Owned::steal(PyIter_Next(pairs_iterator.get()))) {
        Owned p;
        Owned t;
        if (!unpack_pair(pair.get(), &p, &t)) {
            return Owned();
        }
        const int keep = PyObject_IsTrue(t.get());
        if (keep < 0) {
            return Owned();
        }
        if (keep) {
            Owned kept = Owned::steal(PyTuple_Pack(2, p.get(), t.get()));
            if (!kept || PyList_Append(nonempty.get(), kept.get()) < 0) {
                return Owned();
            }
        }
    }
    if (PyErr_Occurred()) {
        return Owned();
    }
    return nonempty;
}

// `model.encode(batch, convert_to_tensor=True, normalize_embeddings=True,
// show_progress_bar=False)` with the method already looked up.
Owned encode_batch(PyObject* encode, PyObject* batch) {
    Owned keywords = Owned::steal(PyTuple_Pack(3, str_convert_to_tensor.get(), str_normalize_embeddings.get(),
                                               str_show_progress_bar.get()));
    if (!keywords) {
        return Owned();
    }
    PyObject* call_args[] = {batch, Py_True, Py_True, Py_False};
    return Owned::steal(PyObject_Vectorcall(encode, call_args, 1, keywords.get()));
}

// Embeds the texts, then the query.
bool embed(PyObject* model, PyObject* texts, PyObject* query, Owned* doc_embs, Owned* query_emb, int* line) {
    *line = encode_texts_line;
    Owned encode = Owned::steal(PyObject_GetAttr(model, str_encode));
    if (!encode) {
        return false;
    }
    *line = texts_batch_line;
    Owned texts_batch = Owned::steal(PySequence_List(texts));
    if (!texts_batch) {
        return false;
    }
    *line = encode_texts_line;
    *doc_embs = encode_batch(encode.get(), texts_batch.get());
    if (!*doc_embs) {
        return false;
    }

    *line = encode_query_line;
    encode = Owned::steal(PyObject_GetAttr(model, str_encode));
    if (!encode) {
        return false;
    }
    *line = query_batch_line;
    Owned query_batch = Owned::steal(PyList_New(1));
    if (!query_batch) {
        return false;
    }
    PyList_SET_ITEM(query_batch.get(), 0, Py_NewRef(query));
    *line = encode_query_line;
    Owned query_embs = encode_batch(encode.get(), query_batch.get());
    if (!query_embs) {
        return false;
    }
    *line = query_item_line;
    *query_emb = Owned::steal(PyObject_GetItem(query_embs.get(), constants.int_0));
    return static_cast<bool>(*query_emb);
}

// `import torch`, then `torch.matmul(doc_embs, query_emb).cpu().tolist()`.
Owned similarity_scores(PyObject* doc_embs, PyObject* query_emb, int* line) {
    *line = torch_import_line;
    Owned torch = Owned::steal(
        PyImport_ImportModuleLevelObject(str_torch, module_globals(), Py_None, Py_None, 0));
    if (!torch) {
        return Owned();
    }
    *line = matmul_line;
    Owned matmul = Owned::steal(PyObject_GetAttr(torch.get(), str_matmul));
    if (!matmul) {
        return Owned();
    }
    PyObject* matmul_args[] = {doc_embs, query_emb};
    Owned sims = Owned::steal(PyObject_Vectorcall(matmul.get(), matmul_args, 2, nullptr));
    if (!sims) {
        return Owned();
    }
    *line = scores_line;
    Owned on_host = Owned::steal(PyObject_CallMethodNoArgs(sims.get(), str_cpu));
    if (!on_host) {
        return Owned();
    }
    return Owned::steal(PyObject_CallMethodNoArgs(on_host.get(), str_tolist));
}

// Builds a record per (path, score) pair and sorts them, best first.
Owned rank_records(PyObject* files, PyObject* texts, PyObject* scores, int* line) {
    *line = builder_loop_line;
    PyObject* zip_args[] = {files, scores};
    Owned pairs = Owned::steal(PyObject_Vectorcall(cached_builtins.zip, zip_args, 2, nullptr));
    if (!pairs) {
        return Owned();
    }
    Owned pairs_iterator = Owned::steal(PyObject_GetIter(pairs.get()));
    if (!pairs_iterator) {
        return Owned();
    }
    *line = builder_line;
    Owned builder = new_record_builder(pairs_iterator.get(), texts);
    if (!builder) {
        return Owned();
    }
    *line = sort_key_line;
    Owned key = new_function(sort_key_spec);
    if (!key) {
        return Owned();
    }
    *line = sort_line;
    Owned keywords = Owned::steal(PyTuple_Pack(2, str_key.get(), str_reverse.get()));
    if (!keywords) {
        return Owned();
    }
    PyObject* sort_args[] = {builder.get(), key.get(), Py_True};
    return Owned::steal(PyObject_Vectorcall(cached_builtins.sorted, sort_args, 1, keywords.get()));
}

// The first `top_k` records, or all of them when `top_k` is not positive.
Owned cut_ranking(PyObject* ranked, PyObject* top_k) {
    const int positive = PyObject_RichCompareBool(top_k, constants.int_0, Py_GT);
    if (positive < 0) {
        return Owned();
    }
    Py_ssize_t stop;
    if (positive) {
        stop = PyNumber_AsSsize_t(top_k, nullptr);  // clamps a huge top_k
    } else {
        stop = PyObject_Length(ranked);
    }
    if (stop < 0) {
        return Owned();
    }
    Owned result = Owned::steal(PySequence_GetSlice(ranked, 0, stop));
    if (!result || !check_returned_type(result.get(), &PyList_Type, "list")) {
        return Owned();
    }
    return result;
}

Owned rank(PyObject* query, PyObject* models_dir_argument, PyObject* top_k, PyObject* model_name, int* line) {
    Owned models_dir = corpus_directory(models_dir_argument, line);
    if (!models_dir) {
        return Owned();
    }

    *line = listing_line;
    Owned iter_description_files = lookup_global(str_iter_description_files);
    if (!iter_description_files) {
        return Owned();
    }
    Owned files_t = Owned::steal(PyObject_CallOneArg(iter_description_files.get(), models_dir.get()));
    if (!files_t) {
        return Owned();
    }
    *line = listing_test_line;
    const int any_files = PyObject_IsTrue(files_t.get());
    if (any_files < 0) {
        return Owned();
    }
    if (!any_files) {
        return Owned::steal(PyList_New(0));
    }

    Owned nonempty = read_nonempty(files_t.get(), line);
    if (!nonempty) {
        return Owned();
    }
    if (PyList_GET_SIZE(nonempty.get()) == 0) {
        return Owned::steal(PyList_New(0));
    }

    *line = transpose_line;
    Owned columns_args = Owned::steal(PyList_AsTuple(nonempty.get()));
    if (!columns_args) {
        return Owned();
    }
    Owned columns = Owned::steal(PyObject_Call(cached_builtins.zip, columns_args.get(), nullptr));
    if (!columns) {
        return Owned();
    }
    Owned files;
    Owned texts;
    if (!unpack_pair(columns.get(), &files, &texts)) {
        return Owned();
    }

    *line = model_line;
    Owned load = lookup_global(str_load_model);
    if (!load) {
        return Owned();
    }
    Owned model = Owned::steal(PyObject_CallOneArg(load.get(), model_name));
    if (!model) {
        return Owned();
    }
    if (model.get() == Py_None) {
        // The load failed and has already been reported as a warning: there
        // is nothing to rank with.
        return Owned::steal(PyList_New(0));
    }

    Owned doc_embs;
    Owned query_emb;
    if (!embed(model.get(), texts.get(), query, &doc_embs, &query_emb, line)) {
        return Owned();
    }
    Owned scores = similarity_scores(doc_embs.get(), query_emb.get(), line);
    if (!scores) {
        return Owned();
    }
    Owned ranked = rank_records(files.get(), texts.get(), scores.get(), line);
    if (!ranked) {
        return Owned();
    }
    *line = cut_line;
    return cut_ranking(ranked.get(), top_k);
}

PyObject* rank_problem_descriptions(FunctionObject*, PyObject* const* args) {
    int failed_line = module_dir_line;
    Owned result = rank(args[0], args[1], args[2], args[3], &failed_line);
    if (!result) {
        return fail_at(rank_spec, failed_line);
    }
    return result.release();
}

const char rank_doc[] =
    "\n"
    "    Rank problem description .txt files under 'zolt_models' by semantic similarity to the query.\n"
    "\n"
    "    Args:\n"
    "        query: The problem description to search with.\n"
    "        models_dir: Root folder containing subfolders with .txt descriptions.\n"
    "                    Defaults to '<repo_root>/zolt_models'.\n"
    "        top_k: Number of top matches to return.\n"
    "        model_name: Sentence embedding model to use.\n"
    "\n"
    "    Returns:\n"
    "        A list of dicts with: path, score, preview.\n"
    "    ";

const Parameter load_model_parameters[] = {{&str_model_name, ExactType::str, "str"}};
const Parameter rank_parameters[] = {
    {&str_query, ExactType::str, "str"},
    {&str_models_dir, ExactType::any, "Optional[Path | str]"},
    {&str_top_k, ExactType::int_, "int"},
    {&str_model_name, ExactType::str, "str"},
};
const Parameter sort_key_parameters[] = {{&str_x}};

}  // namespace

FunctionSpec genexpr_spec{
    .binding_name = "genexpr",
    .name = "genexpr",
    .qualname = "rank_problem_descriptions.<locals>.genexpr",
    .traceback_name = "genexpr",
    .first_line = builder_line,
    .parameters = nullptr,
    .parameter_count = 0,
    .defaults = nullptr,
    .doc = nullptr,
    .return_annotation = nullptr,
    .local_names = ".0 i p s",
    .free_names = "texts",
    .is_generator = true,
    .body = builder_is_not_callable,
};

FunctionSpec sort_key_spec{
    .binding_name = "lambda1",
    .name = "<lambda>",
    .qualname = "rank_problem_descriptions.<locals>.<lambda>",
    .traceback_name = "tarvex.rag_helper.rank_problem_descriptions.lambda1",
    .first_line = sort_key_line,
    .parameters = sort_key_parameters,
    .parameter_count = 1,
    .defaults = nullptr,
    .doc = nullptr,
    .return_annotation = nullptr,
    .local_names = "x",
    .is_generator = false,
    .body = sort_key,
};

FunctionSpec load_model_spec{
    .binding_name = "_load_model",
    .name = "_load_model",
    .qualname = "_load_model",
    .traceback_name = "tarvex.rag_helper._load_model",
    .first_line = 14,
    .parameters = load_model_parameters,
    .parameter_count = 1,
    .defaults = nullptr,
    .doc = nullptr,
    .return_annotation = nullptr,
    .local_names = "model_name SentenceTransformer e",
    .is_generator = false,
    .body = load_model,
};

FunctionSpec rank_spec{
    .binding_name = "rank_problem_descriptions",
    .name = "rank_problem_descriptions",
    .qualname = "rank_problem_descriptions",
    .traceback_name = "tarvex.rag_helper.rank_problem_descriptions",
    .first_line = 46,
    .parameters = rank_parameters,
    .parameter_count = 4,
    .defaults = &constants.rank_defaults,
    .doc = rank_doc,
    .return_annotation = "List[Dict[str, Any]]",
    // As the interpreter compiles the body: locals in order of first
    // assignment, the names of its inlined list comprehensions included.
    .local_names = "query models_dir top_k model_name repo_root files_t p texts_t t nonempty files model doc_embs "
                   "query_emb torch sims scores ranked",
    .cell_names = "texts",
    .is_generator = false,
    .body = rank_problem_descriptions,
};

bool ready_ranking_types() {
    return (record_builder_type.tp_flags & Py_TPFLAGS_READY) != 0 || PyType_Ready(&record_builder_type) == 0;
}

}  // namespace tarvex

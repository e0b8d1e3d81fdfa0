// Semantic ranking: loading and caching the embedding model, and ranking the
// stored descriptions against a query.
//
// `_load_model` is published wrapped by `functools.lru_cache`, so the cache
// lives in the wrapper; this unit only supplies the function it wraps.
// `rank_problem_descriptions` keeps the working values of a call in C++
// locals; the two objects it makes per call are the record builder (an
// iterator type of this unit) and the sort key (a native function object).
#include "rag_helper/semantic_ranking.hpp"

#include "rag_helper/calls.hpp"
#include "rag_helper/exception_state.hpp"
#include "rag_helper/module_state.hpp"
#include "rag_helper/statements.hpp"

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

// Traceback line numbers of the steps below: part of the traceback contract (see steps.hpp).
constexpr int kImportLine = 17;
constexpr int kConstructLine = 19;
constexpr int kWarnLine = 21;

// `from sentence_transformers import SentenceTransformer`, done afresh on
// every cache miss.
Owned import_model_class() {
    Owned module = import_from(str_sentence_transformers, {str_sentence_transformer});
    return module ? imported_name(module.get(), str_sentence_transformers, str_sentence_transformer) : Owned();
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

Owned load_model(Steps& steps, PyObject* const* args) {
    Owned model;
    {
        ConstructionLock serialised;
        Owned model_class = steps.at(kImportLine, import_model_class());
        model = model_class ? steps.at(kConstructLine, call(model_class, args[0])) : Owned();
    }
    if (model || !PyErr_ExceptionMatches(PyExc_Exception)) {
        return model;  // KeyboardInterrupt and friends pass through
    }
    // The handler: the entry is added as the exception is caught, and the
    // caught error is the handled exception while the warning is written, so
    // anything raised there carries it as context.
    add_traceback(load_model_spec.traceback_name, steps.failed_line());
    steps.reported();
    Owned caught = Owned::steal(PyErr_GetRaisedException());
    HandledExceptionScope handling(caught);
    if (!steps.at(kWarnLine, warn_load_failure(caught.get()))) {
        return Owned();
    }
    return Owned::share(Py_None);
}

// ---------------------------------------------------------------------------
// The record builder: turns each (path, score) pair into a result record
// while `sorted` consumes it.

// Traceback line numbers of the steps below: part of the traceback contract (see steps.hpp).
constexpr int kBuilderLine = 111;
constexpr int kBuilderScoreLine = 112;
constexpr int kBuilderPreviewLine = 113;
constexpr int kBuilderLoopLine = 115;
constexpr const char kBuilderCreationTracebackName[] = "tarvex.rag_helper.rank_problem_descriptions.genexpr";

struct RecordBuilder {
    PyObject_HEAD
    PyObject* pairs;    // iterator over (path, score) pairs; null once finished
    PyObject* texts;    // the call's tuple of texts, read by position
    Py_ssize_t index;   // position of the next pair in `files` and `texts`
    bool running;
};

extern PyTypeObject record_builder_type;

// `text[:300]` of a text that may be missing (null).
Owned slice_of_text(Owned text) { return text ? Owned::steal(PyObject_GetItem(text.get(), constants.preview_slice)) : Owned(); }

// One record from the next pair.  Returns null without an exception when
// the pairs are exhausted.
Owned build_record(Steps& steps, RecordBuilder* self) {
    Owned pairs = Owned::share(self->pairs);
    Owned texts = Owned::share(self->texts);

    Owned pair = steps.at(kBuilderLoopLine, Owned::steal(PyIter_Next(pairs.get())));
    Owned p;
    Owned s;
    if (!pair || !steps.at(kBuilderLoopLine, unpack_pair(pair.get(), &p, &s))) {
        return Owned();
    }
    const Py_ssize_t i = self->index++;

    Owned record = Owned::steal(PyDict_New());
    Owned path = PyUnicode_CheckExact(p.get()) ? std::move(p) : Owned::steal(PyObject_Str(p.get()));
    if (!steps.at(kBuilderLine, record && path && PyDict_SetItem(record.get(), str_path, path.get()) == 0)) {
        return Owned();
    }
    Owned score = steps.at(kBuilderScoreLine,
                           PyFloat_CheckExact(s.get()) ? std::move(s) : Owned::steal(PyNumber_Float(s.get())));
    if (!score || !steps.at(kBuilderLine, PyDict_SetItem(record.get(), str_score, score.get()) == 0)) {
        return Owned();
    }
    Owned head = slice_of_text(Owned::steal(PySequence_GetItem(texts.get(), i)));
    Owned preview = steps.at(kBuilderPreviewLine,
                             call_method(head, str_replace, PyTuple_GET_ITEM(constants.newline_to_space, 0),
                                         PyTuple_GET_ITEM(constants.newline_to_space, 1)));
    if (!preview || !steps.at(kBuilderLine, PyDict_SetItem(record.get(), str_preview, preview.get()) == 0)) {
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
    Steps steps;
    Owned record = build_record(steps, self);
    self->running = false;
    if (record) {
        return record.release();
    }
    if (PyErr_Occurred()) {
        replace_stop_iteration();
        add_traceback(genexpr_spec.traceback_name, steps.failed_line());
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
        add_traceback(kBuilderCreationTracebackName, kBuilderLine);
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
Owned builder_is_not_callable(Steps&, PyObject* const*) {
    PyErr_SetString(PyExc_SystemError, "the record builder is not called as a function");
    return Owned();
}

// ---------------------------------------------------------------------------
// The sort key: `lambda x: x["score"]`

// Traceback line numbers of the steps below: part of the traceback contract (see steps.hpp).
constexpr int kSortKeyLine = 117;

Owned sort_key(Steps& steps, PyObject* const* args) {
    PyObject* x = args[0];
    if (!PyDict_CheckExact(x)) {
        return steps.at(kSortKeyLine, item(x, str_score.get()));
    }
    PyObject* score = nullptr;
    if (PyDict_GetItemRef(x, str_score, &score) == 0) {
        PyErr_SetObject(PyExc_KeyError, str_score);
    }
    return steps.at(kSortKeyLine, Owned::steal(score));
}

// ---------------------------------------------------------------------------
// rank_problem_descriptions(query, models_dir=None, top_k=10, model_name=...)

// Traceback line numbers of the steps below: part of the traceback contract (see steps.hpp).
constexpr int kModuleDirLine = 65;
constexpr int kChooseDirLine = 66;
constexpr int kExistsLine = 68;
constexpr int kNotFoundLine = 69;
constexpr int kRankListingLine = 71;
constexpr int kListingTestLine = 72;
constexpr int kReadingLine = 75;
constexpr int kNonemptyLine = 77;
constexpr int kTransposeLine = 81;
constexpr int kModelLine = 83;
constexpr int kEncodeTextsLine = 87;
constexpr int kTextsBatchLine = 88;
constexpr int kEncodeQueryLine = 93;
constexpr int kQueryBatchLine = 94;
constexpr int kQueryItemLine = 98;
constexpr int kTorchImportLine = 102;
constexpr int kMatmulLine = 104;
constexpr int kScoresLine = 105;
constexpr int kSortLine = 108;
constexpr int cut_line = 121;

// Steps of the corpus folder: the module's folder, the chosen folder, its
// existence.  Returns the folder as a path object.
Owned corpus_directory(Steps& steps, PyObject* models_dir) {
    Owned path_class = steps.at(kModuleDirLine, lookup_global(str_path_class));
    Owned module_file = path_class ? steps.at(kModuleDirLine, lookup_global(str_dunder_file)) : Owned();
    Owned repo_root = steps.at(kModuleDirLine,
                               attribute(call_method(call(path_class, module_file), str_resolve), str_parent));
    if (!repo_root) {
        return Owned();
    }

    const int given = steps.at(kChooseDirLine, PyObject_IsTrue(models_dir));
    if (given < 0) {
        return Owned();
    }
    Owned directory = steps.at(kChooseDirLine, given ? call(lookup_global(str_path_class), models_dir)
                                                      : Owned::steal(PyNumber_TrueDivide(repo_root.get(), str_zolt_models)));
    const int present = steps.at(kExistsLine, truth(call_method(directory, str_exists)));
    if (present != 0) {
        return present > 0 ? std::move(directory) : Owned();
    }

    Owned shown = Owned::steal(PyObject_Format(directory.get(), constants.empty_str));
    Owned message = shown ? Owned::steal(PyUnicode_Concat(str_not_found_prefix, shown.get())) : Owned();
    Owned error = call(cached_builtins.file_not_found_error, message);
    if (error) {
        raise_instance(error.get());
    }
    steps.at(kNotFoundLine, false);
    return Owned();
}

// Reads every listed file and keeps the (path, text) pairs whose text is
// true.  Returns the new list `nonempty`.
Owned read_nonempty(Steps& steps, PyObject* files_t) {
    Owned texts_t = Owned::steal(PyList_New(0));
    const bool all_read = texts_t && for_each_item(files_t, [&](PyObject* p) {
        Owned text = call(lookup_global(str_read_text), p);
        return text && PyList_Append(texts_t.get(), text.get()) == 0;
    });
    if (!steps.at(kReadingLine, all_read)) {
        return Owned();
    }

    Owned nonempty = Owned::steal(PyList_New(0));
    Owned pairs = call(cached_builtins.zip, files_t, texts_t);
    const bool all_paired = nonempty && pairs && for_each_item(pairs.get(), [&](PyObject* pair) {
        Owned p;
        Owned t;
        if (!unpack_pair(pair, &p, &t)) {
            return false;
        }
        const int keep = PyObject_IsTrue(t.get());
        if (keep <= 0) {
            return keep == 0;
        }
        Owned kept = Owned::steal(PyTuple_Pack(2, p.get(), t.get()));
        return kept && PyList_Append(nonempty.get(), kept.get()) == 0;
    });
    return steps.at(kNonemptyLine, all_paired ? std::move(nonempty) : Owned());
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
bool embed(Steps& steps, PyObject* model, PyObject* texts, PyObject* query, Owned* doc_embs, Owned* query_emb) {
    Owned encode = steps.at(kEncodeTextsLine, attribute(model, str_encode));
    Owned texts_batch = encode ? steps.at(kTextsBatchLine, Owned::steal(PySequence_List(texts))) : Owned();
    *doc_embs = texts_batch ? steps.at(kEncodeTextsLine, encode_batch(encode.get(), texts_batch.get())) : Owned();
    if (!*doc_embs) {
        return false;
    }

    encode = steps.at(kEncodeQueryLine, attribute(model, str_encode));
    Owned query_batch = encode ? steps.at(kQueryBatchLine, Owned::steal(PyList_New(1))) : Owned();
    if (!query_batch) {
        return false;
    }
    PyList_SET_ITEM(query_batch.get(), 0, Py_NewRef(query));
    Owned query_embs = steps.at(kEncodeQueryLine, encode_batch(encode.get(), query_batch.get()));
    *query_emb = steps.at(kQueryItemLine, item(query_embs, constants.int_0));
    return static_cast<bool>(*query_emb);
}

// `import torch`, then `torch.matmul(doc_embs, query_emb).cpu().tolist()`.
Owned similarity_scores(Steps& steps, PyObject* doc_embs, PyObject* query_emb) {
    Owned torch = steps.at(
        kTorchImportLine, Owned::steal(PyImport_ImportModuleLevelObject(str_torch, module_globals(), Py_None, Py_None, 0)));
    Owned sims = steps.at(kMatmulLine, call(attribute(torch, str_matmul), doc_embs, query_emb));
    return steps.at(kScoresLine, call_method(call_method(sims, str_cpu), str_tolist));
}

// Builds a record per (path, score) pair and sorts them, best first.
Owned rank_records(Steps& steps, PyObject* files, PyObject* texts, PyObject* scores) {
    Owned pairs = steps.at(kBuilderLoopLine, iterate(call(cached_builtins.zip, files, scores)));
    Owned builder = pairs ? steps.at(kBuilderLine, new_record_builder(pairs.get(), texts)) : Owned();
    Owned key = builder ? steps.at(kSortKeyLine, new_function(sort_key_spec)) : Owned();
    Owned keywords = key ? Owned::steal(PyTuple_Pack(2, str_key.get(), str_reverse.get())) : Owned();
    if (!keywords) {
        return Owned();
    }
    PyObject* sort_args[] = {builder.get(), key.get(), Py_True};
    return steps.at(kSortLine, Owned::steal(PyObject_Vectorcall(cached_builtins.sorted, sort_args, 1, keywords.get())));
}

// The first `top_k` records, or all of them when `top_k` is not positive.
Owned cut_ranking(PyObject* ranked, PyObject* top_k) {
    const int positive = PyObject_RichCompareBool(top_k, constants.int_0, Py_GT);
    if (positive < 0) {
        return Owned();
    }
    // A huge top_k is clamped.
    const Py_ssize_t stop = positive ? PyNumber_AsSsize_t(top_k, nullptr) : PyObject_Length(ranked);
    if (stop < 0) {
        return Owned();
    }
    Owned result = Owned::steal(PySequence_GetSlice(ranked, 0, stop));
    if (!result || !check_returned_type(result.get(), &PyList_Type, "list")) {
        return Owned();
    }
    return result;
}

Owned rank_problem_descriptions(Steps& steps, PyObject* const* args) {
    PyObject* const query = args[0];
    PyObject* const top_k = args[2];
    PyObject* const model_name = args[3];
    Owned models_dir = corpus_directory(steps, args[1]);
    if (!models_dir) {
        return Owned();
    }

    Owned files_t = steps.at(kRankListingLine, call(lookup_global(str_iter_description_files), models_dir));
    const int any_files = steps.at(kListingTestLine, truth(files_t));
    if (any_files <= 0) {
        return any_files == 0 ? Owned::steal(PyList_New(0)) : Owned();
    }

    Owned nonempty = read_nonempty(steps, files_t.get());
    if (!nonempty || PyList_GET_SIZE(nonempty.get()) == 0) {
        return nonempty ? Owned::steal(PyList_New(0)) : Owned();
    }

    Owned columns_args = Owned::steal(PyList_AsTuple(nonempty.get()));
    Owned columns = columns_args ? Owned::steal(PyObject_Call(cached_builtins.zip, columns_args.get(), nullptr)) : Owned();
    Owned files;
    Owned texts;
    if (!steps.at(kTransposeLine, columns && unpack_pair(columns.get(), &files, &texts))) {
        return Owned();
    }

    Owned model = steps.at(kModelLine, call(lookup_global(str_load_model), model_name));
    if (!model || model.get() == Py_None) {
        // None: the load failed and has already been reported as a warning;
        // there is nothing to rank with.
        return model ? Owned::steal(PyList_New(0)) : Owned();
    }

    Owned doc_embs;
    Owned query_emb;
    if (!embed(steps, model.get(), texts.get(), query, &doc_embs, &query_emb)) {
        return Owned();
    }
    Owned scores = similarity_scores(steps, doc_embs.get(), query_emb.get());
    Owned ranked = scores ? rank_records(steps, files.get(), texts.get(), scores.get()) : Owned();
    return ranked ? steps.at(cut_line, cut_ranking(ranked.get(), top_k)) : Owned();
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
    .first_line = kBuilderLine,
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
    .first_line = kSortKeyLine,
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

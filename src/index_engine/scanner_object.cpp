// The Scanner type: one corpus folder's listing and the metadata remembered
// from the previous scan, so that a scan names only the files to read again.
// Each method converts its arguments, moves the scanner's state on
// (scanner_state.hpp) and converts what that gave back.
#include "index_engine/scanner_object.hpp"

#include <errno.h>
#include <time.h>

#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "index_engine/content_hash.hpp"
#include "index_engine/corpus_walk.hpp"
#include "index_engine/int_argument.hpp"
#include "index_engine/module.hpp"
#include "index_engine/path_order.hpp"
#include "index_engine/scanner_state.hpp"

namespace tarvex::engine {
namespace {

struct ScannerData {
    std::string root;          // normalized, file-system bytes
    Owned root_text;           // the same as str
    Owned prefix_text;         // what listed paths start with, as str
    ScannerState state;        // what is remembered of the folder
    std::vector<Owned> names;  // the str of each remembered path
    Owned listing;             // the list the last scan returned
};

struct ScannerObject {
    PyObject_HEAD
    PyMutex lock;  // one call at a time; waiting for it lets go of the GIL
    ScannerData* data;
};

// Holds the scanner's lock for a scope.
class ScannerLock {
public:
    explicit ScannerLock(ScannerObject* scanner) noexcept : lock_(&scanner->lock) { PyMutex_Lock(lock_); }
    ScannerLock(const ScannerLock&) = delete;
    ScannerLock& operator=(const ScannerLock&) = delete;
    ~ScannerLock() { PyMutex_Unlock(lock_); }

private:
    PyMutex* lock_;
};

ScannerObject* as_scanner(PyObject* self) noexcept { return reinterpret_cast<ScannerObject*>(self); }

std::int64_t wall_clock_ns() noexcept {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);  // the clock time.time_ns() reads
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// The file-system bytes of a path given as str (or os.PathLike giving str).
bool path_bytes(PyObject* path, std::string& out) {
    Owned text = Owned::steal(PyOS_FSPath(path));
    if (!text) {
        return false;
    }
    if (!PyUnicode_Check(text.get())) {
        PyErr_Format(PyExc_TypeError, "expected a str path, not %.200s", Py_TYPE(text.get())->tp_name);
        return false;
    }
    Owned encoded = Owned::steal(PyUnicode_EncodeFSDefault(text.get()));
    if (!encoded) {
        return false;
    }
    out.assign(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
    if (out.find('\0') != std::string::npos) {
        PyErr_SetString(PyExc_ValueError, "embedded null character in path");
        return false;
    }
    return true;
}

Owned path_text(const std::string& path) {
    return Owned::steal(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
}

bool int64_from(PyObject* value, const char* what, std::int64_t& out) {
    if (!PyLong_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be an int, not %.200s", what, Py_TYPE(value)->tp_name);
        return false;
    }
    out = PyLong_AsLongLong(value);
    return !(out == -1 && PyErr_Occurred());
}

// Inodes are handed out as signed 64-bit numbers so that every value fits an
// SQLite integer; both spellings are taken back.
bool inode_from(PyObject* value, std::uint64_t& out) {
    IntArgument inode;
    if (!read_int_argument(value, "inode", inode)) {
        return false;
    }
    if (inode.overflow == 0) {
        out = static_cast<std::uint64_t>(inode.value);
        return true;
    }
    out = PyLong_AsUnsignedLongLong(value);
    return !(out == static_cast<std::uint64_t>(-1) && PyErr_Occurred());
}

Owned entry_tuple(PyObject* name, const FileMeta& meta, std::int64_t scanned_ns) {
    Owned scanned = scanned_ns == kUnknownScanNs ? Owned::share(Py_None)
                                                 : Owned::steal(PyLong_FromLongLong(scanned_ns));
    if (!scanned) {
        return scanned;
    }
    return Owned::steal(Py_BuildValue("(OLLLLO)", name, static_cast<long long>(meta.size),
                                      static_cast<long long>(meta.mtime_ns), static_cast<long long>(meta.ctime_ns),
                                      static_cast<long long>(static_cast<std::int64_t>(meta.inode)), scanned.get()));
}

// A scan time given as an int, or None for one that proves nothing.
bool scan_time_from(PyObject* value, std::int64_t& out) {
    if (value == Py_None) {
        out = kUnknownScanNs;
        return true;
    }
    return int64_from(value, "scanned_ns", out);
}

Owned list_of(const std::vector<Owned>& names, const std::vector<std::size_t>& which) {
    Owned list = Owned::steal(PyList_New(static_cast<Py_ssize_t>(which.size())));
    if (!list) {
        return list;
    }
    for (std::size_t i = 0; i < which.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), new_ref(names[which[i]].borrow()));
    }
    return list;
}

// The cached listing, if the caller left it as it was returned.
bool listing_intact(const ScannerData& data) {
    PyObject* list = data.listing.get();
    if (list == nullptr || PyList_GET_SIZE(list) != static_cast<Py_ssize_t>(data.names.size())) {
        return false;
    }
    for (std::size_t i = 0; i < data.names.size(); ++i) {
        if (PyList_GET_ITEM(list, static_cast<Py_ssize_t>(i)) != data.names[i].get()) {
            return false;
        }
    }
    return true;
}

// ---- methods -------------------------------------------------------------

PyObject* scanner_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"root", nullptr};
    PyObject* root_arg = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Scanner", const_cast<char**>(keywords), &root_arg)) {
        return nullptr;
    }
    std::string root;
    if (!path_bytes(root_arg, root)) {
        return nullptr;
    }
    Owned self = Owned::steal(type->tp_alloc(type, 0));
    if (!self) {
        return nullptr;
    }
    ScannerObject* scanner = as_scanner(self.get());
    scanner->lock = PyMutex{};
    try {
        scanner->data = new ScannerData{};
        scanner->data->root = normalize_path(root);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    scanner->data->root_text = path_text(scanner->data->root);
    if (!scanner->data->root_text) {
        return nullptr;
    }
    try {
        scanner->data->prefix_text = path_text(listed_prefix(scanner->data->root));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    if (!scanner->data->prefix_text) {
        return nullptr;
    }
    return self.release();
}

int scanner_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (ScannerData* data = as_scanner(self)->data) {
        Py_VISIT(data->listing.get());
    }
    return 0;
}

int scanner_clear(PyObject* self) {
    if (ScannerData* data = as_scanner(self)->data) {
        data->listing.reset();
    }
    return 0;
}

void scanner_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    delete as_scanner(self)->data;
    as_scanner(self)->data = nullptr;
    type->tp_free(self);
    Py_DECREF(type);
}

// One entry of load(): (path, size, mtime_ns, ctime_ns, inode[, scanned_ns]),
// and the str that scans return for its path; false with an exception set.
bool remembered_file_from(PyObject* item, Py_ssize_t i, std::optional<std::int64_t> scanned_ns,
                          RememberedFile& entry, Owned& name) {
    const Py_ssize_t fields = PyTuple_Check(item) ? PyTuple_GET_SIZE(item) : 0;
    if (fields != 5 && fields != 6) {
        PyErr_Format(PyExc_TypeError,
                     "entries[%zd] must be a tuple (path, size, mtime_ns, ctime_ns, inode[, scanned_ns]), "
                     "not %.200s", i, Py_TYPE(item)->tp_name);
        return false;
    }
    if (fields == 5 && !scanned_ns) {
        PyErr_Format(PyExc_TypeError, "entries[%zd] has no scanned_ns and load() was given none", i);
        return false;
    }
    PyObject* path = PyTuple_GET_ITEM(item, 0);
    if (!PyUnicode_Check(path)) {
        PyErr_Format(PyExc_TypeError, "entries[%zd]: path must be a str, not %.200s", i, Py_TYPE(path)->tp_name);
        return false;
    }
    FileMeta& meta = entry.file.meta;
    if (!path_bytes(path, entry.file.path) || !int64_from(PyTuple_GET_ITEM(item, 1), "size", meta.size) ||
        !int64_from(PyTuple_GET_ITEM(item, 2), "mtime_ns", meta.mtime_ns) ||
        !int64_from(PyTuple_GET_ITEM(item, 3), "ctime_ns", meta.ctime_ns) ||
        !inode_from(PyTuple_GET_ITEM(item, 4), meta.inode)) {
        return false;
    }
    entry.scanned_ns = scanned_ns.value_or(kUnknownScanNs);
    if (fields == 6 && !scan_time_from(PyTuple_GET_ITEM(item, 5), entry.scanned_ns)) {
        return false;
    }
    // The listing's spelling of these bytes, which is what scans return.
    name = path_text(entry.file.path);
    return static_cast<bool>(name);
}

PyObject* scanner_load(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"entries", "scanned_ns", nullptr};
    PyObject* entries_arg = nullptr;
    PyObject* scanned_arg = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:load", const_cast<char**>(keywords), &entries_arg,
                                     &scanned_arg)) {
        return nullptr;
    }
    // The scan time of entries that bring none of their own.
    std::optional<std::int64_t> scanned_ns;
    if (scanned_arg != Py_None) {
        std::int64_t given = 0;
        if (!int64_from(scanned_arg, "scanned_ns", given)) {
            return nullptr;
        }
        scanned_ns = given;
    }
    Owned sequence = Owned::steal(PySequence_Fast(entries_arg, "entries must be an iterable of tuples"));
    if (!sequence) {
        return nullptr;
    }
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());

    try {
        std::vector<RememberedFile> given;
        std::vector<Owned> given_names;
        given.reserve(static_cast<std::size_t>(count));
        given_names.reserve(static_cast<std::size_t>(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
            RememberedFile entry;
            Owned name;
            if (!remembered_file_from(PySequence_Fast_GET_ITEM(sequence.get(), i), i, scanned_ns, entry, name)) {
                return nullptr;
            }
            given.push_back(std::move(entry));
            given_names.push_back(std::move(name));
        }
        LoadOutcome outcome = after_load(std::move(given), scanned_ns);
        if (outcome.repeated) {
            PyErr_Format(PyExc_ValueError, "entries name the path %R twice", given_names[*outcome.repeated].get());
            return nullptr;
        }
        std::vector<Owned> names;
        names.reserve(outcome.order.size());
        for (const std::size_t position : outcome.order) {
            names.push_back(std::move(given_names[position]));
        }

        Owned replaced_listing;  // dropped after the lock: its items may run code
        ScannerLock lock(as_scanner(self));
        ScannerData& data = *as_scanner(self)->data;
        data.state = std::move(outcome.next);
        std::swap(data.names, names);  // the old names go when `names` does
        replaced_listing = std::move(data.listing);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    Py_RETURN_NONE;
}

// The str of each file a scan listed: the remembered one's again, a new one's made.
bool listed_names(const std::vector<Owned>& remembered_names, const ScanOutcome& outcome, std::vector<Owned>& names) {
    const std::vector<ListedFile>& listing = outcome.next.remembered;
    names.reserve(listing.size());
    for (std::size_t i = 0; i < listing.size(); ++i) {
        const std::ptrdiff_t before = outcome.diff.remembered_index[i];
        names.push_back(before >= 0 ? Owned::share(remembered_names[static_cast<std::size_t>(before)].borrow())
                                    : path_text(listing[i].path));
        if (!names.back()) {
            return false;
        }
    }
    return true;
}

// The error the reference walk raises for a file it cannot examine
// (PermissionError and so on).
PyObject* raise_walk_failure(const CorpusListing& walked) {
    Owned failed = path_text(walked.failed_path);
    if (!failed) {
        return nullptr;
    }
    errno = walked.failed_errno;
    return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, failed.get());
}

PyObject* scanner_scan(PyObject* self, PyObject*) {
    Owned replaced_listing;  // dropped after the lock: its items may run code
    ScannerLock lock(as_scanner(self));
    ScannerData& data = *as_scanner(self)->data;
    try {
        const std::int64_t started_ns = wall_clock_ns();
        CorpusListing walked;
        ScanOutcome outcome;
        bool out_of_memory = false;
        std::optional<std::string> walk_failure;  // a system error of the walk's threads
        Py_BEGIN_ALLOW_THREADS
        try {
            walked = walk_corpus(data.root);
            outcome = after_scan(data.state, std::move(walked.files), started_ns);
        } catch (const std::bad_alloc&) {
            out_of_memory = true;
        } catch (const std::exception& error) {
            walk_failure = error.what();
        }
        Py_END_ALLOW_THREADS
        if (out_of_memory) {
            return PyErr_NoMemory();
        }
        if (walk_failure) {
            PyErr_Format(PyExc_RuntimeError, "the scan of %R failed: %s", data.root_text.get(), walk_failure->c_str());
            return nullptr;
        }
        if (walked.failed_errno != 0) {
            return raise_walk_failure(walked);  // the scanner keeps remembering what it did
        }

        std::vector<Owned> names;
        if (!listed_names(data.names, outcome, names)) {
            return nullptr;
        }
        Owned stale = list_of(names, outcome.diff.stale);
        Owned removed = list_of(data.names, outcome.diff.removed);
        if (!stale || !removed) {
            return nullptr;
        }
        Owned listed;
        if (outcome.diff.same_paths && listing_intact(data)) {
            listed = Owned::share(data.listing.borrow());
        } else {
            std::vector<std::size_t> all(names.size());
            for (std::size_t i = 0; i < all.size(); ++i) {
                all[i] = i;
            }
            listed = list_of(names, all);
            if (!listed) {
                return nullptr;
            }
        }
        Owned result = Owned::steal(Py_BuildValue("(OOOL)", listed.get(), stale.get(), removed.get(),
                                                  static_cast<long long>(started_ns)));
        if (!result) {
            return nullptr;
        }

        data.state = std::move(outcome.next);
        std::swap(data.names, names);
        replaced_listing = std::move(data.listing);
        data.listing = std::move(listed);
        return result.release();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// The position of a remembered path, or KeyError.
bool remembered_index(const ScannerData& data, PyObject* item, Py_ssize_t i, std::size_t& index) {
    if (!PyUnicode_Check(item)) {
        PyErr_Format(PyExc_TypeError, "paths[%zd] must be a str, not %.200s", i, Py_TYPE(item)->tp_name);
        return false;
    }
    std::string path;
    if (!path_bytes(item, path)) {
        return false;
    }
    const std::optional<std::size_t> found = remembered_position(data.state, path);
    if (!found) {
        PyErr_SetObject(PyExc_KeyError, item);
        return false;
    }
    index = *found;
    return true;
}

// The paths argument as a list or tuple, made before the scanner's lock is
// taken: iterating it may run any code, the scanner's own methods included.
Owned path_sequence(PyObject* paths_arg) {
    return Owned::steal(PySequence_Fast(paths_arg, "paths must be an iterable of str"));
}

// The positions of the remembered paths of `sequence`, in its order, and a
// list to hold one answer for each; false with an exception set (TypeError,
// KeyError, MemoryError).  Call with the scanner's lock held.
bool remembered_indices(const ScannerData& data, PyObject* sequence, std::vector<std::size_t>& which,
                        Owned& answers) {
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence);
    which.resize(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!remembered_index(data, PySequence_Fast_GET_ITEM(sequence, i), i, which[i])) {
            return false;
        }
    }
    answers = Owned::steal(PyList_New(count));
    return static_cast<bool>(answers);
}

// One answer of read(): (entry, real_path, text, text_hash).
Owned read_item(PyObject* module, PyObject* name, const ReadRecord& record, const OpenedDescription& file) {
    Owned text = Owned::steal(text_object(file.text));
    Owned real_path = real_path_object(file.real_path);
    if (!text || !real_path) {
        return Owned();
    }
    Owned text_hash = file.text && !file.text->empty()
                          ? Owned::steal(sha256_digest(module, file.text->data(),
                                                       static_cast<Py_ssize_t>(file.text->size())))
                          : Owned::share(Py_None);
    if (!text_hash) {
        return Owned();
    }
    Owned entry = entry_tuple(name, record.meta, record.scanned_ns);
    if (!entry) {
        return Owned();
    }
    return Owned::steal(PyTuple_Pack(4, entry.get(), real_path.get(), text.get(), text_hash.get()));
}

PyObject* scanner_read(PyObject* self, PyObject* paths_arg) {
    PyObject* module = PyType_GetModule(Py_TYPE(self));
    if (module == nullptr) {
        return nullptr;
    }
    Owned sequence = path_sequence(paths_arg);
    if (!sequence) {
        return nullptr;
    }
    ScannerLock lock(as_scanner(self));
    ScannerData& data = *as_scanner(self)->data;
    try {
        std::vector<std::size_t> which;
        Owned result;
        if (!remembered_indices(data, sequence.get(), which, result)) {
            return nullptr;
        }
        std::vector<OpenedDescription> opened;
        bool out_of_memory = false;
        Py_BEGIN_ALLOW_THREADS
        try {
            opened = open_remembered(data.state, which);
        } catch (const std::bad_alloc&) {
            out_of_memory = true;
        }
        Py_END_ALLOW_THREADS
        if (out_of_memory) {
            return PyErr_NoMemory();
        }
        const std::vector<ReadRecord> records = records_after_read(data.state, which, opened, wall_clock_ns());
        for (std::size_t i = 0; i < which.size(); ++i) {
            Owned item = read_item(module, data.names[which[i]].get(), records[i], opened[i]);
            if (!item) {
                return nullptr;
            }
            PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), item.release());
        }
        remember_reads(data.state, which, records);
        return result.release();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* scanner_root(PyObject* self, void*) { return new_ref(as_scanner(self)->data->root_text.borrow()); }

PyObject* scanner_prefix(PyObject* self, void*) { return new_ref(as_scanner(self)->data->prefix_text.borrow()); }

PyObject* scanner_repr(PyObject* self) {
    return PyUnicode_FromFormat("%s(%R)", _PyType_Name(Py_TYPE(self)), as_scanner(self)->data->root_text.get());
}

PyMethodDef scanner_methods[] = {
    {"load", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(scanner_load)),
     METH_VARARGS | METH_KEYWORDS,
     "load($self, /, entries, scanned_ns=None)\n--\n\n"
     "Remember the metadata of earlier scans: entries of (path, size, mtime_ns,\n"
     "ctime_ns, inode, scanned_ns), each with the time.time_ns() at which the scan\n"
     "that recorded it started (None: unknown, so the file is read again), or of\n"
     "(path, size, mtime_ns, ctime_ns, inode), all recorded by the scan that started\n"
     "at scanned_ns.  Replaces whatever the scanner remembered."},
    {"scan", scanner_scan, METH_NOARGS,
     "scan($self, /)\n--\n\n"
     "Walk the folder: (listing, stale, removed, scanned_ns).  listing: every\n"
     "description file in path order (the same list object again while it is\n"
     "unchanged); stale: the listed paths to read again; removed: remembered paths\n"
     "no longer listed; scanned_ns: when this scan started.  Afterwards the scanner\n"
     "remembers this scan, so the caller is expected to handle every stale path."},
    {"read", scanner_read, METH_O,
     "read($self, paths, /)\n--\n\n"
     "Open each of these listed paths once: [((path, size, mtime_ns, ctime_ns, inode,\n"
     "scanned_ns), real_path, text, text_hash), ...].  The metadata is fstat's of the descriptor\n"
     "the text was read from, real_path where that file lies (None when unknown), the\n"
     "text as read_with_real_path reads it and text_hash the SHA-256 digest of its\n"
     "UTF-8 encoding (None for an empty text).  The scanner remembers this metadata\n"
     "from now on, with the start of the last scan as its scan time, or the time it\n"
     "had before when the metadata is the same and that time proves at least as much;\n"
     "a file that gave no text is named stale again by the next scan.  KeyError for a\n"
     "path that is not remembered, before anything is read.  Reads without the GIL."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef scanner_getset[] = {
    {"root", scanner_root, nullptr, "The corpus folder, spelt as str(Path(root)) spells it.", nullptr},
    {"prefix", scanner_prefix, nullptr,
     "What every listed path starts with: the root and a slash, '' for '.'.  A path\n"
     "relative to the root is prefix + path; a listed one relative is path[len(prefix):].",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot scanner_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(scanner_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(scanner_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(scanner_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(scanner_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(scanner_repr)},
    {Py_tp_methods, scanner_methods},
    {Py_tp_getset, scanner_getset},
    {Py_tp_doc, const_cast<char*>(
        "Scanner(root)\n--\n\n"
        "Lists the description files below one corpus folder and tells which of them\n"
        "changed since the scan it remembers, from their metadata alone.")},
    {0, nullptr},
};

PyType_Spec scanner_spec = {
    .name = "tarvex._index_engine.Scanner",
    .basicsize = sizeof(ScannerObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = scanner_slots,
};

}  // namespace

int add_scanner_type(PyObject* module) {
    PyObject* type = PyType_FromModuleAndSpec(module, &scanner_spec, nullptr);
    if (type == nullptr) {
        return -1;
    }
    module_state(module)->scanner_type = type;
    return PyModule_AddObjectRef(module, "Scanner", type);
}

}  // namespace tarvex::engine

// The Scanner type: one corpus folder's listing and the metadata remembered
// from the previous scan, so that a scan names only the files to read again.
#include "index_engine/scanner_object.hpp"

#include <errno.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "index_engine/change_check.hpp"
#include "index_engine/content_hash.hpp"
#include "index_engine/corpus_walk.hpp"
#include "index_engine/description_reader.hpp"
#include "index_engine/int_argument.hpp"
#include "index_engine/module.hpp"
#include "index_engine/path_order.hpp"

namespace tarvex::engine {
namespace {

struct ScannerData {
    std::string root;                       // normalized, file-system bytes
    Owned root_text;                        // the same as str
    Owned prefix_text;                      // what listed paths start with, as str
    std::vector<ListedFile> remembered;     // path order, no repeats
    std::vector<std::int64_t> recorded_ns;  // start of the scan that recorded each
    std::vector<Owned> names;               // the str of each remembered path
    std::vector<Earlier> earlier;           // the last scan's stale files, by index
    std::optional<std::int64_t> last_scan_ns;  // start of the last scan, or the time load was given
    Owned listing;                          // the list the last scan returned
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
        struct Loaded {
            ListedFile file;
            std::int64_t scanned_ns;
            Owned name;
        };
        std::vector<Loaded> loaded;
        loaded.reserve(static_cast<std::size_t>(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* item = PySequence_Fast_GET_ITEM(sequence.get(), i);
            const Py_ssize_t fields = PyTuple_Check(item) ? PyTuple_GET_SIZE(item) : 0;
            if (fields != 5 && fields != 6) {
                PyErr_Format(PyExc_TypeError,
                             "entries[%zd] must be a tuple (path, size, mtime_ns, ctime_ns, inode[, scanned_ns]), "
                             "not %.200s", i, Py_TYPE(item)->tp_name);
                return nullptr;
            }
            if (fields == 5 && !scanned_ns) {
                PyErr_Format(PyExc_TypeError, "entries[%zd] has no scanned_ns and load() was given none", i);
                return nullptr;
            }
            PyObject* path = PyTuple_GET_ITEM(item, 0);
            if (!PyUnicode_Check(path)) {
                PyErr_Format(PyExc_TypeError, "entries[%zd]: path must be a str, not %.200s", i,
                             Py_TYPE(path)->tp_name);
                return nullptr;
            }
            Loaded entry;
            if (!path_bytes(path, entry.file.path) || !int64_from(PyTuple_GET_ITEM(item, 1), "size", entry.file.meta.size) ||
                !int64_from(PyTuple_GET_ITEM(item, 2), "mtime_ns", entry.file.meta.mtime_ns) ||
                !int64_from(PyTuple_GET_ITEM(item, 3), "ctime_ns", entry.file.meta.ctime_ns) ||
                !inode_from(PyTuple_GET_ITEM(item, 4), entry.file.meta.inode)) {
                return nullptr;
            }
            entry.scanned_ns = scanned_ns.value_or(kUnknownScanNs);
            if (fields == 6 && !scan_time_from(PyTuple_GET_ITEM(item, 5), entry.scanned_ns)) {
                return nullptr;
            }
            // The listing's spelling of these bytes, which is what scans return.
            entry.name = path_text(entry.file.path);
            if (!entry.name) {
                return nullptr;
            }
            loaded.push_back(std::move(entry));
        }
        std::sort(loaded.begin(), loaded.end(),
                  [](const Loaded& a, const Loaded& b) { return path_less(a.file.path, b.file.path); });
        for (std::size_t i = 1; i < loaded.size(); ++i) {
            if (loaded[i].file.path == loaded[i - 1].file.path) {
                PyErr_Format(PyExc_ValueError, "entries name the path %R twice", loaded[i].name.get());
                return nullptr;
            }
        }
        std::vector<ListedFile> remembered;
        std::vector<std::int64_t> recorded_ns;
        std::vector<Owned> names;
        remembered.reserve(loaded.size());
        recorded_ns.reserve(loaded.size());
        names.reserve(loaded.size());
        for (Loaded& entry : loaded) {
            remembered.push_back(std::move(entry.file));
            recorded_ns.push_back(entry.scanned_ns);
            names.push_back(std::move(entry.name));
        }

        Owned replaced_listing;  // dropped after the lock: its items may run code
        ScannerLock lock(as_scanner(self));
        ScannerData& data = *as_scanner(self)->data;
        data.remembered = std::move(remembered);
        data.recorded_ns = std::move(recorded_ns);
        std::swap(data.names, names);  // the old names go when `names` does
        data.earlier.clear();
        data.last_scan_ns = scanned_ns;
        replaced_listing = std::move(data.listing);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    Py_RETURN_NONE;
}

PyObject* scanner_scan(PyObject* self, PyObject*) {
    Owned replaced_listing;  // dropped after the lock: its items may run code
    ScannerLock lock(as_scanner(self));
    ScannerData& data = *as_scanner(self)->data;
    try {
        const std::int64_t started_ns = wall_clock_ns();
        CorpusListing walked;
        ScanDiff diff;
        bool out_of_memory = false;
        std::optional<std::string> walk_failure;  // a system error of the walk's threads
        Py_BEGIN_ALLOW_THREADS
        try {
            walked = walk_corpus(data.root);
            diff = compare_with_remembered(data.remembered, data.recorded_ns, walked.files);
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
            // The error the reference walk raises (PermissionError and so on);
            // the scanner keeps remembering what it did.
            Owned failed = path_text(walked.failed_path);
            if (!failed) {
                return nullptr;
            }
            errno = walked.failed_errno;
            return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, failed.get());
        }
        std::vector<ListedFile>& listing = walked.files;

        std::vector<Owned> names;
        names.reserve(listing.size());
        for (std::size_t i = 0; i < listing.size(); ++i) {
            const std::ptrdiff_t before = diff.remembered_index[i];
            names.push_back(before >= 0 ? Owned::share(data.names[static_cast<std::size_t>(before)].borrow())
                                        : path_text(listing[i].path));
            if (!names.back()) {
                return nullptr;
            }
        }
        Owned stale = list_of(names, diff.stale);
        Owned removed = list_of(data.names, diff.removed);
        if (!stale || !removed) {
            return nullptr;
        }
        Owned listed;
        if (diff.same_paths && listing_intact(data)) {
            listed = Owned::share(data.listing.borrow());
        } else {
            std::vector<std::size_t> all(listing.size());
            for (std::size_t i = 0; i < all.size(); ++i) {
                all[i] = i;
            }
            listed = list_of(names, all);
            if (!listed) {
                return nullptr;
            }
        }
        ScanTimes times = times_after_scan(data.remembered, data.recorded_ns, diff, started_ns);
        Owned result = Owned::steal(Py_BuildValue("(OOOL)", listed.get(), stale.get(), removed.get(),
                                                  static_cast<long long>(started_ns)));
        if (!result) {
            return nullptr;
        }

        data.remembered = std::move(listing);
        data.recorded_ns = std::move(times.recorded_ns);
        data.earlier = std::move(times.earlier);
        std::swap(data.names, names);
        data.last_scan_ns = started_ns;
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
    const auto found = std::lower_bound(
        data.remembered.begin(), data.remembered.end(), path,
        [](const ListedFile& file, const std::string& key) { return path_less(file.path, key); });
    if (found == data.remembered.end() || found->path != path) {
        PyErr_SetObject(PyExc_KeyError, item);
        return false;
    }
    index = static_cast<std::size_t>(found - data.remembered.begin());
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
        std::vector<OpenedDescription> opened(which.size());
        bool out_of_memory = false;
        Py_BEGIN_ALLOW_THREADS
        try {
            for (std::size_t i = 0; i < which.size(); ++i) {
                opened[i] = open_description(data.remembered[which[i]].path, kDefaultMaxChars);
            }
        } catch (const std::bad_alloc&) {
            out_of_memory = true;
        }
        Py_END_ALLOW_THREADS
        if (out_of_memory) {
            return PyErr_NoMemory();
        }
        // Before any scan, the metadata is recorded as of now, before nothing it
        // was read from could have changed.
        const std::int64_t recorded_at = data.last_scan_ns ? *data.last_scan_ns : wall_clock_ns();

        for (std::size_t i = 0; i < which.size(); ++i) {
            const OpenedDescription& file = opened[i];
            FileMeta& remembered = data.remembered[which[i]].meta;
            std::int64_t& recorded_ns = data.recorded_ns[which[i]];
            FileMeta before = remembered;
            std::int64_t before_ns = recorded_ns;
            const auto stash = std::lower_bound(data.earlier.begin(), data.earlier.end(), which[i],
                                                [](const Earlier& e, std::size_t key) { return e.index < key; });
            if (stash != data.earlier.end() && stash->index == which[i]) {
                before = stash->meta;
                before_ns = stash->scanned_ns;
            }
            // What the descriptor says, so a link swapped since the walk shows as
            // a change next time; a file that gave no text is tried again then.
            if (file.opened) {
                remembered = file.meta;
            }
            if (!file.text) {
                remembered.size = kUntrustedSize;
            }
            recorded_ns = time_after_read(remembered, before, before_ns, recorded_at);
            Owned text = Owned::steal(text_object(file.text));
            Owned real_path = real_path_object(file.real_path);
            if (!text || !real_path) {
                return nullptr;
            }
            Owned text_hash = file.text && !file.text->empty()
                                  ? Owned::steal(sha256_digest(module, file.text->data(),
                                                               static_cast<Py_ssize_t>(file.text->size())))
                                  : Owned::share(Py_None);
            if (!text_hash) {
                return nullptr;
            }
            Owned entry = entry_tuple(data.names[which[i]].get(), remembered, recorded_ns);
            if (!entry) {
                return nullptr;
            }
            PyObject* item = PyTuple_Pack(4, entry.get(), real_path.get(), text.get(), text_hash.get());
            if (item == nullptr) {
                return nullptr;
            }
            PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), item);
        }
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

// Command-line entry: the block at the end of the module body that runs when
// the module is the main module.  It takes the query from the words after
// the program name, ranks the stored descriptions against it and prints one
// line per match, best first.
//
// Every name the block uses is looked up in the module globals at the moment
// of use; `print` is the builtin cached at load.  Nothing is caught here: a
// failure (SystemExit included) leaves the block with the source line of the
// failing statement in *failed_line.
#include "command_line.hpp"
#include "module_state.hpp"
#include "names.hpp"
#include "statements.hpp"

#include <string>

namespace tarvex {
namespace {

Interned str_argv("argv");
Interned str_exit("exit");
Interned str_results("results");
Interned str_i("i");
Interned str_r("r");
Interned str_space(" ");
Interned str_position_format("2d");
Interned str_after_position(". ");
Interned str_before_score("  score=");
Interned str_score_format(".4f");
Interned str_usage("Usage: python rag.py \"your problem description here\"");
Interned str_nothing_found("No descriptions found.");

constexpr int query_line = 127;
constexpr int query_test_line = 128;
constexpr int usage_line = 129;
constexpr int usage_exit_line = 130;
constexpr int rank_line = 132;
constexpr int results_test_line = 133;
constexpr int nothing_found_line = 134;
constexpr int nothing_found_exit_line = 135;
constexpr int loop_line = 137;
constexpr int print_line = 138;

// Keyword names of the ranking call, (query, top_k); made once.
PyObject* rank_keywords = nullptr;

// query = " ".join(sys.argv[1:]).strip()
bool bind_query() {
    Owned sys = lookup_global(str_sys);
    if (!sys) {
        return false;
    }
    Owned argv = Owned::steal(PyObject_GetAttr(sys.get(), str_argv));
    if (!argv) {
        return false;
    }
    Owned words = slice_of(argv.get(), constants.argv_tail_slice);
    if (!words) {
        return false;
    }
    Owned joined = Owned::steal(PyUnicode_Join(str_space, words.get()));
    if (!joined) {
        return false;
    }
    Owned query = Owned::steal(PyObject_CallMethodNoArgs(joined.get(), str_strip));
    return query && bind_global(str_query, query.get());
}

// Truth value of a global looked up now: 1, 0, or -1 on error.
int global_is_true(PyObject* name) {
    Owned value = lookup_global(name);
    if (!value) {
        return -1;
    }
    return PyObject_IsTrue(value.get());
}

bool print_text(PyObject* text) {
    Owned printed = Owned::steal(PyObject_CallOneArg(cached_builtins.print, text));
    return static_cast<bool>(printed);
}

// sys.exit(status): normally raises SystemExit, so this returns false.  A
// replaced `sys.exit` that returns lets the block go on, as in Python code.
bool call_exit(PyObject* status) {
    Owned sys = lookup_global(str_sys);
    if (!sys) {
        return false;
    }
    Owned exit = Owned::steal(PyObject_GetAttr(sys.get(), str_exit));
    if (!exit) {
        return false;
    }
    Owned outcome = Owned::steal(PyObject_CallOneArg(exit.get(), status));
    return static_cast<bool>(outcome);
}

// results = rank_problem_descriptions(query=query, top_k=10)
bool bind_results() {
    if (rank_keywords == nullptr) {
        rank_keywords = PyTuple_Pack(2, str_query.get(), str_top_k.get());
        if (rank_keywords == nullptr) {
            return false;
        }
    }
    Owned rank = lookup_global(str_rank_problem_descriptions);
    if (!rank) {
        return false;
    }
    Owned query = lookup_global(str_query);
    if (!query) {
        return false;
    }
    PyObject* arguments[] = {query.get(), constants.int_10};
    Owned results = Owned::steal(PyObject_Vectorcall(rank.get(), arguments, 0, rank_keywords));
    return results && bind_global(str_results, results.get());
}

// One entry of the current record `r` (looked up anew), as a plain
// subscription.
Owned record_entry(PyObject* key) {
    Owned record = lookup_global(str_r);
    if (!record) {
        return Owned();
    }
    return Owned::steal(PyObject_GetItem(record.get(), key));
}

// Terminal control characters (C0, DEL, C1) shown as escapes, so that a file
// name can neither start a new line nor send commands to the terminal:
// "\n", "\r", "\t", else "\xNN".  Everything else, non-ASCII letters
// included, stays as it is.
bool is_control(Py_UCS4 c) { return c < 0x20 || (c >= 0x7f && c < 0xa0); }

Owned escape_controls(PyObject* text) {
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    Py_ssize_t first = 0;
    while (first < length && !is_control(PyUnicode_READ(kind, data, first))) {
        ++first;
    }
    if (first == length) {
        return Owned::share(text);
    }
    std::u32string shown;
    shown.reserve(static_cast<std::size_t>(length) + 8);
    for (Py_ssize_t index = 0; index < length; ++index) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, index);
        if (!is_control(c)) {
            shown.push_back(c);
            continue;
        }
        shown.push_back(U'\\');
        switch (c) {
        case U'\n': shown.push_back(U'n'); break;
        case U'\r': shown.push_back(U'r'); break;
        case U'\t': shown.push_back(U't'); break;
        default:
            shown.push_back(U'x');
            shown.push_back(static_cast<char32_t>("0123456789abcdef"[c >> 4]));
            shown.push_back(static_cast<char32_t>("0123456789abcdef"[c & 0xf]));
        }
    }
    return Owned::steal(
        PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, shown.data(), static_cast<Py_ssize_t>(shown.size())));
}

// print(f"{i:2d}. {r['path']}  score={r['score']:.4f}"), control characters
// escaped.
bool print_match() {
    Owned position_value = lookup_global(str_i);
    if (!position_value) {
        return false;
    }
    Owned position = Owned::steal(PyObject_Format(position_value.get(), str_position_format));
    if (!position) {
        return false;
    }
    Owned path = record_entry(str_path);
    if (!path) {
        return false;
    }
    if (!PyUnicode_CheckExact(path.get())) {
        path = Owned::steal(PyObject_Format(path.get(), constants.empty_str));
        if (!path) {
            return false;
        }
    }
    Owned score_value = record_entry(str_score);
    if (!score_value) {
        return false;
    }
    Owned score = Owned::steal(PyObject_Format(score_value.get(), str_score_format));
    if (!score) {
        return false;
    }
    Owned pieces = Owned::steal(PyTuple_Pack(5, position.get(), str_after_position.get(), path.get(),
                                             str_before_score.get(), score.get()));
    if (!pieces) {
        return false;
    }
    Owned line = Owned::steal(PyUnicode_Join(constants.empty_str, pieces.get()));
    Owned shown = line ? escape_controls(line.get()) : Owned();
    return shown && print_text(shown.get());
}

// Binds r and i for one record and prints its line; the counter moves on.
// Sets *failed_line on failure.
bool show_match(PyObject* record, Owned& counter, int* failed_line) {
    *failed_line = loop_line;
    if (!bind_global(str_r, record) || !bind_global(str_i, counter.get())) {
        return false;
    }
    Owned next = Owned::steal(PyNumber_Add(counter.get(), constants.int_1));
    if (!next) {
        return false;
    }
    counter = std::move(next);
    *failed_line = print_line;
    return print_match();
}

// for i, r in enumerate(results, 1): print(...)
bool show_matches(int* failed_line) {
    *failed_line = loop_line;
    Owned results = lookup_global(str_results);
    if (!results) {
        return false;
    }
    Owned counter = Owned::share(constants.int_1);
    return for_each_item(results.get(), [&](PyObject* record) {
        if (!show_match(record, counter, failed_line)) {
            return false;
        }
        *failed_line = loop_line;  // the walk's own failures
        return true;
    });
}

// One of the block's two early ends: when the global `name` is false, print
// `message` and call sys.exit(status) (see call_exit for an exit that returns).
struct EarlyEnd {
    PyObject* name;
    int test_line;
    PyObject* message;
    int message_line;
    PyObject* status;
    int exit_line;
};

bool end_early_when_false(const EarlyEnd& end, int* failed_line) {
    *failed_line = end.test_line;
    int is_true = global_is_true(end.name);
    if (is_true != 0) {
        return is_true > 0;
    }
    *failed_line = end.message_line;
    if (!print_text(end.message)) {
        return false;
    }
    *failed_line = end.exit_line;
    return call_exit(end.status);
}

}  // namespace

bool run_command_line(int* failed_line) {
    *failed_line = query_line;
    if (!bind_query()) {
        return false;
    }
    if (!end_early_when_false({str_query, query_test_line, str_usage, usage_line, constants.int_1, usage_exit_line},
                              failed_line)) {
        return false;
    }

    *failed_line = rank_line;
    if (!bind_results()) {
        return false;
    }
    if (!end_early_when_false({str_results, results_test_line, str_nothing_found, nothing_found_line,
                               constants.int_0, nothing_found_exit_line},
                              failed_line)) {
        return false;
    }

    return show_matches(failed_line);
}

}  // namespace tarvex

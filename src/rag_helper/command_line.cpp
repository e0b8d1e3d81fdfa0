// Command-line entry: the block at the end of the module body that runs when
// the module is the main module.  It takes the query from the words after
// the program name, ranks the stored descriptions against it and prints one
// line per match, best first.
//
// Every name the block uses is looked up in the module globals at the moment
// of use; `print` is the builtin cached at load.  Nothing is caught here: a
// failure (SystemExit included) leaves the block with the source line of the
// failing statement in `steps`.
#include "rag_helper/command_line.hpp"

#include <string>

#include "rag_helper/calls.hpp"
#include "rag_helper/module_state.hpp"
#include "rag_helper/names.hpp"
#include "rag_helper/statements.hpp"
#include "rag_helper/steps.hpp"

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

// Traceback line numbers of the steps below: part of the traceback contract (see steps.hpp).
constexpr int kQueryLine = 127;
constexpr int kQueryTestLine = 128;
constexpr int kUsageLine = 129;
constexpr int kUsageExitLine = 130;
constexpr int kRankLine = 132;
constexpr int kResultsTestLine = 133;
constexpr int kNothingFoundLine = 134;
constexpr int kNothingFoundExitLine = 135;
constexpr int kLoopLine = 137;
constexpr int kPrintLine = 138;

// Keyword names of the ranking call, (query, top_k); made once.
PyObject* rank_keywords = nullptr;

// query = " ".join(sys.argv[1:]).strip()
bool bind_query() {
    Owned argv = attribute(lookup_global(str_sys), str_argv);
    Owned words = argv ? slice_of(argv.get(), constants.argv_tail_slice) : Owned();
    Owned joined = words ? Owned::steal(PyUnicode_Join(str_space, words.get())) : Owned();
    Owned query = call_method(joined, str_strip);
    return query && bind_global(str_query, query.get());
}

// results = rank_problem_descriptions(query=query, top_k=10)
bool bind_results() {
    if (rank_keywords == nullptr && (rank_keywords = PyTuple_Pack(2, str_query.get(), str_top_k.get())) == nullptr) {
        return false;
    }
    Owned rank = lookup_global(str_rank_problem_descriptions);
    Owned query = rank ? lookup_global(str_query) : Owned();
    if (!query) {
        return false;
    }
    PyObject* arguments[] = {query.get(), constants.int_10};
    Owned results = Owned::steal(PyObject_Vectorcall(rank.get(), arguments, 0, rank_keywords));
    return results && bind_global(str_results, results.get());
}

// One entry of the current record `r` (looked up anew), as a plain
// subscription.
Owned record_entry(PyObject* key) { return item(lookup_global(str_r), key); }

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
    Owned position = format(lookup_global(str_i), str_position_format);
    Owned path = position ? record_entry(str_path) : Owned();
    if (path && !PyUnicode_CheckExact(path.get())) {
        path = format(path, constants.empty_str);
    }
    Owned score = path ? format(record_entry(str_score), str_score_format) : Owned();
    Owned pieces = score ? Owned::steal(PyTuple_Pack(5, position.get(), str_after_position.get(), path.get(),
                                                     str_before_score.get(), score.get()))
                         : Owned();
    Owned line = pieces ? Owned::steal(PyUnicode_Join(constants.empty_str, pieces.get())) : Owned();
    Owned shown = line ? escape_controls(line.get()) : Owned();
    return static_cast<bool>(call(cached_builtins.print, shown));
}

// Binds r and i for one record and prints its line; the counter moves on.
bool show_match(Steps& steps, PyObject* record, Owned& counter) {
    if (!steps.at(kLoopLine, bind_global(str_r, record) && bind_global(str_i, counter.get()))) {
        return false;
    }
    counter = Owned::steal(PyNumber_Add(counter.get(), constants.int_1));
    return steps.at(kLoopLine, static_cast<bool>(counter)) && steps.at(kPrintLine, print_match());
}

// for i, r in enumerate(results, 1): print(...)
bool show_matches(Steps& steps) {
    Owned results = steps.at(kLoopLine, lookup_global(str_results));
    Owned counter = Owned::share(constants.int_1);
    auto show = [&](PyObject* record) { return show_match(steps, record, counter); };
    return results && steps.at(kLoopLine, for_each_item(results.get(), show));
}

// One of the block's two early ends: when the global `name` is false, print
// `message` and call sys.exit(status).
struct EarlyEnd {
    PyObject* name;
    int test_line;
    PyObject* message;
    int message_line;
    PyObject* status;
    int exit_line;
};

bool end_early_when_false(Steps& steps, const EarlyEnd& end) {
    const int is_true = steps.at(end.test_line, truth(lookup_global(end.name)));
    if (is_true != 0) {
        return is_true > 0;
    }
    // sys.exit normally raises SystemExit; one that returns lets the block go
    // on, as in Python code.
    return steps.at(end.message_line, static_cast<bool>(call(cached_builtins.print, end.message))) &&
           steps.at(end.exit_line, static_cast<bool>(call(attribute(lookup_global(str_sys), str_exit), end.status)));
}

}  // namespace

bool run_command_line(Steps& steps) {
    return steps.at(kQueryLine, bind_query()) &&
           end_early_when_false(steps, {str_query, kQueryTestLine, str_usage, kUsageLine, constants.int_1,
                                        kUsageExitLine}) &&
           steps.at(kRankLine, bind_results()) &&
           end_early_when_false(steps, {str_results, kResultsTestLine, str_nothing_found, kNothingFoundLine,
                                        constants.int_0, kNothingFoundExitLine}) &&
           show_matches(steps);
}

}  // namespace tarvex

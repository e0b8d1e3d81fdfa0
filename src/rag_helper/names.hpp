// Interned identifiers: the string type, and the names that several units
// share, each declared once.
#pragma once

#include <cstddef>

#include "common/refs.hpp"

namespace tarvex {

// An interned string made once while the module body runs.  Units declare the
// identifiers and literals they use as file-level `static Interned` objects;
// the constructor only records the text, so nothing is allocated before the
// interpreter is ready.
class Interned {
public:
    explicit Interned(const char* text, std::size_t length = std::size_t(-1)) noexcept;
    Interned(const Interned&) = delete;
    Interned& operator=(const Interned&) = delete;

    PyObject* get() const noexcept { return object_; }
    operator PyObject*() const noexcept { return object_; }
    const char* text() const noexcept { return text_; }

    // Creates every registered string (once per process).
    static bool make_all();

private:
    const char* text_;
    std::size_t length_;
    PyObject* object_ = nullptr;
    Interned* next_;
};

// Parameter names and module globals that more than one unit uses.
inline Interned str_path("path");
inline Interned str_models_dir("models_dir");
inline Interned str_max_chars("max_chars");
inline Interned str_query("query");
inline Interned str_top_k("top_k");
inline Interned str_model_name("model_name");
inline Interned str_score("score");
inline Interned str_strip("strip");
inline Interned str_sys("sys");
inline Interned str_logging("logging");
inline Interned str_path_class("Path");
inline Interned str_iter_description_files("_iter_description_files");
inline Interned str_read_text("_read_text");
inline Interned str_load_model("_load_model");
inline Interned str_rank_problem_descriptions("rank_problem_descriptions");
inline Interned str_module_name("tarvex.rag_helper");

}  // namespace tarvex

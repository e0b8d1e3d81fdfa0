// Semantic ranking: placeholder until the ranking pipeline lands.
#include "module_shell.hpp"

namespace tarvex {
namespace {

Interned str_model_name("model_name");
Interned str_query("query");
Interned str_models_dir("models_dir");
Interned str_top_k("top_k");
Interned str_x("x");

const Parameter load_model_parameters[] = {{&str_model_name, ExactType::str}};
const Parameter rank_parameters[] = {
    {&str_query, ExactType::str}, {&str_models_dir}, {&str_top_k, ExactType::int_}, {&str_model_name, ExactType::str}};
const Parameter sort_key_parameters[] = {{&str_x}};

PyObject* not_yet(FunctionObject*, PyObject* const*) {
    PyErr_SetString(PyExc_NotImplementedError, "not built yet");
    return nullptr;
}

}  // namespace

FunctionSpec genexpr_spec{"genexpr", "genexpr", "rank_problem_descriptions.<locals>.genexpr", "genexpr", 111,
                          nullptr, 0, nullptr, {".0", "i", "p", "s"}, true, not_yet};
FunctionSpec sort_key_spec{"lambda1", "<lambda>", "rank_problem_descriptions.<locals>.<lambda>",
                           "tarvex.rag_helper.rank_problem_descriptions.lambda1", 117, sort_key_parameters, 1,
                           nullptr, {"x"}, false, not_yet};
FunctionSpec load_model_spec{"_load_model", "_load_model", "_load_model", "tarvex.rag_helper._load_model", 14,
                             load_model_parameters, 1, nullptr, {"model_name", "SentenceTransformer", "e"},
                             false, not_yet};
FunctionSpec rank_spec{"rank_problem_descriptions", "rank_problem_descriptions", "rank_problem_descriptions",
                       "tarvex.rag_helper.rank_problem_descriptions", 46, rank_parameters, 4, &constants.rank_defaults,
                       {"query", "models_dir", "top_k", "model_name"}, false, not_yet};

bool ready_ranking_types() { return true; }
bool ready_ranking_closure_types() { return true; }

}  // namespace tarvex

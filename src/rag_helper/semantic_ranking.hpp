// What the semantic ranking contributes to the module body: the
// declarations of `_load_model` and `rank_problem_descriptions`, and of the
// two objects each ranking call makes (the record builder and the sort key).
#pragma once

#include "rag_helper/function_object.hpp"

namespace tarvex {

extern FunctionSpec genexpr_spec;
extern FunctionSpec sort_key_spec;
extern FunctionSpec load_model_spec;
extern FunctionSpec rank_spec;

// Makes the record builder's type ready (module body, line 1).
bool ready_ranking_types();

}  // namespace tarvex

// What the description corpus contributes to the module body: the
// declarations of `_iter_description_files` and `_read_text`.
#pragma once

#include "rag_helper/function_object.hpp"

namespace tarvex {

extern FunctionSpec iter_description_files_spec;
extern FunctionSpec read_text_spec;

}  // namespace tarvex

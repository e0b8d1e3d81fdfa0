// Traceback entries named after the module's source lines.
#include "rag_helper/traceback.hpp"

#include <frameobject.h>

#include <map>
#include <string>
#include <utility>

#include "rag_helper/module_state.hpp"

namespace tarvex {

void add_traceback(const char* function_name, int line) {
    // Code objects made for traceback entries, one per (name, line).  Kept for
    // the life of the process, like the module's other constants.
    static std::map<std::pair<std::string, int>, PyCodeObject*> code_cache;

    PyObject* globals = module_globals();
    if (globals == nullptr) {
        return;
    }
    // Creating the frame must not disturb the exception that is on its way out.
    PyObject* pending = PyErr_GetRaisedException();
    auto key = std::make_pair(std::string(function_name), line);
    PyCodeObject* code = nullptr;
    if (auto found = code_cache.find(key); found != code_cache.end()) {
        code = found->second;
    } else {
        code = PyCode_NewEmpty(kSourceFileName, function_name, line);
        if (code == nullptr) {
            PyErr_Clear();
            PyErr_SetRaisedException(pending);
            return;
        }
        code_cache.emplace(std::move(key), code);
    }
    PyFrameObject* frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
    if (frame == nullptr) {
        PyErr_Clear();
        PyErr_SetRaisedException(pending);
        return;
    }
    PyErr_SetRaisedException(pending);
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

}  // namespace tarvex

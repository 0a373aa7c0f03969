// The module state: the one process-wide record of constants that the
// module body and the class's methods read. Made by the exec step; lives
// until the process ends.
#pragma once

#include "runtime/arg_binding.h"
#include "runtime/globals.h"
#include "runtime/traceback_entry.h"

namespace factbrief {

// The module's vocabulary: (field, text). Every text is made once, interned
// and hashed up front, so that look-ups never hash a constant again.
#define FACTBRIEF_TEXTS(X)                                                   \
    X(AISummary, "AISummary")                                                \
    X(qualname_init, "AISummary.__init__")                                   \
    X(qualname_extract, "AISummary.extract")                                 \
    X(qualname_refined_title, "AISummary.refined_title")                     \
    X(init, "__init__")                                                      \
    X(extract, "extract")                                                    \
    X(refined_title, "refined_title")                                        \
    X(module_name, "factbrief.factbrief")                                    \
    X(source_file, "factbrief\\factbrief")                                   \
    X(object, "object")                                                      \
    X(os, "os")                                                              \
    X(sys, "sys")                                                            \
    X(re, "re")                                                              \
    X(traceback, "traceback")                                                \
    X(openai, "openai")                                                      \
    X(OpenAI, "OpenAI")                                                      \
    X(path, "path")                                                          \
    X(getcwd, "getcwd")                                                      \
    X(append, "append")                                                      \
    X(dot, ".")                                                              \
    X(dunder_spec, "__spec__")                                               \
    X(initializing, "_initializing")                                         \
    X(dunder_name, "__name__")                                               \
    X(dunder_module, "__module__")                                           \
    X(dunder_qualname, "__qualname__")                                       \
    X(prepare, "__prepare__")                                                \
    X(mro_entries, "__mro_entries__")                                        \
    X(orig_bases, "__orig_bases__")                                          \
    X(dunder_test, "__test__")                                               \
    X(self, "self")                                                          \
    X(base_url, "base_url")                                                  \
    X(api_key, "api_key")                                                    \
    X(model_id, "model_id")                                                  \
    X(content, "content")                                                    \
    X(prompt, "prompt")                                                      \
    X(length, "length")                                                      \
    X(pattern, "pattern")                                                    \
    X(messages, "messages")                                                  \
    X(client, "client")                                                      \
    X(response, "response")                                                  \
    X(summary, "summary")                                                    \
    X(title, "title")                                                        \
    X(e, "e")                                                                \
    X(chat, "chat")                                                          \
    X(completions, "completions")                                            \
    X(create, "create")                                                      \
    X(choices, "choices")                                                    \
    X(message, "message")                                                    \
    X(model, "model")                                                        \
    X(stream, "stream")                                                      \
    X(role, "role")                                                          \
    X(user, "user")                                                          \
    X(compile, "compile")                                                    \
    X(sub, "sub")                                                            \
    X(print_exc, "print_exc")                                                \
    X(status, "status")                                                      \
    X(ok, "ok")                                                              \
    X(error, "error")                                                        \
    X(clean_pattern, "[^\\w\\s]")                                            \
    X(fact_lead_in,                                                          \
      "作为一个事实信息核查员，请从如下内容中抽取出事实性信息，"             \
      "并根据事实信息总结出摘要, 要求字数在")                                \
    X(fact_middle, "字左右。要求: ")                                         \
    X(full_stop, "。")                                                       \
    X(empty, "")                                                             \
    X(cline_in_traceback, "cline_in_traceback")

struct ModuleState {
    PyObject* module_dict = nullptr;
    PyObject* builtins = nullptr;
    PyObject* options_module = nullptr;  // `binding_runtime`
    PyObject* empty_tuple = nullptr;
    PyObject* empty_bytes = nullptr;
    PyObject* empty_text = nullptr;
    PyTypeObject* method_type = nullptr;  // borrowed: the registry owns it
#define FACTBRIEF_FIELD(field, text) PyObject* t_##field = nullptr;
    FACTBRIEF_TEXTS(FACTBRIEF_FIELD)
#undef FACTBRIEF_FIELD
    PyObject* int_200 = nullptr;
    PyObject* int_0 = nullptr;
    PyObject* bases = nullptr;  // (object,)
    PyObject* init_varnames = nullptr;
    PyObject* init_code = nullptr;
    PyObject* init_defaults = nullptr;  // ('',)
    PyObject* extract_varnames = nullptr;
    PyObject* extract_code = nullptr;
    PyObject* service_defaults = nullptr;  // ('', 200), shared by both
    PyObject* refined_title_varnames = nullptr;
    PyObject* refined_title_code = nullptr;
    PyObject* client_kwnames = nullptr;  // ("base_url", "api_key")
    PyObject* create_kwnames = nullptr;  // ("model", "messages", "stream")

    // Borrowed views for the binder, pointing at the texts above.
    PyObject* init_params[4] = {};
    PyObject* init_default_values[1] = {};
    PyObject* service_params[4] = {};
    PyObject* service_default_values[2] = {};

    runtime::GlobalCache os_cache, sys_cache, re_cache, openai_cache,
        traceback_cache;
};

extern ModuleState g_state;
extern runtime::TracebackContext g_traceback;

// Names that traceback entries show.
inline constexpr const char* kModuleBodyName = "init factbrief.factbrief";
inline constexpr const char* kSourceFile = "factbrief\\\\factbrief";

// New reference to the module global `name`; nullptr with an exception.
inline PyObject* module_global(PyObject* name,
                               runtime::GlobalCache& cache) noexcept
{
    return runtime::lookup_global(g_state.module_dict, g_state.builtins,
                                  name, cache);
}

}  // namespace factbrief

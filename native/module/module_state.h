// The module state: the one process-wide record of constants that the
// module body and the class's methods read. Made by the exec step; lives
// until the process ends.
#pragma once

#include "module/ai_summary.h"
#include "runtime/arg_binding.h"
#include "runtime/globals.h"
#include "runtime/traceback_entry.h"

namespace factbrief::module {

// The module's vocabulary: (field, text). Every text is made once, interned
// and hashed up front, so that look-ups never hash a constant again.
#define FACTBRIEF_TEXTS(X)                                                   \
    X(AISummary, "AISummary")                                                \
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
    X(dunder_test, "__test__")                                               \
    X(base_url, "base_url")                                                  \
    X(api_key, "api_key")                                                    \
    X(model_id, "model_id")                                                  \
    X(content, "content")                                                    \
    X(messages, "messages")                                                  \
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
    /* Every character that is neither word nor space, but for a             \
       number's marks: . , : / - ^ ~ ～ ± × − – between two digits, % or     \
       ％ after a digit, - or − in an exponent (1e-5), - or − before a       \
       digit with no word character before it (Han and kana excepted:        \
       Chinese and Japanese put no space before a number). The class         \
       comes first, so that a word or space character fails at once; the     \
       assertions look back from after the mark. */                          \
    X(clean_pattern,                                                         \
      "[^\\w\\s](?!(?<=\\d[-.,:/^~\\u00b1\\u00d7\\u2212\\u2013\\uff5e])\\d"  \
      "|(?<=\\d[%\\uff05])|(?<=\\d[eE][-\\u2212])\\d"                        \
      "|(?<=[-\\u2212])(?<![^\\W\\u3040-\\u30ff\\u31f0-\\u31ff"              \
      "\\u3400-\\u9fff\\uf900-\\ufaff\\U0001aff0-\\U0001b16f"                \
      "\\U00020000-\\U0003ffff][-\\u2212])\\d)")                             \
    X(fact_lead_in,                                                          \
      "作为一个事实信息核查员，请从如下内容中抽取出事实性信息，"             \
      "并根据事实信息总结出摘要, 要求字数在")                                \
    X(fact_middle, "字左右。要求: ")                                         \
    X(full_stop, "。")                                                       \
    X(empty, "")                                                             \
    X(cline_in_traceback, "cline_in_traceback")

// What the module makes for one method of AISummary, all derived from the
// method's table entry (ai_summary.h).
struct MethodState {
    PyObject* name = nullptr;            // interned
    PyObject* qualname = nullptr;        // "AISummary.<name>"
    PyObject* traceback_name = nullptr;  // module name + "." + qualname
    PyObject* params[kMaxParams] = {};   // interned, `self` first
    PyObject* defaults = nullptr;        // tuple; equal defaults share one
    PyObject* varnames = nullptr;        // parameters, then locals
    PyObject* code = nullptr;
    PyObject* answer_key = nullptr;      // service methods only
    // Borrowed views for the binder and the method object.
    PyObject* default_values[kMaxParams] = {};
    runtime::ParamTable binder{};
    const char* traceback_utf8 = nullptr;
    PyMethodDef def{};
};

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
    PyObject* bases = nullptr;           // (object,)
    PyObject* client_kwnames = nullptr;  // ("base_url", "api_key")
    PyObject* create_kwnames = nullptr;  // ("model", "messages", "stream")
    MethodState methods[kMethodCount];

    runtime::GlobalCache os_cache, sys_cache, re_cache, openai_cache,
        traceback_cache;
};

extern ModuleState g_state;
extern runtime::TracebackContext g_traceback;

// Names that traceback entries show. The two spellings of the source file
// differ on purpose: the methods' code objects carry one backslash
// (co_filename factbrief\factbrief, t_source_file), traceback entries
// two (factbrief\\factbrief); callers see both.
inline constexpr const char* kModuleBodyName = "init factbrief.factbrief";
inline constexpr const char* kSourceFile = "factbrief\\\\factbrief";

// Stores a new reference into a state slot, replacing what an earlier,
// failed import attempt left there; -1 when `value` is null.
inline int keep(PyObject*& slot, PyObject* value) noexcept
{
    if (!value) return -1;
    Py_XSETREF(slot, value);
    return 0;
}

// New reference to the module global `name`; nullptr with an exception.
inline PyObject* module_global(PyObject* name,
                               runtime::GlobalCache& cache) noexcept
{
    return runtime::lookup_global(g_state.module_dict, g_state.builtins,
                                  name, cache);
}

}  // namespace factbrief::module

// The class AISummary: its method table, what the module derives from it,
// and the methods' bodies, statement by statement with their source lines
// (see the listing atop factbrief.cpp). extract and refined_title are one
// service routine that differs only in its table entry.
#include "module/ai_summary.h"

#include "module/module_state.h"
#include "runtime/call.h"
#include "runtime/compat.h"
#include "runtime/exception_scope.h"
#include "runtime/statements.h"

namespace factbrief::module {
namespace {

using runtime::Ref;
using runtime::steal;
using runtime::Statements;

// ---- __init__ ----

PyObject* init_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept
{
    const ModuleState& st = g_state;
    const MethodState& m = st.methods[kInit];
    const int line = kMethods[kInit].def_line;
    Statements body(g_traceback, m.traceback_utf8, line);
    PyObject* a[kMaxParams];
    if (runtime::bind_arguments(m.binder, args, nargs, kwnames, a) < 0)
        return body.fail();
    PyObject* self = a[0];
    if (!body.run(line + 1, PyObject_SetAttr(self, st.t_base_url, a[1])) ||
        !body.run(line + 2, PyObject_SetAttr(self, st.t_api_key, a[2])) ||
        !body.run(line + 3, PyObject_SetAttr(self, st.t_model_id, a[3])))
        return nullptr;
    Py_RETURN_NONE;
}

// ---- the service routine ----

// Statement lines, relative to the method's definition line.
enum ServiceStep : int {
    kCompile = 2,   // pattern = re.compile(PATTERN)
    kClean = 3,     // content = re.sub(pattern, '', content)
    kPrompt = 4,    // messages = ... + content
    kClient = 5,    // client = OpenAI(base_url=..., api_key=...)
    kCreate = 7,    // response = client.chat.completions.create(
    kMessage = 8,   //     messages=[{"role": "user", ...}], ...)
    kAnswer = 10,   // answer = response.choices[0].message.content
    kReturn = 11,   // return {answer_key: answer, ...}
    kPrintExc = 13, // traceback.print_exc()
    kFailure = 14,  // return {answer_key: "", ...}
};

// Each step helper below does one statement's work and returns its value,
// or an empty Ref with the error set; the routine attaches the lines.

// str(value) as a plain str: a str subclass that str() gives back is
// passed through format(value, '').
Ref plain_text(const ModuleState& st, PyObject* value)
{
    Ref text = steal(PyObject_Str(value));
    if (!text || PyUnicode_CheckExact(text.get())) return text;
    return steal(PyObject_Format(text.get(), st.empty_text));
}

Ref fact_prompt(const ModuleState& st, PyObject* cleaned, PyObject* prompt,
                PyObject* length)
{
    Ref length_text = plain_text(st, length);
    if (!length_text) return {};
    Ref prompt_text = plain_text(st, prompt);
    if (!prompt_text) return {};
    Ref pieces = steal(PyTuple_Pack(5, st.t_fact_lead_in, length_text.get(),
                                    st.t_fact_middle, prompt_text.get(),
                                    st.t_full_stop));
    if (!pieces) return {};
    Ref head = steal(PyUnicode_Join(st.empty_text, pieces.get()));
    if (!head) return {};
    return steal(PyNumber_Add(head.get(), cleaned));
}

Ref title_prompt(const ModuleState& st, PyObject* cleaned, PyObject* prompt,
                 PyObject*)
{
    Ref head = steal(PyNumber_Add(prompt, st.t_full_stop));
    if (!head) return {};
    return steal(PyNumber_Add(head.get(), cleaned));
}

// re.<attr> looked up afresh, so that a replaced module global is used.
Ref re_function(const ModuleState& st, PyObject* attr)
{
    Ref re = steal(module_global(st.t_re, g_state.re_cache));
    if (!re) return {};
    return steal(PyObject_GetAttr(re.get(), attr));
}

Ref compile_pattern(const ModuleState& st)
{
    Ref compile = re_function(st, st.t_compile);
    if (!compile) return {};
    return steal(runtime::call_one_arg(compile.get(), st.t_clean_pattern));
}

Ref clean_text(const ModuleState& st, PyObject* pattern, PyObject* content)
{
    Ref sub = re_function(st, st.t_sub);
    if (!sub) return {};
    PyObject* args[] = {pattern, st.empty_text, content};
    return steal(runtime::call(sub.get(), args, 3));
}

Ref make_client(const ModuleState& st, PyObject* self)
{
    Ref openai = steal(module_global(st.t_OpenAI, g_state.openai_cache));
    if (!openai) return {};
    Ref base_url = steal(PyObject_GetAttr(self, st.t_base_url));
    if (!base_url) return {};
    Ref api_key = steal(PyObject_GetAttr(self, st.t_api_key));
    if (!api_key) return {};
    PyObject* args[] = {base_url.get(), api_key.get()};
    return steal(runtime::call(openai.get(), args, 0, st.client_kwnames));
}

// client.chat.completions.create
Ref create_function(const ModuleState& st, PyObject* client)
{
    Ref chat = steal(PyObject_GetAttr(client, st.t_chat));
    if (!chat) return {};
    Ref completions = steal(PyObject_GetAttr(chat.get(), st.t_completions));
    if (!completions) return {};
    return steal(PyObject_GetAttr(completions.get(), st.t_create));
}

// [{"role": "user", "content": text}]
Ref user_messages(const ModuleState& st, PyObject* text)
{
    Ref message = steal(PyDict_New());
    if (!message || PyDict_SetItem(message.get(), st.t_role, st.t_user) < 0 ||
        PyDict_SetItem(message.get(), st.t_content, text) < 0)
        return {};
    Ref list = steal(PyList_New(1));
    if (!list) return {};
    PyList_SET_ITEM(list.get(), 0, message.release());
    return list;
}

Ref send_request(const ModuleState& st, PyObject* create, PyObject* model,
                 PyObject* messages)
{
    PyObject* args[] = {model, messages, Py_False};
    return steal(runtime::call(create, args, 0, st.create_kwnames));
}

// response.choices[0].message.content
Ref read_answer(const ModuleState& st, PyObject* response)
{
    Ref choices = steal(PyObject_GetAttr(response, st.t_choices));
    if (!choices) return {};
    Ref first = steal(PyObject_GetItem(choices.get(), st.int_0));
    if (!first) return {};
    Ref message = steal(PyObject_GetAttr(first.get(), st.t_message));
    if (!message) return {};
    return steal(PyObject_GetAttr(message.get(), st.t_content));
}

Ref make_record(const ModuleState& st, PyObject* answer_key,
                PyObject* answer, PyObject* content, PyObject* status)
{
    Ref record = steal(PyDict_New());
    if (!record || PyDict_SetItem(record.get(), answer_key, answer) < 0 ||
        PyDict_SetItem(record.get(), st.t_content, content) < 0 ||
        PyDict_SetItem(record.get(), st.t_status, status) < 0)
        return {};
    return record;
}

// The guarded statements; on failure the entry for the failing line has
// been added and the exception is pending.
Ref service_steps(const MethodSpec& spec, const MethodState& m,
                  Statements& body, PyObject* const* a)
{
    const ModuleState& st = g_state;
    const int line = spec.def_line;
    PyObject *self = a[0], *content = a[1], *prompt = a[2], *length = a[3];
    Ref pattern = body.run(line + kCompile, compile_pattern(st));
    if (!pattern) return {};
    Ref cleaned =
        body.run(line + kClean, clean_text(st, pattern.get(), content));
    if (!cleaned) return {};
    Ref text = body.run(line + kPrompt,
                        spec.build_prompt(st, cleaned.get(), prompt, length));
    if (!text) return {};
    Ref client = body.run(line + kClient, make_client(st, self));
    if (!client) return {};
    Ref create = body.run(line + kCreate, create_function(st, client.get()));
    if (!create) return {};
    Ref model = body.run(line + kCreate,
                         steal(PyObject_GetAttr(self, st.t_model_id)));
    if (!model) return {};
    Ref messages = body.run(line + kMessage, user_messages(st, text.get()));
    if (!messages) return {};
    Ref response = body.run(line + kCreate,
                            send_request(st, create.get(), model.get(),
                                         messages.get()));
    if (!response) return {};
    Ref answer = body.run(line + kAnswer, read_answer(st, response.get()));
    if (!answer) return {};
    return body.run(line + kReturn,
                    make_record(st, m.answer_key, answer.get(),
                                cleaned.get(), st.t_ok));
}

// traceback.print_exc()
Ref print_traceback(const ModuleState& st)
{
    Ref module = steal(module_global(st.t_traceback, g_state.traceback_cache));
    if (!module) return {};
    Ref print_exc = steal(PyObject_GetAttr(module.get(), st.t_print_exc));
    if (!print_exc) return {};
    return steal(runtime::call_no_args(print_exc.get()));
}

// except Exception: print the traceback, return the failure record. Other
// exceptions, and any raised here, go to the caller.
PyObject* handle_failure(const MethodSpec& spec, const MethodState& m,
                         Statements& body)
{
    if (!runtime::pending_is_ordinary()) return nullptr;
    const ModuleState& st = g_state;
    runtime::HandledException handled;
    if (!body.run(spec.def_line + kPrintExc, print_traceback(st)))
        return nullptr;
    return body
        .run(spec.def_line + kFailure,
             make_record(st, m.answer_key, st.empty_text, st.empty_text,
                         st.t_error))
        .release();
}

template <MethodIndex I>
PyObject* service_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept
{
    const MethodSpec& spec = kMethods[I];
    const MethodState& m = g_state.methods[I];
    Statements body(g_traceback, m.traceback_utf8, spec.def_line);
    PyObject* a[kMaxParams];
    if (runtime::bind_arguments(m.binder, args, nargs, kwnames, a) < 0)
        return body.fail();
    Ref record = service_steps(spec, m, body, a);
    if (record) return record.release();
    return handle_failure(spec, m, body);
}

// ---- what the module derives from the table ----

int count(const auto& slots)
{
    int n = 0;
    while (n < int(slots.size()) && slots[n]) ++n;
    return n;
}

// Tuple of the interned names: the parameters, then the locals.
PyObject* varnames_of(const MethodSpec& spec, const MethodState& m)
{
    int params = count(spec.params), locals = count(spec.locals);
    Ref names = steal(PyTuple_New(params + locals));
    if (!names) return nullptr;
    for (int i = 0; i < params; ++i)
        PyTuple_SET_ITEM(names.get(), i, Py_NewRef(m.params[i]));
    for (int i = 0; i < locals; ++i) {
        PyObject* local = PyUnicode_InternFromString(spec.locals[i]);
        if (!local) return nullptr;
        PyTuple_SET_ITEM(names.get(), params + i, local);
    }
    return names.release();
}

PyObject* code_of(const ModuleState& st, const MethodSpec& spec,
                  const MethodState& m)
{
    return reinterpret_cast<PyObject*>(runtime::compat::new_code(
        count(spec.params), 0, 0,
        static_cast<int>(PyTuple_GET_SIZE(m.varnames)), 0,
        CO_OPTIMIZED | CO_NEWLOCALS, st.empty_bytes, st.empty_tuple,
        st.empty_tuple, m.varnames, st.empty_tuple, st.empty_tuple,
        st.t_source_file, m.name, m.qualname, spec.def_line, st.empty_bytes,
        st.empty_bytes));
}

// The defaults tuple; methods with the very same defaults share one.
PyObject* defaults_of(const ModuleState& st, int index)
{
    const MethodSpec& spec = kMethods[index];
    for (int j = 0; j < index; ++j)
        if (kMethods[j].defaults == spec.defaults)
            return Py_NewRef(st.methods[j].defaults);
    int n = count(spec.defaults);
    Ref tuple = steal(PyTuple_New(n));
    if (!tuple) return nullptr;
    for (int i = 0; i < n; ++i)
        PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(st.*spec.defaults[i]));
    return tuple.release();
}

// The views the binder and the method object read, into the state itself.
// The default values first: a class left by an earlier, failed import may
// still be called, and must never see constants that were just replaced.
void point_defaults(const ModuleState& st, const MethodSpec& spec,
                    MethodState& m)
{
    for (int i = 0; i < count(spec.defaults); ++i)
        m.default_values[i] = st.*spec.defaults[i];
}

void fill_views(const MethodSpec& spec, MethodState& m)
{
    int total = count(spec.params), optional = count(spec.defaults);
    m.binder = runtime::ParamTable{spec.name, total, total - optional,
                                   m.params, m.default_values};
    m.traceback_utf8 = PyUnicode_AsUTF8(m.traceback_name);
    m.def = PyMethodDef{
        spec.name,
        reinterpret_cast<PyCFunction>(
            reinterpret_cast<void (*)(void)>(spec.entry)),
        METH_FASTCALL | METH_KEYWORDS, nullptr};
}

int derive_method(ModuleState& st, int index)
{
    const MethodSpec& spec = kMethods[index];
    MethodState& m = st.methods[index];
    point_defaults(st, spec, m);
    if (keep(m.name, PyUnicode_InternFromString(spec.name)) < 0 ||
        keep(m.qualname, PyUnicode_FromFormat("%U.%U", st.t_AISummary,
                                              m.name)) < 0 ||
        keep(m.traceback_name, PyUnicode_FromFormat(
                                   "%U.%U", st.t_module_name, m.qualname)) <
            0 ||
        (spec.answer_key &&
         keep(m.answer_key, PyUnicode_InternFromString(spec.answer_key)) < 0))
        return -1;
    for (int i = 0; i < count(spec.params); ++i)
        if (keep(m.params[i], PyUnicode_InternFromString(spec.params[i])) < 0)
            return -1;
    if (keep(m.varnames, varnames_of(spec, m)) < 0 ||
        keep(m.code, code_of(st, spec, m)) < 0 ||
        keep(m.defaults, defaults_of(st, index)) < 0 ||
        !PyUnicode_AsUTF8(m.traceback_name))
        return -1;
    fill_views(spec, m);
    return 0;
}

// Default values: the module's constants themselves.
constexpr std::array<Constant, kMaxParams> kInitDefaults{
    &ModuleState::t_empty};
constexpr std::array<Constant, kMaxParams> kServiceDefaults{
    &ModuleState::t_empty, &ModuleState::int_200};
constexpr std::array<const char*, kMaxParams> kServiceParams{
    "self", "content", "prompt", "length"};

}  // namespace

const MethodSpec kMethods[kMethodCount] = {
    {"__init__", 10, {"self", "base_url", "api_key", "model_id"},
     kInitDefaults, {}, nullptr, nullptr, init_entry},
    {"extract", 15, kServiceParams, kServiceDefaults,
     {"pattern", "messages", "client", "response", "summary", "e"},
     "summary", fact_prompt, service_entry<kExtract>},
    {"refined_title", 31, kServiceParams, kServiceDefaults,
     {"pattern", "messages", "client", "response", "title", "e"}, "title",
     title_prompt, service_entry<kRefinedTitle>},
};

int derive_methods(ModuleState& st) noexcept
{
    for (int i = 0; i < kMethodCount; ++i)
        if (derive_method(st, i) < 0) return -1;
    return 0;
}

}  // namespace factbrief::module

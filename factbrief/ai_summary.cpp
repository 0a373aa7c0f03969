// The methods of AISummary: argument binding, then each body statement by
// statement with its source line (see the listing atop factbrief.cpp).
// extract and refined_title are one service routine that differs only in
// its lines, its prompt text and the key of its answer.
#include "factbrief/ai_summary.h"

#include "runtime/call.h"
#include "runtime/exception_scope.h"
#include "runtime/statements.h"

namespace factbrief {
namespace {

using runtime::Ref;
using runtime::Statements;

const runtime::ParamTable kInitParams{"__init__", 4, 3, g_state.init_params,
                                      g_state.init_default_values};
const runtime::ParamTable kExtractParams{
    "extract", 4, 2, g_state.service_params, g_state.service_default_values};
const runtime::ParamTable kRefinedTitleParams{
    "refined_title", 4, 2, g_state.service_params,
    g_state.service_default_values};

Ref steal(PyObject* o) { return Ref::steal(o); }

// ---- __init__ ----

PyObject* init_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept
{
    const ModuleState& st = g_state;
    Statements body(g_traceback, "factbrief.factbrief.AISummary.__init__",
                    kInitLine);
    PyObject* a[4];
    if (runtime::bind_arguments(kInitParams, args, nargs, kwnames, a) < 0)
        return body.fail();
    PyObject* self = a[0];
    body.at(11);
    if (PyObject_SetAttr(self, st.t_base_url, a[1]) < 0) return body.fail();
    body.at(12);
    if (PyObject_SetAttr(self, st.t_api_key, a[2]) < 0) return body.fail();
    body.at(13);
    if (PyObject_SetAttr(self, st.t_model_id, a[3]) < 0) return body.fail();
    Py_RETURN_NONE;
}

// ---- the service routine ----

// Statement lines, relative to the method's definition line.
enum ServiceStep : int {
    kCompile = 2,   // pattern = re.compile(r'[^\w\s]')
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

struct ServiceMethod {
    const char* traceback_name;
    int def_line;
    const runtime::ParamTable& params;
    PyObject* ModuleState::*answer_key;
    Ref (*build_prompt)(const ModuleState&, PyObject* cleaned,
                        PyObject* prompt, PyObject* length);
};

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

Ref clean_text(const ModuleState& st, Statements& body, int def_line,
               PyObject* content)
{
    body.at(def_line + kCompile);
    Ref compile = re_function(st, st.t_compile);
    if (!compile) return body.fail();
    Ref pattern =
        steal(runtime::call_one_arg(compile.get(), st.t_clean_pattern));
    if (!pattern) return body.fail();
    body.at(def_line + kClean);
    Ref sub = re_function(st, st.t_sub);
    if (!sub) return body.fail();
    PyObject* args[] = {pattern.get(), st.empty_text, content};
    Ref cleaned = steal(runtime::call(sub.get(), args, 3));
    if (!cleaned) return body.fail();
    return cleaned;
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
    return steal(
        runtime::call(openai.get(), args, 0, st.client_kwnames));
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

Ref send_request(const ModuleState& st, Statements& body, int def_line,
                 PyObject* client, PyObject* self, PyObject* text)
{
    body.at(def_line + kCreate);
    Ref chat = steal(PyObject_GetAttr(client, st.t_chat));
    if (!chat) return body.fail();
    Ref completions = steal(PyObject_GetAttr(chat.get(), st.t_completions));
    if (!completions) return body.fail();
    Ref create = steal(PyObject_GetAttr(completions.get(), st.t_create));
    if (!create) return body.fail();
    Ref model = steal(PyObject_GetAttr(self, st.t_model_id));
    if (!model) return body.fail();
    body.at(def_line + kMessage);
    Ref messages = user_messages(st, text);
    if (!messages) return body.fail();
    body.at(def_line + kCreate);
    PyObject* args[] = {model.get(), messages.get(), Py_False};
    Ref response = steal(
        runtime::call(create.get(), args, 0, st.create_kwnames));
    if (!response) return body.fail();
    return response;
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
Ref service_steps(const ServiceMethod& m, Statements& body, PyObject* self,
                  PyObject* content, PyObject* prompt, PyObject* length)
{
    const ModuleState& st = g_state;
    const int line = m.def_line;
    Ref cleaned = clean_text(st, body, line, content);
    if (!cleaned) return {};
    body.at(line + kPrompt);
    Ref text = m.build_prompt(st, cleaned.get(), prompt, length);
    if (!text) return body.fail();
    body.at(line + kClient);
    Ref client = make_client(st, self);
    if (!client) return body.fail();
    Ref response =
        send_request(st, body, line, client.get(), self, text.get());
    if (!response) return {};
    body.at(line + kAnswer);
    Ref answer = read_answer(st, response.get());
    if (!answer) return body.fail();
    body.at(line + kReturn);
    Ref record = make_record(st, st.*m.answer_key, answer.get(),
                             cleaned.get(), st.t_ok);
    if (!record) return body.fail();
    return record;
}

// except Exception: print the traceback, return the failure record. Other
// exceptions, and any raised here, go to the caller.
PyObject* handle_failure(const ServiceMethod& m, Statements& body)
{
    if (!runtime::pending_is_ordinary()) return nullptr;
    const ModuleState& st = g_state;
    runtime::HandledException handled;
    body.at(m.def_line + kPrintExc);
    Ref module = steal(module_global(st.t_traceback, g_state.traceback_cache));
    if (!module) return body.fail();
    Ref print_exc = steal(PyObject_GetAttr(module.get(), st.t_print_exc));
    if (!print_exc) return body.fail();
    Ref printed = steal(runtime::call_no_args(print_exc.get()));
    if (!printed) return body.fail();
    body.at(m.def_line + kFailure);
    Ref record = make_record(st, st.*m.answer_key, st.empty_text,
                             st.empty_text, st.t_error);
    if (!record) return body.fail();
    return record.release();
}

PyObject* run_service(const ServiceMethod& m, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames)
{
    Statements body(g_traceback, m.traceback_name, m.def_line);
    PyObject* a[4];
    if (runtime::bind_arguments(m.params, args, nargs, kwnames, a) < 0)
        return body.fail();
    Ref record = service_steps(m, body, a[0], a[1], a[2], a[3]);
    if (record) return record.release();
    return handle_failure(m, body);
}

const ServiceMethod kExtract{"factbrief.factbrief.AISummary.extract",
                             kExtractLine, kExtractParams,
                             &ModuleState::t_summary, fact_prompt};
const ServiceMethod kRefinedTitle{
    "factbrief.factbrief.AISummary.refined_title", kRefinedTitleLine,
    kRefinedTitleParams, &ModuleState::t_title, title_prompt};

PyObject* extract_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept
{
    return run_service(kExtract, args, nargs, kwnames);
}

PyObject* refined_title_entry(PyObject*, PyObject* const* args,
                              Py_ssize_t nargs, PyObject* kwnames) noexcept
{
    return run_service(kRefinedTitle, args, nargs, kwnames);
}

template <auto Entry>
PyCFunction as_cfunction()
{
    return reinterpret_cast<PyCFunction>(
        reinterpret_cast<void (*)(void)>(Entry));
}

}  // namespace

PyMethodDef g_init_def{"__init__", as_cfunction<init_entry>(),
                       METH_FASTCALL | METH_KEYWORDS, nullptr};
PyMethodDef g_extract_def{"extract", as_cfunction<extract_entry>(),
                          METH_FASTCALL | METH_KEYWORDS, nullptr};
PyMethodDef g_refined_title_def{"refined_title",
                                as_cfunction<refined_title_entry>(),
                                METH_FASTCALL | METH_KEYWORDS, nullptr};

}  // namespace factbrief

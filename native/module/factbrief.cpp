// factbrief.factbrief: module entry, create and exec steps, the module
// state and the module body. The module behaves as this Python source;
// traceback entries name its lines (ai_summary.cpp holds the methods).
//
//  1  (module)                      # ... and finally: __test__ = {}
//  2  import os, sys
//  3  sys.path.append(os.getcwd())
//  4  import re
//  5  import traceback
//  6  from openai import OpenAI
//  9  class AISummary(object):
// 10      def __init__(self, base_url, api_key, model_id=''):
// 11          self.base_url = base_url
// 12          self.api_key = api_key
// 13          self.model_id = model_id
// 15      def extract(self, content, prompt='', length=200):
// 16          try:
// 17              pattern = re.compile(  # a number keeps its marks
//                      r'[^\w\s](?!(?<=\d[-.,:/^~\u00b1\u00d7\u2212\u2013'
//                      r'\uff5e])\d|(?<=\d[%\uff05])|(?<=\d[eE][-\u2212])\d'
//                      r'|(?<=[-\u2212])(?<![^\W\u3040-\u30ff\u31f0-\u31ff'
//                      r'\u3400-\u9fff\uf900-\ufaff\U0001aff0-\U0001b16f'
//                      r'\U00020000-\U0003ffff][-\u2212])\d)')
// 18              content = re.sub(pattern, '', content)
// 19              messages = LEAD_IN + str(length) + MIDDLE + str(prompt)
//                            + '。' + content
// 20              client = OpenAI(base_url=self.base_url,
//                                 api_key=self.api_key)
// 22              response = client.chat.completions.create(
// 23                  model=self.model_id, messages=[{"role": "user",
//                      "content": messages}], stream=False)
// 25              summary = response.choices[0].message.content
// 26              return {"summary": summary, "content": content,
//                          "status": "ok"}
// 27          except Exception as e:
// 28              traceback.print_exc()
// 29              return {"summary": "", "content": "", "status": "error"}
// 31      def refined_title(self, content, prompt='', length=200):
// 32-45       (as extract, 16 lines further down; the message text is
//              prompt + '。' + content and the answer key is "title")
#include "module/ai_summary.h"
#include "module/module_state.h"

#include "runtime/call.h"
#include "runtime/class_statement.h"
#include "runtime/imports.h"
#include "runtime/method_function.h"
#include "runtime/statements.h"
#include "runtime/version_check.h"

namespace factbrief::module {

ModuleState g_state;
runtime::TracebackContext g_traceback;

namespace {

using runtime::Ref;
using runtime::steal;
using runtime::Statements;

// The class statement's line; the methods' lines are in their table.
constexpr int kClassLine = 9;

Ref import_module(PyObject* name)
{
    return runtime::import_module(name, g_state.module_dict);
}

Ref import_from(PyObject* package, PyObject* name)
{
    return runtime::import_from(package, name, g_state.module_dict);
}

// Process-wide: the module may live in one interpreter only, and is
// initialised once.
int64_t g_owner_interpreter = -1;
PyObject* g_initialised = nullptr;  // owned

// ---- create step ----

int check_interpreter()
{
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (g_owner_interpreter == -1) {
        g_owner_interpreter = current;
        return current == -1 ? -1 : 0;
    }
    if (g_owner_interpreter == current) return 0;
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be "
                    "loaded into one interpreter per process.");
    return -1;
}

// Copies spec.<from> into the module dict as <to>; a missing attribute is
// skipped, and so is None where `allow_none` is false.
int copy_spec_attr(PyObject* spec, PyObject* dict, const char* from,
                   const char* to, bool allow_none)
{
    Ref value = steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (!allow_none && value.get() == Py_None) return 0;
    return PyDict_SetItemString(dict, to, value.get());
}

PyObject* module_create(PyObject* spec, PyModuleDef*) noexcept
{
    if (check_interpreter() < 0) return nullptr;
    // The caller nulls the state pointer of whatever module create returns
    // without freeing it, so the state of a re-created module is freed here.
    if (g_initialised) {
        PyMem_Free(PyModule_GetState(g_initialised));
        return Py_NewRef(g_initialised);
    }
    Ref name = steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (copy_spec_attr(spec, dict, "loader", "__loader__", true) < 0 ||
        copy_spec_attr(spec, dict, "origin", "__file__", true) < 0 ||
        copy_spec_attr(spec, dict, "parent", "__package__", true) < 0 ||
        copy_spec_attr(spec, dict, "submodule_search_locations", "__path__",
                       false) < 0)
        return nullptr;
    return module.release();
}

// ---- exec step: the state ----

int check_version()
{
    unsigned long runtime_version = runtime::parse_version(Py_GetVersion());
    unsigned long built_for = runtime::parse_version(PY_VERSION);
    if (runtime::same_major_minor(runtime_version, built_for)) return 0;
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s "
                  "runtime version %d.%d",
                  runtime::version_major(built_for),
                  runtime::version_minor(built_for), "factbrief.factbrief",
                  "does not match", runtime::version_major(runtime_version),
                  runtime::version_minor(runtime_version));
    return PyErr_WarnEx(nullptr, message, 1);
}

int make_texts()
{
#define FACTBRIEF_MAKE(field, text)                                          \
    if (keep(g_state.t_##field, PyUnicode_InternFromString(text)) < 0 ||     \
        PyObject_Hash(g_state.t_##field) == -1)                              \
        return -1;
    FACTBRIEF_TEXTS(FACTBRIEF_MAKE)
#undef FACTBRIEF_MAKE
    if (keep(g_state.int_200, PyLong_FromLong(200)) < 0) return -1;
    return keep(g_state.int_0, PyLong_FromLong(0));
}

// The bases tuple and the keyword-name tuples of the calls the methods
// make.
int make_class_constants(PyObject* object)
{
    ModuleState& st = g_state;
    if (keep(st.bases, PyTuple_Pack(1, object)) < 0 ||
        keep(st.client_kwnames,
             PyTuple_Pack(2, st.t_base_url, st.t_api_key)) < 0 ||
        keep(st.create_kwnames,
             PyTuple_Pack(3, st.t_model, st.t_messages, st.t_stream)) < 0)
        return -1;
    return 0;
}

// Adds the module under its full name unless some entry is already there.
int register_full_name()
{
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    PyObject* present =
        PyDict_GetItemWithError(modules, g_state.t_module_name);
    if (present) return 0;
    if (PyErr_Occurred()) return -1;
    return PyDict_SetItem(modules, g_state.t_module_name, g_initialised);
}

// ---- the module body ----

int store_global(PyObject* name, Ref value)
{
    if (!value) return -1;
    return PyDict_SetItem(g_state.module_dict, name, value.get());
}

// sys.path.append(os.getcwd())
int append_working_directory()
{
    ModuleState& st = g_state;
    Ref sys = steal(module_global(st.t_sys, st.sys_cache));
    Ref path = sys ? steal(PyObject_GetAttr(sys.get(), st.t_path)) : Ref();
    if (!path) return -1;
    Ref os = steal(module_global(st.t_os, st.os_cache));
    Ref getcwd = os ? steal(PyObject_GetAttr(os.get(), st.t_getcwd)) : Ref();
    Ref cwd = getcwd ? steal(runtime::call_no_args(getcwd.get())) : Ref();
    if (!cwd) return -1;
    if (PyList_CheckExact(path.get()))
        return PyList_Append(path.get(), cwd.get());
    Ref append = steal(PyObject_GetAttr(path.get(), st.t_append));
    Ref done =
        append ? steal(runtime::call_one_arg(append.get(), cwd.get())) : Ref();
    return done ? 0 : -1;
}

int define_method(PyObject* ns, MethodState& m)
{
    ModuleState& st = g_state;
    Ref func = steal(runtime::method_function_new(
        st.method_type, &m.def, m.qualname, st.t_module_name, st.module_dict,
        m.code));
    if (!func) return -1;
    runtime::method_function_attach_defaults(func.get(), m.defaults);
    return runtime::store_in_namespace(ns, m.name, func.get());
}

// class AISummary(object): ... (lines 9 to 45)
Ref define_class(Statements& body)
{
    ModuleState& st = g_state;
    runtime::ClassStatement cls;
    if (!body.run(kClassLine, runtime::begin_class(cls, st.t_AISummary,
                                                   st.bases,
                                                   st.t_module_name)))
        return {};
    for (int i = 0; i < kMethodCount; ++i)
        if (!body.run(kMethods[i].def_line,
                      define_method(cls.ns.get(), st.methods[i])))
            return {};
    return body.run(kClassLine, runtime::end_class(cls, st.t_AISummary));
}

int run_module_body(Statements& body)
{
    ModuleState& st = g_state;
    if (!body.run(2, store_global(st.t_os, import_module(st.t_os))) ||
        !body.run(2, store_global(st.t_sys, import_module(st.t_sys))) ||
        !body.run(3, append_working_directory()) ||
        !body.run(4, store_global(st.t_re, import_module(st.t_re))) ||
        !body.run(5, store_global(st.t_traceback,
                                  import_module(st.t_traceback))) ||
        !body.run(6, store_global(st.t_OpenAI,
                                  import_from(st.t_openai, st.t_OpenAI))))
        return -1;
    Ref cls = define_class(body);  // a compound statement: its own lines
    if (!cls) return -1;
    if (!body.run(kClassLine, store_global(st.t_AISummary, std::move(cls))) ||
        !body.run(1, store_global(st.t_dunder_test, steal(PyDict_New()))))
        return -1;
    return 0;
}

// ---- exec step ----

// The state: interned texts, empty constants, the method type and the
// options module. No traceback entry is recorded yet: the entries need
// what this builds.
int build_state(PyObject* module)
{
    ModuleState& st = g_state;
    if (keep(st.module_dict, Py_XNewRef(PyModule_GetDict(module))) < 0 ||
        keep(st.builtins, Py_XNewRef(PyImport_AddModule("builtins"))) < 0 ||
        keep(st.options_module,
             Py_XNewRef(PyImport_AddModule("binding_runtime"))) < 0 ||
        PyObject_SetAttrString(module, "__builtins__", st.builtins) < 0 ||
        check_version() < 0 || keep(st.empty_tuple, PyTuple_New(0)) < 0 ||
        keep(st.empty_bytes, PyBytes_FromStringAndSize("", 0)) < 0 ||
        keep(st.empty_text, PyUnicode_FromStringAndSize("", 0)) < 0)
        return -1;
    st.method_type = runtime::obtain_method_function_type();
    if (!st.method_type || make_texts() < 0 || derive_methods(st) < 0)
        return -1;
    g_traceback = runtime::TracebackContext{
        st.module_dict, st.options_module, st.t_cline_in_traceback,
        kSourceFile};
    return 0;
}

// Registers the module under its full name, makes the class constants and
// runs the body; failures before the body's first statement are reported
// at line 1.
int finish_module()
{
    Statements body(g_traceback, kModuleBodyName, 1);
    if (!body.run(1, register_full_name())) return -1;
    Ref object = steal(runtime::lookup_builtin(g_state.builtins,
                                               g_state.t_object));
    if (!object || make_class_constants(object.get()) < 0) return body.fail();
    return run_module_body(body);
}

int module_exec(PyObject* module) noexcept
{
    if (g_initialised) {
        if (g_initialised == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'factbrief' has already been imported. "
                        "Re-initialisation is not supported.");
        return -1;
    }
    g_initialised = Py_NewRef(module);
    if (build_state(module) < 0 || finish_module() < 0) {
        Py_CLEAR(g_initialised);  // a later import starts afresh
        return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyMethodDef module_functions[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "factbrief",
    nullptr,  // no docstring
    0,        // no per-module state: it is process-wide
    module_functions,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace factbrief::module

PyMODINIT_FUNC PyInit_factbrief(void)
{
    return PyModuleDef_Init(&factbrief::module::module_def);
}

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
// 17              pattern = re.compile(r'[^\w\s]')
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
#include "factbrief/ai_summary.h"
#include "factbrief/module_state.h"

#include "runtime/call.h"
#include "runtime/compat.h"
#include "runtime/exception_scope.h"
#include "runtime/method_function.h"
#include "runtime/statements.h"
#include "runtime/version_check.h"

#include <algorithm>

namespace factbrief {

ModuleState g_state;
runtime::TracebackContext g_traceback;

namespace {

using runtime::Ref;
using runtime::Statements;

Ref steal(PyObject* o) { return Ref::steal(o); }

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

// Stores a new reference into a state slot (replacing a failed attempt's).
int keep(PyObject*& slot, PyObject* value)
{
    if (!value) return -1;
    Py_XSETREF(slot, value);
    return 0;
}

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

PyObject* make_code(PyObject* varnames, PyObject* name, PyObject* qualname,
                    int first_line)
{
    ModuleState& st = g_state;
    return reinterpret_cast<PyObject*>(runtime::compat::new_code(
        4, 0, 0, static_cast<int>(PyTuple_GET_SIZE(varnames)), 0,
        CO_OPTIMIZED | CO_NEWLOCALS, st.empty_bytes, st.empty_tuple,
        st.empty_tuple, varnames, st.empty_tuple, st.empty_tuple,
        st.t_source_file, name, qualname, first_line, st.empty_bytes,
        st.empty_bytes));
}

// Parameter and local names of the two service methods; the last but one
// is the name of the answer.
PyObject* service_varnames(PyObject* answer)
{
    ModuleState& st = g_state;
    return PyTuple_Pack(10, st.t_self, st.t_content, st.t_prompt,
                        st.t_length, st.t_pattern, st.t_messages,
                        st.t_client, st.t_response, answer, st.t_e);
}

void fill_binder_views()
{
    ModuleState& st = g_state;
    PyObject* init[] = {st.t_self, st.t_base_url, st.t_api_key,
                        st.t_model_id};
    PyObject* service[] = {st.t_self, st.t_content, st.t_prompt,
                           st.t_length};
    std::copy(init, init + 4, st.init_params);
    std::copy(service, service + 4, st.service_params);
    st.init_default_values[0] = st.t_empty;
    st.service_default_values[0] = st.t_empty;
    st.service_default_values[1] = st.int_200;
}

// Bases tuple, code objects, defaults and keyword-name tuples.
int make_class_constants(PyObject* object)
{
    ModuleState& st = g_state;
    if (keep(st.bases, PyTuple_Pack(1, object)) < 0 ||
        keep(st.init_varnames,
             PyTuple_Pack(4, st.t_self, st.t_base_url, st.t_api_key,
                          st.t_model_id)) < 0 ||
        keep(st.init_code,
             make_code(st.init_varnames, st.t_init, st.t_qualname_init,
                       kInitLine)) < 0 ||
        keep(st.init_defaults, PyTuple_Pack(1, st.t_empty)) < 0 ||
        keep(st.extract_varnames, service_varnames(st.t_summary)) < 0 ||
        keep(st.extract_code,
             make_code(st.extract_varnames, st.t_extract,
                       st.t_qualname_extract, kExtractLine)) < 0 ||
        keep(st.service_defaults,
             PyTuple_Pack(2, st.t_empty, st.int_200)) < 0 ||
        keep(st.refined_title_varnames, service_varnames(st.t_title)) < 0 ||
        keep(st.refined_title_code,
             make_code(st.refined_title_varnames, st.t_refined_title,
                       st.t_qualname_refined_title,
                       kRefinedTitleLine)) < 0 ||
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

// A module that is still running its own import is imported again, so
// that the import machinery waits for it.
bool is_initializing(PyObject* module)
{
    Ref spec = steal(PyObject_GetAttr(module, g_state.t_dunder_spec));
    Ref flag = spec ? steal(PyObject_GetAttr(spec.get(),
                                             g_state.t_initializing))
                    : Ref();
    int truth = flag ? PyObject_IsTrue(flag.get()) : 0;
    if (PyErr_Occurred()) PyErr_Clear();
    return truth > 0;
}

// `import name`, straight through the import machinery (a replaced
// builtins.__import__ is not consulted).
Ref import_module(PyObject* name)
{
    Ref module = steal(PyImport_GetModule(name));
    if (PyErr_Occurred()) PyErr_Clear();
    if (module && !is_initializing(module.get())) return module;
    Ref locals = steal(PyDict_New());
    if (!locals) return {};
    return steal(PyImport_ImportModuleLevelObject(
        name, g_state.module_dict, locals.get(), nullptr, 0));
}

// sys.modules[f"{module.__name__}.{name}"], or an empty Ref (with any
// error of the look-up still set).
Ref loaded_submodule(PyObject* module, PyObject* name)
{
    Ref package_name =
        steal(PyObject_GetAttr(module, g_state.t_dunder_name));
    if (!package_name) return {};
    Ref full = steal(PyUnicode_FromFormat("%S%U%S", package_name.get(),
                                          g_state.t_dot, name));
    if (!full) return {};
    return steal(PyImport_GetModule(full.get()));
}

// The ImportError for a name that could not be had; the error that led
// here, if any, stays attached as its __context__.
Ref cannot_import(PyObject* name)
{
    runtime::PendingAside cause;
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    return {};
}

// After a failed from-import: true when the package itself is loaded, so
// that only getting the name failed (a module __getattr__ raising in the
// import machinery's from-list check, say). Interrupts never count.
bool only_name_failed(PyObject* package)
{
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    runtime::PendingAside aside;
    Ref module = steal(PyImport_GetModule(package));
    PyErr_Clear();
    // None in the table marks a package blocked from import, not loaded.
    return module && module.get() != Py_None &&
           !is_initializing(module.get());
}

// `from package import name`, falling back to a loaded submodule when the
// attribute is missing. Any other ordinary error in getting the name gives
// way to the ImportError for it; the package's own import errors pass.
Ref import_from(PyObject* package, PyObject* name)
{
    Ref locals = steal(PyDict_New());
    Ref fromlist = steal(PyList_New(1));
    if (!locals || !fromlist) return {};
    PyList_SET_ITEM(fromlist.get(), 0, Py_NewRef(name));
    Ref module = steal(PyImport_ImportModuleLevelObject(
        package, g_state.module_dict, locals.get(), fromlist.get(), 0));
    if (!module)
        return only_name_failed(package) ? cannot_import(name) : Ref();
    Ref value = steal(PyObject_GetAttr(module.get(), name));
    if (value) return value;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return {};
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        value = loaded_submodule(module.get(), name);
        if (value) return value;
    }
    return cannot_import(name);
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

// Bases after __mro_entries__ (PEP 560); the very tuple when none applies.
Ref resolve_bases(PyObject* bases)
{
    Ref resolved;  // a list, once some base was replaced
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        PyObject* base = PyTuple_GET_ITEM(bases, i);
        PyObject* entries_fn = nullptr;
        if (!PyType_Check(base) &&
            runtime::compat::lookup_attr(base, g_state.t_mro_entries,
                                         &entries_fn) < 0)
            return {};
        Ref fn = steal(entries_fn);
        if (!fn) {
            if (resolved && PyList_Append(resolved.get(), base) < 0) return {};
            continue;
        }
        Ref entries = steal(runtime::call_one_arg(fn.get(), bases));
        if (!entries) return {};
        if (!PyTuple_Check(entries.get())) {
            PyErr_SetString(PyExc_TypeError,
                            "__mro_entries__ must return a tuple");
            return {};
        }
        if (!resolved) {
            Ref head = steal(PyTuple_GetSlice(bases, 0, i));
            resolved = head ? steal(PySequence_List(head.get())) : Ref();
            if (!resolved) return {};
        }
        Py_ssize_t end = PyList_GET_SIZE(resolved.get());
        if (PyList_SetSlice(resolved.get(), end, end, entries.get()) < 0)
            return {};
    }
    if (!resolved) return Ref::borrow(bases);
    return steal(PyList_AsTuple(resolved.get()));
}

// The metaclass as the class statement finds it: from the first base's
// type, made most derived over all bases.
PyObject* find_metaclass(PyObject* bases)
{
    PyObject* meta = PyTuple_GET_SIZE(bases) > 0
                         ? reinterpret_cast<PyObject*>(
                               Py_TYPE(PyTuple_GET_ITEM(bases, 0)))
                         : reinterpret_cast<PyObject*>(&PyType_Type);
    if (!PyType_Check(meta)) return Py_NewRef(meta);
    PyObject* winner =
        reinterpret_cast<PyObject*>(runtime::compat::most_derived_metaclass(
            reinterpret_cast<PyTypeObject*>(meta), bases));
    return Py_XNewRef(winner);
}

int namespace_store(PyObject* ns, PyObject* key, PyObject* value)
{
    if (PyDict_CheckExact(ns)) return PyDict_SetItem(ns, key, value);
    return PyObject_SetItem(ns, key, value);
}

Ref prepare_namespace(PyObject* meta, PyObject* bases)
{
    ModuleState& st = g_state;
    PyObject* prepare_fn = nullptr;
    if (runtime::compat::lookup_attr(meta, st.t_prepare, &prepare_fn) < 0)
        return {};
    Ref prepare = steal(prepare_fn);
    Ref ns;
    if (prepare) {
        PyObject* args[] = {st.t_AISummary, bases};
        ns = steal(runtime::call(prepare.get(), args, 2));
    } else {
        ns = steal(PyDict_New());
    }
    if (!ns ||
        namespace_store(ns.get(), st.t_dunder_module, st.t_module_name) < 0 ||
        namespace_store(ns.get(), st.t_dunder_qualname, st.t_AISummary) < 0)
        return {};
    return ns;
}

int define_method(PyObject* ns, PyMethodDef* def, PyObject* name,
                  PyObject* qualname, PyObject* code, PyObject* defaults)
{
    ModuleState& st = g_state;
    Ref func = steal(runtime::method_function_new(
        st.method_type, def, qualname, st.t_module_name, st.module_dict,
        code));
    if (!func) return -1;
    runtime::method_function_attach_defaults(func.get(), defaults);
    return namespace_store(ns, name, func.get());
}

// class AISummary(object): ... (lines 9 to 45)
Ref define_class(Statements& body)
{
    ModuleState& st = g_state;
    body.at(9);
    Ref bases = resolve_bases(st.bases);
    if (!bases) return body.fail();
    Ref meta = steal(find_metaclass(bases.get()));
    if (!meta) return body.fail();
    Ref ns = prepare_namespace(meta.get(), bases.get());
    if (!ns) return body.fail();
    if (bases.get() != st.bases &&
        namespace_store(ns.get(), st.t_orig_bases, st.bases) < 0)
        return body.fail();
    body.at(kInitLine);
    if (define_method(ns.get(), &g_init_def, st.t_init, st.t_qualname_init,
                      st.init_code, st.init_defaults) < 0)
        return body.fail();
    body.at(kExtractLine);
    if (define_method(ns.get(), &g_extract_def, st.t_extract,
                      st.t_qualname_extract, st.extract_code,
                      st.service_defaults) < 0)
        return body.fail();
    body.at(kRefinedTitleLine);
    if (define_method(ns.get(), &g_refined_title_def, st.t_refined_title,
                      st.t_qualname_refined_title, st.refined_title_code,
                      st.service_defaults) < 0)
        return body.fail();
    body.at(9);
    PyObject* args[] = {st.t_AISummary, bases.get(), ns.get()};
    Ref cls = steal(runtime::call(meta.get(), args, 3));
    if (!cls) return body.fail();
    return cls;
}

int run_module_body(Statements& body)
{
    ModuleState& st = g_state;
    body.at(2);
    if (store_global(st.t_os, import_module(st.t_os)) < 0 ||
        store_global(st.t_sys, import_module(st.t_sys)) < 0)
        return body.fail();
    body.at(3);
    if (append_working_directory() < 0) return body.fail();
    body.at(4);
    if (store_global(st.t_re, import_module(st.t_re)) < 0)
        return body.fail();
    body.at(5);
    if (store_global(st.t_traceback, import_module(st.t_traceback)) < 0)
        return body.fail();
    body.at(6);
    if (store_global(st.t_OpenAI,
                     import_from(st.t_openai, st.t_OpenAI)) < 0)
        return body.fail();
    Ref cls = define_class(body);
    if (!cls) return -1;
    body.at(9);
    if (store_global(st.t_AISummary, std::move(cls)) < 0) return body.fail();
    body.at(1);
    if (store_global(st.t_dunder_test, steal(PyDict_New())) < 0)
        return body.fail();
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
    if (!st.method_type || make_texts() < 0) return -1;
    // At once: calls through a class left by an earlier, failed attempt
    // must never see the texts just replaced.
    fill_binder_views();
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
    if (register_full_name() < 0) return body.fail();
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
}  // namespace factbrief

PyMODINIT_FUNC PyInit_factbrief(void)
{
    return PyModuleDef_Init(&factbrief::module_def);
}

// The method function type: slots, attribute table and the shared-type
// registry.
#include "runtime/method_function.h"

#include "runtime/call.h"

#include <structmember.h>

#include <cstddef>
#include <cstring>

namespace factbrief::runtime {
namespace {

MethodFunction* as_mf(PyObject* op)
{
    return reinterpret_cast<MethodFunction*>(op);
}

// ---- calls and binding ----

PyObject* mf_vectorcall(PyObject* op, PyObject* const* args, size_t nargsf,
                        PyObject* kwnames) noexcept
{
    auto entry = reinterpret_cast<_PyCFunctionFastWithKeywords>(
        reinterpret_cast<void (*)(void)>(as_mf(op)->def->ml_meth));
    // Callers such as functools.partial reach us straight from C; without
    // the guard a re-entering chain would run off the C stack.
    if (Py_EnterRecursiveCall(kCallRecursionWhere)) return nullptr;
    PyObject* result = entry(op, args, PyVectorcall_NARGS(nargsf), kwnames);
    Py_LeaveRecursiveCall();
    return result;
}

PyObject* mf_descr_get(PyObject* op, PyObject* obj, PyObject*) noexcept
{
    if (obj == nullptr || obj == Py_None) return Py_NewRef(op);
    return PyMethod_New(op, obj);
}

PyObject* mf_repr(PyObject* op) noexcept
{
    return PyUnicode_FromFormat("<function %U at %p>", as_mf(op)->qualname,
                                op);
}

PyObject* mf_reduce(PyObject* op, PyObject*) noexcept
{
    // Pickled by reference: the qualified name within its module.
    return Py_NewRef(as_mf(op)->qualname);
}

// ---- garbage collection ----

int mf_traverse(PyObject* op, visitproc visit, void* arg) noexcept
{
    MethodFunction* f = as_mf(op);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->dict);
    Py_VISIT(f->annotations);
    Py_VISIT(f->is_coroutine);
    return 0;
}

// Breaks cycles. The name and qualified name stay valid, since repr(),
// __reduce__ and pickle may still meet the object while the collector
// clears its cycle (a finalizer holding a weak reference, say). Only a str
// subclass can be part of a cycle: those give way to an exact str.
int mf_clear(PyObject* op) noexcept
{
    MethodFunction* f = as_mf(op);
    if (f->name && !PyUnicode_CheckExact(f->name))
        Py_CLEAR(f->name);  // read again from the definition
    if (!PyUnicode_CheckExact(f->qualname)) {
        PyObject* empty = PyUnicode_New(0, 0);  // a shared singleton
        if (empty) Py_SETREF(f->qualname, empty);
        else PyErr_Clear();
    }
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->is_coroutine);
    return 0;  // the code object is immutable and cannot hold a cycle
}

void mf_dealloc(PyObject* op) noexcept
{
    PyObject_GC_UnTrack(op);
    MethodFunction* f = as_mf(op);
    if (f->weakreflist) PyObject_ClearWeakRefs(op);
    mf_clear(op);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->code);
    PyObject_GC_Del(op);
}

// ---- attributes ----

int raise_type_error(const char* message)
{
    PyErr_SetString(PyExc_TypeError, message);
    return -1;
}

// Stores `value` (or None for a deletion) into a slot.
void store(PyObject** slot, PyObject* value)
{
    Py_XSETREF(*slot, Py_NewRef(value ? value : Py_None));
}

PyObject* or_none(PyObject* value)
{
    return Py_NewRef(value ? value : Py_None);
}

PyObject* mf_get_name(PyObject* op, void*) noexcept
{
    MethodFunction* f = as_mf(op);
    if (!f->name) {
        f->name = PyUnicode_InternFromString(f->def->ml_name);
        if (!f->name) return nullptr;
    }
    return Py_NewRef(f->name);
}

int mf_set_name(PyObject* op, PyObject* value, void*) noexcept
{
    if (!value || !PyUnicode_Check(value))
        return raise_type_error("__name__ must be set to a string object");
    Py_XSETREF(as_mf(op)->name, Py_NewRef(value));
    return 0;
}

PyObject* mf_get_qualname(PyObject* op, void*) noexcept
{
    return Py_NewRef(as_mf(op)->qualname);
}

int mf_set_qualname(PyObject* op, PyObject* value, void*) noexcept
{
    if (!value || !PyUnicode_Check(value))
        return raise_type_error(
            "__qualname__ must be set to a string object");
    Py_XSETREF(as_mf(op)->qualname, Py_NewRef(value));
    return 0;
}

PyObject* mf_get_doc(PyObject* op, void*) noexcept
{
    return or_none(as_mf(op)->doc);
}

int mf_set_doc(PyObject* op, PyObject* value, void*) noexcept
{
    store(&as_mf(op)->doc, value);
    return 0;
}

PyObject* mf_get_dict(PyObject* op, void*) noexcept
{
    MethodFunction* f = as_mf(op);
    if (!f->dict) {
        f->dict = PyDict_New();
        if (!f->dict) return nullptr;
    }
    return Py_NewRef(f->dict);
}

int mf_set_dict(PyObject* op, PyObject* value, void*) noexcept
{
    if (!value)
        return raise_type_error("function's dictionary may not be deleted");
    if (!PyDict_Check(value))
        return raise_type_error("setting function's dictionary to a non-dict");
    Py_XSETREF(as_mf(op)->dict, Py_NewRef(value));
    return 0;
}

PyObject* mf_get_globals(PyObject* op, void*) noexcept
{
    return or_none(as_mf(op)->globals);
}

PyObject* mf_get_closure(PyObject*, void*) noexcept { Py_RETURN_NONE; }

PyObject* mf_get_code(PyObject* op, void*) noexcept
{
    return or_none(as_mf(op)->code);
}

// Calls use the defaults fixed in the binding code, so a change here is
// only reported back; say so.
int warn_defaults_unused(const char* attribute)
{
    return PyErr_WarnFormat(
        PyExc_RuntimeWarning, 1,
        "assigning %s does not change the values that calls use; they stay "
        "fixed in the binding code", attribute);
}

PyObject* mf_get_defaults(PyObject* op, void*) noexcept
{
    return or_none(as_mf(op)->defaults);
}

int mf_set_defaults(PyObject* op, PyObject* value, void*) noexcept
{
    if (value && value != Py_None && !PyTuple_Check(value))
        return raise_type_error("__defaults__ must be set to a tuple object");
    if (warn_defaults_unused("__defaults__") < 0) return -1;
    store(&as_mf(op)->defaults, value);
    return 0;
}

PyObject* mf_get_kwdefaults(PyObject* op, void*) noexcept
{
    return or_none(as_mf(op)->kwdefaults);
}

int mf_set_kwdefaults(PyObject* op, PyObject* value, void*) noexcept
{
    if (value && value != Py_None && !PyDict_Check(value))
        return raise_type_error("__kwdefaults__ must be set to a dict object");
    if (warn_defaults_unused("__kwdefaults__") < 0) return -1;
    store(&as_mf(op)->kwdefaults, value);
    return 0;
}

PyObject* mf_get_annotations(PyObject* op, void*) noexcept
{
    MethodFunction* f = as_mf(op);
    if (!f->annotations) {
        f->annotations = PyDict_New();
        if (!f->annotations) return nullptr;
    }
    return Py_NewRef(f->annotations);
}

int mf_set_annotations(PyObject* op, PyObject* value, void*) noexcept
{
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value))
        return raise_type_error(
            "__annotations__ must be set to a dict object");
    Py_XSETREF(as_mf(op)->annotations, Py_XNewRef(value));
    return 0;
}

PyObject* mf_get_is_coroutine(PyObject* op, void*) noexcept
{
    MethodFunction* f = as_mf(op);
    if (!f->is_coroutine) f->is_coroutine = Py_NewRef(Py_False);
    return Py_NewRef(f->is_coroutine);
}

// Aliases share one getter/setter pair.
PyGetSetDef mf_getset[] = {
    {"__name__", mf_get_name, mf_set_name, nullptr, nullptr},
    {"func_name", mf_get_name, mf_set_name, nullptr, nullptr},
    {"__qualname__", mf_get_qualname, mf_set_qualname, nullptr, nullptr},
    {"__doc__", mf_get_doc, mf_set_doc, nullptr, nullptr},
    {"func_doc", mf_get_doc, mf_set_doc, nullptr, nullptr},
    {"__dict__", mf_get_dict, mf_set_dict, nullptr, nullptr},
    {"func_dict", mf_get_dict, mf_set_dict, nullptr, nullptr},
    {"__globals__", mf_get_globals, nullptr, nullptr, nullptr},
    {"func_globals", mf_get_globals, nullptr, nullptr, nullptr},
    {"__closure__", mf_get_closure, nullptr, nullptr, nullptr},
    {"func_closure", mf_get_closure, nullptr, nullptr, nullptr},
    {"__code__", mf_get_code, nullptr, nullptr, nullptr},
    {"func_code", mf_get_code, nullptr, nullptr, nullptr},
    {"__defaults__", mf_get_defaults, mf_set_defaults, nullptr, nullptr},
    {"func_defaults", mf_get_defaults, mf_set_defaults, nullptr, nullptr},
    {"__kwdefaults__", mf_get_kwdefaults, mf_set_kwdefaults, nullptr,
     nullptr},
    {"__annotations__", mf_get_annotations, mf_set_annotations, nullptr,
     nullptr},
    {"_is_coroutine", mf_get_is_coroutine, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef mf_members[] = {
    {"__module__", T_OBJECT, offsetof(MethodFunction, module), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef mf_methods[] = {
    {"__reduce__", mf_reduce, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject mf_type = [] {
    PyTypeObject t{};
    t.ob_base.ob_base.ob_refcnt = 1;  // static: never freed
    t.tp_name = "_binding_shared.method_function";
    t.tp_basicsize = sizeof(MethodFunction);
    t.tp_dealloc = mf_dealloc;
    t.tp_vectorcall_offset = offsetof(MethodFunction, vectorcall);
    t.tp_repr = mf_repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC |
                 Py_TPFLAGS_BASETYPE | Py_TPFLAGS_METHOD_DESCRIPTOR |
                 Py_TPFLAGS_HAVE_VECTORCALL;
    t.tp_traverse = mf_traverse;
    t.tp_clear = mf_clear;
    t.tp_weaklistoffset = offsetof(MethodFunction, weakreflist);
    t.tp_methods = mf_methods;
    t.tp_members = mf_members;
    t.tp_getset = mf_getset;
    t.tp_descr_get = mf_descr_get;
    t.tp_dictoffset = offsetof(MethodFunction, dict);
    return t;
}();

// A registered type is used only when its objects are laid out and
// handled as ours: the same size alone would let a foreign type with
// other slots (no GC support, say) through, and the collector would then
// walk our objects with the wrong functions.
PyTypeObject* check_shared_type(PyObject* shared)
{
    if (!PyType_Check(shared)) {
        PyErr_SetString(PyExc_TypeError,
                        "shared type _binding_shared.method_function is not "
                        "a type object");
        return nullptr;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(shared);
    const PyTypeObject& ours = mf_type;
    if (type->tp_basicsize != ours.tp_basicsize) {
        PyErr_Format(PyExc_TypeError,
                     "shared type _binding_shared.method_function has the "
                     "wrong size (%zd bytes, expected %zd); rebuild the "
                     "module that registered it",
                     type->tp_basicsize, ours.tp_basicsize);
        return nullptr;
    }
    constexpr unsigned long kNeeded = Py_TPFLAGS_HAVE_GC |
                                      Py_TPFLAGS_METHOD_DESCRIPTOR |
                                      Py_TPFLAGS_HAVE_VECTORCALL;
    bool same_layout =
        std::strcmp(type->tp_name, ours.tp_name) == 0 &&
        (type->tp_flags & kNeeded) == kNeeded &&
        type->tp_itemsize == 0 &&
        type->tp_vectorcall_offset == ours.tp_vectorcall_offset &&
        type->tp_dictoffset == ours.tp_dictoffset &&
        type->tp_weaklistoffset == ours.tp_weaklistoffset &&
        type->tp_call == ours.tp_call && type->tp_traverse &&
        type->tp_clear && type->tp_dealloc && type->tp_descr_get;
    if (!same_layout) {
        PyErr_SetString(PyExc_TypeError,
                        "shared type _binding_shared.method_function has "
                        "the wrong layout (name, flags or slots differ); "
                        "rebuild the module that registered it");
        return nullptr;
    }
    return type;
}

}  // namespace

PyTypeObject* obtain_method_function_type() noexcept
{
    PyObject* registry = PyImport_AddModule("_binding_shared");  // borrowed
    if (!registry) return nullptr;
    Ref shared = Ref::steal(
        PyObject_GetAttrString(registry, "method_function"));
    if (shared) return check_shared_type(shared.get());
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyErr_Clear();
    if (PyType_Ready(&mf_type) < 0) return nullptr;
    auto* type = reinterpret_cast<PyObject*>(&mf_type);
    if (PyObject_SetAttrString(registry, "method_function", type) < 0)
        return nullptr;
    return &mf_type;
}

PyObject* method_function_new(PyTypeObject* type, PyMethodDef* def,
                              PyObject* qualname, PyObject* module,
                              PyObject* globals, PyObject* code) noexcept
{
    MethodFunction* f = PyObject_GC_New(MethodFunction, type);
    if (!f) return nullptr;
    f->vectorcall = mf_vectorcall;
    f->def = def;
    f->name = nullptr;
    f->qualname = Py_NewRef(qualname);
    f->module = Py_NewRef(module);
    f->doc = nullptr;
    f->globals = Py_NewRef(globals);
    f->code = Py_XNewRef(code);
    f->defaults = nullptr;
    f->kwdefaults = nullptr;
    f->dict = nullptr;
    f->annotations = nullptr;
    f->is_coroutine = nullptr;
    f->weakreflist = nullptr;
    PyObject_GC_Track(f);
    return reinterpret_cast<PyObject*>(f);
}

void method_function_attach_defaults(PyObject* func,
                                     PyObject* defaults) noexcept
{
    Py_XSETREF(as_mf(func)->defaults, Py_XNewRef(defaults));
}

}  // namespace factbrief::runtime

// The class statement: bases after __mro_entries__, the metaclass, the
// prepared namespace, and the call that makes the class. These run once,
// at import, so their names are made when needed.
#include "runtime/class_statement.h"

#include "runtime/call.h"
#include "runtime/compat.h"

namespace factbrief::runtime {
namespace {

// Bases after __mro_entries__ (PEP 560); the very tuple when none applies.
Ref resolve_bases(PyObject* bases)
{
    Ref mro_entries = steal(PyUnicode_InternFromString("__mro_entries__"));
    if (!mro_entries) return {};
    Ref resolved;  // a list, once some base was replaced
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        PyObject* base = PyTuple_GET_ITEM(bases, i);
        PyObject* entries_fn = nullptr;
        if (!PyType_Check(base) &&
            compat::lookup_attr(base, mro_entries.get(), &entries_fn) < 0)
            return {};
        Ref fn = steal(entries_fn);
        if (!fn) {
            if (resolved && PyList_Append(resolved.get(), base) < 0) return {};
            continue;
        }
        Ref entries = steal(call_one_arg(fn.get(), bases));
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
Ref find_metaclass(PyObject* bases)
{
    PyObject* meta = PyTuple_GET_SIZE(bases) > 0
                         ? reinterpret_cast<PyObject*>(
                               Py_TYPE(PyTuple_GET_ITEM(bases, 0)))
                         : reinterpret_cast<PyObject*>(&PyType_Type);
    if (!PyType_Check(meta)) return Ref::borrow(meta);
    return Ref::borrow(reinterpret_cast<PyObject*>(
        compat::most_derived_metaclass(reinterpret_cast<PyTypeObject*>(meta),
                                       bases)));
}

// meta.__prepare__(name, bases) when there is one, else a new dict.
Ref prepare_namespace(PyObject* meta, PyObject* name, PyObject* bases)
{
    Ref prepare_name = steal(PyUnicode_InternFromString("__prepare__"));
    if (!prepare_name) return {};
    PyObject* prepare_fn = nullptr;
    if (compat::lookup_attr(meta, prepare_name.get(), &prepare_fn) < 0)
        return {};
    Ref prepare = steal(prepare_fn);
    if (!prepare) return steal(PyDict_New());
    PyObject* args[] = {name, bases};
    return steal(call(prepare.get(), args, 2));
}

int store_named(PyObject* ns, const char* key, PyObject* value)
{
    Ref key_text = steal(PyUnicode_InternFromString(key));
    return key_text ? store_in_namespace(ns, key_text.get(), value) : -1;
}

}  // namespace

int store_in_namespace(PyObject* ns, PyObject* key, PyObject* value) noexcept
{
    if (PyDict_CheckExact(ns)) return PyDict_SetItem(ns, key, value);
    return PyObject_SetItem(ns, key, value);
}

int begin_class(ClassStatement& cls, PyObject* name, PyObject* bases,
                PyObject* module_name) noexcept
{
    cls.bases = resolve_bases(bases);
    if (!cls.bases) return -1;
    cls.meta = find_metaclass(cls.bases.get());
    if (!cls.meta) return -1;
    cls.ns = prepare_namespace(cls.meta.get(), name, cls.bases.get());
    if (!cls.ns || store_named(cls.ns.get(), "__module__", module_name) < 0 ||
        store_named(cls.ns.get(), "__qualname__", name) < 0)
        return -1;
    if (cls.bases.get() != bases &&
        store_named(cls.ns.get(), "__orig_bases__", bases) < 0)
        return -1;
    return 0;
}

Ref end_class(const ClassStatement& cls, PyObject* name) noexcept
{
    PyObject* args[] = {name, cls.bases.get(), cls.ns.get()};
    return steal(call(cls.meta.get(), args, 3));
}

}  // namespace factbrief::runtime

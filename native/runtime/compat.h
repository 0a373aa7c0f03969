// The differences between the CPython versions we build for, 3.10 to 3.13:
// one function each, so that the rest of the code has no version tests.
#pragma once

#include "runtime/ref.h"

#include <cstdint>

namespace factbrief::runtime::compat {

// ---- code objects ----

// New code object from the 3.11 argument list, or nullptr with the error
// set. 3.10 has no qualname and no exception table; 3.12 moved the call to
// the unstable API.
inline PyCodeObject* new_code(int argcount, int posonlyargcount,
                              int kwonlyargcount, int nlocals,
                              int stacksize, int flags, PyObject* code,
                              PyObject* consts, PyObject* names,
                              PyObject* varnames, PyObject* freevars,
                              PyObject* cellvars, PyObject* filename,
                              PyObject* name, PyObject* qualname,
                              int firstlineno, PyObject* linetable,
                              PyObject* exceptiontable) noexcept
{
#if PY_VERSION_HEX >= 0x030C0000
    return PyUnstable_Code_NewWithPosOnlyArgs(
        argcount, posonlyargcount, kwonlyargcount, nlocals, stacksize, flags,
        code, consts, names, varnames, freevars, cellvars, filename, name,
        qualname, firstlineno, linetable, exceptiontable);
#elif PY_VERSION_HEX >= 0x030B0000
    return PyCode_NewWithPosOnlyArgs(
        argcount, posonlyargcount, kwonlyargcount, nlocals, stacksize, flags,
        code, consts, names, varnames, freevars, cellvars, filename, name,
        qualname, firstlineno, linetable, exceptiontable);
#else
    (void)qualname;
    (void)exceptiontable;
    return PyCode_NewWithPosOnlyArgs(
        argcount, posonlyargcount, kwonlyargcount, nlocals, stacksize, flags,
        code, consts, names, varnames, freevars, cellvars, filename, name,
        firstlineno, linetable);
#endif
}

// ---- the handled exception (what sys.exc_info() reports) ----

// What `except` saves of the thread's current handled-exception item and
// restores when it ends. 3.10 keeps type, value and traceback; 3.11 keeps
// the exception alone (type and tb then stay null).
struct HandledItem {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* tb = nullptr;
};

// Puts `item` (normalised, its references stolen) into the current
// handled-exception item and returns what the item held (owned).
inline HandledItem swap_handled(HandledItem item) noexcept
{
#if PY_VERSION_HEX >= 0x030B0000
    // Read from the item itself: PyErr_GetHandledException() gives the
    // topmost exception of the whole stack, and writing that back would
    // leave an outer exception in a generator's own item, where `except`
    // would have left None. No public call reads the current item.
    HandledItem previous{
        nullptr, Py_XNewRef(PyThreadState_Get()->exc_info->exc_value),
        nullptr};
    PyErr_SetHandledException(item.value);
    Py_XDECREF(item.type);
    Py_XDECREF(item.value);
    Py_XDECREF(item.tb);
    return previous;
#else
    // 3.10 has no call that writes the current item without the others.
    _PyErr_StackItem* current = PyThreadState_Get()->exc_info;
    HandledItem previous{current->exc_type, current->exc_value,
                         current->exc_traceback};
    current->exc_type = item.type;
    current->exc_value = item.value;
    current->exc_traceback = item.tb;
    return previous;
#endif
}

// ---- attribute look-up ----

// obj.name: 1 found (new reference in *out), 0 absent (AttributeError
// cleared), -1 other error. 3.13 made this public.
inline int lookup_attr(PyObject* obj, PyObject* name, PyObject** out) noexcept
{
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, out);
#else
    *out = PyObject_GetAttr(obj, name);
    if (*out) return 1;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
#endif
}

// ---- class creation ----

// Borrowed: the most derived of `meta` and the types of `bases`, or
// nullptr with the interpreter's TypeError on a conflict. Written out
// because 3.13 no longer exports the interpreter's own; its rule is used
// on every version, so that each says the same.
inline PyTypeObject* most_derived_metaclass(PyTypeObject* meta,
                                            PyObject* bases) noexcept
{
    PyTypeObject* winner = meta;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        PyTypeObject* candidate = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (PyType_IsSubtype(winner, candidate)) continue;
        if (PyType_IsSubtype(candidate, winner)) {
            winner = candidate;
            continue;
        }
        PyErr_SetString(PyExc_TypeError,
                        "metaclass conflict: the metaclass of a derived "
                        "class must be a (non-strict) subclass of the "
                        "metaclasses of all its bases");
        return nullptr;
    }
    return winner;
}

// ---- dict versions ----

#if PY_VERSION_HEX >= 0x030C0000
// 3.12 deprecates the dicts' version tags; a dict watcher counts changes
// instead. One count for every watched dict: a change to any of them
// invalidates all stamps, which costs a re-read of a rarely changed dict.
// Deallocation counts as a change, so a new dict at the same address never
// matches a stamp of the old one.
inline uint64_t g_dict_changes = 1;
inline int g_dict_watcher = -1;  // -2: none could be had

inline int count_dict_change(PyDict_WatchEvent, PyObject*, PyObject*,
                             PyObject*) noexcept
{
    ++g_dict_changes;
    return 0;
}
#endif

// A stamp that differs from every earlier stamp of `dict` once the dict
// has changed; compare it together with the dict's address. Never fails
// and leaves any pending exception alone.
inline uint64_t dict_version(PyObject* dict) noexcept
{
#if PY_VERSION_HEX >= 0x030C0000
    if (g_dict_watcher < 0 || PyDict_Watch(g_dict_watcher, dict) < 0) {
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        if (g_dict_watcher == -1) {
            int id = PyDict_AddWatcher(count_dict_change);
            g_dict_watcher = id >= 0 ? id : -2;
        }
        bool watched = g_dict_watcher >= 0 &&
                       PyDict_Watch(g_dict_watcher, dict) == 0;
        PyErr_Clear();
        PyErr_Restore(type, value, tb);
        // Unwatched (all watcher slots taken): a fresh stamp, never a hit.
        if (!watched) return ++g_dict_changes;
    }
    return g_dict_changes;
#else
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#endif
}

}  // namespace factbrief::runtime::compat

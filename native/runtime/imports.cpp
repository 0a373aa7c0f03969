// Absolute imports straight through the import machinery, as a module
// body's `import` statements do, without consulting a replaced
// builtins.__import__.
#include "runtime/imports.h"

#include "runtime/exception_scope.h"

namespace factbrief::runtime {
namespace {

// A module that is still running its own import is imported again, so
// that the import machinery waits for it.
bool is_initializing(PyObject* module)
{
    Ref spec = steal(PyObject_GetAttrString(module, "__spec__"));
    Ref flag = spec ? steal(PyObject_GetAttrString(spec.get(),
                                                   "_initializing"))
                    : Ref();
    int truth = flag ? PyObject_IsTrue(flag.get()) : 0;
    if (PyErr_Occurred()) PyErr_Clear();
    return truth > 0;
}

// sys.modules[f"{module.__name__}.{name}"], or an empty Ref (with any
// error of the look-up still set).
Ref loaded_submodule(PyObject* module, PyObject* name)
{
    Ref package_name = steal(PyObject_GetAttrString(module, "__name__"));
    if (!package_name) return {};
    Ref full =
        steal(PyUnicode_FromFormat("%S.%U", package_name.get(), name));
    if (!full) return {};
    return steal(PyImport_GetModule(full.get()));
}

// The ImportError for a name that could not be had; the error that led
// here, if any, stays attached as its __context__.
Ref cannot_import(PyObject* name)
{
    PendingAside cause;
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    return {};
}

// After a failed from-import: true when the package itself is loaded, so
// that only getting the name failed (a module __getattr__ raising in the
// import machinery's from-list check, say). Interrupts never count.
bool only_name_failed(PyObject* package)
{
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PendingAside aside;
    Ref module = steal(PyImport_GetModule(package));
    PyErr_Clear();
    // None in the table marks a package blocked from import, not loaded.
    return module && module.get() != Py_None &&
           !is_initializing(module.get());
}

}  // namespace

Ref import_module(PyObject* name, PyObject* globals) noexcept
{
    Ref module = steal(PyImport_GetModule(name));
    if (PyErr_Occurred()) PyErr_Clear();
    if (module && !is_initializing(module.get())) return module;
    Ref locals = steal(PyDict_New());
    if (!locals) return {};
    return steal(PyImport_ImportModuleLevelObject(
        name, globals, locals.get(), nullptr, 0));
}

Ref import_from(PyObject* package, PyObject* name,
                PyObject* globals) noexcept
{
    Ref locals = steal(PyDict_New());
    Ref fromlist = steal(PyList_New(1));
    if (!locals || !fromlist) return {};
    PyList_SET_ITEM(fromlist.get(), 0, Py_NewRef(name));
    Ref module = steal(PyImport_ImportModuleLevelObject(
        package, globals, locals.get(), fromlist.get(), 0));
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

}  // namespace factbrief::runtime

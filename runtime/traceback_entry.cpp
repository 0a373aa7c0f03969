// Traceback entries and the process-wide cache of their code objects,
// sorted by (line key, function) so that look-ups are binary searches.
#include "runtime/traceback_entry.h"

#include "runtime/exception_scope.h"

#include <frameobject.h>

#include <cstdlib>
#include <cstring>
#include <functional>

namespace runtime {
namespace {

constexpr int kCacheStep = 64;

struct CacheEntry {
    int key;               // source line, or -native line when shown
    const char* function;  // compared by address: names are static texts
    PyCodeObject* code;    // owned
};

struct CodeCache {
    CacheEntry* entries = nullptr;
    int count = 0;
    int capacity = 0;
};

CodeCache g_cache;  // lives, and only grows, until the process ends

bool entry_before(const CacheEntry& e, int key, const char* function)
{
    if (e.key != key) return e.key < key;
    return std::less<const char*>()(e.function, function);
}

// Index of the first entry not before (key, function).
int lower_bound(int key, const char* function)
{
    int lo = 0, hi = g_cache.count;
    while (lo < hi) {
        int mid = lo + (hi - lo) / 2;
        if (entry_before(g_cache.entries[mid], key, function))
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

// Borrowed code object for the key, or nullptr when not cached.
PyCodeObject* cached_code(int key, const char* function)
{
    int i = lower_bound(key, function);
    if (i < g_cache.count && g_cache.entries[i].key == key &&
        g_cache.entries[i].function == function)
        return g_cache.entries[i].code;
    return nullptr;
}

bool grow_cache()
{
    int capacity = g_cache.capacity + kCacheStep;
    void* grown = std::realloc(g_cache.entries,
                               sizeof(CacheEntry) * std::size_t(capacity));
    if (!grown) return false;
    g_cache.entries = static_cast<CacheEntry*>(grown);
    g_cache.capacity = capacity;
    return true;
}

// Stores a new reference to `code`; silently skips when memory is short.
void cache_code(int key, const char* function, PyCodeObject* code)
{
    int i = lower_bound(key, function);
    if (i < g_cache.count && g_cache.entries[i].key == key &&
        g_cache.entries[i].function == function) {
        Py_INCREF(code);
        Py_SETREF(g_cache.entries[i].code, code);
        return;
    }
    if (g_cache.count == g_cache.capacity && !grow_cache()) return;
    std::memmove(&g_cache.entries[i + 1], &g_cache.entries[i],
                 sizeof(CacheEntry) * std::size_t(g_cache.count - i));
    Py_INCREF(code);
    g_cache.entries[i] = CacheEntry{key, function, code};
    ++g_cache.count;
}

// The switch's last truth value, valid while the options dict keeps the
// version it had when read.
struct SwitchCache {
    PyObject* dict = nullptr;
    uint64_t version = 0;
    bool show = false;
};
SwitchCache g_switch;

bool read_switch(const TracebackContext& ctx, PyObject* dict)
{
    PyObject* value = PyDict_GetItemWithError(dict, ctx.switch_name);
    if (!value) {
        PyErr_Clear();  // a failing look-up counts as absent
        if (PyObject_SetAttr(ctx.options_module, ctx.switch_name,
                             Py_False) < 0)
            PyErr_Clear();
        return false;
    }
    Py_INCREF(value);  // the truth test may run code that drops it
    int truth = PyObject_IsTrue(value);
    Py_DECREF(value);
    if (truth < 0) {
        PyErr_Clear();
        return false;
    }
    return truth != 0;
}

bool show_native_location(const TracebackContext& ctx)
{
    if (!ctx.options_module) return true;
    PyObject* dict = PyModule_GetDict(ctx.options_module);
    if (!dict) return true;
    auto* d = reinterpret_cast<PyDictObject*>(dict);
    if (g_switch.dict == dict && g_switch.version == d->ma_version_tag)
        return g_switch.show;
    PendingAside aside;
    g_switch.show = read_switch(ctx, dict);
    g_switch.dict = dict;
    g_switch.version = d->ma_version_tag;
    return g_switch.show;
}

// New code object for an entry, or nullptr with the error set.
PyCodeObject* make_code(const TracebackContext& ctx, const char* function,
                        int source_line, const char* native_file,
                        int native_line, bool native)
{
    if (!native)
        return PyCode_NewEmpty(ctx.source_file, function, source_line);
    PyObject* name = PyUnicode_FromFormat("%s (%s:%d)", function,
                                          native_file, native_line);
    if (!name) return nullptr;
    const char* utf8 = PyUnicode_AsUTF8(name);
    PyCodeObject* code =
        utf8 ? PyCode_NewEmpty(ctx.source_file, utf8, source_line) : nullptr;
    Py_DECREF(name);
    return code;
}

// New reference to the entry's code object, from the cache or made now;
// nullptr when it could not be made (its error then replaces the pending
// one).
PyCodeObject* code_for(const TracebackContext& ctx, const char* function,
                       int source_line, const char* native_file,
                       int native_line)
{
    bool native = show_native_location(ctx);
    int key = native ? -native_line : source_line;
    if (PyCodeObject* code = cached_code(key, function)) {
        Py_INCREF(code);
        return code;
    }
    PyCodeObject* code;
    {
        PendingAside aside;
        code = make_code(ctx, function, source_line, native_file,
                         native_line, native);
        if (!code) aside.discard();
    }
    if (code) cache_code(key, function, code);
    return code;
}

}  // namespace

void add_traceback_entry(const TracebackContext& ctx, const char* function,
                         int source_line, const char* native_file,
                         int native_line) noexcept
{
    PyCodeObject* code =
        code_for(ctx, function, source_line, native_file, native_line);
    if (!code) return;
    PyFrameObject* frame;
    {
        // PyFrame_New may look up builtins; it must not see the error.
        PendingAside aside;
        frame = PyFrame_New(PyThreadState_Get(), code, ctx.globals, nullptr);
        if (!frame) PyErr_Clear();
    }
    Py_DECREF(code);
    if (!frame) return;
    frame->f_lineno = source_line;
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

}  // namespace runtime

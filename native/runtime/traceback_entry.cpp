// Traceback entries and the process-wide cache of their code objects,
// sorted by key so that look-ups are binary searches. The key holds the
// function as well as the lines: several functions share source lines
// (the module body and the methods' definitions) and native lines (the
// binder's call site), and an entry must never name the wrong one.
#include "runtime/traceback_entry.h"

#include "runtime/compat.h"
#include "runtime/exception_scope.h"

#include <frameobject.h>

#include <cstdlib>
#include <cstring>
#include <functional>

namespace factbrief::runtime {
namespace {

using Code = Owned<PyCodeObject>;
using Frame = Owned<PyFrameObject>;

constexpr int kCacheStep = 64;

struct CacheKey {
    int line;              // source line
    int native_line;       // 0 when the native location is not shown
    const char* function;  // compared by address: names are static texts

    bool operator==(const CacheKey& o) const
    {
        return line == o.line && native_line == o.native_line &&
               function == o.function;
    }
    bool operator<(const CacheKey& o) const
    {
        if (line != o.line) return line < o.line;
        if (native_line != o.native_line) return native_line < o.native_line;
        return std::less<const char*>()(function, o.function);
    }
};

struct CacheEntry {
    CacheKey key;
    PyCodeObject* code;  // owned
};

struct CodeCache {
    CacheEntry* entries = nullptr;
    int count = 0;
    int capacity = 0;
};

CodeCache g_cache;  // lives, and only grows, until the process ends

// Index of the first entry not before `key`.
int lower_bound(const CacheKey& key)
{
    int lo = 0, hi = g_cache.count;
    while (lo < hi) {
        int mid = lo + (hi - lo) / 2;
        if (g_cache.entries[mid].key < key)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

// Borrowed code object for the key, or nullptr when not cached.
PyCodeObject* cached_code(const CacheKey& key)
{
    int i = lower_bound(key);
    if (i < g_cache.count && g_cache.entries[i].key == key)
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

// Stores a new reference to `code` under a key not cached yet; silently
// skips when memory is short (the entry is then only used once).
void cache_code(const CacheKey& key, PyCodeObject* code)
{
    int i = lower_bound(key);
    if (g_cache.count == g_cache.capacity && !grow_cache()) return;
    std::memmove(&g_cache.entries[i + 1], &g_cache.entries[i],
                 sizeof(CacheEntry) * std::size_t(g_cache.count - i));
    g_cache.entries[i] = CacheEntry{key, Code::borrow(code).release()};
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
    // Held while tested: the truth test may run code that drops it.
    int truth = PyObject_IsTrue(Ref::borrow(value).get());
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
    if (g_switch.dict == dict &&
        g_switch.version == compat::dict_version(dict))
        return g_switch.show;
    PendingAside aside;
    g_switch.show = read_switch(ctx, dict);
    g_switch.dict = dict;
    g_switch.version = compat::dict_version(dict);
    return g_switch.show;
}

// Last component of a path; only needed when a code object is made, so
// the hot path passes the compiler's full path untouched.
const char* base_name(const char* path)
{
    const char* name = path;
    for (const char* p = path; *p; ++p)
        if (*p == '/' || *p == '\\') name = p + 1;
    return name;
}

// New code object for an entry, or empty with the error set.
Code make_code(const TracebackContext& ctx, const char* function,
               int source_line, const char* native_file, int native_line,
               bool native)
{
    if (!native)
        return Code::steal(
            PyCode_NewEmpty(ctx.source_file, function, source_line));
    Ref name = Ref::steal(PyUnicode_FromFormat(
        "%s (%s:%d)", function, base_name(native_file), native_line));
    if (!name) return {};
    const char* utf8 = PyUnicode_AsUTF8(name.get());
    if (!utf8) return {};
    return Code::steal(PyCode_NewEmpty(ctx.source_file, utf8, source_line));
}

// The entry's code object, from the cache or made now; empty when it could
// not be made (its error is then pending, with the one it replaced as its
// context).
Code code_for(const TracebackContext& ctx, const char* function,
              int source_line, const char* native_file, int native_line)
{
    bool native = show_native_location(ctx);
    CacheKey key{source_line, native ? native_line : 0, function};
    if (PyCodeObject* code = cached_code(key)) return Code::borrow(code);
    Code code;
    {
        PendingAside aside;
        code = make_code(ctx, function, source_line, native_file,
                         native_line, native);
    }
    if (code) cache_code(key, code.get());
    return code;
}

}  // namespace

void add_traceback_entry(const TracebackContext& ctx, const char* function,
                         int source_line, const char* native_file,
                         int native_line) noexcept
{
    Code code =
        code_for(ctx, function, source_line, native_file, native_line);
    if (!code) return;
    Frame frame;
    {
        // PyFrame_New may look up builtins; it must not see the error.
        PendingAside aside;
        frame = Frame::steal(PyFrame_New(PyThreadState_Get(), code.get(),
                                         ctx.globals, nullptr));
    }
    if (frame) PyTraceBack_Here(frame.get());
}

}  // namespace factbrief::runtime

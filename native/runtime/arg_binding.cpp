// The binder and its error messages. Its steps follow how a call is read:
// positionals first, then required parameters by keyword, then optional
// ones, and only when keywords are left over the slow general pass that
// finds which keyword is wrong.
#include "runtime/arg_binding.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace factbrief::runtime {
namespace {

// ---- messages (cold) ----

// The message is put together by hand: a refused call is an ordinary
// outcome for callers that probe signatures, and the general formatter
// costs more than the rest of the failed call.
class MessageText {
public:
    void add(const char* text, std::size_t limit = SIZE_MAX)
    {
        std::size_t n = std::min(std::strlen(text), limit);
        n = std::min(n, sizeof data_ - len_);
        std::memcpy(data_ + len_, text, n);
        len_ += n;
    }
    // Counts are never negative: they come from argument and parameter
    // counts.
    void add_count(Py_ssize_t value)
    {
        char digits[24];
        int n = 0;
        auto rest = std::size_t(value);
        do {
            digits[n++] = char('0' + rest % 10);
            rest /= 10;
        } while (rest);
        while (n && len_ < sizeof data_) data_[len_++] = digits[--n];
    }
    void raise(PyObject* type) const
    {
        Ref text = Ref::steal(
            PyUnicode_DecodeUTF8(data_, Py_ssize_t(len_), "replace"));
        if (text) PyErr_SetObject(type, text.get());
    }

private:
    char data_[320];
    std::size_t len_ = 0;
};

int raise_count_error(const ParamTable& p, Py_ssize_t given)
{
    bool too_few = given < p.required;
    Py_ssize_t expected = too_few ? p.required : p.total;
    MessageText m;
    m.add(p.function, 200);
    m.add(too_few ? "() takes at least " : "() takes at most ");
    m.add_count(expected);
    m.add(expected == 1 ? " positional argument (" : " positional arguments (");
    m.add_count(given);
    m.add(" given)");
    m.raise(PyExc_TypeError);
    return -1;
}

int raise_keywords_not_strings(const ParamTable& p)
{
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings",
                 p.function);
    return -1;
}

int raise_multiple_values(const ParamTable& p, PyObject* key)
{
    PyErr_Format(PyExc_TypeError,
                 "%.200s() got multiple values for keyword argument '%U'",
                 p.function, key);
    return -1;
}

int raise_unexpected_keyword(const ParamTable& p, PyObject* key)
{
    PyErr_Format(PyExc_TypeError,
                 "%.200s() got an unexpected keyword argument '%U'",
                 p.function, key);
    return -1;
}

// ---- name comparison ----

// Same length and same characters; both must be str (or subclasses).
bool same_text(PyObject* a, PyObject* b)
{
    Py_ssize_t len = PyUnicode_GET_LENGTH(a);
    if (len != PyUnicode_GET_LENGTH(b)) return false;
    if (PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                       std::size_t(len) * PyUnicode_KIND(a)) == 0;
}

// 1 equal, 0 not, -1 error. A key that is not an exact str is asked with
// ==, so that its own notion of equality holds.
int key_equals(PyObject* key, PyObject* name)
{
    if (key == Py_None) return 0;
    if (PyUnicode_CheckExact(key)) return same_text(key, name);
    return PyObject_RichCompareBool(key, name, Py_EQ);
}

// Index of `name` among the keyword names: by identity first, then by
// equality. 1 found (index in *at), 0 absent, -1 error.
int find_keyword(PyObject* name, PyObject* kwnames, Py_ssize_t* at)
{
    Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (PyTuple_GET_ITEM(kwnames, i) == name) {
            *at = i;
            return 1;
        }
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        int eq = key_equals(PyTuple_GET_ITEM(kwnames, i), name);
        if (eq != 0) {
            *at = i;
            return eq;
        }
    }
    return 0;
}

// Position of the parameter in [from, to) that `key` names, by identity
// or (when allowed) by text; -1 when none.
Py_ssize_t param_named(const ParamTable& p, PyObject* key, Py_ssize_t from,
                       Py_ssize_t to, bool by_text)
{
    for (Py_ssize_t i = from; i < to; ++i) {
        if (p.names[i] == key) return i;
        if (by_text && same_text(p.names[i], key)) return i;
    }
    return -1;
}

// The general keyword pass: binds every keyword to a parameter that no
// positional argument took, or raises for the first one that fits none.
int bind_all_keywords(const ParamTable& p, Py_ssize_t nargs,
                      PyObject* kwnames, PyObject* const* kwvalues,
                      PyObject** out)
{
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t i = param_named(p, key, nargs, p.total, false);
        if (i < 0) {
            if (!PyUnicode_Check(key)) return raise_keywords_not_strings(p);
            i = param_named(p, key, nargs, p.total, true);
        }
        if (i >= 0) {
            out[i] = kwvalues[k];
            continue;
        }
        if (param_named(p, key, 0, nargs, true) >= 0)
            return raise_multiple_values(p, key);
        return raise_unexpected_keyword(p, key);
    }
    return 0;
}

void fill_defaults(const ParamTable& p, PyObject** out)
{
    for (Py_ssize_t i = p.required; i < p.total; ++i)
        if (!out[i]) out[i] = p.defaults[i - p.required];
}

}  // namespace

int bind_arguments(const ParamTable& p, PyObject* const* args,
                   Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** out) noexcept
{
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    std::fill(out, out + p.total, nullptr);

    // 1. Positional arguments only.
    if (nkw == 0) {
        if (nargs < p.required || nargs > p.total)
            return raise_count_error(p, nargs);
        std::copy(args, args + nargs, out);
        fill_defaults(p, out);
        return 0;
    }

    // 2. Too many positionals fail before any keyword is looked at.
    if (nargs > p.total) return raise_count_error(p, nargs);
    std::copy(args, args + nargs, out);
    PyObject* const* kwvalues = args + nargs;
    Py_ssize_t used = 0;
    Py_ssize_t at = 0;

    // 3. Required parameters not given by position must come by keyword;
    //    a missing one is reported before any unknown keyword.
    for (Py_ssize_t i = nargs; i < p.required; ++i) {
        int found = find_keyword(p.names[i], kwnames, &at);
        if (found < 0) return -1;
        if (!found) return raise_count_error(p, i);
        out[i] = kwvalues[at];
        ++used;
    }

    // 4. Optional parameters, while unused keywords remain.
    for (Py_ssize_t i = std::max(nargs, p.required);
         i < p.total && used < nkw; ++i) {
        int found = find_keyword(p.names[i], kwnames, &at);
        if (found < 0) return -1;
        if (found) {
            out[i] = kwvalues[at];
            ++used;
        }
    }

    // 5. Keywords left over: duplicates, unknown names or odd keys.
    if (used < nkw && bind_all_keywords(p, nargs, kwnames, kwvalues, out) < 0)
        return -1;

    // 6. The rest take their defaults.
    fill_defaults(p, out);
    return 0;
}

}  // namespace factbrief::runtime

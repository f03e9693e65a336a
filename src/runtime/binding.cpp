// Argument binding and entry checks of native functions, with the messages
// the interpreter gives for a Python function.
#include "native.hpp"

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>

namespace rt::detail {
namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'" as CPython lists missing names.
Ref format_names(const std::vector<PyObject*>& names) {
    Ref out = text("");
    for (size_t i = 0; i < names.size(); ++i) {
        Ref quoted = Ref::steal(PyUnicode_FromFormat("'%U'", names[i]));
        const char* sep = "";
        if (i > 0) sep = (i + 1 == names.size()) ? (names.size() == 2 ? " and " : ", and ") : ", ";
        out = Ref::steal(PyUnicode_FromFormat("%U%s%U", out.get(), sep, quoted.get()));
    }
    return out;
}

// The closest parameter name to a misspelt keyword, by the edit distance and
// limits the interpreter uses for its "Did you mean" hints; NULL for none.
constexpr size_t kMoveCost = 2;
constexpr size_t kCaseCost = 1;
constexpr size_t kMaxStringSize = 40;

size_t substitution_cost(char a, char b) {
    if ((a & 31) != (b & 31)) return kMoveCost;
    if (a == b) return 0;
    if ('A' <= a && a <= 'Z') a += ('a' - 'A');
    if ('A' <= b && b <= 'Z') b += ('a' - 'A');
    return a == b ? kCaseCost : kMoveCost;
}

size_t edit_distance(const char* a, size_t a_size, const char* b, size_t b_size, size_t max_cost) {
    while (a_size && b_size && a[0] == b[0]) { ++a; ++b; --a_size; --b_size; }
    while (a_size && b_size && a[a_size - 1] == b[b_size - 1]) { --a_size; --b_size; }
    if (a_size == 0 || b_size == 0) return (a_size + b_size) * kMoveCost;
    if (a_size > kMaxStringSize || b_size > kMaxStringSize) return max_cost + 1;
    if (b_size < a_size) { std::swap(a, b); std::swap(a_size, b_size); }
    if ((b_size - a_size) * kMoveCost > max_cost) return max_cost + 1;
    size_t buffer[kMaxStringSize];
    size_t tmp = kMoveCost;
    for (size_t i = 0; i < a_size; ++i) { buffer[i] = tmp; tmp += kMoveCost; }
    size_t result = 0;
    for (size_t bi = 0; bi < b_size; ++bi) {
        char code = b[bi];
        size_t distance = result = bi * kMoveCost;
        size_t minimum = SIZE_MAX;
        for (size_t i = 0; i < a_size; ++i) {
            size_t substitute = distance + substitution_cost(code, a[i]);
            distance = buffer[i];
            size_t insert_delete = std::min(result, distance) + kMoveCost;
            result = std::min(insert_delete, substitute);
            buffer[i] = result;
            if (result < minimum) minimum = result;
        }
        if (minimum > max_cost) return max_cost + 1;
    }
    return result;
}

PyObject* suggest_keyword(FunctionObject* f, PyObject* key) {
    Py_ssize_t key_size = 0;
    const char* key_text = PyUnicode_AsUTF8AndSize(key, &key_size);
    if (key_text == nullptr) { PyErr_Clear(); return nullptr; }
    PyObject* best = nullptr;
    size_t best_distance = SIZE_MAX;
    for (Py_ssize_t i = 0; i < f->nparams; ++i) {
        PyObject* item = f->param_names[i];
        if (PyUnicode_Compare(item, key) == 0) continue;
        Py_ssize_t item_size = 0;
        const char* item_text = PyUnicode_AsUTF8AndSize(item, &item_size);
        if (item_text == nullptr) { PyErr_Clear(); return nullptr; }
        size_t max_distance = static_cast<size_t>(key_size + item_size + 3) * kMoveCost / 6;
        if (best_distance != SIZE_MAX) max_distance = std::min(max_distance, best_distance - 1);
        size_t d = edit_distance(key_text, static_cast<size_t>(key_size), item_text, static_cast<size_t>(item_size),
                                 max_distance);
        if (d > max_distance) continue;
        if (best == nullptr || d < best_distance) { best = item; best_distance = d; }
    }
    return best;
}

[[noreturn]] void raise_too_many(FunctionObject* f, Py_ssize_t given) {
    Py_ssize_t n = f->nparams, required = n - f->ndefaults;
    Ref sig = (f->ndefaults > 0) ? Ref::steal(PyUnicode_FromFormat("from %zd to %zd", required, n))
                                 : Ref::steal(PyUnicode_FromFormat("%zd", n));
    raise_format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd %s given", f->qualname,
                 sig.get(), n == 1 && f->ndefaults == 0 ? "" : "s", given, given == 1 ? "was" : "were");
}

}  // namespace

void bind(FunctionObject* f, PyObject* const* args, size_t nargsf, PyObject* kwnames, Slots& slots) {
    const Py_ssize_t n = f->nparams;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    for (Py_ssize_t i = 0; i < n; ++i) slots[i] = i < nargs ? args[i] : nullptr;
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            if (!PyUnicode_Check(key)) raise_format(PyExc_TypeError, "%U() keywords must be strings", f->qualname);
            Py_ssize_t index = -1;
            for (Py_ssize_t i = 0; i < n; ++i) {
                if (f->param_names[i] == key) { index = i; break; }
            }
            if (index < 0) {
                for (Py_ssize_t i = 0; i < n; ++i) {
                    int eq = PyUnicode_Compare(f->param_names[i], key);
                    if (eq == -1 && PyErr_Occurred()) raise();
                    if (eq == 0) { index = i; break; }
                }
            }
            if (index < 0) {
                if (PyObject* hint = suggest_keyword(f, key))
                    raise_format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                                 f->qualname, key, hint);
                raise_format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname, key);
            }
            if (slots[index] != nullptr)
                raise_format(PyExc_TypeError, "%U() got multiple values for argument '%S'", f->qualname, key);
            slots[index] = args[nargs + k];
        }
    }
    // As in the interpreter, keyword errors are reported before surplus
    // positional arguments.
    if (nargs > n) raise_too_many(f, nargs);
    const Py_ssize_t first_default = n - f->ndefaults;
    std::vector<PyObject*> missing;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (slots[i] != nullptr) continue;
        if (i >= first_default) slots[i] = PyTuple_GET_ITEM(f->defaults, i - first_default);
        else missing.push_back(f->param_names[i]);
    }
    if (!missing.empty()) {
        Ref names = format_names(missing);
        raise_format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U", f->qualname,
                     static_cast<Py_ssize_t>(missing.size()), missing.size() == 1 ? "" : "s", names.get());
    }
}

void check_exact(const Param& p, PyObject* v) {
    switch (p.check) {
        case Check::OptStr:
            if (v == Py_None) break;
            [[fallthrough]];
        case Check::Str:
            if (!PyUnicode_CheckExact(v)) raise_argument_type(p.name, "str", v, PyUnicode_Check(v));
            break;
        case Check::OptList:
            if (v == Py_None) break;
            [[fallthrough]];
        case Check::List:
            if (!PyList_CheckExact(v)) raise_argument_type(p.name, "list", v, PyList_Check(v));
            break;
        case Check::OptSet:
            if (v == Py_None) break;
            [[fallthrough]];
        case Check::Set:
            if (!PySet_CheckExact(v)) raise_argument_type(p.name, "set", v, PySet_Check(v));
            break;
        case Check::Any:
        case Check::Int:
        case Check::Bool:
            break;
    }
}

void apply_checks(const FunctionSpec& decl, Py_ssize_t n, Slots& slots, Conversions& owned) {
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Param& p = decl.params[i];
        PyObject* v = slots[i];
        switch (p.check) {
            case Check::Any:
                break;
            case Check::Int: {
                if (PyLong_CheckExact(v)) break;
                PyNumberMethods* nb = Py_TYPE(v)->tp_as_number;
                bool numeric = !PyUnicode_Check(v) && !PyBytes_Check(v) && !PyByteArray_Check(v) && nb != nullptr &&
                               (nb->nb_int != nullptr || nb->nb_index != nullptr || nb->nb_float != nullptr);
                if (!numeric) raise_argument_type(p.name, "int", v, false);
                owned.keep(static_cast<size_t>(i), Ref::steal(PyNumber_Long(v)));
                break;
            }
            case Check::Bool:
                slots[i] = truthy(v) ? Py_True : Py_False;
                break;
            default:
                check_exact(p, v);
                break;
        }
    }
}

}  // namespace rt::detail

namespace rt {

[[noreturn]] void raise_argument_type(const char* param, const char* expected, PyObject* got,
                                      bool subclass_of_expected) {
    std::string got_name = type_name(got);
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
                 expected, got_name.c_str());
    if (subclass_of_expected) {
        PyObject* exc = PyErr_GetRaisedException();
        Ref note = Ref::steal_or_null(PyUnicode_FromFormat(
            "Subclasses of built-in types are rejected: pass an exact '%s' object.", expected));
        if (note) {
            Ref r = Ref::steal_or_null(PyObject_CallMethod(exc, "add_note", "O", note.get()));
            if (!r) PyErr_Clear();
        } else {
            PyErr_Clear();
        }
        PyErr_SetRaisedException(exc);
    }
    raise();
}

}  // namespace rt

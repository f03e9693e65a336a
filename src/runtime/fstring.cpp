#include "fstring.hpp"

#include <algorithm>
#include <cstdint>

namespace rt::detail {

bool ascii_runtime(const char* p, size_t n) {
    constexpr uint64_t kHighBits = 0x8080808080808080ull;
    if (n < 8) return ascii_text(p, n);
    // Eight bytes at a time, the last word overlapping the one before it.
    uint64_t word;
    uint64_t bits = 0;
    for (size_t i = 0; i + 8 < n; i += 8) {
        std::memcpy(&word, p + i, 8);
        bits |= word;
    }
    std::memcpy(&word, p + n - 8, 8);
    return ((bits | word) & kHighBits) == 0;
}

Ref decode(const char* p, size_t n) {
    return Ref::steal(PyUnicode_DecodeUTF8(p, static_cast<Py_ssize_t>(n), nullptr));
}

Ref formatted(PyObject* v) { return Ref::steal(PyObject_Format(v, nullptr)); }
Ref str_of_value(PyObject* v) { return Ref::steal(PyObject_Str(v)); }
Ref repr_of_value(PyObject* v) { return Ref::steal(PyObject_Repr(v)); }

namespace {

constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighs = 0x8080808080808080ull;

// Whether any of the eight ASCII bytes of `w` is a control character, DEL, a
// single quote or a backslash (each test exact for ASCII bytes).
inline bool needs_escape(uint64_t w) {
    auto has_zero = [](uint64_t v) { return ((v - kOnes) & ~v & kHighs) != 0; };
    const bool control = ((w - kOnes * 0x20) & ~w & kHighs) != 0;
    return control || has_zero(w ^ (kOnes * 0x7f)) || has_zero(w ^ (kOnes * '\'')) ||
           has_zero(w ^ (kOnes * '\\'));
}

}  // namespace

bool plainly_quotable(PyObject* v) {
    if (!PyUnicode_CheckExact(v) || !PyUnicode_IS_ASCII(v)) return false;
    const Py_UCS1* p = PyUnicode_1BYTE_DATA(v);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(v);
    if (n < 8) {
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (p[i] < 0x20 || p[i] == 0x7f || p[i] == '\'' || p[i] == '\\') return false;
        }
        return true;
    }
    // Eight bytes at a time, the last word overlapping the one before it.
    uint64_t word;
    for (Py_ssize_t i = 0; i + 8 < n; i += 8) {
        std::memcpy(&word, p + i, 8);
        if (needs_escape(word)) return false;
    }
    std::memcpy(&word, p + n - 8, 8);
    return !needs_escape(word);
}

Ref join_parts(const Part* parts, size_t count) {
    Py_ssize_t length = 0;
    Py_UCS4 maxchar = 0x7f;  // ASCII parts need no more; str parts may
    for (size_t i = 0; i < count; ++i) {
        if (parts[i].ascii != nullptr) {
            length += parts[i].size;
        } else {
            length += PyUnicode_GET_LENGTH(parts[i].str);
            maxchar = std::max(maxchar, PyUnicode_MAX_CHAR_VALUE(parts[i].str));
        }
    }
    Ref out = Ref::steal(PyUnicode_New(length, maxchar));
    PyObject* o = out.get();
    Py_ssize_t at = 0;
    if (PyUnicode_KIND(o) == PyUnicode_1BYTE_KIND) {
        // One byte per character in the result means one in every part too.
        Py_UCS1* data = PyUnicode_1BYTE_DATA(o);
        for (size_t i = 0; i < count; ++i) {
            const Part& p = parts[i];
            if (p.ascii != nullptr) {
                std::memcpy(data + at, p.ascii, static_cast<size_t>(p.size));
                at += p.size;
            } else {
                const Py_ssize_t n = PyUnicode_GET_LENGTH(p.str);
                std::memcpy(data + at, PyUnicode_1BYTE_DATA(p.str), static_cast<size_t>(n));
                at += n;
            }
        }
        return out;
    }
    const int kind = PyUnicode_KIND(o);
    void* data = PyUnicode_DATA(o);
    for (size_t i = 0; i < count; ++i) {
        const Part& p = parts[i];
        if (p.ascii != nullptr) {
            for (Py_ssize_t j = 0; j < p.size; ++j) PyUnicode_WRITE(kind, data, at++, static_cast<Py_UCS4>(p.ascii[j]));
        } else {
            const Py_ssize_t n = PyUnicode_GET_LENGTH(p.str);
            check(static_cast<int>(PyUnicode_CopyCharacters(o, at, p.str, 0, n)));
            at += n;
        }
    }
    return out;
}

void resolve(ListText list, Part*& out, ListScratch& reprs) {
    if (list.count > ListText::kMax) raise(PyExc_SystemError, "too many items for a list text");
    *out++ = {"[", 1, nullptr};
    for (size_t i = 0; i < list.count; ++i) {
        if (i > 0) *out++ = {", ", 2, nullptr};
        resolve(Repr{list.items[i]}, out, reprs.reprs[i]);
    }
    *out++ = {"]", 1, nullptr};
}

Ref add_terms(const Ref* terms, size_t count) {
    Ref sum = Ref::borrow(terms[0].get());
    for (size_t i = 1; i < count; ++i) sum = Ref::steal(PyNumber_Add(sum.get(), terms[i].get()));
    return sum;
}

}  // namespace rt::detail

// f-strings: rt::fstring("Java ", version, " is NOT compatible with ",
// rt::Repr{line}, ...) builds the str that the f-string
// f"Java {version} is NOT compatible with {line!r}..." evaluates to.
//
// The pieces are told apart by their C++ types when the call is compiled,
// and a string literal's length and kind (plain ASCII or not) are folded by
// the compiler, so at run time a literal is a pointer and a length; only
// values are looked at.
#pragma once

#include "ref.hpp"

#include <charconv>
#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

namespace rt {

// {value!s}: str(value)
struct Str {
    Obj value;
};
// {value!r}: repr(value)
struct Repr {
    Obj value;
};

// {items} for a list of at most ListText::kMax values: the text str() gives
// for a list of them, "['a', 'b']", written straight into the result.
struct ListText {
    static constexpr size_t kMax = 8;
    PyObject* const* items;
    size_t count;
};

namespace detail {

// One piece ready to be written: `size` ASCII bytes at `ascii`, or the str
// `str` (borrowed) when `ascii` is null.
struct Part {
    const char* ascii;
    Py_ssize_t size;
    PyObject* str;
};

// The concatenation of `count` parts, built in one allocation.
Ref join_parts(const Part* parts, size_t count);

// Whether `n` bytes of UTF-8 text are plain ASCII. Inlined on a literal,
// the loop unrolls over constant bytes and the compiler folds it to a
// constant.
[[gnu::always_inline]] constexpr bool ascii_text(const char* p, size_t n) {
    unsigned char bits = 0;
#pragma GCC unroll 256
    for (size_t i = 0; i < n; ++i) bits |= static_cast<unsigned char>(p[i]);
    return (bits & 0x80) == 0;
}
// The same for text known only at run time, eight bytes at a time.
bool ascii_runtime(const char* p, size_t n);

// Text that is not plain ASCII, as a new str (UTF-8).
Ref decode(const char* p, size_t n);

// format(v, ""), str(v) and repr(v) as an f-string converts a value: an
// exact str is itself for the first two.
Ref formatted(PyObject* v);
Ref str_of_value(PyObject* v);
Ref repr_of_value(PyObject* v);

// Whether repr(v) is v between single quotes: an exact str of printable
// ASCII without a single quote or backslash (a double quote needs no escape).
bool plainly_quotable(PyObject* v);

// The digits of a number.
struct Digits {
    char text[24];
};

// Per piece type: how many parts it takes at most, what its conversion
// keeps until the result is built, and whether it is a piece at all.
template <class T>
struct PieceTraits {
    static constexpr size_t parts = 0;
};
struct TextTraits {
    static constexpr size_t parts = 1;
    static constexpr bool literal = true;
    using Scratch = Ref;  // the decoded text when it is not plain ASCII
};
template <size_t N>
struct PieceTraits<char[N]> : TextTraits {};
template <>
struct PieceTraits<const char*> : TextTraits {};
template <>
struct PieceTraits<char*> : TextTraits {};
template <>
struct PieceTraits<std::string_view> : TextTraits {};
template <>
struct PieceTraits<std::string> : TextTraits {};
template <>
struct PieceTraits<PyObject*> {
    static constexpr size_t parts = 1;
    static constexpr bool value = true;
    using Scratch = Ref;
};
template <class T>
    requires(std::is_base_of_v<Ref, T>)
struct PieceTraits<T> : PieceTraits<PyObject*> {};
template <>
struct PieceTraits<Obj> : PieceTraits<PyObject*> {};
template <>
struct PieceTraits<Str> {
    static constexpr size_t parts = 1;
    using Scratch = Ref;
};
template <>
struct PieceTraits<Repr> {
    static constexpr size_t parts = 3;  // quote, text, quote
    using Scratch = Ref;
};
template <class T>
    requires(std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char>)
struct PieceTraits<T> {
    static constexpr size_t parts = 1;
    using Scratch = Digits;
};

struct ListScratch {
    Ref reprs[ListText::kMax];
};
template <>
struct PieceTraits<ListText> {
    static constexpr size_t parts = 2 + 4 * ListText::kMax;  // brackets; per item separator, quote, text, quote
    using Scratch = ListScratch;
};

template <class T>
using ScratchOf = typename PieceTraits<std::remove_cvref_t<T>>::Scratch;

template <class T>
concept Piece = PieceTraits<std::remove_cvref_t<T>>::parts != 0;
template <class T>
concept TextPiece = requires { requires PieceTraits<std::remove_cvref_t<T>>::literal; };
template <class T>
concept ValuePiece = requires { requires PieceTraits<std::remove_cvref_t<T>>::value; };
// The pieces `+` can add: literal text and values.
template <class T>
concept PlusPiece = TextPiece<T> || ValuePiece<T>;

[[gnu::always_inline]] inline void text_part(const char* p, size_t n, bool ascii, Part*& out, Ref& made) {
    if (ascii) {
        *out++ = {p, static_cast<Py_ssize_t>(n), nullptr};
    } else {
        made = decode(p, n);
        *out++ = {nullptr, 0, made.get()};
    }
}

inline void str_part(PyObject* str, Part*& out) { *out++ = {nullptr, 0, str}; }

// --- resolving each kind of piece -------------------------------------------

template <TextPiece T>
[[gnu::always_inline]] inline void resolve(const T& text, Part*& out, Ref& made) {
    if constexpr (std::is_array_v<T>) {
        // Up to its NUL: a buffer filled at run time is measured then, a
        // literal's length and kind are constants once inlined.
        const size_t n = __builtin_strlen(text);
        const bool ascii = __builtin_constant_p(n) ? ascii_text(text, n) : ascii_runtime(text, n);
        text_part(text, n, ascii, out, made);
    } else {
        const std::string_view view(text);
        text_part(view.data(), view.size(), ascii_runtime(view.data(), view.size()), out, made);
    }
}
inline void resolve(PyObject* value, Part*& out, Ref& made) {
    if (PyUnicode_CheckExact(value)) return str_part(value, out);
    made = formatted(value);
    str_part(made.get(), out);
}
inline void resolve(const Ref& value, Part*& out, Ref& made) { resolve(value.get(), out, made); }
inline void resolve(Str piece, Part*& out, Ref& made) {
    if (PyUnicode_CheckExact(piece.value)) return str_part(piece.value, out);
    made = str_of_value(piece.value);
    str_part(made.get(), out);
}
inline void resolve(Repr piece, Part*& out, Ref& made) {
    if (plainly_quotable(piece.value)) {
        *out++ = {"'", 1, nullptr};
        str_part(piece.value, out);
        *out++ = {"'", 1, nullptr};
        return;
    }
    made = repr_of_value(piece.value);
    str_part(made.get(), out);
}
template <class T>
    requires(std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char>)
inline void resolve(T number, Part*& out, Digits& digits) {
    const char* end = std::to_chars(digits.text, digits.text + sizeof digits.text, number).ptr;
    *out++ = {digits.text, static_cast<Py_ssize_t>(end - digits.text), nullptr};
}

void resolve(ListText list, Part*& out, ListScratch& reprs);

template <class... P, size_t... I>
[[gnu::always_inline]] inline Ref fstring(std::index_sequence<I...>, const P&... pieces) {
    constexpr size_t count = (PieceTraits<std::remove_cvref_t<P>>::parts + ... + 0);
    Part parts[count > 0 ? count : 1];
    std::tuple<ScratchOf<P>...> scratch;
    Part* out = parts;
    (resolve(pieces, out, std::get<I>(scratch)), ...);
    return join_parts(parts, static_cast<size_t>(out - parts));
}

}  // namespace detail

// The concatenation of the pieces, each converted as in an f-string, built
// in one allocation; conversions run left to right and a failing one (an
// error in __format__, __str__ or __repr__, or a result that is no str)
// raises as the f-string does. A piece is literal text (a string literal, a
// C string, std::string_view or std::string, UTF-8), a value (PyObject* or
// Ref: {value}, i.e. format(value, "")), Str{value}, Repr{value} or a C++
// integer (its decimal digits, as a Python int formats).
template <class... P>
    requires(detail::Piece<P> && ...)
[[gnu::always_inline]] inline Ref fstring(const P&... pieces) {
    return detail::fstring(std::index_sequence_for<P...>{}, pieces...);
}

namespace detail {
// sum of terms by Python's `+`, left to right
Ref add_terms(const Ref* terms, size_t count);
inline bool exact_str_or_text(PyObject* v) { return PyUnicode_CheckExact(v); }
inline bool exact_str_or_text(const Ref& v) { return PyUnicode_CheckExact(v.get()); }
template <TextPiece T>
inline bool exact_str_or_text(const T&) {
    return true;
}
inline PyObject* value_of(PyObject* v) { return v; }
inline PyObject* value_of(const Ref& v) { return v.get(); }
inline PyObject* value_of(Obj v) { return v; }
// One term of a sum: literal text as a new str, a value as itself.
template <class T>
inline Ref term(const T& piece) {
    if constexpr (TextPiece<T>) {
        Ref made;
        Part part;
        Part* out = &part;
        resolve(piece, out, made);
        return part.ascii ? Ref::steal(PyUnicode_FromStringAndSize(part.ascii, part.size)) : std::move(made);
    } else {
        return Ref::borrow(value_of(piece));
    }
}
}  // namespace detail

// "a" + b + "c" ...: the pieces added left to right as Python's `+` adds
// them (literal pieces are str), so a value that is no str raises the
// TypeError `+` raises, where an f-string would convert it. Only literal
// text and plain values can be added: anything else does not compile.
template <class... P>
    requires(sizeof...(P) > 0 && (detail::PlusPiece<P> && ...))
Ref plus(const P&... pieces) {
    // All exact str: the sum is their concatenation, built in one allocation.
    if ((detail::exact_str_or_text(pieces) && ...)) return fstring(pieces...);
    const Ref terms[] = {detail::term(pieces)...};
    return detail::add_terms(terms, sizeof...(P));
}

}  // namespace rt

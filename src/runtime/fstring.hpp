// f-strings: rt::fstring("Java ", version, " is NOT compatible with ",
// rt::Repr{line}, ...) builds the str that the f-string
// f"Java {version} is NOT compatible with {line!r}..." evaluates to.
#pragma once

#include "ref.hpp"

#include <cstring>
#include <span>
#include <string_view>
#include <type_traits>

namespace rt {

// {value!s}: str(value)
struct Str {
    PyObject* value;
};
// {value!r}: repr(value)
struct Repr {
    PyObject* value;
};

// One piece of an f-string: literal text (UTF-8) or a value shown as the
// f-string shows it. A plain object is {value}, i.e. format(value, "").
class Piece {
public:
    enum class Kind : unsigned char { Literal, Format, Str, Repr, Integer };

    Piece(std::string_view literal) noexcept : kind_(Kind::Literal), text_(literal) {}
    Piece(const char* literal) noexcept : kind_(Kind::Literal), text_(literal, std::strlen(literal)) {}
    Piece(PyObject* value) noexcept : kind_(Kind::Format), value_(value) {}
    Piece(const Ref& value) noexcept : kind_(Kind::Format), value_(value.get()) {}
    Piece(Str s) noexcept : kind_(Kind::Str), value_(s.value) {}
    Piece(Repr r) noexcept : kind_(Kind::Repr), value_(r.value) {}
    // {number} for a C++ integer (a Python int formats as its decimal digits)
    Piece(long long number) noexcept : kind_(Kind::Integer), number_(number) {}
    Piece(long number) noexcept : Piece(static_cast<long long>(number)) {}
    Piece(int number) noexcept : Piece(static_cast<long long>(number)) {}

    Kind kind() const noexcept { return kind_; }
    std::string_view text() const noexcept { return text_; }
    PyObject* value() const noexcept { return value_; }
    long long number() const noexcept { return number_; }

private:
    Kind kind_;
    std::string_view text_;
    PyObject* value_ = nullptr;
    long long number_ = 0;
};

// The concatenation of the pieces, each converted as in an f-string, built
// in one allocation; conversions run left to right and a failing one (an
// error in __format__, __str__ or __repr__, or a result that is no str)
// raises as the f-string does.
Ref fstring(std::span<const Piece> pieces);

template <class... P>
    requires(std::is_constructible_v<Piece, const P&> && ...)
Ref fstring(const P&... pieces) {
    const Piece list[] = {Piece(pieces)...};
    return fstring(std::span<const Piece>(list));
}

// "a" + b + "c" ...: the pieces added left to right as Python's `+` adds
// them (literal pieces are str), so a value that is no str raises the
// TypeError `+` raises, where an f-string would convert it. Only literal and
// plain value pieces belong here.
Ref plus(std::span<const Piece> pieces);

template <class... P>
    requires(std::is_constructible_v<Piece, const P&> && ...)
Ref plus(const P&... pieces) {
    const Piece list[] = {Piece(pieces)...};
    return plus(std::span<const Piece>(list));
}

}  // namespace rt

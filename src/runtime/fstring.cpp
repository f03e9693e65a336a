#include "fstring.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <memory>

namespace rt {

namespace {

// How one piece goes into the result.
enum class Write : unsigned char {
    Ascii,   // `ascii_size` bytes at `ascii`
    Quoted,  // `str`, an ASCII str, between single quotes (its repr)
    Object,  // the characters of `str`
};

// One resolved piece; left uninitialised until its piece is resolved, so an
// f-string of a few pieces costs no set-up.
struct Slot {
    Write how;
    bool owned;         // `str` is a new reference that the slot holds
    size_t ascii_size;
    const char* ascii;  // with Write::Ascii
    PyObject* str;      // with Write::Quoted and Write::Object
    char digits[24];    // an integer piece's text, pointed to by `ascii`
};

// Pieces of up to this many are resolved without a heap allocation.
constexpr size_t kInline = 16;

// Whether UTF-8 text is plain ASCII: eight bytes at a time (the last word
// overlapping the one before it), a short text byte by byte.
bool is_ascii(const char* p, size_t n) {
    constexpr uint64_t kHighBits = 0x8080808080808080ull;
    if (n >= 8) {
        uint64_t word;
        uint64_t bits = 0;
        for (size_t i = 0; i + 8 < n; i += 8) {
            std::memcpy(&word, p + i, 8);
            bits |= word;
        }
        std::memcpy(&word, p + n - 8, 8);
        return ((bits | word) & kHighBits) == 0;
    }
    unsigned char bits = 0;
    for (size_t i = 0; i < n; ++i) bits |= static_cast<unsigned char>(p[i]);
    return (bits & 0x80) == 0;
}

// Whether repr(v) is v between single quotes: an exact str of printable
// ASCII without a single quote or backslash (a double quote needs no escape).
bool plainly_quotable(PyObject* v) {
    if (!PyUnicode_CheckExact(v) || !PyUnicode_IS_ASCII(v)) return false;
    const Py_UCS1* p = PyUnicode_1BYTE_DATA(v);
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(v); i < n; ++i) {
        if (p[i] < 0x20 || p[i] == 0x7f || p[i] == '\'' || p[i] == '\\') return false;
    }
    return true;
}

// Writes `size` ASCII bytes at `at` into a result of any kind.
void write_ascii(PyObject* out, Py_ssize_t at, const char* bytes, size_t size) {
    if (PyUnicode_KIND(out) == PyUnicode_1BYTE_KIND) {
        std::memcpy(PyUnicode_1BYTE_DATA(out) + at, bytes, size);
        return;
    }
    const int kind = PyUnicode_KIND(out);
    void* data = PyUnicode_DATA(out);
    for (size_t i = 0; i < size; ++i) PyUnicode_WRITE(kind, data, at++, static_cast<Py_UCS4>(bytes[i]));
}

// Copies the characters of the str `part` to `at`.
inline void write_str(PyObject* out, Py_ssize_t at, PyObject* part) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(part);
    // One byte per character in the result means one in every part as well.
    if (PyUnicode_KIND(out) == PyUnicode_1BYTE_KIND) {
        std::memcpy(PyUnicode_1BYTE_DATA(out) + at, PyUnicode_1BYTE_DATA(part), static_cast<size_t>(n));
    } else {
        check(static_cast<int>(PyUnicode_CopyCharacters(out, at, part, 0, n)));
    }
}

}  // namespace

Ref fstring(std::span<const Piece> pieces) {
    const size_t count = pieces.size();
    Slot inline_slots[kInline];
    std::unique_ptr<Slot[]> heap_slots;
    if (count > kInline) heap_slots = std::make_unique_for_overwrite<Slot[]>(count);
    Slot* const slots = count > kInline ? heap_slots.get() : inline_slots;
    // The strings that conversions made live until the result is built.
    size_t resolved = 0;
    size_t owned = 0;
    struct Release {
        Slot* slots;
        size_t& resolved;
        size_t& owned;
        ~Release() {
            for (size_t i = 0; owned != 0 && i < resolved; ++i) {
                if (slots[i].owned) {
                    Py_DECREF(slots[i].str);
                    --owned;
                }
            }
        }
    } release{slots, resolved, owned};

    Py_ssize_t length = 0;
    Py_UCS4 maxchar = 0x7f;  // ASCII pieces need no more; str pieces may
    auto object = [&](Slot& slot, PyObject* str, bool made) {
        if (str == nullptr) raise();
        slot.how = Write::Object;
        slot.owned = made;
        owned += made;
        slot.str = str;
        length += PyUnicode_GET_LENGTH(str);
        maxchar = std::max(maxchar, PyUnicode_MAX_CHAR_VALUE(str));
    };
    for (; resolved < count; ++resolved) {
        const Piece& p = pieces[resolved];
        Slot& slot = slots[resolved];
        slot.owned = false;
        switch (p.kind()) {
            case Piece::Kind::Literal: {
                const std::string_view text = p.text();
                if (is_ascii(text.data(), text.size())) {
                    slot.how = Write::Ascii;
                    slot.ascii = text.data();
                    slot.ascii_size = text.size();
                    length += static_cast<Py_ssize_t>(text.size());
                } else {
                    object(slot, PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr),
                           true);
                }
                break;
            }
            case Piece::Kind::Format:
                if (PyUnicode_CheckExact(p.value())) object(slot, p.value(), false);
                else object(slot, PyObject_Format(p.value(), nullptr), true);
                break;
            case Piece::Kind::Str:
                if (PyUnicode_CheckExact(p.value())) object(slot, p.value(), false);
                else object(slot, PyObject_Str(p.value()), true);
                break;
            case Piece::Kind::Repr:
                if (plainly_quotable(p.value())) {
                    slot.how = Write::Quoted;
                    slot.str = p.value();
                    length += PyUnicode_GET_LENGTH(p.value()) + 2;
                } else {
                    object(slot, PyObject_Repr(p.value()), true);
                }
                break;
            case Piece::Kind::Integer: {
                const auto end = std::to_chars(slot.digits, slot.digits + sizeof slot.digits, p.number()).ptr;
                slot.how = Write::Ascii;
                slot.ascii = slot.digits;
                slot.ascii_size = static_cast<size_t>(end - slot.digits);
                length += static_cast<Py_ssize_t>(slot.ascii_size);
                break;
            }
        }
    }

    Ref out = Ref::steal(PyUnicode_New(length, maxchar));
    Py_ssize_t at = 0;
    for (size_t i = 0; i < count; ++i) {
        const Slot& slot = slots[i];
        switch (slot.how) {
            case Write::Ascii:
                write_ascii(out.get(), at, slot.ascii, slot.ascii_size);
                at += static_cast<Py_ssize_t>(slot.ascii_size);
                break;
            case Write::Quoted:
                PyUnicode_WRITE(PyUnicode_KIND(out.get()), PyUnicode_DATA(out.get()), at++, '\'');
                write_str(out.get(), at, slot.str);
                at += PyUnicode_GET_LENGTH(slot.str);
                PyUnicode_WRITE(PyUnicode_KIND(out.get()), PyUnicode_DATA(out.get()), at++, '\'');
                break;
            case Write::Object:
                write_str(out.get(), at, slot.str);
                at += PyUnicode_GET_LENGTH(slot.str);
                break;
        }
    }
    return out;
}

Ref plus(std::span<const Piece> pieces) {
    // All exact str: the sum is their concatenation, built in one allocation.
    if (std::all_of(pieces.begin(), pieces.end(), [](const Piece& p) {
            return p.kind() == Piece::Kind::Literal || PyUnicode_CheckExact(p.value());
        })) {
        return fstring(pieces);
    }
    Ref sum;
    for (const Piece& piece : pieces) {
        Ref term = piece.kind() == Piece::Kind::Literal
                       ? Ref::steal(PyUnicode_FromStringAndSize(piece.text().data(),
                                                                static_cast<Py_ssize_t>(piece.text().size())))
                       : Ref::borrow(piece.value());
        sum = sum ? Ref::steal(PyNumber_Add(sum.get(), term.get())) : std::move(term);
    }
    return sum;
}

}  // namespace rt

// The fast JSON decoder behind profile_json::try_decode.
//
// It follows the grammar and object-building rules of the standard json
// module's C scanner with its default settings (strict strings, dicts built
// with PyDict_SetItem so a repeated key keeps its first position and last
// value, lists built by appending, object keys shared within one text,
// floats rounded as float() rounds them, ints of any size as int() builds
// them). It declines instead of failing: on any syntax error, on NaN and
// Infinity (json.loads returns its own constant objects for them), on
// integers of more than 18 digits, on nesting deeper than kMaxDepth and on
// a leading byte order mark; json.loads then decides.
//
// Like the rest of the code it owns references through rt::Ref and throws
// rt::PyError for a Python error (memory, or an exception from a signal
// handler during a long text); declining is not an error and is an empty
// Ref.
#include "json_decode.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace profile_json {
namespace {

using rt::Ref;


constexpr int kMaxDepth = 100;
constexpr int kMaxIntDigits = 18;      // always fits an int64
constexpr size_t kMaxNumberText = 64;  // longer numbers are left to json.loads

// Exact powers of ten representable as doubles.
constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                             1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

inline bool is_ws(Py_UCS4 c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
inline bool is_digit(Py_UCS4 c) { return c >= '0' && c <= '9'; }

inline int hex_value(Py_UCS4 c) {
    if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
    return -1;
}

// Object keys seen in one text, so that equal keys are one object as with
// json.loads. Open addressing on a hash of the code points, grown by
// doubling.
class KeyMemo {
public:
    KeyMemo() = default;
    KeyMemo(const KeyMemo&) = delete;
    KeyMemo& operator=(const KeyMemo&) = delete;

    // The remembered key equal to the `len` code points read by `at`, or
    // nullptr (borrowed).
    template <class At>
    PyObject* find(uint64_t hash, Py_ssize_t len, At&& at) const {
        if (entries_.empty()) return nullptr;
        const size_t mask = entries_.size() - 1;
        for (size_t slot = hash & mask;; slot = (slot + 1) & mask) {
            const Entry& e = entries_[slot];
            PyObject* key = e.key.get();
            if (key == nullptr) return nullptr;
            if (e.hash != hash || PyUnicode_GET_LENGTH(key) != len) continue;
            const int kind = PyUnicode_KIND(key);
            const void* data = PyUnicode_DATA(key);
            Py_ssize_t k = 0;
            while (k < len && PyUnicode_READ(kind, data, k) == at(k)) ++k;
            if (k == len) return key;
        }
    }

    // Remembers a key that find() did not know.
    void remember(uint64_t hash, PyObject* key) {
        if ((used_ + 1) * 4 > entries_.size() * 3) grow();
        place(entries_, hash, Ref::borrow(key));
        ++used_;
    }

private:
    struct Entry {
        uint64_t hash = 0;
        Ref key;
    };
    static constexpr size_t kInitialSize = 32;

    static void place(std::vector<Entry>& table, uint64_t hash, Ref key) {
        const size_t mask = table.size() - 1;
        size_t slot = hash & mask;
        while (table[slot].key) slot = (slot + 1) & mask;
        table[slot] = Entry{hash, std::move(key)};
    }

    void grow() {
        std::vector<Entry> bigger(entries_.empty() ? kInitialSize : entries_.size() * 2);
        for (Entry& e : entries_)
            if (e.key) place(bigger, e.hash, std::move(e.key));
        entries_.swap(bigger);
    }

    std::vector<Entry> entries_;
    size_t used_ = 0;
};

inline uint64_t fnv_step(uint64_t h, Py_UCS4 c) { return (h ^ c) * 0x100000001b3ULL; }
constexpr uint64_t kFnvBasis = 0xcbf29ce484222325ULL;

// Decodes one text whose code units are of type CharT (the str's kind).
// Each parse_* returns the value, or an empty Ref to decline.
template <class CharT>
class Decoder {
public:
    Decoder(const CharT* s, Py_ssize_t n, bool ascii) : s_(s), n_(n), ascii_(ascii) {}

    Ref decode() {
        if (n_ > 0 && s_[0] == 0xFEFF) return {};
        skip_ws();
        Ref v = parse_value();
        if (!v) return {};
        skip_ws();
        if (i_ != n_) return {};
        return v;
    }

private:
    Py_UCS4 peek() const { return i_ < n_ ? static_cast<Py_UCS4>(s_[i_]) : 0xFFFFFFFF; }

    void skip_ws() {
        while (i_ < n_ && is_ws(s_[i_])) ++i_;
    }

    bool literal(const char* word) {
        size_t len = std::strlen(word);
        if (n_ - i_ < static_cast<Py_ssize_t>(len)) return false;
        for (size_t k = 0; k < len; ++k)
            if (static_cast<Py_UCS4>(s_[i_ + static_cast<Py_ssize_t>(k)]) != static_cast<unsigned char>(word[k]))
                return false;
        i_ += static_cast<Py_ssize_t>(len);
        return true;
    }

    Ref parse_value() {
        switch (peek()) {
            case '"':
                return parse_string(nullptr);
            case '{':
                return parse_object();
            case '[':
                return parse_array();
            case 'n':
                return literal("null") ? Ref::none() : Ref();
            case 't':
                return literal("true") ? Ref::boolean(true) : Ref();
            case 'f':
                return literal("false") ? Ref::boolean(false) : Ref();
            default:
                return parse_number();
        }
    }

    // A string starting at the opening quote. With `memo`, the result is
    // an object key shared with earlier equal keys of the text.
    Ref parse_string(KeyMemo* memo) {
        const Py_ssize_t start = ++i_;
        uint64_t hash = kFnvBasis;
        Py_ssize_t k = start;
        while (true) {
            if (k >= n_) return {};  // unterminated
            const Py_UCS4 c = s_[k];
            if (c == '"') break;
            if (c == '\\') return parse_escaped_string(start, memo);
            if (c < 0x20) return {};  // control character
            if (memo) hash = fnv_step(hash, c);
            ++k;
        }
        const Py_ssize_t len = k - start;
        i_ = k + 1;
        const CharT* p = s_ + start;
        if (memo) {
            if (PyObject* known = memo->find(hash, len, [p](Py_ssize_t j) { return static_cast<Py_UCS4>(p[j]); }))
                return Ref::borrow(known);
        }
        Ref str = make_str(p, len);
        if (memo) memo->remember(hash, str.get());
        return str;
    }

    Ref make_str(const CharT* p, Py_ssize_t len) {
        if constexpr (sizeof(CharT) == 1) {
            if (ascii_ && len > 1) {  // shorter ones are the interpreter's shared strings
                Ref str = Ref::steal(PyUnicode_New(len, 127));
                std::memcpy(PyUnicode_DATA(str.get()), p, static_cast<size_t>(len));
                return str;
            }
            return Ref::steal(PyUnicode_FromKindAndData(PyUnicode_1BYTE_KIND, p, len));
        } else if constexpr (sizeof(CharT) == 2) {
            return Ref::steal(PyUnicode_FromKindAndData(PyUnicode_2BYTE_KIND, p, len));
        } else {
            return Ref::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, p, len));
        }
    }

    // Four hex digits at `at`, or -1.
    long hex4(Py_ssize_t at) const {
        if (n_ - at < 4) return -1;
        long v = 0;
        for (Py_ssize_t k = 0; k < 4; ++k) {
            int d = hex_value(s_[at + k]);
            if (d < 0) return -1;
            v = (v << 4) | d;
        }
        return v;
    }

    // The slow path of parse_string, for a string with escapes.
    Ref parse_escaped_string(Py_ssize_t start, KeyMemo* memo) {
        std::vector<Py_UCS4>& out = buffer_;
        out.clear();
        Py_ssize_t k = start;
        while (true) {
            if (k >= n_) return {};
            Py_UCS4 c = s_[k];
            if (c == '"') break;
            if (c < 0x20) return {};
            if (c != '\\') {
                out.push_back(c);
                ++k;
                continue;
            }
            if (++k >= n_) return {};
            switch (s_[k]) {
                case '"': c = '"'; break;
                case '\\': c = '\\'; break;
                case '/': c = '/'; break;
                case 'b': c = '\b'; break;
                case 'f': c = '\f'; break;
                case 'n': c = '\n'; break;
                case 'r': c = '\r'; break;
                case 't': c = '\t'; break;
                case 'u': {
                    long v = hex4(k + 1);
                    if (v < 0) return {};
                    c = static_cast<Py_UCS4>(v);
                    k += 4;
                    // A high surrogate followed by an escaped low surrogate is one
                    // character; any other surrogate stays on its own.
                    if (Py_UNICODE_IS_HIGH_SURROGATE(c) && k + 6 < n_ && s_[k + 1] == '\\' && s_[k + 2] == 'u') {
                        long low = hex4(k + 3);
                        if (low < 0) return {};
                        if (Py_UNICODE_IS_LOW_SURROGATE(static_cast<Py_UCS4>(low))) {
                            c = Py_UNICODE_JOIN_SURROGATES(c, static_cast<Py_UCS4>(low));
                            k += 6;
                        }
                    }
                    break;
                }
                default:
                    return {};  // invalid escape
            }
            out.push_back(c);
            ++k;
        }
        i_ = k + 1;
        const Py_ssize_t len = static_cast<Py_ssize_t>(out.size());
        uint64_t hash = kFnvBasis;
        if (memo) {
            for (Py_UCS4 c : out) hash = fnv_step(hash, c);
            const Py_UCS4* p = out.data();
            if (PyObject* known = memo->find(hash, len, [p](Py_ssize_t j) { return p[j]; }))
                return Ref::borrow(known);
        }
        Ref str = Ref::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(), len));
        if (memo) memo->remember(hash, str.get());
        return str;
    }

    // A number by the grammar of json.loads: -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][-+]?[0-9]+)?
    // where a fraction or exponent without digits is not part of it.
    Ref parse_number() {
        const Py_ssize_t start = i_;
        bool negative = false;
        if (peek() == '-') {
            negative = true;
            ++i_;
        }
        uint64_t mantissa = 0;
        int significant = 0;  // digits accumulated since the first non-zero one
        auto digit = [&](Py_UCS4 c) {
            if (significant > 0 || c != '0') {
                ++significant;
                if (significant <= 19) mantissa = mantissa * 10 + (c - '0');
            }
        };
        const Py_UCS4 first = peek();
        if (first == '0') {
            ++i_;
        } else if (first >= '1' && first <= '9') {
            while (is_digit(peek())) digit(s_[i_++]);
        } else {
            return {};  // not a value (NaN, Infinity, -Infinity, or a syntax error)
        }
        const int int_digits = significant;
        bool is_float = false;
        int exponent10 = 0;
        if (peek() == '.' && i_ + 1 < n_ && is_digit(s_[i_ + 1])) {
            is_float = true;
            ++i_;
            while (is_digit(peek())) {
                digit(s_[i_++]);
                --exponent10;
            }
        }
        if (peek() == 'e' || peek() == 'E') {
            Py_ssize_t save = i_++;
            bool exp_negative = false;
            if (peek() == '+' || peek() == '-') exp_negative = s_[i_++] == '-';
            if (is_digit(peek())) {
                is_float = true;
                long e = 0;
                while (is_digit(peek())) {
                    if (e < 100000) e = e * 10 + (s_[i_] - '0');
                    ++i_;
                }
                exponent10 += static_cast<int>(exp_negative ? -e : e);
            } else {
                i_ = save;
            }
        }

        if (!is_float) {
            if (int_digits > kMaxIntDigits) return {};
            long long v = static_cast<long long>(mantissa);
            return Ref::steal(PyLong_FromLongLong(negative ? -v : v));
        }

        double value;
        // The mantissa counts digits past the 19th as if they were not there:
        // fix the scale for them, and take the fast route only when the
        // mantissa is exact.
        if (significant <= 19) {
            // Exact mantissa and power of ten: one correctly rounded operation.
            if (mantissa <= (uint64_t{1} << 53) && exponent10 >= -22 && exponent10 <= 22) {
                value = static_cast<double>(mantissa);
                value = exponent10 >= 0 ? value * kPow10[exponent10] : value / kPow10[-exponent10];
                value = negative ? -value : value;
                return Ref::steal(PyFloat_FromDouble(value));
            }
        }
        // Everything else as float() converts the text.
        const size_t len = static_cast<size_t>(i_ - start);
        if (len >= kMaxNumberText) return {};
        char text[kMaxNumberText];
        for (size_t k = 0; k < len; ++k) text[k] = static_cast<char>(s_[start + static_cast<Py_ssize_t>(k)]);
        text[len] = '\0';
        char* end = nullptr;
        value = PyOS_string_to_double(text, &end, nullptr);
        if (value == -1.0 && PyErr_Occurred()) rt::raise();
        if (end != text + len) return {};
        return Ref::steal(PyFloat_FromDouble(value));
    }

    Ref parse_array() {
        if (++depth_ > kMaxDepth) return {};
        ++i_;
        Ref list = rt::new_list();
        skip_ws();
        if (peek() == ']') {
            ++i_;
            --depth_;
            return list;
        }
        while (true) {
            // Only owned references are held here; the caller keeps the text alive.
            rt::checkpoint();
            Ref item = parse_value();
            if (!item) return {};
            rt::append(list, item);
            skip_ws();
            const Py_UCS4 c = peek();
            ++i_;
            if (c == ']') break;
            if (c != ',') return {};
            skip_ws();
        }
        --depth_;
        return list;
    }

    Ref parse_object() {
        if (++depth_ > kMaxDepth) return {};
        ++i_;
        Ref dict = rt::new_dict();
        skip_ws();
        if (peek() == '}') {
            ++i_;
            --depth_;
            return dict;
        }
        while (true) {
            rt::checkpoint();
            if (peek() != '"') return {};
            Ref key = parse_string(&memo_);
            if (!key) return {};
            skip_ws();
            if (peek() != ':') return {};
            ++i_;
            skip_ws();
            Ref value = parse_value();
            if (!value) return {};
            rt::setitem(dict, key, value);
            skip_ws();
            const Py_UCS4 c = peek();
            ++i_;
            if (c == '}') break;
            if (c != ',') return {};
            skip_ws();
        }
        --depth_;
        return dict;
    }

    const CharT* s_;
    Py_ssize_t n_;
    bool ascii_;
    Py_ssize_t i_ = 0;
    int depth_ = 0;
    KeyMemo memo_;
    std::vector<Py_UCS4> buffer_;
};

template <class CharT>
Ref run(PyObject* text) {
    Decoder<CharT> decoder(static_cast<const CharT*>(PyUnicode_DATA(text)), PyUnicode_GET_LENGTH(text),
                           PyUnicode_IS_ASCII(text));
    return decoder.decode();
}

}  // namespace

Ref try_decode(rt::Obj value) {
    PyObject* text = value;
    if (!PyUnicode_CheckExact(text)) return {};
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            return run<Py_UCS1>(text);
        case PyUnicode_2BYTE_KIND:
            return run<Py_UCS2>(text);
        default:
            return run<Py_UCS4>(text);
    }
}

}  // namespace profile_json

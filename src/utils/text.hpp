// Fixed-column text helpers: field slicing, trimming, UTF-8 checks and
// locale-free number parsing. Nothing here allocates or throws.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <type_traits>

namespace skarvo::util {

/// `len` bytes of `line` from byte `pos`, shortened at the end of the line;
/// empty when `pos` lies beyond it.
constexpr std::string_view field(std::string_view line, std::size_t pos, std::size_t len) noexcept {
    return pos < line.size() ? line.substr(pos, len) : std::string_view{};
}

/// Everything from byte `pos` on (empty beyond the end).
constexpr std::string_view tail(std::string_view line, std::size_t pos) noexcept {
    return pos < line.size() ? line.substr(pos) : std::string_view{};
}

/// True when `i` does not fall inside a multi-byte UTF-8 character of `s`.
constexpr bool is_char_boundary(std::string_view s, std::size_t i) noexcept {
    return i >= s.size() || (static_cast<unsigned char>(s[i]) & 0xC0u) != 0x80u;
}

/// True when cutting `s` at [pos, pos + len) (clamped to its end) splits no
/// multi-byte character.
constexpr bool cut_ok(std::string_view s, std::size_t pos, std::size_t len) noexcept {
    if (pos >= s.size()) return true;
    const std::size_t end = len >= s.size() - pos ? s.size() : pos + len;
    return is_char_boundary(s, pos) && is_char_boundary(s, end);
}

/// Whole-string UTF-8 validation (rejects overlong forms, surrogates and
/// code points above U+10FFFF).
bool valid_utf8(std::string_view s) noexcept;

/// Length in bytes of the white-space character starting at `s[i]`, or 0.
/// White space is the Unicode White_Space property (ASCII blanks, tab, line
/// breaks, NBSP, the U+2000 block, ideographic space, ...).
std::size_t space_len_at(std::string_view s, std::size_t i) noexcept;
/// Length of the white-space character ending just before `s[end]`, or 0.
std::size_t space_len_before(std::string_view s, std::size_t end) noexcept;

constexpr bool is_ascii_space(char c) noexcept {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

/// White space (Unicode) removed at both ends.
std::string_view trim(std::string_view s) noexcept;

/// Fast path for fixed-column fields: ASCII blanks removed at both ends; falls
/// back to the Unicode trim only when a non-ASCII byte sits at an end.
inline std::string_view trim_fast(std::string_view s) noexcept {
    std::size_t b = 0, e = s.size();
    while (b < e && is_ascii_space(s[b])) ++b;
    while (e > b && is_ascii_space(s[e - 1])) --e;
    s = s.substr(b, e - b);
    if (!s.empty() && ((static_cast<unsigned char>(s.front()) | static_cast<unsigned char>(s.back())) & 0x80u))
        return trim(s);
    return s;
}

/// Calls `f(piece)` for every run of non-white-space characters, in order.
/// Stops early when `f` returns false.
template <class F>
void for_each_word(std::string_view s, F&& f) {
    std::size_t i = 0;
    const std::size_t n = s.size();
    while (i < n) {
        std::size_t w;
        while (i < n && (w = space_len_at(s, i)) != 0) i += w;
        if (i >= n) break;
        const std::size_t start = i;
        while (i < n && space_len_at(s, i) == 0) ++i;
        if (!f(s.substr(start, i - start))) return;
    }
}

/// ASCII upper-casing of one byte.
constexpr char ascii_upper(char c) noexcept { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }
std::string ascii_upper(std::string_view s);

/// Appends the UTF-8 encoding of `c`.
void append_utf8(std::string& out, char32_t c);

/// Decodes the first character of a UTF-8 text (which must be valid); 0 when empty.
char32_t first_char(std::string_view s, std::size_t* len = nullptr) noexcept;

// ---- numbers --------------------------------------------------------------

enum class IntError : std::uint8_t { Empty, InvalidDigit, PosOverflow, NegOverflow };

/// The conventional text of an integer parse failure, e.g.
/// "invalid digit found in string".
std::string_view int_error_text(IntError e) noexcept;

/// Decimal integer: optional '+' (and '-' for signed types) then digits, the
/// whole text. Returns true on success; on failure `*err` says why.
template <class T>
bool parse_int(std::string_view s, T& out, IntError* err = nullptr) noexcept {
    static_assert(std::is_integral_v<T>);
    auto fail = [&](IntError e) {
        if (err) *err = e;
        return false;
    };
    if (s.empty()) return fail(IntError::Empty);
    bool neg = false;
    std::size_t i = 0;
    if (s[0] == '+' || s[0] == '-') {
        if (s.size() == 1) return fail(IntError::InvalidDigit);
        if (s[0] == '-') {
            if constexpr (std::is_unsigned_v<T>) return fail(IntError::InvalidDigit);
            neg = true;
        }
        i = 1;
    }
    using W = std::conditional_t<std::is_signed_v<T>, std::int64_t, std::uint64_t>;
    W acc = 0;
    constexpr W hi = static_cast<W>(std::numeric_limits<T>::max());
    constexpr W lo = static_cast<W>(std::numeric_limits<T>::min());
    for (; i < s.size(); ++i) {
        const unsigned d = static_cast<unsigned char>(s[i]) - static_cast<unsigned>('0');
        if (d > 9) return fail(IntError::InvalidDigit);
        if (!neg) {
            if (acc > (hi - static_cast<W>(d)) / 10) return fail(IntError::PosOverflow);
            acc = acc * 10 + static_cast<W>(d);
        } else {
            if (acc < (lo + static_cast<W>(d)) / 10) return fail(IntError::NegOverflow);
            acc = acc * 10 - static_cast<W>(d);
        }
    }
    out = static_cast<T>(acc);
    return true;
}

/// Decimal floating-point number, the whole text: optional sign, digits with
/// an optional point and fraction ("1.", ".5"), optional exponent, or
/// inf/infinity/nan in any case. Overflow gives +-inf, underflow +-0.
/// Correctly rounded, locale-free.
bool parse_f64(std::string_view s, double& out) noexcept;

/// Trims (fast path) and parses; false for blank or bad text.
inline bool parse_f64_field(std::string_view s, double& out) noexcept {
    s = trim_fast(s);
    return !s.empty() && parse_f64(s, out);
}
template <class T>
inline bool parse_int_field(std::string_view s, T& out) noexcept {
    s = trim_fast(s);
    return parse_int(s, out);
}

/// Shortest decimal text that reads back to `v`, in plain notation without
/// exponent or trailing ".0": 900.0 gives "900", 0.5 gives "0.5".
std::string shortest_decimal(double v);

}  // namespace skarvo::util

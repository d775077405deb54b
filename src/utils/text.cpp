#include "utils/text.hpp"

#include <cmath>
#include <cstring>

namespace skarvo::util {

bool valid_utf8(std::string_view s) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    std::size_t i = 0;
    while (i < n) {
        // ASCII runs, eight bytes at a time.
        while (i + 8 <= n) {
            std::uint64_t w;
            std::memcpy(&w, p + i, 8);
            if (w & 0x8080808080808080ull) break;
            i += 8;
        }
        if (i >= n) break;
        const unsigned c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        std::uint32_t cp;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
            cp = c & 0x1Fu;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            cp = c & 0x0Fu;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            cp = c & 0x07u;
        } else {
            return false;
        }
        if (i + len > n) return false;
        for (std::size_t k = 1; k < len; ++k) {
            const unsigned cc = p[i + k];
            if ((cc & 0xC0u) != 0x80u) return false;
            cp = (cp << 6) | (cc & 0x3Fu);
        }
        if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
            (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
            return false;
        i += len;
    }
    return true;
}

namespace {

bool is_unicode_space(char32_t c) noexcept {
    switch (c) {
        case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20:
        case 0x85: case 0xA0: case 0x1680:
        case 0x2000: case 0x2001: case 0x2002: case 0x2003: case 0x2004: case 0x2005:
        case 0x2006: case 0x2007: case 0x2008: case 0x2009: case 0x200A:
        case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
            return true;
        default:
            return false;
    }
}

// Decodes the character at s[i] (lenient: a stray byte decodes as itself).
char32_t decode_at(std::string_view s, std::size_t i, std::size_t& len) noexcept {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t need = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    if (i + need > s.size()) need = 1;
    if (need == 1) {
        len = 1;
        return c;
    }
    char32_t cp = c & (need == 2 ? 0x1Fu : need == 3 ? 0x0Fu : 0x07u);
    for (std::size_t k = 1; k < need; ++k)
        cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3Fu);
    len = need;
    return cp;
}

}  // namespace

std::size_t space_len_at(std::string_view s, std::size_t i) noexcept {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) return is_ascii_space(static_cast<char>(c)) ? 1 : 0;
    std::size_t len;
    const char32_t cp = decode_at(s, i, len);
    return is_unicode_space(cp) ? len : 0;
}

std::size_t space_len_before(std::string_view s, std::size_t end) noexcept {
    if (end == 0) return 0;
    const auto c = static_cast<unsigned char>(s[end - 1]);
    if (c < 0x80) return is_ascii_space(static_cast<char>(c)) ? 1 : 0;
    std::size_t start = end - 1;
    while (start > 0 && end - start < 4 && (static_cast<unsigned char>(s[start]) & 0xC0u) == 0x80u)
        --start;
    std::size_t len;
    const char32_t cp = decode_at(s, start, len);
    return (start + len == end && is_unicode_space(cp)) ? len : 0;
}

std::string_view trim(std::string_view s) noexcept {
    std::size_t b = 0, e = s.size(), w;
    while (b < e && (w = space_len_at(s, b)) != 0) b += w;
    while (e > b && (w = space_len_before(s, e)) != 0) e -= w;
    return s.substr(b, e - b);
}

std::string ascii_upper(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = ascii_upper(c);
    return out;
}

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

char32_t first_char(std::string_view s, std::size_t* len) noexcept {
    if (s.empty()) {
        if (len) *len = 0;
        return 0;
    }
    std::size_t l;
    const char32_t c = decode_at(s, 0, l);
    if (len) *len = l;
    return c;
}

std::string_view int_error_text(IntError e) noexcept {
    switch (e) {
        case IntError::Empty: return "cannot parse integer from empty string";
        case IntError::InvalidDigit: return "invalid digit found in string";
        case IntError::PosOverflow: return "number too large to fit in target type";
        case IntError::NegOverflow: return "number too small to fit in target type";
    }
    return "invalid digit found in string";
}

namespace {

bool iequals(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (ascii_upper(a[i]) != ascii_upper(b[i])) return false;
    return true;
}

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

}  // namespace

bool parse_f64(std::string_view s, double& out) noexcept {
    if (s.empty()) return false;
    bool neg = false;
    std::size_t i = 0;
    if (s[0] == '+' || s[0] == '-') {
        neg = s[0] == '-';
        i = 1;
    }
    const std::string_view body = s.substr(i);
    if (body.empty()) return false;
    if (!is_digit(body[0]) && body[0] != '.') {
        if (iequals(body, "inf") || iequals(body, "infinity")) {
            out = neg ? -HUGE_VAL : HUGE_VAL;
            return true;
        }
        if (iequals(body, "nan")) {
            out = neg ? -std::numeric_limits<double>::quiet_NaN() : std::numeric_limits<double>::quiet_NaN();
            return true;
        }
        return false;
    }
    // Validate the grammar ourselves: digits, optional point and digits (at
    // least one digit overall), optional exponent with at least one digit.
    std::size_t k = 0, mant_digits = 0;
    while (k < body.size() && is_digit(body[k])) ++k, ++mant_digits;
    if (k < body.size() && body[k] == '.') {
        ++k;
        while (k < body.size() && is_digit(body[k])) ++k, ++mant_digits;
    }
    if (mant_digits == 0) return false;
    if (k < body.size() && (body[k] == 'e' || body[k] == 'E')) {
        ++k;
        if (k < body.size() && (body[k] == '+' || body[k] == '-')) ++k;
        std::size_t exp_digits = 0;
        while (k < body.size() && is_digit(body[k])) ++k, ++exp_digits;
        if (exp_digits == 0) return false;
    }
    if (k != body.size()) return false;

    double v = 0.0;
    const auto r = std::from_chars(body.data(), body.data() + body.size(), v, std::chars_format::general);
    if (r.ec == std::errc::result_out_of_range) {
        // Decide between overflow and underflow from the decimal magnitude:
        // position of the first significant digit plus the exponent.
        long long mag = 0;
        bool seen_point = false, seen_sig = false;
        std::size_t j = 0;
        long long int_digits = 0, lead_frac_zeros = 0;
        for (; j < body.size() && body[j] != 'e' && body[j] != 'E'; ++j) {
            const char c = body[j];
            if (c == '.') {
                seen_point = true;
                continue;
            }
            if (!seen_point) {
                if (c != '0' || seen_sig) {
                    seen_sig = true;
                    ++int_digits;
                }
            } else if (!seen_sig) {
                if (c == '0') ++lead_frac_zeros;
                else seen_sig = true;
            }
        }
        long long e = 0;
        if (j < body.size()) {
            std::size_t q = j + 1;
            bool eneg = false;
            if (q < body.size() && (body[q] == '+' || body[q] == '-')) eneg = body[q++] == '-';
            for (; q < body.size(); ++q) {
                if (e < 100000000) e = e * 10 + (body[q] - '0');
            }
            if (eneg) e = -e;
        }
        mag = (int_digits > 0 ? int_digits : -lead_frac_zeros) + e;
        v = mag > 0 ? HUGE_VAL : 0.0;
    } else if (r.ec != std::errc() || r.ptr != body.data() + body.size()) {
        return false;
    }
    out = neg ? -v : v;
    return true;
}

std::string shortest_decimal(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    // Fixed notation without a precision gives the shortest round-trip digits.
    char buf[400];
    const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
    return std::string(buf, r.ptr);
}

}  // namespace skarvo::util

// Field helpers shared by the header and record parsers: the fast exact
// parser of fixed-column numbers and the check that a cut column does not
// fall inside a multi-byte character.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "utils/error.hpp"
#include "utils/text.hpp"

namespace skarvo::rinex::detail {

/// Powers of ten that are exact doubles.
inline constexpr double exact_pow10[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                         1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

/// Parses a numeric field of `n` bytes at `p` (blanks around the number
/// allowed). False for a blank or malformed field. Plain fixed-point text
/// with at most 15 digits ("  23619095.450", "-1.5") takes the fast path:
/// the digits as an integer divided once by an exact power of ten, which
/// IEEE division rounds correctly, so the result equals that of a correctly
/// rounded parser. Anything else goes through util::parse_f64.
inline bool parse_number(const char* p, std::size_t n, double& out) noexcept {
    std::size_t i = 0;
    while (i < n && p[i] == ' ') ++i;
    const std::size_t begin = i;
    bool neg = false;
    if (i < n && (p[i] == '-' || p[i] == '+')) {
        neg = p[i] == '-';
        ++i;
    }
    std::uint64_t m = 0;
    unsigned digits = 0, frac = 0;
    while (i < n) {
        const unsigned d = static_cast<unsigned char>(p[i]) - static_cast<unsigned>('0');
        if (d > 9) break;
        m = m * 10 + d;
        ++digits;
        ++i;
    }
    if (i < n && p[i] == '.') {
        ++i;
        while (i < n) {
            const unsigned d = static_cast<unsigned char>(p[i]) - static_cast<unsigned>('0');
            if (d > 9) break;
            m = m * 10 + d;
            ++digits;
            ++frac;
            ++i;
        }
    }
    std::size_t j = i;
    while (j < n && p[j] == ' ') ++j;
    if (j == n && digits > 0 && digits <= 15) {
        const double v = static_cast<double>(m) / exact_pow10[frac];
        out = neg ? -v : v;
        return true;
    }
    if (begin == n) return false;  // blank
    return util::parse_f64_field(std::string_view(p + begin, n - begin), out);
}

inline bool parse_number(std::string_view s, double& out) noexcept { return parse_number(s.data(), s.size(), out); }

/// Result of parse_f14_3.
enum class F14 : std::int8_t { Blank = 0, Parsed = 1, Other = -1 };

/// The common case of an observation value: 14 ASCII bytes at `p` holding
/// F14.3 text (blanks, an optional '-', up to ten digits, a point at byte 10,
/// three digits), or 14 blanks. Eight bytes of the integer part are
/// converted at once (SWAR); the value is the digits as an integer divided by
/// 1000, exact as in parse_number. Anything else is Other: the caller falls
/// back to parse_number. The bytes must be ASCII.
inline F14 parse_f14_3(const char* p, double& out) noexcept {
    std::uint64_t lo, hi;
    std::memcpy(&lo, p, 8);
    std::memcpy(&hi, p + 6, 8);
    constexpr std::uint64_t spaces = 0x2020202020202020ull;
    if (lo == spaces && hi == spaces) return F14::Blank;
    const auto d11 = static_cast<unsigned>(static_cast<unsigned char>(p[11])) - '0';
    const auto d12 = static_cast<unsigned>(static_cast<unsigned char>(p[12])) - '0';
    const auto d13 = static_cast<unsigned>(static_cast<unsigned char>(p[13])) - '0';
    if (p[10] != '.' || d11 > 9 || d12 > 9 || d13 > 9) return F14::Other;

    // Bytes 2-9 of the integer part; byte 2 is the lowest (little endian).
    std::uint64_t w;
    std::memcpy(&w, p + 2, 8);
    const std::uint64_t x = w ^ 0x3030303030303030ull;  // digits become 0-9
    // High bit of each byte that is not a digit (x >= 10; ASCII input, so no
    // carry crosses bytes).
    const std::uint64_t nondigit = (x + 0x7676767676767676ull) & 0x8080808080808080ull;
    bool neg = false;
    std::uint64_t head = 0;  // value of the digits at bytes 0-1
    std::uint64_t digits = x;
    if (nondigit == 0) {
        // Eight digits; bytes 0-1 hold blanks, '-' or further digits.
        const char a = p[0], b = p[1];
        const bool ad = a >= '0' && a <= '9', bd = b >= '0' && b <= '9';
        if (bd) {
            head = static_cast<std::uint64_t>(b - '0');
            if (ad) head += static_cast<std::uint64_t>(a - '0') * 10;
            else if (a == '-') neg = true;
            else if (a != ' ') return F14::Other;
        } else if (b == '-') {
            if (a != ' ') return F14::Other;
            neg = true;
        } else if (b != ' ' || a != ' ') {
            return F14::Other;
        }
    } else {
        // Non-digits must be a run at the start: blanks, then at most one '-'.
        const int top = 63 - __builtin_clzll(nondigit);  // high bit of the last non-digit byte
        const int n = (top + 1) / 8;                       // bytes in the run (1-8)
        const std::uint64_t run = n == 8 ? ~0ull : (1ull << (8 * n)) - 1;
        if ((nondigit & run) != (0x8080808080808080ull & run)) return F14::Other;
        if (p[0] != ' ' || p[1] != ' ') return F14::Other;
        const std::uint64_t blanks = spaces & run;
        if ((w & run) != blanks) {
            const std::uint64_t minus_at_end = blanks ^ ((0x20ull ^ 0x2Dull) << (8 * (n - 1)));
            if ((w & run) != minus_at_end) return F14::Other;
            neg = true;
        }
        digits &= ~run;  // the run reads as leading zeros
    }
    // Eight digit bytes (first digit lowest) to their value.
    digits = (digits * 10) + (digits >> 8);
    digits = (((digits & 0x000000FF000000FFull) * 0x000F424000000064ull) +
              (((digits >> 16) & 0x000000FF000000FFull) * 0x0000271000000001ull)) >>
             32;
    digits &= 0xFFFFFFFFull;
    const std::uint64_t m = ((head * 100000000ull + digits) * 1000) + d11 * 100 + d12 * 10 + d13;
    const double v = static_cast<double>(m) / 1000.0;
    out = neg ? -v : v;
    return F14::Parsed;
}

/// The digit 0-9 at byte `i` of `s`, or 0xFF (ObsEntry::no_digit) when there is none.
inline std::uint8_t digit_at(std::string_view s, std::size_t i) noexcept {
    if (i >= s.size()) return 0xFF;
    const unsigned d = static_cast<unsigned char>(s[i]) - static_cast<unsigned>('0');
    return d <= 9 ? static_cast<std::uint8_t>(d) : std::uint8_t{0xFF};
}

/// The error for a fixed column that falls inside a multi-byte character.
inline util::GnssError cut_error(std::uint64_t line_index, std::size_t column) {
    return util::GnssError::rinex_parse(line_index, "byte column " + std::to_string(column) +
                                                        " falls inside a multi-byte UTF-8 character");
}

/// The first of `columns` that falls inside a multi-byte character of
/// `line`, or absent. Columns at or past the end of the line are fine.
inline std::optional<std::size_t> bad_cut(std::string_view line, std::initializer_list<std::size_t> columns) noexcept {
    for (std::size_t c : columns)
        if (!util::is_char_boundary(line, c)) return c;
    return std::nullopt;
}

}  // namespace skarvo::rinex::detail

// Field helpers shared by the header and record parsers: the fast exact
// parser of fixed-column numbers and the check that a cut column does not
// fall inside a multi-byte character.
#pragma once

#include <cstddef>
#include <cstdint>
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

/// The digit 0-9 at byte `i` of `s`, or ObsEntry::no_digit style 0xFF.
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

#include "utils/time.hpp"

#include <cstdint>

#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

#include "utils/text.hpp"

namespace skarvo::util {

namespace {

constexpr std::int64_t floor_div(std::int64_t a, std::int64_t b) noexcept {
    std::int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

// Days since 1970-01-01 of a date whose month is 1-12 and day 1-31 (days past
// the month's end are added linearly).
std::int64_t days_from_civil_norm(std::int64_t y, std::int64_t m, std::int64_t d) noexcept {
    y -= m <= 2;
    const std::int64_t era = floor_div(y, 400);
    const std::int64_t yoe = y - era * 400;
    const std::int64_t mp = (m + 9) % 12;
    const std::int64_t doy = (153 * mp + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

bool is_leap(std::int64_t y) noexcept { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

std::uint32_t days_in_month(std::int64_t y, std::uint32_t m) noexcept {
    static constexpr std::uint32_t dim[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return (m == 2 && is_leap(y)) ? 29 : dim[m - 1];
}

// Whole seconds (floor, saturated to u32) and truncated nanoseconds of a
// second field, as every conversion splits it.
void split_second(double second, std::uint32_t& whole, std::uint32_t& nanos) noexcept {
    const double fl = std::floor(second);
    if (!(fl > 0.0)) whole = 0;  // negative or NaN
    else if (fl >= 4294967295.0) whole = 4294967295u;
    else whole = static_cast<std::uint32_t>(fl);
    const double frac = (second - fl) * 1e9;
    if (!(frac > 0.0)) nanos = 0;
    else if (frac >= 999999999.0) nanos = 999999999u;
    else nanos = static_cast<std::uint32_t>(frac);
}

void put2(std::string& s, unsigned v) {
    s += static_cast<char>('0' + v / 10 % 10);
    s += static_cast<char>('0' + v % 10);
}

Result<Epoch> invalid_epoch(std::string msg) { return GnssError(ErrorKind::InvalidEpoch, std::move(msg)); }

std::string quoted(std::string_view s) {
    std::string out = "'";
    out += s;
    out += '\'';
    return out;
}

std::vector<std::string_view> split_on(std::string_view s, std::string_view sep) {
    std::vector<std::string_view> out;
    std::size_t start = 0;
    while (true) {
        const std::size_t p = s.find(sep, start);
        if (p == std::string_view::npos) {
            out.push_back(s.substr(start));
            return out;
        }
        out.push_back(s.substr(start, p - start));
        start = p + sep.size();
    }
}

bool ends_with(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

Result<Epoch> parse_iso(std::string_view text) {
    for (std::string_view suffix : {std::string_view("Z"), std::string_view("+00:00"), std::string_view("+00")})
        while (ends_with(text, suffix)) text.remove_suffix(suffix.size());

    std::vector<std::string_view> parts;
    if (text.find('T') != std::string_view::npos) parts = split_on(text, "T");
    else if (text.find(' ') != std::string_view::npos) parts = split_on(text, " ");
    else return invalid_epoch("Cannot parse epoch: " + quoted(text));
    if (parts.size() != 2) return invalid_epoch("Invalid ISO epoch: " + quoted(text));

    const auto date = split_on(parts[0], "-");
    if (date.size() != 3) return invalid_epoch("Invalid date format: " + quoted(parts[0]));
    Epoch e;
    if (!parse_int(date[0], e.year)) return invalid_epoch("Invalid year: " + quoted(date[0]));
    if (!parse_int(date[1], e.month)) return invalid_epoch("Invalid month: " + quoted(date[1]));
    if (!parse_int(date[2], e.day)) return invalid_epoch("Invalid day: " + quoted(date[2]));

    const auto time = split_on(parts[1], ":");
    if (time.size() < 3) return invalid_epoch("Invalid time format: " + quoted(parts[1]));
    if (!parse_int(time[0], e.hour)) return invalid_epoch("Invalid hour: " + quoted(time[0]));
    if (!parse_int(time[1], e.minute)) return invalid_epoch("Invalid minute: " + quoted(time[1]));
    if (!parse_f64(time[2], e.second)) return invalid_epoch("Invalid second: " + quoted(time[2]));
    return e;
}

Result<Epoch> parse_fields(std::string_view text) {
    std::string_view pieces[6];
    std::size_t count = 0;
    for_each_word(text, [&](std::string_view w) {
        pieces[count++] = w;
        return count < 6;
    });
    if (count < 6) return invalid_epoch("Insufficient components in epoch string: " + quoted(text));

    Epoch e;
    IntError ie{};
    auto int_fail = [&] {
        return Result<Epoch>(GnssError(ErrorKind::Other, "Integer parse error: " + std::string(int_error_text(ie))));
    };
    if (!parse_int(pieces[0], e.year, &ie)) return int_fail();
    if (!parse_int(pieces[1], e.month, &ie)) return int_fail();
    if (!parse_int(pieces[2], e.day, &ie)) return int_fail();
    if (!parse_int(pieces[3], e.hour, &ie)) return int_fail();
    if (!parse_int(pieces[4], e.minute, &ie)) return int_fail();
    if (!parse_f64(pieces[5], e.second))
        return GnssError(ErrorKind::Other, "Float parse error: invalid float literal");
    if (e.year < 80) e.year += 2000;
    else if (e.year <= 99) e.year += 1900;
    return e;
}

}  // namespace

std::int64_t days_from_civil(std::int64_t year, std::int64_t month, std::int64_t day) noexcept {
    const std::int64_t m0 = month - 1;
    const std::int64_t y = year + floor_div(m0, 12);
    const std::int64_t m = m0 - floor_div(m0, 12) * 12 + 1;
    return days_from_civil_norm(y, m, 1) + (day - 1);
}

void civil_from_days(std::int64_t z, std::int64_t& year, unsigned& month, unsigned& day) noexcept {
    z += 719468;
    const std::int64_t era = floor_div(z, 146097);
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t y = yoe + era * 400;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    day = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
    year = y + (month <= 2);
}

bool is_valid_date(std::int64_t year, std::uint32_t month, std::uint32_t day) noexcept {
    return month >= 1 && month <= 12 && day >= 1 && day <= days_in_month(year, month);
}

DateTime to_datetime(const Epoch& e) noexcept {
    std::uint32_t whole, nanos;
    split_second(e.second, whole, nanos);
    const std::int64_t days = days_from_civil(e.year, e.month, e.day);
    const std::int64_t secs = days * 86400 + static_cast<std::int64_t>(e.hour) * 3600 +
                              static_cast<std::int64_t>(e.minute) * 60 + static_cast<std::int64_t>(whole);
    return {secs, nanos};
}

std::string iso_text(const DateTime& t) {
    const std::int64_t days = floor_div(t.seconds, 86400);
    const std::int64_t sod = t.seconds - days * 86400;
    std::int64_t y;
    unsigned m, d;
    civil_from_days(days, y, m, d);
    std::string s;
    s.reserve(32);
    if (y >= 0 && y <= 9999) {
        put2(s, static_cast<unsigned>(y / 100));
        put2(s, static_cast<unsigned>(y % 100));
    } else {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%+05lld", static_cast<long long>(y));
        s += buf;
    }
    s += '-';
    put2(s, m);
    s += '-';
    put2(s, d);
    s += 'T';
    put2(s, static_cast<unsigned>(sod / 3600));
    s += ':';
    put2(s, static_cast<unsigned>(sod / 60 % 60));
    s += ':';
    put2(s, static_cast<unsigned>(sod % 60));
    const unsigned ms = t.nanos / 1000000u;
    s += '.';
    s += static_cast<char>('0' + ms / 100);
    s += static_cast<char>('0' + ms / 10 % 10);
    s += static_cast<char>('0' + ms % 10);
    s += 'Z';
    return s;
}

std::string iso_text(const Epoch& e) { return iso_text(to_datetime(e)); }

std::int64_t unix_millis(const Epoch& e) noexcept {
    const DateTime t = to_datetime(e);
    // Saturate: only fields hundreds of millions of years away overflow.
    std::int64_t ms;
    if (__builtin_mul_overflow(t.seconds, std::int64_t{1000}, &ms))
        return t.seconds < 0 ? std::numeric_limits<std::int64_t>::min() : std::numeric_limits<std::int64_t>::max();
    const auto frac = static_cast<std::int64_t>(t.nanos / 1000000u);
    return ms > std::numeric_limits<std::int64_t>::max() - frac ? std::numeric_limits<std::int64_t>::max() : ms + frac;
}

double unix_seconds(const Epoch& e) noexcept {
    const DateTime t = to_datetime(e);
    return static_cast<double>(t.seconds) + static_cast<double>(t.nanos) * 1e-9;
}

std::optional<DateTime> datetime_from_unix_seconds(double t) noexcept {
    const double fl = std::floor(t);
    // Years -999999..999999 span about +-3.2e13 s around the origin.
    if (!(fl >= -3.2e13 && fl <= 3.2e13)) return std::nullopt;
    const auto whole = static_cast<std::int64_t>(fl);
    const double frac = (t - fl) * 1e9;
    std::uint32_t nanos = 0;
    if (frac > 0.0) nanos = frac >= 999999999.0 ? 999999999u : static_cast<std::uint32_t>(frac);
    std::int64_t y;
    unsigned m, d;
    civil_from_days(floor_div(whole, 86400), y, m, d);
    if (y < -999999 || y > 999999) return std::nullopt;
    return DateTime{whole, nanos};
}

std::pair<std::uint32_t, double> gps_time(const Epoch& e) noexcept {
    constexpr std::int64_t gps_origin = 315964800;  // 1980-01-06T00:00:00
    const DateTime t = to_datetime(e);
    const std::int64_t dsec = t.seconds - gps_origin;
    // Whole milliseconds of the signed duration, truncated toward zero.
    double secs;
    std::int64_t ms;
    if (!__builtin_mul_overflow(dsec, std::int64_t{1000}, &ms) && ms < std::numeric_limits<std::int64_t>::max() - 1000) {
        ms += static_cast<std::int64_t>(t.nanos / 1000000u);
        if (dsec < 0 && t.nanos % 1000000u != 0) ms += 1;
        secs = static_cast<double>(ms) / 1000.0;
    } else {
        secs = static_cast<double>(dsec);  // far beyond any real epoch: milliseconds are below resolution
    }
    const double wk = std::floor(secs / 604800.0);
    std::uint32_t week = 0;
    if (wk > 0.0) week = wk >= 4294967295.0 ? 4294967295u : static_cast<std::uint32_t>(wk);
    return {week, secs - static_cast<double>(week) * 604800.0};
}

double julian_date(const Epoch& e) noexcept {
    std::int64_t y = e.year;
    std::int64_t m = e.month;
    if (e.month < 3) {
        y = static_cast<std::int64_t>(e.year) - 1;
        m = static_cast<std::int64_t>(e.month) + 12;
    }
    const std::int64_t a = y / 100;  // truncated toward zero
    const double b = 2.0 - static_cast<double>(a) + std::floor(static_cast<double>(a) * 0.25);
    const double frac = (static_cast<double>(e.hour) + static_cast<double>(e.minute) / 60.0 + e.second / 3600.0) / 24.0;
    return frac + (b + (std::floor(30.6001 * static_cast<double>(m + 1)) +
                        std::floor(365.25 * static_cast<double>(y + 4716)) + static_cast<double>(e.day)) -
                   1524.5);
}

std::uint32_t day_of_year(const Epoch& e) noexcept {
    if (e.month > 12 || e.day > 31 || !is_valid_date(e.year, e.month, e.day)) return 1;
    return static_cast<std::uint32_t>(days_from_civil(e.year, e.month, e.day) - days_from_civil(e.year, 1, 1) + 1);
}

double seconds_between(const Epoch& from, const Epoch& to) noexcept {
    const std::int64_t dd = days_from_civil(to.year, to.month, to.day) - days_from_civil(from.year, from.month, from.day);
    const double s_from = static_cast<double>(from.hour) * 3600.0 + static_cast<double>(from.minute) * 60.0 + from.second;
    const double s_to = static_cast<double>(to.hour) * 3600.0 + static_cast<double>(to.minute) * 60.0 + to.second;
    return static_cast<double>(dd) * 86400.0 + (s_to - s_from);
}

Result<Epoch> parse_epoch(std::string_view text) {
    text = trim(text);
    const bool iso = text.find('T') != std::string_view::npos ||
                     (text.find('-') != std::string_view::npos && text.find(':') != std::string_view::npos);
    return iso ? parse_iso(text) : parse_fields(text);
}

std::optional<Epoch> epoch_from_millis(std::int64_t ms) noexcept {
    std::int64_t secs = ms / 1000, rem = ms % 1000;
    if (rem < 0) {
        rem += 1000;
        secs -= 1;
    }
    std::int64_t days = secs / 86400, sod = secs % 86400;
    if (sod < 0) {
        sod += 86400;
        days -= 1;
    }
    std::int64_t year;
    unsigned month, day;
    civil_from_days(days, year, month, day);
    if (year < 0 || year > INT32_MAX) return std::nullopt;
    Epoch e;
    e.year = static_cast<std::int32_t>(year);
    e.month = month;
    e.day = day;
    e.hour = static_cast<std::uint32_t>(sod / 3600);
    e.minute = static_cast<std::uint32_t>(sod / 60 % 60);
    // Whole milliseconds over 1000: the correctly rounded value of the
    // seconds written in the ISO text.
    e.second = static_cast<double>(sod % 60 * 1000 + rem) / 1000.0;
    return e;
}

}  // namespace skarvo::util

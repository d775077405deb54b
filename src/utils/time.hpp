// Epochs as written in observation and orbit files, and every conversion the
// library makes from them. No time scale and no leap seconds anywhere: the six
// calendar fields are taken as they stand.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "utils/error.hpp"

namespace skarvo::util {

/// Six calendar fields, stored without validation (month 13 or second 75.0
/// are kept as given).
struct Epoch {
    std::int32_t year = 2000;
    std::uint32_t month = 1;
    std::uint32_t day = 1;
    std::uint32_t hour = 0;
    std::uint32_t minute = 0;
    double second = 0.0;
};

/// An instant as whole seconds since 1970-01-01T00:00:00 plus nanoseconds
/// (0 to 999,999,999).
struct DateTime {
    std::int64_t seconds = 0;
    std::uint32_t nanos = 0;
};

/// Days since 1970-01-01 of a proleptic Gregorian date. Months outside 1-12
/// carry into the year and days outside the month carry into neighbouring
/// months (day 0 is the last day of the previous month).
std::int64_t days_from_civil(std::int64_t year, std::int64_t month, std::int64_t day) noexcept;

/// Calendar date of a day number (inverse of days_from_civil).
void civil_from_days(std::int64_t days, std::int64_t& year, unsigned& month, unsigned& day) noexcept;

bool is_valid_date(std::int64_t year, std::uint32_t month, std::uint32_t day) noexcept;

/// The epoch as a UTC instant. Total and deterministic: fields outside their
/// ranges carry (hour 24 is the next day, second 60.0 the next minute). The
/// second is split into whole seconds (floor, saturated to 0..2^32-1) and
/// nanoseconds (fraction truncated).
DateTime to_datetime(const Epoch& e) noexcept;

/// "%Y-%m-%dT%H:%M:%S%.3fZ": milliseconds truncated; years outside 0-9999
/// carry an explicit sign.
std::string iso_text(const DateTime& t);
std::string iso_text(const Epoch& e);

/// Milliseconds since 1970-01-01 (floor of the instant). The key by which the
/// analysis orders, compares and groups epochs.
std::int64_t unix_millis(const Epoch& e) noexcept;
/// The epoch of unix milliseconds as calendar fields (the inverse of
/// `unix_millis` to the millisecond). Absent before year 0, which the ISO
/// text of an epoch cannot carry in a form that reads back.
std::optional<Epoch> epoch_from_millis(std::int64_t ms) noexcept;

/// Seconds since 1970-01-01 as a float: whole seconds plus nanoseconds * 1e-9.
double unix_seconds(const Epoch& e) noexcept;

/// The instant `t` Unix seconds after the origin (fraction truncated to
/// nanoseconds), or absent when its year lies outside -999999..999999.
std::optional<DateTime> datetime_from_unix_seconds(double t) noexcept;

/// GPS week and seconds of week (no leap seconds; an epoch before
/// 1980-01-06 has week 0 and negative seconds).
std::pair<std::uint32_t, double> gps_time(const Epoch& e) noexcept;

/// Julian date from the raw fields by the classical formula (no validation).
double julian_date(const Epoch& e) noexcept;

/// Ordinal day 1-366 of a valid date; 1 for an invalid one.
std::uint32_t day_of_year(const Epoch& e) noexcept;

/// `to` minus `from` in seconds, computed as whole days times 86400 plus the
/// difference of the seconds of day, so that time tags a whole number of
/// seconds apart give an exact result (30-s data gives exactly 30.0). Fields
/// outside their ranges carry as in to_datetime; the second is used unrounded.
double seconds_between(const Epoch& from, const Epoch& to) noexcept;

/// Parses "2024 03 01 06 30 15.25" (field form, two-digit years accepted) or
/// "2024-03-01T06:30:15.250Z" (ISO form). Errors are InvalidEpoch or Other
/// with the texts of the epoch parser.
Result<Epoch> parse_epoch(std::string_view text);

}  // namespace skarvo::util

// Checks of the core's error rendering and number parsing that are not
// reachable one by one from Python. Build with -DSKARVO_CPP_TESTS=ON and run
// build/dev/test_core_text; exits non-zero on the first failure.
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "check.hpp"
#include "utils/error.hpp"
#include "utils/text.hpp"
#include "utils/time.hpp"

using namespace skarvo::util;

static void check_error_messages() {
    const std::pair<GnssError, const char*> cases[] = {
        {GnssError::io("boom"), "I/O error: boom"},
        {GnssError::rinex_parse(12, "Epoch line too short"), "RINEX parsing error at line 12: Epoch line too short"},
        {GnssError(ErrorKind::UnsupportedVersion, "1.0"), "Unsupported RINEX version: 1.0"},
        {GnssError(ErrorKind::InvalidHeader, "x"), "Invalid RINEX header: x"},
        {GnssError(ErrorKind::MissingHeaderField, "x"), "Missing required header field: x"},
        {GnssError::sp3_parse(3, "x"), "SP3 parsing error at line 3: x"},
        {GnssError(ErrorKind::NavigationFile, "x"), "Navigation file error: x"},
        {GnssError(ErrorKind::InvalidEpoch, "x"), "Invalid epoch format: x"},
        {GnssError(ErrorKind::InvalidSatellite, "x"), "Invalid satellite identifier: x"},
        {GnssError(ErrorKind::InvalidObservationCode, "x"), "Invalid observation code: x"},
        {GnssError::invalid_system(U'\u00e9'), "Invalid GNSS system: \u00e9"},
        {GnssError(ErrorKind::InsufficientData, "x"), "Insufficient data: x"},
        {GnssError(ErrorKind::Computation, "x"), "Computation error: x"},
        {GnssError::convergence_failure(7, "x"), "Failed to converge after 7 iterations: x"},
        {GnssError(ErrorKind::FileNotFound, "/no/such"), "File not found: /no/such"},
        {GnssError::invalid_file_format("a", "b"), "Invalid file format: expected a, got b"},
        {GnssError(ErrorKind::Configuration, "x"), "Configuration error: x"},
        {GnssError(ErrorKind::Plotting, "x"), "R plotting error: x"},
        {GnssError(ErrorKind::CoordinateTransform, "x"), "Coordinate transformation error: x"},
        {GnssError(ErrorKind::Download, "x"), "Download error: x"},
        {GnssError(ErrorKind::Serialization, "x"), "Serialization error: x"},
        {GnssError(ErrorKind::TimeScale, "x"), "Time scale error: x"},
        {GnssError::satellite_not_found("G01", "e"), "Satellite G01 not found in ephemeris at epoch e"},
        {GnssError(ErrorKind::InvalidFrequencyBand, "x"), "Invalid frequency band: x"},
        {GnssError::cycle_slip_detected("G01", "e"), "Cycle slip detected for G01 at epoch e"},
        {GnssError(ErrorKind::Other, "plain"), "plain"},
    };
    static_assert(std::size(cases) == error_kind_count);
    int kind = 0;
    for (const auto& [err, text] : cases) {
        CHECK(static_cast<int>(err.kind()) == kind++);
        CHECK(err.message() == text);
    }
    CHECK(GnssError::from_errno(2).message() == "I/O error: No such file or directory (os error 2)");
}

static void check_parse_f64_against_strtod() {
    std::setlocale(LC_NUMERIC, "C");
    std::mt19937_64 rng(12345);
    const char alphabet[] = "0123456789.eE+-";
    for (int i = 0; i < 200000; ++i) {
        std::string s;
        const int len = 1 + static_cast<int>(rng() % 12);
        for (int k = 0; k < len; ++k) s += alphabet[rng() % (sizeof alphabet - 1)];
        double ours = 0.0;
        const bool ok = parse_f64(s, ours);
        char* end = nullptr;
        const double ref = std::strtod(s.c_str(), &end);
        const bool ref_ok = end == s.c_str() + s.size() && !s.empty();
        // strtod accepts nothing that our grammar refuses among these
        // characters, except forms like "1e" that it reads partially.
        CHECK_MSG(ok == ref_ok, "acceptance differs for '" + s + "'");
        CHECK_MSG(!ok || !ref_ok || ours == ref || (std::isnan(ours) && std::isnan(ref)),
                  "value differs for '" + s + "'");
    }
    double v = 0;
    CHECK(parse_f64("1e999", v) && std::isinf(v) && v > 0);
    CHECK(parse_f64("-1e999", v) && std::isinf(v) && v < 0);
    CHECK(parse_f64("1e-999", v) && v == 0.0);
    CHECK(parse_f64(std::string(400, '9'), v) && std::isinf(v));
    CHECK(parse_f64("0." + std::string(400, '0') + "1", v) && v == 0.0);
    CHECK(parse_f64("Infinity", v) && std::isinf(v));
    CHECK(parse_f64("-nan", v) && std::isnan(v));
    CHECK(!parse_f64("nan(1)", v));
    CHECK(!parse_f64(" 1", v));
    CHECK(!parse_f64("0x10", v));
}

static void check_parse_int() {
    IntError e{};
    std::uint8_t u8;
    std::int8_t i8;
    std::int32_t i32;
    CHECK(parse_int("255", u8) && u8 == 255);
    CHECK(!parse_int("256", u8, &e) && e == IntError::PosOverflow);
    CHECK(!parse_int("-1", u8, &e) && e == IntError::InvalidDigit);
    CHECK(parse_int("-128", i8) && i8 == -128);
    CHECK(!parse_int("-129", i8, &e) && e == IntError::NegOverflow);
    CHECK(parse_int("+127", i8) && i8 == 127);
    CHECK(!parse_int("+", i32, &e) && e == IntError::InvalidDigit);
    CHECK(!parse_int("", i32, &e) && e == IntError::Empty);
    CHECK(parse_int("-2147483648", i32) && i32 == INT32_MIN);
    CHECK(!parse_int("99999999999x", i32, &e) && e == IntError::PosOverflow);
}

static void check_text() {
    CHECK(trim("\u3000 a b\u00a0\t") == "a b");
    CHECK(trim("\xe3\x80") == "\xe3\x80");  // a cut character is not white space
    CHECK(valid_utf8("plain \u00e9\u4e2d\U0001F600"));
    CHECK(!valid_utf8("\xc0\xaf"));          // overlong
    CHECK(!valid_utf8("\xed\xa0\x80"));      // surrogate
    CHECK(!valid_utf8("\xf4\x90\x80\x80"));  // above U+10FFFF
    CHECK(!valid_utf8("abc\xe2\x82"));       // truncated
    CHECK(!cut_ok("ab\u00e9", 0, 3));
    CHECK(cut_ok("ab\u00e9", 0, 4));
    CHECK(shortest_decimal(900.0) == "900");
    CHECK(shortest_decimal(0.5) == "0.5");
    CHECK(shortest_decimal(1e-7) == "0.0000001");
    CHECK(shortest_decimal(30.000000000000004) == "30.000000000000004");
}

static void check_time() {
    const Epoch a{2020, 6, 25, 23, 59, 30.0}, b{2020, 6, 26, 0, 0, 0.0};
    CHECK(seconds_between(a, b) == 30.0);
    CHECK(seconds_between(b, a) == -30.0);
    CHECK(seconds_between(Epoch{2020, 12, 31, 23, 55, 0.0}, Epoch{2021, 1, 1, 0, 0, 0.0}) == 300.0);
    CHECK(unix_millis(Epoch{1969, 12, 31, 23, 59, 59.5}) == -500);
    CHECK(unix_millis(Epoch{INT32_MAX, UINT32_MAX, UINT32_MAX, UINT32_MAX, UINT32_MAX, 1e300}) == INT64_MAX);
    CHECK(!datetime_from_unix_seconds(1e20));
    CHECK(iso_text(*datetime_from_unix_seconds(1420070415.2509)) == "2015-01-01T00:00:15.250Z");
}

int main() {
    check_error_messages();
    check_parse_f64_against_strtod();
    check_parse_int();
    check_text();
    check_time();
    return checks::finish("test_core_text");
}

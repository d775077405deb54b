// Checks of the core's number parsing, text and time helpers that are not
// reachable one by one from Python (the error texts are checked through the
// readers, from Python). Build with -DSKARVO_CPP_TESTS=ON and run
// build/dev/test_core_text; exits non-zero on the first failure.
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "check.hpp"
#include "utils/text.hpp"
#include "utils/time.hpp"

using namespace skarvo::util;

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
    check_parse_f64_against_strtod();
    check_parse_int();
    check_text();
    check_time();
    return checks::finish("test_core_text");
}

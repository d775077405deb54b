// Checks of the reader's core that Python cannot reach directly:
//  1. the fast number paths give exactly what util::parse_f64 gives, on every
//     shape of F14.3 text and on random fields;
//  2. the reader never crashes and never returns inconsistent storage on
//     damaged input (random byte edits, cuts and insertions of real text),
//     run under the sanitizers with -DSKARVO_SANITIZE=ON. Damaged gzip and
//     compress layers are read by tests/test_archives.py and test_hardening.py.
// Usage: test_rinex_fields [file ...]  (files to mutate; the tiny test files
// by default). Exit status 0 when every check passed.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "check.hpp"
#include "rinex/obs_fields.hpp"
#include "rinex/obs_reader.hpp"

namespace {

bool same(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0 || (std::isnan(a) && std::isnan(b)); }

// Compares both fast paths with the reference parser on one 14-byte field.
void check_field(const std::string& f) {
    double ref = 0.0;
    const bool ref_ok = skarvo::util::parse_f64_field(f, ref);
    double v = 0.0;
    const bool ok = skarvo::rinex::detail::parse_number(f.data(), f.size(), v);
    CHECK_MSG(ok == ref_ok && (!ok || same(v, ref)), "parse_number('" + f + "')");
    if (f.size() == 14) {
        double w = 0.0;
        const auto r = skarvo::rinex::detail::parse_f14_3(f.data(), w);
        if (r == skarvo::rinex::detail::F14::Blank)
            CHECK_MSG(!ref_ok && f.find_first_not_of(' ') == std::string::npos, "parse_f14_3 blank '" + f + "'");
        else if (r == skarvo::rinex::detail::F14::Parsed)
            CHECK_MSG(ref_ok && same(w, ref), "parse_f14_3('" + f + "')");
    }
}

void number_checks() {
    // Every F14.3 shape: 0-10 integer digits, with and without sign.
    std::mt19937_64 rng(12345);
    char buf[64];
    for (int digits = 0; digits <= 10; ++digits) {
        for (int rep = 0; rep < 2000; ++rep) {
            std::string in;
            for (int i = 0; i < digits; ++i) in += static_cast<char>('0' + rng() % 10);
            const bool neg = rng() % 2;
            std::string body = (neg ? "-" : "") + in + "." + std::to_string(rng() % 10) +
                               std::to_string(rng() % 10) + std::to_string(rng() % 10);
            if (body.size() > 14) continue;
            check_field(std::string(14 - body.size(), ' ') + body);
        }
    }
    // Printed doubles of every magnitude, and random 14-byte fields over a
    // small alphabet (blanks, signs, digits, points, exponents, letters).
    std::uniform_real_distribution<double> u(-1e10, 1e10);
    for (int rep = 0; rep < 200000; ++rep) {
        const double x = u(rng) / std::pow(10.0, static_cast<double>(rng() % 12));
        std::snprintf(buf, sizeof buf, "%14.3f", x);
        check_field(std::string(buf).substr(0, 14));
        std::snprintf(buf, sizeof buf, "%.*f", static_cast<int>(rng() % 9), x);
        check_field(buf);
    }
    const char alphabet[] = "  0123456789.-+eEx\t";
    for (int rep = 0; rep < 500000; ++rep) {
        std::string f(14, ' ');
        for (char& c : f) c = alphabet[rng() % (sizeof alphabet - 1)];
        check_field(f);
        f.resize(rng() % 15);
        check_field(f);
    }
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The storage invariants every analysis relies on.
void check_consistent(const skarvo::rinex::RinexObsData& d) {
    std::uint32_t sat = 0, obs = 0;
    for (const auto& e : d.epochs) {
        CHECK_MSG(e.sat_begin == sat && e.sat_end >= e.sat_begin && e.sat_end <= d.sat_obs.size(), "epoch ranges");
        for (std::uint32_t i = e.sat_begin; i < e.sat_end && i < d.sat_obs.size(); ++i) {
            const auto& s = d.sat_obs[i];
            CHECK_MSG(s.begin == obs && s.end >= s.begin && s.end <= d.obs.size(), "satellite ranges");
            obs = s.end;
            for (std::uint32_t j = e.sat_begin; j < i; ++j)
                CHECK_MSG(!(d.sat_obs[j].sat == s.sat), "satellite twice");
        }
        sat = e.sat_end;
    }
    CHECK_MSG(sat == d.sat_obs.size() && obs == d.obs.size(), "ranges cover the arrays");
}

void mutation_checks(const std::vector<std::string>& files) {
    std::mt19937_64 rng(777);
    const std::string junk[] = {"\n", "\r", ">", " ", "9", "\xc3\xa9", "\xe2\x82\xac", "\xff", "G", "\0", "."};
    std::size_t reads = 0, errors = 0;
    for (const auto& path : files) {
        const std::string text = slurp(path);
        for (int rep = 0; rep < 1500; ++rep) {
            std::string t = text;
            const int edits = 1 + static_cast<int>(rng() % 8);
            for (int k = 0; k < edits && !t.empty(); ++k) {
                const std::size_t at = rng() % t.size();
                switch (rng() % 4) {
                    case 0: t[at] = static_cast<char>(rng() % 256); break;
                    case 1: t.erase(at, rng() % 40); break;
                    case 2: t.insert(at, junk[rng() % (sizeof junk / sizeof junk[0])]); break;
                    default: t.resize(at); break;
                }
            }
            auto r = skarvo::rinex::read_obs_buffer(t);
            ++reads;
            if (r) check_consistent(*r);
            else ++errors;
        }
    }
    std::printf("mutations: %zu reads, %zu errors, no crash\n", reads, errors);
}

}  // namespace

int main(int argc, char** argv) {
    number_checks();
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) files.emplace_back(argv[i]);
    if (files.empty()) {
        // This source lives in <root>/tests/cpp/.
        std::string dir = __FILE__;
        dir = dir.substr(0, dir.rfind("/tests/cpp/"));
        files = {dir + "/tests/files/rinex/v3_quirks.rnx", dir + "/tests/files/rinex/v2_quirks.rnx"};
    }
    mutation_checks(files);
    return checks::finish("test_rinex_fields");
}

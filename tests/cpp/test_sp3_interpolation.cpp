// The bisection path of interpolate_position must select the same nodes and
// give bit-identical positions as the full scan, for in-table, boundary,
// tie, off-grid and far-away targets; data built by hand (without the index)
// gives the same positions. Node choice in shuffled files is checked against
// exact Lagrange sums by tests/test_interpolation.py.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "navigation/sp3.hpp"

using namespace skarvo;

namespace {

// Records of a smooth orbit (km) every `step_s` seconds from 2021-01-01 00:00.
std::string table(int n, double step_s) {
    std::string text = "#cP2021  1  1  0  0  0.00000000      96 ORBIT IGb14 HLM  IGS\n";
    const double w = 2.0 * M_PI / 43082.0;
    char buf[160];
    for (int k = 0; k < n; ++k) {
        const double t = k * step_s;
        const long whole = static_cast<long>(t), sod = whole % 86400;
        std::snprintf(buf, sizeof buf, "*  2021  1 %2d %2ld %2ld %11.8f\nPG01%14.6f%14.6f%14.6f%14.6f\n",
                      1 + static_cast<int>(whole / 86400), sod / 3600, sod / 60 % 60,
                      static_cast<double>(sod % 60) + (t - static_cast<double>(whole)), 26560.0 * std::cos(w * t),
                      21248.0 * std::sin(w * t), 15936.0 * std::sin(w * t), 12.5);
        text += buf;
    }
    return text;
}

bool same(const std::optional<nav::Ecef>& a, const std::optional<nav::Ecef>& b) {
    if (!a || !b) return !a && !b;
    return std::memcmp(&*a, &*b, sizeof(nav::Ecef)) == 0;
}

const util::Satellite g01{util::GnssSystem::GPS, 1};

nav::Sp3Data read(const std::string& text) {
    auto r = nav::read_sp3_buffer(text);
    if (!r) {
        std::printf("unexpected read failure: %s\n", r.error().message().c_str());
        std::exit(1);
    }
    return std::move(r).value();
}

std::vector<double> targets(std::mt19937_64& rng) {
    std::vector<double> t;
    for (int k = -20; k <= 120; ++k) {
        t.push_back(k * 900.0);          // nodes
        t.push_back(k * 900.0 + 450.0);  // midpoints: ties for the ninth node
        t.push_back(k * 900.0 + 1e-7);
    }
    std::uniform_real_distribution<double> near(-2.0 * 86400, 3.0 * 86400);
    for (int k = 0; k < 20000; ++k) t.push_back(near(rng));
    // Far away: offsets lose resolution, so left-hand neighbours can round
    // to equal distances.
    for (double big : {1e9, 3.1e9, 1e12, 4e15, 1e17})
        for (int k = -50; k <= 50; ++k) t.push_back(big + k * 450.0);
    return t;
}

void bisection_matches_full_scan() {
    std::mt19937_64 rng(12345);
    for (double step : {900.0, 30.0, 1350.0, 0.5}) {
        const nav::Sp3Data data = read(table(96, step));
        CHECK(data.track(g01) != nullptr && data.track(g01)->time_ordered);
        std::size_t compared = 0;
        std::vector<double> seconds;
        for (double t : targets(rng)) seconds.push_back(t * step / 900.0);
        // So far away that neighbouring records round to the same offset.
        for (double big : {1e16, -1e16, 3e16})
            for (int k = 0; k < 40; ++k) seconds.push_back(big + k * 0.25);
        for (double t : seconds) {
            const util::Epoch e{2021, 1, 1, 0, 0, t};  // fields may carry (second t)
            const auto fast = nav::interpolate_position(data, g01, e);
            const auto full = nav::interpolate_position_by_full_scan(data, g01, e);
            // Positions exist up to one record interval beyond the table (0 .. 95 steps), never further.
            const double first = -step, last = 96.0 * step;
            if (std::fabs(t - first) > 1e-3 && std::fabs(t - last) > 1e-3)
                CHECK(fast.has_value() == (t >= first && t <= last));
            CHECK_MSG(same(fast, full), "fast and full scan differ at step " + std::to_string(step) + ", target " +
                                            std::to_string(t));
            ++compared;
        }
        CHECK(compared > 20000);
    }
}

void hand_built_data() {
    // Without build_index the lookup scans and prepares the satellite on the fly.
    const nav::Sp3Data read_back = read(table(12, 900.0));
    nav::Sp3Data by_hand;
    by_hand.satellites = read_back.satellites;
    by_hand.positions = read_back.positions;
    const util::Epoch e{2021, 1, 1, 0, 0, 4321.5};
    CHECK(by_hand.track(g01) == nullptr);
    CHECK(same(nav::interpolate_position(by_hand, g01, e), nav::interpolate_position(read_back, g01, e)));
}

}  // namespace

int main() {
    bisection_matches_full_scan();
    hand_built_data();
    return checks::finish("test_sp3_interpolation");
}

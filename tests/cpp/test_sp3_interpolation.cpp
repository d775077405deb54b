// The bisection path of interpolate_position must select the same nodes and
// give bit-identical positions as the full scan, for in-table, boundary,
// tie, off-grid and far-away targets; data built by hand (without the index)
// gives the same positions. Node choice in shuffled files is checked against
// exact Lagrange sums by tests/test_interpolation.py.
#include <algorithm>
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

std::string epoch_line(int y, int mo, int d, int h, int mi, double s) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "*  %4d %2d %2d %2d %2d %11.8f\n", y, mo, d, h, mi, s);
    return buf;
}

std::string p_line(const char* sat, double x_km, double y_km, double z_km) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "P%s%14.6f%14.6f%14.6f%14.6f\n", sat, x_km, y_km, z_km, 12.5);
    return buf;
}

// A smooth circular-ish orbit, km.
void orbit_km(double t_s, double& x, double& y, double& z) {
    const double w = 2.0 * M_PI / 43082.0;
    x = 26560.0 * std::cos(w * t_s);
    y = 26560.0 * std::sin(w * t_s) * 0.8;
    z = 26560.0 * std::sin(w * t_s) * 0.6;
}

// Records every `step_s` seconds from 2021-01-01 00:00, `n` of them, in the
// order given by `order` (indices into the time grid).
std::string table(const std::vector<int>& order, double step_s) {
    std::string text = "#cP2021  1  1  0  0  0.00000000      96 ORBIT IGb14 HLM  IGS\n";
    for (int k : order) {
        const double t = k * step_s;
        const long whole = static_cast<long>(t);
        const int day = 1 + static_cast<int>(whole / 86400);
        const long sod = whole % 86400;
        text += epoch_line(2021, 1, day, static_cast<int>(sod / 3600), static_cast<int>(sod / 60 % 60),
                           static_cast<double>(sod % 60) + (t - static_cast<double>(whole)));
        double x, y, z;
        orbit_km(t, x, y, z);
        text += p_line("G01", x, y, z);
    }
    return text;
}

bool same(const std::optional<nav::Ecef>& a, const std::optional<nav::Ecef>& b) {
    if (!a || !b) return !a && !b;
    return std::memcmp(&*a, &*b, sizeof(nav::Ecef)) == 0;
}

util::Epoch at_seconds(double t) {
    // Any epoch of January 2021; fields may carry (minute 0, second t).
    return util::Epoch{2021, 1, 1, 0, 0, t};
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

std::vector<int> iota(int n) {
    std::vector<int> v(static_cast<std::size_t>(n));
    for (int k = 0; k < n; ++k) v[static_cast<std::size_t>(k)] = k;
    return v;
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
        const nav::Sp3Data data = read(table(iota(96), step));
        CHECK(data.track(g01) != nullptr && data.track(g01)->time_ordered);
        std::size_t compared = 0;
        std::vector<double> seconds;
        for (double t : targets(rng)) seconds.push_back(t * step / 900.0);
        // So far away that neighbouring records round to the same offset.
        for (double big : {1e16, -1e16, 3e16})
            for (int k = 0; k < 40; ++k) seconds.push_back(big + k * 0.25);
        for (double t : seconds) {
            const util::Epoch e = at_seconds(t);
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
    const nav::Sp3Data read_back = read(table(iota(12), 900.0));
    nav::Sp3Data by_hand;
    by_hand.satellites = read_back.satellites;
    by_hand.positions = read_back.positions;
    const util::Epoch e = at_seconds(4321.5);
    CHECK(by_hand.track(g01) == nullptr);
    CHECK(same(nav::interpolate_position(by_hand, g01, e), nav::interpolate_position(read_back, g01, e)));
}

}  // namespace

int main() {
    bisection_matches_full_scan();
    hand_built_data();
    return checks::finish("test_sp3_interpolation");
}

// Core checks of the multipath analysis on observation data built in memory,
// where Python cannot set up the case: the exact sampling interval, signal
// pairing, slip thresholds at their boundaries and arc cuts.
// Run: build/dev/test_multipath (exit status 0 when every check passes).
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "analysis/multipath.hpp"
#include "analysis/multipath_pairing.hpp"
#include "analysis/obs_index.hpp"
#include "analysis/sampling_interval.hpp"
#include "check.hpp"
#include "utils/frequencies.hpp"

using namespace skarvo;
using analysis::MultipathOptions;

namespace {

struct Obs {
    const char* code;
    double value;
    std::uint8_t lli = rinex::ObsEntry::no_digit;
};

// Builds a RinexObsData record by record.
struct Builder {
    rinex::RinexObsData d;
    void epoch(double seconds_of_day) {
        rinex::EpochRecord r;
        const auto whole = static_cast<std::uint32_t>(seconds_of_day);
        r.epoch = util::Epoch{2020, 6, 25, whole / 3600, whole / 60 % 60, seconds_of_day - whole / 60 * 60};
        r.sat_begin = r.sat_end = static_cast<std::uint32_t>(d.sat_obs.size());
        d.epochs.push_back(r);
    }
    void sat(const char* id, const std::vector<Obs>& obs) {
        rinex::SatObs so;
        so.sat = *util::parse_satellite(id);
        so.begin = static_cast<std::uint32_t>(d.obs.size());
        for (const Obs& o : obs) {
            rinex::ObsEntry e;
            e.value = o.value;
            e.code = *util::parse_obs_code(o.code);
            e.lli = o.lli;
            d.obs.push_back(e);
        }
        so.end = static_cast<std::uint32_t>(d.obs.size());
        d.sat_obs.push_back(so);
        d.epochs.back().sat_end = static_cast<std::uint32_t>(d.sat_obs.size());
    }
    std::shared_ptr<const rinex::RinexObsData> share() const { return std::make_shared<rinex::RinexObsData>(d); }
};

constexpr double f1 = 1575420000.0, f2 = 1227600000.0;
const double lam1 = util::wavelength(f1), lam2 = util::wavelength(f2), alpha = (f1 * f1) / (f2 * f2);

// A dual-frequency GPS track: range rho, first-frequency ionosphere iono,
// code multipath mp on C1C, integer ambiguities n1 and n2.
std::vector<Obs> gps_track(double rho, double iono, double mp, double n1 = 1000.0, double n2 = -700.0,
                           std::uint8_t lli1 = 0) {
    return {{"C1C", rho + iono + mp},
            {"C2W", rho + alpha * iono},
            {"L1C", (rho - iono) / lam1 + n1, lli1},
            {"L2W", (rho - alpha * iono) / lam2 + n2, 0},
            {"S1C", 45.0}};
}

analysis::MultipathRun run(const Builder& b, MultipathOptions o = {}) {
    auto c = analysis::make_multipath_config(b.share(), o);
    return analysis::run_multipath_analysis(c.value());
}

void test_interval() {
    const auto interval = [](std::vector<double> t, std::optional<double> header) {
        Builder b;
        for (double s : t) b.epoch(s);
        b.d.header.interval = header;
        std::vector<std::uint32_t> idx(t.size());
        for (std::uint32_t i = 0; i < idx.size(); ++i) idx[i] = i;
        return analysis::sampling_interval(b.d, idx);
    };
    CHECK(interval({0, 30}, std::nullopt) == 30.0);
    CHECK(interval({0, 1, 2, 32, 62, 92}, std::nullopt) == 30.0);
    CHECK(interval({0, 1, 2, 32, 62}, std::nullopt) == 30.0);
    CHECK(interval({100}, 15.0) == 15.0);
    CHECK(interval({100}, std::nullopt) == 30.0);
    CHECK(interval({100}, std::nan("")) == 30.0);
    CHECK(interval({100}, 0.0) == 0.001);
    // Exact differences: 30-s steps late in the day are exactly 30.
    CHECK(interval({86340.0, 86370.0}, std::nullopt) == 30.0);
}

void test_pairing() {
    Builder b;
    b.epoch(0);
    b.sat("G05", {{"C1C", 2e7}, {"C2W", 2e7}, {"L1C", 1e8}, {"L2W", 8e7}, {"S1C", 40}});
    b.sat("E11", {{"C1C", 2e7}, {"L1C", 1e8}, {"L7Q", 8e7}, {"L5Q", 8e7}, {"S1X", 40}, {"S1B", 40}});
    b.sat("G07", {{"C4X", 2e7}, {"L4X", 1e8}, {"C1C", 2e7}, {"L1C", 1e8}});  // band 4, single frequency
    b.sat("M01", {{"C1C", 2e7}, {"L1C", 1e8}, {"L2W", 8e7}});
    b.sat("R02", {{"C1C", 2e7}, {"L1C", 1e8}, {"L2C", 8e7}, {"L2P", 8e7}});
    b.epoch(30);
    b.sat("R02", {{"C1C", 2e7}, {"L1C", 1e8}, {"L2P", 8e7}});
    auto config = analysis::make_multipath_config(b.share(), {}).value();
    config.systems.push_back(util::GnssSystem::Mixed);
    const auto epochs = config.analysis_epochs();
    const analysis::ObsIndex index(*config.data, epochs);
    const auto pairs = analysis::build_pairs(config, index);
    // Band 4 and the mixed letter form no pair; G05's two pairs are checked from Python.
    CHECK(pairs.size() == 4);
    if (pairs.size() != 4) return;
    // The second phase is the lowest other band (L5Q before L7Q); SNR by attribute (S1B before S1X).
    CHECK(pairs[0].sat.id() == "E11" && pairs[0].phase2.text() == "L5Q" && pairs[0].snr->text() == "S1B");
    // GLONASS: L2P is seen twice, L2C once; slot 2 uses channel -4.
    CHECK(pairs[3].sat.id() == "R02" && pairs[3].phase2.text() == "L2P");
    CHECK(pairs[3].wavelength1_m == util::wavelength(1602000000.0 - 4 * 562500.0));
}

std::size_t count_method(const analysis::MultipathRun& r, analysis::SlipMethod m) {
    std::size_t n = 0;
    for (const auto& s : r.slips.slips) n += s.method == m;
    return n;
}

void test_slips() {
    // Which lli bits are slips is checked from Python, on written and real files.
    // gf: 30-s threshold 0.19 m; an ionospheric step of 0.10 m passes, 0.25 m
    // is a slip (on L2W the same step is 1.65 times larger).
    // 301 s apart: not compared; exactly 300 s apart: compared.
    Builder g;
    const double times[] = {0, 30, 60, 361, 661, 691};
    const double iono[] = {5.0, 5.10, 5.35, 9.0, 12.0, 12.0};
    for (int i = 0; i < 6; ++i) {
        g.epoch(times[i]);
        g.sat("G01", gps_track(2.2e7, iono[i], 0.0));
    }
    MultipathOptions o;
    o.cp_delta_base_m = 1e9;  // isolate the gf test
    auto r = run(g, o);
    CHECK(count_method(r, analysis::SlipMethod::Gf) == 4);
    // The magnitude, both phases and their counts are checked from Python; here the thresholds.
    if (r.slips.slips.size() == 4) {
        CHECK(std::abs(r.slips.slips[0].magnitude - 0.25) < 1e-6);
        CHECK(std::abs(r.slips.slips[2].threshold - (0.10 + 0.003 * 300.0)) < 1e-12);
    }

    // code_phase: a 9 m code step at 30 s (threshold 8 m) is a slip on C1C; 7 m is not.
    Builder c;
    const double mp[] = {0.0, 7.0, 16.0};
    for (int i = 0; i < 3; ++i) {
        c.epoch(30.0 * i);
        c.sat("G01", gps_track(2.2e7, 5.0, mp[i]));
    }
    r = run(c);
    CHECK(count_method(r, analysis::SlipMethod::CodePhase) == 1);
    if (!r.slips.slips.empty()) {
        CHECK(r.slips.slips[0].codes[0].text() == "L1C" && r.slips.slips[0].codes[1].text() == "C1C");
        CHECK(std::abs(r.slips.slips[0].threshold - 8.0) < 1e-12);
    }

    // Sorting by identifier text puts G100 before G11; QZSS is tested only when selected.
    Builder s;
    s.epoch(0);
    s.sat("J01", gps_track(2.2e7, 5.0, 0.0, 1, 1, 1));
    s.sat("G11", gps_track(2.2e7, 5.0, 0.0, 1, 1, 1));
    s.sat("G100", gps_track(2.2e7, 5.0, 0.0, 1, 1, 1));
    MultipathOptions gj;
    gj.systems = std::vector<std::string>{"G", "J"};
    r = run(s, gj);
    CHECK(r.slips.slips.size() == 3 && r.slips.slips[0].sat.id() == "G100" && r.slips.slips[2].sat.id() == "J01");
    r = run(s);
    CHECK(r.slips.slips.size() == 2 && r.slips.counts.size() == 1 && r.slips.counts[0].count == 2);
}

void test_arcs() {
    // 30-s data, default gap factor 5: a 150-s gap continues the arc, 151 s splits it.
    const auto arcs_with_gap = [](double gap) {
        Builder b;
        double t = 0;
        for (int i = 0; i < 24; ++i) {
            b.epoch(t);
            b.sat("G01", gps_track(2.2e7, 5.0, i == 12 ? 0.1 : 0.0));
            t += (i == 11) ? gap : 30.0;
        }
        MultipathOptions o;
        o.include_codes = std::vector<std::string>{"C1C"};
        o.min_arc_s = 0.0;
        o.detect_cycle_slips = false;
        const auto r = run(b, o);
        // One arc: the 0.1 point shifts the mean of 24 points; two arcs of 12:
        // the second arc's mean differs from the first.
        return r.estimates.size() == 24 ? r.estimates[0].mp_value_m : 1e9;
    };
    CHECK(std::abs(arcs_with_gap(150.0) - (-0.1 / 24)) < 1e-6);
    CHECK(std::abs(arcs_with_gap(151.0) - 0.0) < 1e-6);

    // A jump of 10.5 m splits, a slip flagged by lli on L2W splits, and the
    // 9-point piece is dropped.
    Builder b;
    for (int i = 0; i < 29; ++i) {
        b.epoch(30.0 * i);
        auto obs = gps_track(2.2e7, 5.0, i >= 10 ? 10.5 : 0.0);
        if (i == 20) obs[3].lli = 1;
        b.sat("G01", obs);
    }
    MultipathOptions o;
    o.include_codes = std::vector<std::string>{"C1C"};
    o.min_arc_s = 0.0;
    o.cp_delta_base_m = 1e9;
    const auto r = run(b, o);
    CHECK(r.estimates.size() == 20);  // [0,10) and [10,20) kept, [20,29) has 9 points
    CHECK(r.statistics.size() == 1 && r.statistics[0].cycle_slips == 1);
}

}  // namespace

int main() {
    test_interval();
    test_pairing();
    test_slips();
    test_arcs();
    return checks::finish("test_multipath");
}

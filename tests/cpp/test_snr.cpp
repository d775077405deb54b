// Checks of the SNR series and the per-satellite analysis on observation
// data built in memory: code listing and choice, positive values only, the
// 40-point thresholds, arcs at gaps, thinning, and an order of results that
// depends neither on the input order nor on scheduling.
#include <cmath>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "analysis/snr_analysis.hpp"
#include "analysis/snr_series.hpp"
#include "rinex/obs_queries.hpp"

using namespace skarvo;
using rinex::ObsCode;
using rinex::ObsEntry;
using rinex::RinexObsData;
using rinex::Satellite;

namespace {

int failures = 0;

void check(bool ok, const std::string& what) {
    if (!ok) {
        std::printf("FAIL %s\n", what.c_str());
        ++failures;
    }
}

ObsCode code(const char* text) { return *rinex::parse_obs_code(text); }
Satellite sat(const char* text) { return *rinex::parse_satellite(text); }

struct Obs {
    Satellite s;
    std::vector<std::pair<ObsCode, double>> values;
};

/// Appends an epoch `seconds` after 2020-06-25 00:00:00.
void add_epoch(RinexObsData& d, double seconds, const std::vector<Obs>& sats) {
    rinex::EpochRecord e;
    const auto whole = static_cast<std::uint32_t>(seconds);
    e.epoch = {2020, 6, 25, 0, 0, static_cast<double>(whole) + (seconds - std::floor(seconds))};
    e.sat_begin = static_cast<std::uint32_t>(d.sat_obs.size());
    for (const Obs& o : sats) {
        rinex::SatObs so{o.s, static_cast<std::uint32_t>(d.obs.size()), 0};
        for (const auto& [c, v] : o.values) {
            ObsEntry entry;
            entry.code = c;
            entry.value = v;
            d.obs.push_back(entry);
        }
        so.end = static_cast<std::uint32_t>(d.obs.size());
        d.sat_obs.push_back(so);
    }
    e.sat_end = static_cast<std::uint32_t>(d.sat_obs.size());
    d.epochs.push_back(e);
}

double snr_at(int i) { return 45.0 + 3.0 * std::sin(i * 0.05) + 0.5 * std::sin(i * 0.9); }

}  // namespace

int main() {
    // Series, codes and the choice of code.
    {
        RinexObsData d;
        for (int i = 0; i < 60; ++i) {
            std::vector<Obs> sats;
            sats.push_back({sat("G05"), {{code("C1C"), 2e7}, {code("S2W"), snr_at(i)}, {code("S1W"), snr_at(i) - 1},
                                         {code("S1C"), i == 3 ? 0.0 : snr_at(i)}}});
            sats.push_back({sat("E11"), {{code("S5Q"), snr_at(i)}, {code("S2L"), i < 20 ? -1.0 : snr_at(i)}}});
            sats.push_back({sat("R07"), {{code("S1C"), 0.0}}});
            if (i % 2 == 0) sats.push_back({sat("J02"), {{code("S1C"), snr_at(i)}}});
            add_epoch(d, 30.0 * i, sats);
        }
        std::string listed;
        for (const ObsCode& c : analysis::snr_codes(d, sat("G05"))) listed += c.text() + " ";
        check(listed == "S1C S1W S2W ", "codes of G05 sorted: " + listed);
        check(analysis::snr_codes(d, sat("R07")).size() == 1, "zero values still list their code");
        check(analysis::snr_series(d, sat("R07")).empty(), "zero values give no series");
        check(analysis::snr_codes(d, sat("G30")).empty(), "absent satellite has no codes");
        const auto g = analysis::snr_series(d, sat("G05"));
        check(g.size() == 3 && g[0].code.text() == "S1C" && g[0].values.size() == 59, "positive values only");
        check(g[0].times[3] == 1593043200.0 + 120.0, "epoch 3 skipped (value 0)");
        const auto only = analysis::snr_series(d, sat("G05"), code("S2W"));
        check(only.size() == 1 && only[0].code.text() == "S2W" && only[0].times.size() == 60, "requested code only");

        analysis::SnrAnalysisSettings settings;
        const auto all = rinex::distinct_satellites(d);
        const auto res = analysis::analyze_snr_wavelets(d, all, settings);
        // R07 has no positive values, J02 only 30.
        check(res.size() == 2 && res[0].satellite == "E11" && res[1].satellite == "G05", "satellites with results");
        check(res[1].code == "S1C", "band 1 preferred, then code text");
        check(res[0].code == "S2L" && res[0].t.size() == 40 && res[0].orders.size() == 1, "S2L chosen, 40 values kept");
        check(res[0].band_t.size() == 40, "40 band-power samples over 40 bins");
        for (const auto& r : res)
            for (const auto& row : r.band_power) {
                bool finite = row.size() == r.band_t.size();
                for (double v : row) finite = finite && std::isfinite(v);
                check(finite, "band power finite for " + r.satellite);
            }
    }
    // 39 values: nothing; a gap of 20 epochs: two arcs.
    {
        RinexObsData d;
        for (int i = 0; i < 39; ++i) add_epoch(d, 30.0 * i, {{sat("G01"), {{code("S1C"), snr_at(i)}}}});
        check(analysis::analyze_snr_wavelets(d, rinex::distinct_satellites(d), {}).empty(), "39 values: no entry");
        RinexObsData e;
        for (int i = 0; i < 120; ++i)
            if (i < 50 || i >= 70) add_epoch(e, 30.0 * i, {{sat("G01"), {{code("S1C"), snr_at(i)}}}});
        const auto r = analysis::analyze_snr_wavelets(e, rinex::distinct_satellites(e), {});
        check(r.size() == 1 && r[0].orders.size() == 2, "gap of 630 s splits the series");
        check(r.size() == 1 && r[0].t.size() == 100 && r[0].t[50] == 2100.0, "times relative to t0");
    }
    // Thinning: 50,000 points keep every third sample.
    {
        RinexObsData d;
        for (int i = 0; i < 50000; ++i) add_epoch(d, 1.0 * i, {{sat("C100"), {{code("S2I"), snr_at(i)}}}});
        const auto r = analysis::analyze_snr_wavelets(d, rinex::distinct_satellites(d), {});
        check(r.size() == 1 && r[0].t.size() == 16667 && r[0].t[1] == 3.0, "50000 points thinned to 16667");
        check(r.size() == 1 && r[0].band_t.size() <= 96 && !r[0].band_t.empty(), "at most 96 bins");
    }
    // Byte order of identifiers; input order and repeats do not matter.
    {
        RinexObsData d;
        const char* ids[] = {"G02", "C11", "C100", "E05", "R24"};
        for (int i = 0; i < 80; ++i) {
            std::vector<Obs> sats;
            for (int k = 0; k < 5; ++k) sats.push_back({sat(ids[k]), {{code("S1C"), snr_at(i + 7 * k)}}});
            add_epoch(d, 30.0 * i, sats);
        }
        std::vector<Satellite> forward = {sat("G02"), sat("C11"), sat("C100"), sat("E05"), sat("R24")};
        std::vector<Satellite> backward(forward.rbegin(), forward.rend());
        backward.push_back(sat("G02"));
        const auto a = analysis::analyze_snr_wavelets(d, forward, {});
        const auto b = analysis::analyze_snr_wavelets(d, backward, {});
        std::string order;
        for (const auto& r : a) order += r.satellite + " ";
        check(order == "C100 C11 E05 G02 R24 ", "byte order of ids: " + order);
        bool same = a.size() == b.size();
        for (std::size_t i = 0; same && i < a.size(); ++i)
            same = a[i].v == b[i].v && a[i].band_power == b[i].band_power && a[i].band_t == b[i].band_t;
        check(same, "results independent of input order");
    }
    std::printf("%d passed, %d failed\n", failures ? 0 : 1, failures ? 1 : 0);
    return failures ? 1 : 0;
}

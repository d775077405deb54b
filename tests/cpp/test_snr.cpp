// Checks of the per-satellite SNR analysis on observation data built in
// memory, for what small RINEX texts cannot show: thinning of long series,
// and the byte order of identifiers with three-digit PRNs.
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

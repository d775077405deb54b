#include "analysis/snr_analysis.hpp"

#include <algorithm>
#include <cmath>

#include "analysis/detrend.hpp"
#include "analysis/snr_series.hpp"
#include "analysis/wavelet_tools.hpp"
#include "rinex/obs_queries.hpp"
#include "utils/pool.hpp"

namespace skarvo::analysis {

using util::Satellite;

namespace {

/// Preferred S-code: band 1 first, then the smallest code text.
bool preferred(const util::ObsCode& a, const util::ObsCode& b) noexcept {
    const bool a_other = a.band != 1, b_other = b.band != 1;
    if (a_other != b_other) return !a_other;
    return util::code_text_less(a, b);
}

/// Mean time and band power per time bin of equal width between the first
/// and one second past the last band time; empty bins are left out.
void bin_band_power(const std::vector<double>& times, const std::vector<std::vector<double>>& rows, double t0,
                    std::size_t max_bins, SatelliteSnrResult& out) {
    out.bands = rows.size();
    out.band_power.clear();
    if (times.empty()) return;
    const std::size_t nb = std::max<std::size_t>(1, std::min(times.size(), max_bins));
    const double first = times.front(), last = times.back();
    const double w = (last + 1.0 - first) / static_cast<double>(nb);
    std::vector<double> edges(nb + 1);
    for (std::size_t k = 0; k < nb; ++k) edges[k] = first + static_cast<double>(k) * w;
    edges[nb] = last + 1.0;
    std::vector<double> sum_t(nb, 0.0);
    std::vector<std::size_t> count(nb, 0);
    std::vector<double> sum_p(nb * rows.size(), 0.0);
    for (std::size_t q = 0; q < times.size(); ++q) {
        const double tau = times[q];
        const auto above = std::upper_bound(edges.begin(), edges.end(), tau);
        const std::ptrdiff_t k = (above - edges.begin()) - 1;
        if (k < 0 || static_cast<std::size_t>(k) >= nb) continue;
        const auto bin = static_cast<std::size_t>(k);
        sum_t[bin] += tau;
        ++count[bin];
        for (std::size_t b = 0; b < rows.size(); ++b) sum_p[bin * rows.size() + b] += rows[b][q];
    }
    const auto filled = static_cast<std::size_t>(std::count_if(count.begin(), count.end(), [](std::size_t c) { return c > 0; }));
    out.band_power.resize(rows.size() * filled);
    std::size_t col = 0;
    for (std::size_t k = 0; k < nb; ++k) {
        if (count[k] == 0) continue;
        const double c = static_cast<double>(count[k]);
        out.band_t.push_back(sum_t[k] / c - t0);
        for (std::size_t b = 0; b < rows.size(); ++b) out.band_power[b * filled + col] = sum_p[k * rows.size() + b] / c;
        ++col;
    }
}

}  // namespace

std::vector<PeriodBand> analysis_bands(std::span<const PeriodBand> bands, double interval) {
    if (!bands.empty()) return {bands.begin(), bands.end()};
    const auto defaults = period_bands(interval);
    return {defaults.begin(), defaults.end()};
}

std::optional<SatelliteSnrResult> analyze_satellite_snr(const rinex::RinexObsData& data, const Satellite& sat,
                                                        std::span<const SatRecord> records,
                                                        const SnrAnalysisSettings& settings) {
    const std::vector<util::ObsCode> codes = snr_codes(data, records);
    if (codes.empty()) return std::nullopt;
    const util::ObsCode code = *std::min_element(codes.begin(), codes.end(), preferred);
    std::vector<SnrSeriesData> found = snr_series(data, records, code);
    if (found.empty() || found.front().values.size() < min_snr_points) return std::nullopt;
    const SnrSeriesData& series = found.front();

    // Thin to at most max_points samples and convert dB-Hz to amplitude.
    const std::size_t n = series.values.size();
    const std::size_t max_points = std::max<std::size_t>(settings.max_points, 1);
    const std::size_t step = std::max<std::size_t>((n + max_points - 1) / max_points, 1);
    std::vector<double> t, amp;
    t.reserve(n / step + 1);
    amp.reserve(n / step + 1);
    for (std::size_t i = 0; i < n; i += step) {
        t.push_back(series.times[i]);
        amp.push_back(std::pow(10.0, series.values[i] / 20.0));
    }

    SatelliteSnrResult out;
    out.satellite = sat.id();
    out.code = code.text();
    out.t0 = t.front();
    const double dt = median_step(t).value_or(settings.interval);
    const std::vector<PeriodBand> bands = analysis_bands(settings.bands, settings.interval);

    const std::vector<ArcRange> arcs = split_arcs(t, dt, settings.gap_factor);
    out.v.assign(t.size(), 0.0);
    const std::span<const double> ts(t), as(amp);
    for (const ArcRange& arc : arcs) {
        auto d = detrend_arc(ts.subspan(arc.start, arc.size()), as.subspan(arc.start, arc.size()), settings.max_order);
        // Both spans have the arc's length, so the fit cannot fail.
        std::copy(d->residual.begin(), d->residual.end(), out.v.begin() + static_cast<std::ptrdiff_t>(arc.start));
        out.orders.push_back(d->order);
    }

    std::vector<double> band_times;
    std::vector<std::vector<double>> band_rows(bands.size());
    const std::span<const double> vs(out.v);
    for (const ArcRange& arc : arcs) {
        if (arc.size() < min_snr_points) continue;
        auto tr = morlet_transform(vs.subspan(arc.start, arc.size()), dt, 0.125, std::nullopt,
                                   std::span<const PeriodBand>(bands));
        // dj is fixed and the default s0 = 2*dt keeps the number of scales
        // at log2(n/2)/dj, so the transform does not fail.
        if (!tr) continue;
        const auto rows = band_power(tr.value(), bands);
        band_times.insert(band_times.end(), ts.begin() + static_cast<std::ptrdiff_t>(arc.start),
                          ts.begin() + static_cast<std::ptrdiff_t>(arc.stop));
        for (std::size_t b = 0; b < bands.size(); ++b)
            band_rows[b].insert(band_rows[b].end(), rows[b].begin(), rows[b].end());
    }
    bin_band_power(band_times, band_rows, out.t0, settings.max_bins, out);

    out.t.resize(t.size());
    for (std::size_t i = 0; i < t.size(); ++i) out.t[i] = t[i] - out.t0;
    return out;
}

std::vector<SatelliteSnrResult> analyze_snr_wavelets(const rinex::RinexObsData& data,
                                                     std::span<const Satellite> satellites,
                                                     const SnrAnalysisSettings& settings) {
    std::vector<Satellite> sats(satellites.begin(), satellites.end());
    std::sort(sats.begin(), sats.end(), util::satellite_less);
    sats.erase(std::unique(sats.begin(), sats.end()), sats.end());

    // One pass over the file finds every satellite's records, so that each
    // job reads only its own.
    const std::vector<std::vector<SatRecord>> records = satellite_records(data, sats);
    std::vector<std::optional<SatelliteSnrResult>> results(sats.size());
    util::parallel_for(sats.size(),
                 [&](std::size_t i) { results[i] = analyze_satellite_snr(data, sats[i], records[i], settings); });

    std::vector<SatelliteSnrResult> out;
    for (auto& r : results)
        if (r) out.push_back(std::move(*r));
    std::sort(out.begin(), out.end(),
              [](const SatelliteSnrResult& a, const SatelliteSnrResult& b) { return a.satellite < b.satellite; });
    return out;
}

util::Result<SnrWaveletRun> run_snr_wavelets(const rinex::RinexObsData& data, const SnrWaveletRequest& request) {
    std::vector<Satellite> sats;
    if (request.satellites && !request.satellites->empty()) {
        for (const std::string& text : *request.satellites) {
            auto sat = satellite_named(text);
            if (!sat) return std::move(sat).error();
            sats.push_back(sat.value());
        }
    } else {
        sats = rinex::distinct_satellites(data);
    }
    SnrAnalysisSettings settings;
    settings.interval = request.interval ? *request.interval : rinex::sampling_interval(data).value_or(30.0);
    // Bands given as an empty list are reported as given; the analysis then
    // falls back on the defaults as for absent bands.
    settings.bands = request.bands ? *request.bands : analysis_bands({}, settings.interval);
    SnrWaveletRun run{settings.bands, settings.interval, {}};
    run.results = analyze_snr_wavelets(data, sats, settings);
    return run;
}

}  // namespace skarvo::analysis

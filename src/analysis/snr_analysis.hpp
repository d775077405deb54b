// The per-satellite SNR reflectometry analysis: code choice, thinning,
// linear amplitude, arcs, detrending, band power on long arcs and binning in
// time, for many satellites at once on the worker pool.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "analysis/morlet.hpp"
#include "analysis/snr_series.hpp"
#include "rinex/types.hpp"

namespace skarvo::analysis {

struct SnrAnalysisSettings {
    std::vector<PeriodBand> bands;  // empty: the default bands of `interval`
    double interval = 30.0;         // seconds; fallback sampling step
    std::size_t max_points = 20000;  // longer series are thinned
    std::size_t max_bins = 96;       // most time bins of the band power
    double gap_factor = 5.0;
    std::size_t max_order = 9;
};

/// Fewest positive SNR values for a satellite, and fewest points of an arc
/// that enters the wavelet step.
inline constexpr std::size_t min_snr_points = 40;

struct SatelliteSnrResult {
    std::string satellite;  // identifier text, e.g. G05
    std::string code;       // S-code used, e.g. S1C
    double t0 = 0.0;        // Unix seconds of the first kept sample
    std::vector<double> t;  // kept times minus t0, seconds
    std::vector<double> v;  // delta-SNR residual, linear amplitude
    std::vector<unsigned> orders;  // detrending order per arc
    std::vector<double> band_t;    // bin times minus t0, seconds
    std::vector<std::vector<double>> band_power;  // per band, one value per bin
};

/// The analysis of one satellite, given its records; absent when it has no S-code or fewer
/// than min_snr_points positive values of the chosen code.
std::optional<SatelliteSnrResult> analyze_satellite_snr(const rinex::RinexObsData& data, const util::Satellite& sat,
                                                        std::span<const SatRecord> records,
                                                        const SnrAnalysisSettings& settings);

/// analyze_satellite_snr for every satellite (repeats ignored), run in
/// parallel; the results, sorted by identifier text in byte order, do not
/// depend on the number of workers or on the order of `satellites`.
std::vector<SatelliteSnrResult> analyze_snr_wavelets(const rinex::RinexObsData& data,
                                                     std::span<const util::Satellite> satellites,
                                                     const SnrAnalysisSettings& settings);

}  // namespace skarvo::analysis

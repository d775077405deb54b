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
    std::vector<PeriodBand> bands;  // empty: the default bands of `interval` (analysis_bands)
    double interval = 30.0;         // seconds; fallback sampling step
    std::size_t max_points = 20000;  // longer series are thinned
    std::size_t max_bins = 96;       // most time bins of the band power
    double gap_factor = 5.0;
    std::size_t max_order = 9;
};

/// Fewest positive SNR values for a satellite, and fewest points of an arc
/// that enters the wavelet step.
inline constexpr std::size_t min_snr_points = 40;

/// The bands an analysis works with: `bands`, or when there are none the
/// default bands of the sampling interval (period_bands).
std::vector<PeriodBand> analysis_bands(std::span<const PeriodBand> bands, double interval);

struct SatelliteSnrResult {
    std::string satellite;  // identifier text, e.g. G05
    std::string code;       // S-code used, e.g. S1C
    double t0 = 0.0;        // Unix seconds of the first kept sample
    std::vector<double> t;  // kept times minus t0, seconds
    std::vector<double> v;  // delta-SNR residual, linear amplitude
    std::vector<unsigned> orders;  // detrending order per arc
    std::vector<double> band_t;    // bin times minus t0, seconds
    std::size_t bands = 0;         // rows of band_power
    std::vector<double> band_power;  // per band one value per bin: bands x band_t.size(), row-major
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

/// What a caller asks of the SNR analysis of a file; every absent field
/// takes its default from the file.
struct SnrWaveletRequest {
    std::optional<std::vector<std::string>> satellites;  // identifiers; absent or empty: every satellite
    std::optional<double> interval;                      // absent: the file's sampling interval, else 30 s
    std::optional<std::vector<PeriodBand>> bands;        // absent: the default bands of the interval
};

/// The analysis with its request resolved: the bands (as requested, or the
/// defaults) and interval used, and the per-satellite results.
struct SnrWaveletRun {
    std::vector<PeriodBand> bands;
    double interval = 0.0;
    std::vector<SatelliteSnrResult> results;
};

/// Resolves the request against the file and runs analyze_snr_wavelets.
/// Fails (kind Other, a text for ValueError) for an identifier that does
/// not parse, before any work is done.
util::Result<SnrWaveletRun> run_snr_wavelets(const rinex::RinexObsData& data, const SnrWaveletRequest& request);

}  // namespace skarvo::analysis

// Reflector heights from SNR interference: per arc the Lomb-Scargle peak of
// delta-SNR against sin(elevation), robust per-signal and combined summaries,
// and a height varying in time from the Morlet ridge of every accepted arc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "analysis/reflector_arcs.hpp"
#include "rinex/types.hpp"

namespace skarvo::analysis {

struct ReflectorSettings {
    ArcSelection selection;
    double min_height_m = 0.5;      // height grid of the periodogram
    double max_height_m = 8.0;
    double height_step_m = 0.01;    // the peak is refined between grid points
    unsigned poly_order = 2;        // polynomial in sin(e) removed from linear SNR
    double min_amplitude = 2.0;     // peak amplitude, linear SNR units (10^(dB-Hz/20))
    double min_peak_to_noise = 3.0; // peak over the mean periodogram of the height range
    double min_coverage = 0.75;     // elevation span of the arc over the window's
    bool keep_periodograms = false;
    bool time_resolved = true;
    double knot_spacing_s = 3600.0;   // spline knots of the time-resolved height
    double output_step_s = 900.0;     // spacing of its output samples (widened to at most 100000)
};

/// Why an arc was not accepted; the first failing test in this order.
enum class ArcVerdict : std::uint8_t { Accepted, Coverage, Amplitude, PeakToNoise, Edge };

/// Text of a verdict: "accepted", "coverage", "amplitude", "peak_to_noise", "edge".
const char* verdict_text(ArcVerdict v) noexcept;

/// A stretch of an arc's wavelet ridge: mean time (Unix s), mean apparent
/// height and mean tan(e)/(de/dt) (s), the factor of the height rate in the
/// apparent height.
struct RidgeSegment {
    double t = 0.0;
    double height_m = 0.0;
    double rate_factor_s = 0.0;
    std::uint32_t samples = 0;
};

struct ReflectorArcResult {
    util::Satellite satellite;
    util::ObsCode code;
    std::string signal;       // e.g. "GPS S1C"
    double wavelength_m = 0.0;
    bool rising = true;
    double t_start = 0.0, t_end = 0.0, t_mean = 0.0;  // Unix seconds
    double azimuth_deg = 0.0;    // circular mean
    double min_elevation_deg = 0.0, max_elevation_deg = 0.0;
    std::uint32_t points = 0;
    double height_m = 0.0;       // periodogram peak
    double amplitude = 0.0;      // peak amplitude
    double noise = 0.0;          // mean amplitude over the height grid
    double peak_to_noise = 0.0;
    double coverage = 0.0;
    double rate_factor_s = 0.0;  // mean tan(e)/(de/dt) over the arc
    ArcVerdict verdict = ArcVerdict::Accepted;
    std::vector<double> periodogram;  // amplitude per grid height, when kept
    std::vector<RidgeSegment> ridge;  // empty unless time-resolved and found
};

/// Robust summary of the accepted arcs of one signal ("all": every signal).
struct DailyHeight {
    std::string signal;
    double height_m = 0.0;        // median
    double mean_m = 0.0;
    double std_m = 0.0;           // 1.4826 * median absolute deviation
    double sigma_median_m = 0.0;  // 1.2533 * std_m / sqrt(arcs)
    std::uint32_t arcs = 0;       // accepted
    std::uint32_t rejected = 0;
    double t_start = 0.0, t_end = 0.0;
};

/// Height against time: a cubic spline with the height-rate term fitted to
/// the ridge segments of the accepted arcs, sampled every output_step_s.
/// sigma_m is the larger of the formal standard deviation and the spread of
/// fits leaving out groups of arcs in turn; height and sigma are NaN where
/// no segment lies within one knot spacing.
struct HeightSeries {
    std::vector<double> t;         // Unix seconds
    std::vector<double> height_m;
    std::vector<double> sigma_m;
    std::vector<RidgeSegment> segments;  // used in the fit
    std::vector<std::uint8_t> outlier;   // per segment: rejected by the robust fit
    double residual_rms_m = 0.0;
    double knot_spacing_s = 0.0;
};

struct ReflectorResult {
    std::vector<double> heights_m;  // the periodogram grid
    std::vector<ReflectorArcResult> arcs;
    std::vector<DailyHeight> daily;  // per signal in label order, then "all"
    HeightSeries series;
};

/// The grid min_height_m, min + step, ... up to max_height_m.
std::vector<double> height_grid(const ReflectorSettings& s);

/// Checks settings; the text names the first bad one (for ValueError).
std::optional<std::string> check_settings(const ReflectorSettings& s);

/// The estimate of one arc (the pool job).
ReflectorArcResult estimate_arc(const SnrArc& arc, std::span<const double> heights, const ReflectorSettings& s);

/// Median summaries of accepted arcs per signal and over all signals.
std::vector<DailyHeight> daily_heights(std::span<const ReflectorArcResult> arcs);

/// The time-resolved height from the ridge segments of the accepted arcs
/// over [t_first, t_last]; empty when fewer than four segments exist.
HeightSeries height_series(std::span<const ReflectorArcResult> arcs, double t_first, double t_last,
                           const ReflectorSettings& s);

/// Everything for a whole file: arcs of every satellite selected in
/// parallel, one pool job per arc, then the summaries. Settings must have
/// passed check_settings. The result does not depend on the number of
/// workers.
ReflectorResult reflector_heights(const rinex::RinexObsData& data, const SkyFunction& sky,
                                  const ReflectorSettings& s);

}  // namespace skarvo::analysis

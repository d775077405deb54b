// A whole reflector-heights run as callers ask for it: the orbit (precise or
// broadcast) turned into sky directions, the receiver position defaulting to
// the file header's, the sampling interval read from the file, and every
// setting checked before the work starts.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analysis/reflector_heights.hpp"
#include "navigation/coordinates.hpp"

namespace skarvo::nav {
struct Sp3Data;
struct NavData;
}

namespace skarvo::analysis {

struct ReflectorRequest {
    /// The orbit: exactly one of the two tables. Both are only read, from
    /// several pool threads at once.
    std::shared_ptr<const nav::Sp3Data> sp3;
    std::shared_ptr<const nav::NavData> broadcast;
    std::optional<nav::Ecef> receiver;  // absent: the header's approximate position
    std::vector<double> elevation{5.0, 25.0};  // (low, high) degrees; any other length is refused
    std::vector<double> heights{0.5, 8.0};     // (low, high) metres
    /// Azimuth sectors (low, high) in degrees, each checked as the pairs
    /// above; empty: every azimuth. `azimuth_listed` false: the caller gave
    /// something that is not a list of sectors.
    std::vector<std::vector<double>> azimuth;
    bool azimuth_listed = true;
    std::vector<std::string> systems;  // one letter each; empty: every system
    std::vector<std::string> codes;    // S-codes; empty: every S-code
    double height_step_m = 0.01;
    unsigned poly_order = 2;
    std::size_t min_points = 20;
    std::optional<double> max_gap_s;  // absent: three sampling intervals
    double min_amplitude = 2.0;
    double min_peak_to_noise = 3.0;
    double min_coverage = 0.75;
    bool time_resolved = true;
    double knot_spacing_s = 3600.0;
    double output_step_s = 900.0;
    bool keep_periodograms = false;
};

/// A run with the settings it used.
struct ReflectorRun {
    ReflectorResult result;
    ReflectorSettings settings;  // as resolved from the request
    double max_gap_s = 0.0;      // the gap limit that cut arcs
    nav::Ecef receiver;          // the position used
};

/// Resolves and checks the request, then runs reflector_heights. Fails
/// (kind Other, a text for ValueError naming the first bad argument) in
/// this order: no receiver and no usable header position, the elevation
/// window, the heights, the azimuth sectors, the systems, the codes, then
/// check_settings. The request must name an orbit.
util::Result<ReflectorRun> run_reflector_heights(const rinex::RinexObsData& data, const ReflectorRequest& request);

}  // namespace skarvo::analysis

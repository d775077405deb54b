// Rising and setting satellite arcs of SNR data inside an elevation window,
// the geometry they need for reflector heights, and the delta-SNR of an arc
// as a function of sin(elevation).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "analysis/snr_series.hpp"
#include "rinex/types.hpp"

namespace skarvo::analysis {

/// Direction of a satellite (azimuth, elevation in degrees) seen from the
/// receiver.
struct SkyDirection {
    double azimuth_deg = 0.0;
    double elevation_deg = 0.0;
};

/// Where a satellite is at an epoch; absent when the orbit has no position.
/// Called from worker threads at once: it must only read shared data.
using SkyFunction = std::function<std::optional<SkyDirection>(const util::Satellite&, const util::Epoch&)>;

/// An azimuth sector [lo_deg, hi_deg), clockwise from north; lo > hi wraps
/// through north (e.g. 300..60).
struct AzimuthSector {
    double lo_deg = 0.0;
    double hi_deg = 360.0;
};

/// How arcs are chosen.
struct ArcSelection {
    double min_elevation_deg = 5.0;
    double max_elevation_deg = 25.0;
    std::vector<AzimuthSector> sectors;    // empty: every azimuth
    std::vector<util::GnssSystem> systems;  // empty: every system
    std::vector<util::ObsCode> codes;     // S-codes by band and attribute; empty: all
    std::size_t min_points = 20;           // fewer samples: the arc is dropped
    double max_gap_s = 0.0;                // larger steps cut an arc; 0: three sampling intervals
    double interval_s = 30.0;              // sampling interval of the file (for the default gap)
    std::size_t max_points = 720;          // longer arcs are thinned to about this many samples
};

/// One selected arc: one satellite, one S-code, monotonic elevation inside
/// the window, no step longer than the gap limit.
struct SnrArc {
    util::Satellite satellite;
    util::ObsCode code;
    double wavelength_m = 0.0;
    bool rising = true;
    std::vector<double> t;            // Unix seconds (file time scale)
    std::vector<double> snr_dbhz;
    std::vector<double> elevation_deg;
    std::vector<double> azimuth_deg;
};

/// The step that cuts an arc: max_gap_s, or three sampling intervals when
/// it is 0.
double gap_limit_s(const ArcSelection& selection) noexcept;

/// Whether `azimuth_deg` lies in one of the sectors (always, without sectors).
bool in_sectors(double azimuth_deg, std::span<const AzimuthSector> sectors) noexcept;

/// The arcs of one satellite, from its records in file order. Signals whose
/// wavelength is unknown are skipped. Arcs are cut where the satellite
/// leaves the window or the sectors, where its elevation turns, and at gaps;
/// arcs with fewer than min_points samples are dropped.
std::vector<SnrArc> select_arcs(const rinex::RinexObsData& data, const util::Satellite& sat,
                                std::span<const SatRecord> records, const SkyFunction& sky,
                                const ArcSelection& selection);

/// delta-SNR of an arc: SNR converted to linear amplitude 10^(S/20), minus
/// its least-squares polynomial of `order` in x = sin(elevation). Returns x
/// and the residual. Fewer samples than order + 2 leave only the mean
/// removed.
void arc_delta_snr(const SnrArc& arc, unsigned order, std::vector<double>& x, std::vector<double>& residual);

}  // namespace skarvo::analysis

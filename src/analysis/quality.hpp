// Station quality figures of one observation file: the epoch grid (gaps,
// duplicated and out-of-order epochs, event records), receiver clock
// millisecond jumps from the code observations, expected against observed
// observations above an elevation mask given an orbit, and SNR and code
// multipath by elevation bin.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <memory>

#include "analysis/multipath_arcs.hpp"
#include "analysis/multipath_stats.hpp"
#include "navigation/coordinates.hpp"
#include "navigation/orbit_source.hpp"
#include "rinex/types.hpp"
#include "utils/error.hpp"

namespace skarvo::nav {
struct Sp3Data;
struct NavData;
}

namespace skarvo::analysis {

/// Epoch records that carry observations: flag 0 (ok) and 1 (power failure
/// since the previous epoch). Every other flag marks an event record.
constexpr bool is_data_flag(std::uint8_t flag) noexcept { return flag <= 1; }

struct EpochGap {
    std::int64_t after_ms = 0;    ///< last epoch before the gap (unix ms)
    std::int64_t before_ms = 0;   ///< first epoch after it
    std::uint64_t missing = 0;    ///< grid epochs missing in between
};

struct EpochEvent {
    std::optional<std::int64_t> epoch_ms;  ///< absent when the record has no time
    std::uint8_t flag = 0;
};

struct TimeScan {
    /// Nominal interval in seconds: the header's INTERVAL, else the most
    /// common step between consecutive distinct epochs; 0 when unknown.
    double interval_s = 0.0;
    std::uint64_t data_epochs = 0;      ///< records with flag 0 or 1
    std::uint64_t distinct_epochs = 0;  ///< distinct times among them
    std::uint64_t duplicates = 0;       ///< records whose time an earlier record already had
    std::uint64_t out_of_order = 0;     ///< records earlier than a record before them
    std::uint64_t grid_epochs = 0;      ///< slots of the nominal grid from first to last epoch
    std::uint64_t missing_epochs = 0;   ///< grid slots that no epoch is nearest to
    std::uint64_t off_grid = 0;         ///< distinct epochs more than 1 ms off the grid
    std::optional<std::int64_t> first_ms, last_ms;
    std::vector<EpochGap> gaps;         ///< every gap of one grid slot or more, in time order
    std::vector<EpochEvent> events;     ///< records with a flag other than 0, in file order
    /// Distinct data epochs in time order (unix ms) with the index of the
    /// first record of each in RinexObsData::epochs.
    std::vector<std::int64_t> times_ms;
    std::vector<std::uint32_t> records;
};

/// Scans the epoch records (never fails; an empty file gives zeros).
TimeScan scan_epochs(const rinex::RinexObsData& data);

struct ClockJump {
    std::int64_t epoch_ms = 0;   ///< first epoch after the jump
    std::int64_t milliseconds = 0;  ///< k: the jump is k ms of light travel
    double size_m = 0.0;         ///< median code-range step not explained by motion
    std::uint32_t ranges = 0;    ///< code ranges that took part
    std::uint32_t agreeing = 0;  ///< of which jumped by k ms (within a quarter ms)
};

struct ClockScan {
    std::vector<ClockJump> jumps;
    std::uint64_t steps_checked = 0;     ///< epoch-to-epoch steps with ranges of two satellites or more
    std::uint64_t offset_epochs = 0;     ///< data epochs whose epoch line carries a clock offset
    double offset_first_s = 0.0, offset_last_s = 0.0, offset_min_s = 0.0, offset_max_s = 0.0;
    /// Least-squares slope of the epoch-line offsets (s/s); NaN with fewer than two.
    double offset_drift = 0.0;
};

/// Millisecond clock jumps: at each step between consecutive distinct data
/// epochs, every code range seen at both is differenced; the step predicted
/// from the same range's previous clean step (satellite motion) is taken off,
/// and when the median of what remains rounds to k != 0 ms of light travel
/// and at least half of the ranges, of at least half of the satellites (two
/// at least), agree with it within a quarter of a millisecond, the step is a
/// jump of k ms.
ClockScan scan_clock(const rinex::RinexObsData& data, const TimeScan& time);

/// Makes a source of satellite positions for one thread (precise or
/// broadcast orbits); called once per worker chunk and once for the caller.
using OrbitFactory = std::function<std::unique_ptr<nav::OrbitSource>()>;

struct CompletenessRow {
    util::GnssSystem system = util::GnssSystem::GPS;
    util::ObsCode code;
    std::uint64_t expected = 0;  ///< satellite-epochs of the grid at or above the mask
    std::uint64_t observed = 0;  ///< values stored at satellite-epochs at or above the mask
    std::uint64_t stored = 0;    ///< values stored at any elevation (also without orbit)
};

struct ElevationBins {
    util::GnssSystem system = util::GnssSystem::GPS;
    util::ObsCode code;
    std::vector<std::uint64_t> count;
    std::vector<double> value;  ///< mean (SNR) or RMS (multipath) per bin; NaN when empty
};

struct QualitySettings {
    double elevation_mask_deg = 10.0;
    double bin_width_deg = 10.0;
    /// Systems to count (indexed by system_index); all when every entry is false.
    std::array<bool, util::system_count> systems{};
    /// Largest grid the expected counts may take (slots); a longer span
    /// for its interval leaves completeness out.
    std::uint64_t max_grid = 4'000'000;
};

struct Completeness {
    bool with_orbit = false;
    bool grid_too_long = false;
    /// Per system: whether the orbit placed any of its satellites.
    std::array<bool, util::system_count> orbit_has_system{};
    /// Per system: grid satellite-epochs at or above the mask.
    std::array<std::uint64_t, util::system_count> expected_sat_epochs{};
    /// Rows for the code and phase observations of the header lists, by
    /// system order then code text.
    std::vector<CompletenessRow> rows;
    /// Mean SNR per S observation code and elevation bin (needs an orbit).
    std::vector<ElevationBins> snr;

    /// Whether the expected and observed counts of a system are known: an
    /// orbit was used (its grid was not too long) and it placed satellites
    /// of that system.
    bool counts_known(util::GnssSystem system) const noexcept {
        return with_orbit && !grid_too_long && orbit_has_system[util::system_index(system)];
    }
};

/// Expected against observed counts and SNR by elevation. Without `orbit`
/// (or without `orbit_satellites` or `receiver`) only the stored counts are filled.
/// Elevations are computed on the worker pool.
Completeness count_completeness(const rinex::RinexObsData& data, const TimeScan& time,
                                const std::optional<nav::Ecef>& receiver,
                                std::span<const util::Satellite> orbit_satellites, const OrbitFactory& orbit,
                                const QualitySettings& settings);

/// The text refusing a bin width outside (0, 90] degrees, if it is one.
std::optional<std::string> check_bin_width(double bin_width_deg);

/// What a caller asks of the station quality of a file.
struct StationQualityRequest {
    /// The orbit, when one was given: at most one of the two tables. Both
    /// are only read, from several pool threads at once.
    std::shared_ptr<const nav::Sp3Data> sp3;
    std::shared_ptr<const nav::NavData> broadcast;
    bool orbit_given = false;  // true with neither table: an orbit of another kind
    std::optional<nav::Ecef> receiver;
    std::optional<std::vector<std::string>> systems;  // one letter each; absent: every system
    double elevation_mask_deg = 10.0;
    double bin_width_deg = 10.0;
};

struct StationQuality {
    TimeScan time;
    ClockScan clock;
    Completeness completeness;
};

/// The epoch grid, the clock scan and the completeness of one file. Fails
/// with kind Other (a text for ValueError) for a mask outside [-90, 90], a
/// bin width outside (0, 90], an orbit without receiver, a receiver
/// position that is not finite or an unknown system letter, in this order;
/// then with kind Configuration when an orbit of another kind was given.
util::Result<StationQuality> station_quality(const rinex::RinexObsData& data, const StationQualityRequest& request);

/// RMS of the multipath estimates per signal label and elevation bin of
/// `bin_width_deg`; estimates without an orbit elevation are left out.
std::vector<std::pair<std::string, ElevationBins>> multipath_by_elevation(std::span<const MpEstimate> estimates,
                                                                          std::span<const SignalStats> statistics,
                                                                          double bin_width_deg);

}  // namespace skarvo::analysis

// Carrier-phase cycle-slip detection: loss-of-lock flags, the geometry-free
// ionospheric rate and the code-minus-phase rate.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "analysis/obs_index.hpp"
#include "rinex/types.hpp"

namespace skarvo::analysis {

enum class SlipMethod : std::uint8_t { Gf, CodePhase, Lli };

/// "gf", "code_phase", "lli".
const char* slip_method_name(SlipMethod m) noexcept;

/// One detected slip. Codes: lli [phase]; gf [phase, partner phase];
/// code_phase [phase, code].
struct SlipRecord {
    util::Satellite sat;
    std::int64_t epoch_ms = 0;  ///< unix_millis of the later compared epoch
    std::array<util::ObsCode, 2> codes{};
    std::uint8_t code_count = 0;
    SlipMethod method = SlipMethod::Lli;
    double magnitude = 0.0;  ///< lli 1.0; otherwise the change in metres
    double threshold = 0.0;  ///< lli 0.0; otherwise the exceeded threshold in metres
};

/// A slip seen on one phase of one satellite.
struct SlipTime {
    std::uint64_t sat_key = 0;  ///< util::sort_key of the satellite
    std::uint32_t code_key = 0; ///< util::text_key of the phase code
    std::int64_t epoch_ms = 0;
    friend auto operator<=>(const SlipTime&, const SlipTime&) = default;
};

struct SlipCount {
    util::GnssSystem system = util::GnssSystem::GPS;
    util::ObsCode phase;
    std::uint64_t count = 0;
};

struct SlipResult {
    /// Sorted stably by (epoch, satellite identifier text, first code text).
    std::vector<SlipRecord> slips;
    /// Every (satellite, phase, time) of a slip, sorted; duplicates kept.
    std::vector<SlipTime> times;
    /// Per (system, phase code), sorted by system short name then code text.
    std::vector<SlipCount> counts;

    /// Sorted times of the slips of `sat` on `phase`.
    std::vector<std::int64_t> times_of(const util::Satellite& sat, const util::ObsCode& phase) const;
};

struct SlipSettings {
    double ion_delta_base_m = 0.10;
    double ion_delta_rate_m_per_s = 0.003;
    double cp_delta_base_m = 5.0;
    double cp_delta_rate_m_per_s = 0.10;
    double max_step_s = 300.0;
    bool use_lli = true;
    /// Systems whose satellites are tested; absent: every system.
    std::optional<std::vector<util::GnssSystem>> systems;
};

/// Runs the three tests over every satellite of the selected systems in the
/// given epochs. Never fails: observations without frequency, partner or
/// matching phase are skipped.
SlipResult find_cycle_slips(const rinex::RinexObsData& data, std::span<const std::uint32_t> epochs,
                            const ObsIndex& index, const SlipSettings& settings);

/// Keeps the slips whose phase (their first code) passes `keep`, and
/// rebuilds the times and counts from them over the phases that pass.
void select_slip_phases(SlipResult& result,
                        const std::function<bool(util::GnssSystem, const util::ObsCode&)>& keep);

}  // namespace skarvo::analysis

// Settings of a code-multipath analysis and the rules that select its data:
// the system filter, the include/exclude code lists and epoch thinning.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rinex/types.hpp"
#include "utils/error.hpp"

namespace skarvo::analysis {

/// The analyzer's arguments as given by the caller, before validation.
/// Absent lists select the defaults.
struct MultipathOptions {
    double elevation_cutoff_deg = 10.0;
    std::optional<std::vector<std::string>> systems;
    std::optional<double> bias_window_s = 1500.0;
    double min_arc_s = 300.0;
    double arc_gap_factor = 5.0;
    std::optional<std::vector<std::string>> include_codes;
    std::optional<std::vector<std::string>> exclude_codes;
    std::optional<std::uint64_t> max_epochs;
    bool detect_cycle_slips = true;
    double ion_delta_base_m = 0.10;
    double ion_delta_rate_m_per_s = 0.003;
    double cp_delta_base_m = 5.0;
    double cp_delta_rate_m_per_s = 0.10;
};

/// Validated, immutable settings of one analyzer. The observation data are
/// shared, never copied or changed.
struct MultipathConfig {
    std::shared_ptr<const rinex::RinexObsData> data;
    double elevation_cutoff_deg = 10.0;
    /// Membership list; order and duplicates kept as given.
    std::vector<util::GnssSystem> systems;
    /// Absent: whole-arc means instead of a moving mean.
    std::optional<double> bias_window_s = 1500.0;
    double min_arc_s = 300.0;
    double arc_gap_factor = 5.0;
    /// Upper-cased "C1C" or "GC1C" entries.
    std::vector<std::string> include_codes;
    std::vector<std::string> exclude_codes;
    std::optional<std::uint64_t> max_epochs;
    bool detect_cycle_slips = true;
    double ion_delta_base_m = 0.10;
    double ion_delta_rate_m_per_s = 0.003;
    double cp_delta_base_m = 5.0;
    double cp_delta_rate_m_per_s = 0.10;

    // Fixed settings.
    static constexpr double max_slip_step_s = 300.0;  ///< gf/code_phase tests compare epochs at most this far apart
    static constexpr bool use_lli = true;              ///< loss-of-lock flag test enabled
    static constexpr double jump_threshold_m = 10.0;   ///< a larger MP jump starts a new arc

    bool system_selected(util::GnssSystem s) const noexcept;
    /// Exclude entries win; an empty include list accepts everything else.
    bool code_selected(util::GnssSystem s, const util::ObsCode& code) const;
    /// Whether slips on carrier phase `phase` are reported. Entries naming
    /// phases (L1C, GL1C) act on phases as the others act on pseudoranges:
    /// a matching exclude entry rejects; when the include list names any
    /// phase, only a matching include entry accepts. Pseudorange entries
    /// leave phases alone, so the usual lists keep every phase.
    bool phase_selected(util::GnssSystem s, const util::ObsCode& phase) const;
    /// Whether any include or exclude entry names a carrier phase.
    bool lists_name_phases() const noexcept;
    /// Indices into data->epochs of the epochs analysed: every epoch, or with
    /// `max_epochs` = M (0 < M < N) every ceil(N / M)-th epoch from index 0.
    std::vector<std::uint32_t> analysis_epochs() const;
};

/// The system list of the `systems` argument: absent gives G, R, E, C; each
/// entry contributes the system of its first character (ASCII case-folded),
/// unknown or empty entries are skipped. Never fails.
std::vector<util::GnssSystem> parse_system_list(const std::optional<std::vector<std::string>>& entries);

/// Validates one code list (`param` is "include_codes" or "exclude_codes"
/// and names the list in error texts). Entries are trimmed and upper-cased;
/// the first bad entry fails with an error of kind Other.
util::Result<std::vector<std::string>> parse_code_list(std::string_view param,
                                                       const std::optional<std::vector<std::string>>& entries);

/// Validates the options (include list first, then exclude list) and builds
/// the settings record. `data` must not be null.
util::Result<MultipathConfig> make_multipath_config(std::shared_ptr<const rinex::RinexObsData> data,
                                                    const MultipathOptions& options);

}  // namespace skarvo::analysis

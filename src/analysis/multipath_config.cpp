#include "analysis/multipath_config.hpp"

#include <algorithm>

#include "utils/text.hpp"

namespace skarvo::analysis {

using util::GnssSystem;
using util::ErrorKind;
using util::GnssError;

bool MultipathConfig::system_selected(GnssSystem s) const noexcept {
    return std::find(systems.begin(), systems.end(), s) != systems.end();
}

bool MultipathConfig::code_selected(GnssSystem s, const util::ObsCode& code) const {
    const std::string name = code.text();
    const std::string sys_form = util::system_letter(s) + name;
    const auto matches = [&](const std::string& entry) { return entry == name || entry == sys_form; };
    if (std::any_of(exclude_codes.begin(), exclude_codes.end(), matches)) return false;
    return include_codes.empty() || std::any_of(include_codes.begin(), include_codes.end(), matches);
}

namespace {

// Stored entries are "L1C" or "GL1C": the type letter is the one before the band digit.
bool names_phase(const std::string& entry) noexcept { return entry.size() >= 3 && entry[entry.size() - 3] == 'L'; }

}  // namespace

bool MultipathConfig::lists_name_phases() const noexcept {
    return std::any_of(include_codes.begin(), include_codes.end(), names_phase) ||
           std::any_of(exclude_codes.begin(), exclude_codes.end(), names_phase);
}

bool MultipathConfig::phase_selected(GnssSystem s, const util::ObsCode& phase) const {
    const std::string name = phase.text();
    const std::string sys_form = util::system_letter(s) + name;
    const auto matches = [&](const std::string& entry) { return entry == name || entry == sys_form; };
    if (std::any_of(exclude_codes.begin(), exclude_codes.end(), matches)) return false;
    return std::none_of(include_codes.begin(), include_codes.end(), names_phase) ||
           std::any_of(include_codes.begin(), include_codes.end(), matches);
}

std::vector<std::uint32_t> MultipathConfig::analysis_epochs() const {
    const std::uint64_t n = data ? data->epochs.size() : 0;
    std::uint64_t step = 1;
    if (max_epochs && *max_epochs != 0 && *max_epochs < n) step = (n + *max_epochs - 1) / *max_epochs;
    std::vector<std::uint32_t> out;
    out.reserve(static_cast<std::size_t>((n + step - 1) / step));
    for (std::uint64_t i = 0; i < n; i += step) out.push_back(static_cast<std::uint32_t>(i));
    return out;
}

std::vector<GnssSystem> parse_system_list(const std::optional<std::vector<std::string>>& entries) {
    if (!entries) return {GnssSystem::GPS, GnssSystem::GLONASS, GnssSystem::Galileo, GnssSystem::BeiDou};
    std::vector<GnssSystem> out;
    for (const std::string& entry : *entries) {
        if (entry.empty()) continue;
        // system_from_letter folds ASCII case only; other characters name no system.
        if (const auto sys = util::system_from_letter(util::first_char(entry))) out.push_back(*sys);
    }
    return out;
}

util::Result<std::vector<std::string>> parse_code_list(std::string_view param,
                                                       const std::optional<std::vector<std::string>>& entries) {
    std::vector<std::string> out;
    if (!entries) return out;
    const auto fail = [&](const std::string& entry, std::string_view what) {
        return GnssError(ErrorKind::Other, std::string(param) + " entry '" + entry + "' " + std::string(what));
    };
    for (const std::string& entry : *entries) {
        const std::string text = util::ascii_upper(util::trim(entry));
        std::string_view code_part;
        if (text.size() == 3) {
            code_part = text;
        } else if (text.size() == 4) {
            // A multi-byte first character leaves no three-character code part.
            if (static_cast<unsigned char>(text[0]) >= 0x80) return fail(entry, "is not a valid signal code");
            code_part = std::string_view(text).substr(1);
        } else {
            return fail(entry, "must be a 3-char code ('C1C') or system+code ('GC1C')");
        }
        if (!util::parse_obs_code(code_part)) return fail(entry, "is not a valid signal code");
        if (text.size() == 4 && !util::system_from_letter(static_cast<unsigned char>(text[0])))
            return fail(entry, "has an unknown system prefix");
        out.push_back(text);
    }
    return out;
}

util::Result<MultipathConfig> make_multipath_config(std::shared_ptr<const rinex::RinexObsData> data,
                                                    const MultipathOptions& o) {
    auto include = parse_code_list("include_codes", o.include_codes);
    if (!include) return std::move(include).error();
    auto exclude = parse_code_list("exclude_codes", o.exclude_codes);
    if (!exclude) return std::move(exclude).error();
    MultipathConfig c;
    c.data = std::move(data);
    c.elevation_cutoff_deg = o.elevation_cutoff_deg;
    c.systems = parse_system_list(o.systems);
    c.bias_window_s = o.bias_window_s;
    c.min_arc_s = o.min_arc_s;
    c.arc_gap_factor = o.arc_gap_factor;
    c.include_codes = std::move(include).value();
    c.exclude_codes = std::move(exclude).value();
    c.max_epochs = o.max_epochs;
    c.detect_cycle_slips = o.detect_cycle_slips;
    c.ion_delta_base_m = o.ion_delta_base_m;
    c.ion_delta_rate_m_per_s = o.ion_delta_rate_m_per_s;
    c.cp_delta_base_m = o.cp_delta_base_m;
    c.cp_delta_rate_m_per_s = o.cp_delta_rate_m_per_s;
    return c;
}

}  // namespace skarvo::analysis

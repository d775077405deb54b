#include "rinex/obs_queries.hpp"

#include <algorithm>
#include <bitset>
#include <cmath>
#include <memory>

#include "utils/text.hpp"

namespace skarvo::rinex {

std::vector<Satellite> distinct_satellites(const RinexObsData& data) {
    // PRNs below 256 are marked in a bitmap; larger ones are sorted apart.
    constexpr std::size_t slots = 256;
    auto seen = std::make_unique<std::bitset<system_count * slots>>();
    std::vector<std::uint64_t> large;
    for (const SatObs& s : data.sat_obs) {
        if (s.sat.prn < slots) seen->set(system_index(s.sat.system) * slots + s.sat.prn);
        else large.push_back(sort_key(s.sat));
    }
    std::vector<Satellite> out;
    for (std::size_t sys = 0; sys < system_count; ++sys)
        for (std::size_t prn = 0; prn < slots; ++prn)
            if (seen->test(sys * slots + prn))
                out.push_back(Satellite{static_cast<GnssSystem>(sys), static_cast<std::uint32_t>(prn)});
    std::sort(large.begin(), large.end());
    large.erase(std::unique(large.begin(), large.end()), large.end());
    for (std::uint64_t key : large) {
        const auto sys = system_from_letter(static_cast<char32_t>(key >> 32));
        out.push_back(Satellite{*sys, static_cast<std::uint32_t>(key & 0xFFFFFFFFu)});
    }
    std::sort(out.begin(), out.end(), satellite_less);
    return out;
}

std::vector<std::pair<GnssSystem, std::size_t>> satellites_by_system(const RinexObsData& data) {
    std::vector<std::pair<GnssSystem, std::size_t>> out;
    for (const Satellite& s : distinct_satellites(data)) {
        if (out.empty() || out.back().first != s.system) out.emplace_back(s.system, 0);
        ++out.back().second;
    }
    return out;
}

GnssSystem system_or_gps(std::string_view text) noexcept {
    if (text.empty()) return GnssSystem::GPS;
    return system_from_letter(util::first_char(text)).value_or(GnssSystem::GPS);
}

std::vector<ObsCode> observation_types(const RinexObsData& data, GnssSystem system) {
    // One bit per possible code: kind (5) x band (10) x attribute byte (256).
    constexpr std::size_t kinds = 5, bands = 10, attrs = 256;
    std::bitset<kinds * bands * attrs> present;
    for (const SatObs& s : data.sat_obs) {
        if (s.sat.system != system) continue;
        for (const ObsEntry& o : data.observations(s))
            present.set((static_cast<std::size_t>(o.code.kind) * bands + o.code.band) * attrs +
                        static_cast<unsigned char>(o.code.attribute));
    }
    std::vector<ObsCode> out;
    for (std::size_t i = 0; i < present.size(); ++i)
        if (present.test(i))
            out.push_back(ObsCode{static_cast<ObsKind>(i / (bands * attrs)), static_cast<std::uint8_t>(i / attrs % bands),
                                  static_cast<char>(i % attrs)});
    std::sort(out.begin(), out.end(), code_text_less);
    return out;
}

std::optional<double> sampling_interval(const RinexObsData& data) noexcept {
    if (data.epochs.size() >= 2) return std::fabs(util::seconds_between(data.epochs[0].epoch, data.epochs[1].epoch));
    return data.header.interval;
}

std::optional<double> nominal_interval(const RinexObsData& data) noexcept {
    return data.header.interval ? data.header.interval : sampling_interval(data);
}

}  // namespace skarvo::rinex

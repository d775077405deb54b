// Dense numbering of the satellites and observation codes of an epoch list,
// so that the analyses look observations up by array reads.
#pragma once

#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

#include "rinex/types.hpp"

namespace skarvo::analysis {

inline constexpr std::uint16_t no_code = 0xFFFF;

/// Dense numbering of the satellites and observation codes met in an epoch
/// list, with the code of every stored observation and the number of epochs
/// in which each satellite carries each code. Built in two passes over the
/// observations; lookups afterwards are array reads.
class ObsIndex {
public:
    ObsIndex(const rinex::RinexObsData& data, std::span<const std::uint32_t> epochs);

    std::size_t sat_count() const noexcept { return sats_.size(); }
    std::size_t code_count() const noexcept { return codes_.size(); }
    const util::Satellite& sat(std::uint32_t i) const noexcept { return sats_[i]; }
    const util::ObsCode& code(std::uint16_t i) const noexcept { return codes_[i]; }
    /// Satellite number of data.sat_obs[pos] (pos inside an indexed epoch).
    std::uint32_t sat_of(std::size_t pos) const noexcept { return sat_of_[pos]; }
    /// Code number of data.obs[pos] (pos inside an indexed epoch).
    std::uint16_t code_of(std::size_t pos) const noexcept { return code_of_[pos]; }
    /// Epochs in which satellite `s` carries code `c` (`obs_count`).
    std::uint32_t count(std::uint32_t s, std::uint16_t c) const noexcept { return counts_[s * codes_.size() + c]; }
    /// Carrier frequency in Hz of code `c` of satellite `s`, or 0 when the
    /// frequency table has none (GLONASS channels resolved from the header;
    /// the attribute tells the two signals of BeiDou band 1 apart).
    double frequency(std::uint32_t s, std::uint16_t c) const noexcept { return freq_[s * codes_.size() + c]; }
    /// The band under which code `c` of satellite `s` takes part in the walk
    /// over partner bands: its band digit, except B1I written on BeiDou band
    /// 1 (C1I, L1I: RINEX 3.02), which walks as band 2, where later versions
    /// write it, so that both spellings pair alike.
    std::uint8_t partner_band(std::uint32_t s, std::uint16_t c) const noexcept {
        const util::ObsCode& k = codes_[c];
        const bool b1i = sats_[s].system == util::GnssSystem::BeiDou && k.band == 1 &&
                         (k.attribute == 'I' || k.attribute == 'Q');
        return b1i ? std::uint8_t{2} : k.band;
    }
    /// Number of `c`, or no_code when the indexed epochs never carry it.
    std::uint16_t find(const util::ObsCode& c) const noexcept;
    /// (band << 8 | attribute): the order of codes of one kind.
    static std::uint16_t band_attr_key(const util::ObsCode& c) noexcept {
        return static_cast<std::uint16_t>((c.band << 8) | static_cast<unsigned char>(c.attribute));
    }

private:
    std::uint16_t intern(const util::ObsCode& c);
    const std::uint16_t* slot_of(const util::ObsCode& c) const noexcept;

    std::vector<util::Satellite> sats_;
    std::vector<util::ObsCode> codes_;
    std::vector<std::uint32_t> sat_of_;
    std::vector<std::uint16_t> code_of_;
    std::vector<std::uint32_t> counts_;
    std::vector<double> freq_;
    std::vector<std::uint16_t> code_table_;  // dense (kind, band < 10, attribute < 128) -> number
    std::unordered_map<std::uint32_t, std::uint16_t> code_overflow_;
};

}  // namespace skarvo::analysis

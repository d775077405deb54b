#include "analysis/obs_index.hpp"

#include <optional>

#include "utils/frequencies.hpp"

namespace skarvo::analysis {

using util::GnssSystem;
using util::ObsCode;
using rinex::RinexObsData;
using util::Satellite;

namespace {

constexpr std::size_t kinds = 5, bands = 10, attrs = 128;

}  // namespace

ObsIndex::ObsIndex(const RinexObsData& data, std::span<const std::uint32_t> epochs)
    : sat_of_(data.sat_obs.size(), 0), code_of_(data.obs.size(), no_code), code_table_(kinds * bands * attrs, no_code) {
    std::unordered_map<std::uint64_t, std::uint32_t> sat_ids;
    for (const std::uint32_t e : epochs) {
        const rinex::EpochRecord& rec = data.epochs[e];
        for (std::uint32_t p = rec.sat_begin; p < rec.sat_end; ++p) {
            const rinex::SatObs& so = data.sat_obs[p];
            const auto [it, inserted] =
                sat_ids.try_emplace(util::sort_key(so.sat), static_cast<std::uint32_t>(sats_.size()));
            if (inserted) sats_.push_back(so.sat);
            sat_of_[p] = it->second;
            for (std::uint32_t q = so.begin; q < so.end; ++q) code_of_[q] = intern(data.obs[q].code);
        }
    }

    const std::size_t nc = codes_.size();
    counts_.assign(sats_.size() * nc, 0);
    for (const std::uint32_t e : epochs) {
        const rinex::EpochRecord& rec = data.epochs[e];
        for (std::uint32_t p = rec.sat_begin; p < rec.sat_end; ++p) {
            std::uint32_t* row = counts_.data() + sat_of_[p] * nc;
            const rinex::SatObs& so = data.sat_obs[p];
            for (std::uint32_t q = so.begin; q < so.end; ++q) ++row[code_of_[q]];
        }
    }

    freq_.assign(sats_.size() * nc, 0.0);
    for (std::size_t s = 0; s < sats_.size(); ++s) {
        const Satellite& sat = sats_[s];
        std::optional<std::int8_t> fcn;
        if (sat.system == GnssSystem::GLONASS) fcn = util::resolve_glonass_fcn(sat.prn, data.header.glonass_slots);
        const auto letter = static_cast<unsigned char>(util::system_letter(sat.system));
        for (std::size_t c = 0; c < nc; ++c)
            freq_[s * nc + c] = util::signal_frequency(letter, codes_[c].band, codes_[c].attribute, fcn).value_or(0.0);
    }
}

const std::uint16_t* ObsIndex::slot_of(const ObsCode& c) const noexcept {
    const auto kind = static_cast<std::size_t>(c.kind);
    const auto attr = static_cast<unsigned char>(c.attribute);
    if (kind < kinds && c.band < bands && attr < attrs) return &code_table_[(kind * bands + c.band) * attrs + attr];
    const auto it = code_overflow_.find((static_cast<std::uint32_t>(kind) << 24) | util::text_key(c));
    return it == code_overflow_.end() ? nullptr : &it->second;
}

std::uint16_t ObsIndex::find(const ObsCode& c) const noexcept {
    const std::uint16_t* slot = slot_of(c);
    return slot ? *slot : no_code;
}

std::uint16_t ObsIndex::intern(const ObsCode& c) {
    const auto kind = static_cast<std::size_t>(c.kind);
    const auto attr = static_cast<unsigned char>(c.attribute);
    std::uint16_t* slot = nullptr;
    if (kind < kinds && c.band < bands && attr < attrs) {
        slot = &code_table_[(kind * bands + c.band) * attrs + attr];
    } else {
        slot = &code_overflow_.try_emplace((static_cast<std::uint32_t>(kind) << 24) | util::text_key(c), no_code)
                    .first->second;
    }
    if (*slot == no_code) {
        *slot = static_cast<std::uint16_t>(codes_.size());
        codes_.push_back(c);
    }
    return *slot;
}

}  // namespace skarvo::analysis

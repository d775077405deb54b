// Pairing of each pseudorange with a carrier phase on its own band, one on a
// second band and its signal strength.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "analysis/multipath_config.hpp"
#include "analysis/obs_index.hpp"
#include "rinex/types.hpp"

namespace skarvo::analysis {

/// One pseudorange paired with a phase on its own band and one on a second band.
struct SignalPair {
    util::Satellite sat;
    util::ObsCode code;
    util::ObsCode phase1;
    util::ObsCode phase2;
    std::optional<util::ObsCode> snr;
    double wavelength1_m = 0.0;
    double wavelength2_m = 0.0;
    double alpha = 0.0;  ///< f1^2 / f2^2
    // Dense numbers of the ObsIndex the pair was built from.
    std::uint32_t sat_index = 0;
    std::uint16_t code_id = no_code, phase1_id = no_code, phase2_id = no_code, snr_id = no_code;
};

/// Signal label: "GPSM1C" for GPS C1C.
std::string signal_label(util::GnssSystem s, const util::ObsCode& code);

/// The pairs of every selected satellite and code, in satellite order then
/// (band, attribute) order of the codes. Unpairable codes are skipped.
std::vector<SignalPair> build_pairs(const MultipathConfig& config, const ObsIndex& index);

}  // namespace skarvo::analysis

// Carrier frequencies of the signals the library knows, keyed by system
// letter and RINEX band digit, and GLONASS frequency channels.
#pragma once

#include <cstdint>
#include <optional>
#include <unordered_map>

namespace skarvo::util {

inline constexpr double speed_of_light = 299792458.0;  // m/s
inline constexpr double gm_wgs84 = 3.986005e14;        // m^3/s^2
inline constexpr double earth_radius = 6378137.0;      // m, WGS84 semi-major axis
inline constexpr double gps_l1_wavelength = speed_of_light / 1575.42e6;

/// Carrier frequency in Hz of (system letter, band), or absent when the table
/// has no entry. `fcn` is the GLONASS frequency channel, used for R bands 1
/// and 2 only (absent means channel 0). No case folding of the letter.
std::optional<double> carrier_frequency(char32_t system_letter, std::uint8_t band,
                                        std::optional<std::int8_t> fcn = std::nullopt) noexcept;

/// Carrier frequency in Hz of the signal an observation code names, or
/// absent: carrier_frequency of its band, except where one band digit
/// carries two signals. BeiDou band 1 with attribute I or Q is B1I at
/// 1561.098 MHz (RINEX 3.02 wrote B1I there, and many receivers still do in
/// later versions); its other attributes are B1C at 1575.42 MHz.
std::optional<double> signal_frequency(char32_t system_letter, std::uint8_t band, char attribute,
                                       std::optional<std::int8_t> fcn = std::nullopt) noexcept;

/// Default GLONASS channel of a slot (1-24); 0 outside that range.
std::int8_t default_glonass_fcn(std::uint32_t slot) noexcept;

/// The header's channel for `slot` when it has one, else the default table.
std::int8_t resolve_glonass_fcn(std::uint32_t slot,
                                const std::unordered_map<std::uint32_t, std::int8_t>& header_slots) noexcept;

/// Wavelength in metres of a frequency in Hz.
constexpr double wavelength(double frequency_hz) noexcept { return speed_of_light / frequency_hz; }

}  // namespace skarvo::util

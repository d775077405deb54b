// Header of a RINEX observation file: the labelled 80-column lines up to
// "END OF HEADER".
#pragma once

#include <optional>
#include <string_view>

#include "io/line_reader.hpp"
#include "rinex/types.hpp"
#include "utils/error.hpp"

namespace skarvo::rinex {

using io::Line;
using io::LineReader;

/// Version text such as "3.04" (major 2, 3 or 4; the minor number from at
/// most two characters after the point). Absent when unsupported.
std::optional<RinexVersion> parse_version(std::string_view text) noexcept;

/// Reads lines up to "END OF HEADER" (or the end of the input) into `header`.
/// Lines shorter than 60 bytes and unknown labels are skipped; malformed
/// fields keep their previous value. Fails with UnsupportedVersion, with Io
/// from the line stream, or with RinexParse when a fixed column falls inside
/// a multi-byte character.
util::Status parse_header(LineReader& reader, RinexHeader& header);

/// The three-character code of a version 2 observation type (C1 -> C1C,
/// P2 -> C2P, L5 -> L5X, ...), or absent for types without one.
std::optional<ObsCode> translate_v2_type(std::string_view type) noexcept;

}  // namespace skarvo::rinex

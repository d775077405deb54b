// Data section of a RINEX observation file: the epoch records that follow
// the header, in the layout of version 3/4 (">" records) or version 2.
#pragma once

#include <cstdint>

#include "io/line_reader.hpp"
#include "rinex/types.hpp"
#include "utils/error.hpp"

namespace skarvo::rinex {

using io::Line;
using io::LineReader;

/// Reads version 3/4 records until the input ends, appending to `data`
/// (whose header must be complete). `size_hint` is the expected size of the
/// text in bytes (0 when unknown), used only to reserve storage. Fails with
/// RinexParse for a too short epoch line or a column inside a multi-byte
/// character, and with Io from the line stream.
util::Status parse_records_v3(LineReader& reader, RinexObsData& data, std::uint64_t size_hint);

/// Reads version 2 records until the input ends, appending to `data`.
/// Event records (flags 2 to 5) are read and dropped.
util::Status parse_records_v2(LineReader& reader, RinexObsData& data, std::uint64_t size_hint);

}  // namespace skarvo::rinex

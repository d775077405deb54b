// Entry points of the observation reader: a file path, bytes in memory, and
// bytes handed over through a temporary file. The content decides how the
// bytes are decoded (see io/input.hpp).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "io/line_reader.hpp"
#include "rinex/types.hpp"
#include "utils/error.hpp"

namespace skarvo::rinex {

/// Parses the header and the records from `reader`. `size_hint` (bytes of
/// text expected, 0 when unknown) only sizes the storage reserved up front.
util::Result<RinexObsData> parse_obs(io::LineReader& reader, std::uint64_t size_hint = 0);

/// Reads an observation file. FileNotFound when the path cannot be examined,
/// Io when it cannot be opened or read (a directory, a corrupt gzip stream,
/// text that is not UTF-8), and the parse errors of the header and records.
/// Streams the file: memory holds the growing result and one buffer.
util::Result<RinexObsData> read_obs_file(const std::string& path);

/// Parses a whole file held in memory, decoded by its content. The bytes are
/// borrowed for the duration of the call.
util::Result<RinexObsData> read_obs_buffer(std::string_view bytes);

/// The directory for temporary files: $TMPDIR when set and not empty, else
/// "/tmp". Reads the environment: call it where no other thread may change it.
std::string temp_directory();

/// Which step of read_obs_bytes failed.
enum class BytesStep : std::uint8_t { CreateTemp, WriteTemp, Parse };

/// Writes `data` to a new temporary file in `temp_dir` and reads it with
/// read_obs_file. The file is created exclusively under a unique name that
/// keeps the extension of `filename` (for whoever looks at the folder) and is
/// removed in every outcome. `filename` must be a plain file name: empty,
/// ".", "..", or a name holding "/" or a NUL character is refused at the
/// CreateTemp step. On failure `failed` tells the step; for CreateTemp and
/// WriteTemp the error's text() is the reason alone.
util::Result<RinexObsData> read_obs_bytes(std::string_view data, std::string_view filename,
                                          const std::string& temp_dir, BytesStep& failed);

}  // namespace skarvo::rinex

// Opening an input for reading: the content, never the file name, decides
// how its bytes become text. Every reader gets its lines from here.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "io/byte_source.hpp"
#include "io/line_reader.hpp"
#include "utils/error.hpp"

namespace skarvo::io {

/// The text of an input, decoded, ready to be read line by line.
struct TextInput {
    std::unique_ptr<LineReader> lines;
    /// Bytes of text expected (0 when unknown); only an estimate for
    /// reserving storage, never trusted beyond that.
    std::uint64_t size_hint = 0;
};

/// What the first bytes of an input show: gzip (1f 8b), Unix compress
/// (1f 9d), compact RINEX (a first line whose columns 61-80 read
/// "CRINEX VERS   / TYPE"), else plain text.
enum class Packing : std::uint8_t { Plain, Gzip, Compress, Compact };

/// The packing that `head` (the first bytes of an input) shows.
Packing packing_of(std::string_view head) noexcept;

/// The decoding, outermost first: at most one of gzip and compress, around
/// compact RINEX or plain text. Compressed data inside compressed data is
/// refused (an Io error naming line 1).

/// Opens the file of `fd` (owned: closed when the input is destroyed, also
/// on failure) and decodes it by its content.
util::Result<TextInput> open_fd(int fd);

/// Opens the file at `path` (Io with the system's text when it cannot be
/// opened) and decodes it by its content.
util::Result<TextInput> open_file(const std::string& path);

/// Decodes bytes held by the caller (borrowed: they must outlive the input).
/// Plain text is read in place, without a copy.
util::Result<TextInput> open_memory(std::string_view bytes);

/// The whole decoded text of the file at `path`, as the readers see it
/// (line ends kept as they are). Holds the text in memory.
util::Result<std::string> decode_file(const std::string& path);

}  // namespace skarvo::io

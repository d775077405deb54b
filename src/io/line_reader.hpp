// The line stream every reader reads: bytes from any ByteSource or from
// memory, split at line feeds, checked for UTF-8, handed out as views into
// one reusable buffer. The input is never held whole: only the current line
// (and whatever the buffer holds after it) is in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "io/byte_source.hpp"
#include "utils/error.hpp"

namespace skarvo::io {

/// One line of the input, without its line feed and trailing carriage returns.
/// `text` stays valid until the next call of LineReader::next.
struct Line {
    std::string_view text;
    std::uint64_t index = 0;  // 0 for the first line of the input
    bool ascii = true;        // no byte >= 0x80: no fixed column can cut a character
};

/// Splits a byte stream into lines. Line feeds end lines; a carriage return
/// before one, and any further carriage returns at the end of a line, are
/// removed. A last line without line feed is a line; an input ending with a
/// line feed has no empty line after it. Every line must be valid UTF-8.
class LineReader {
public:
    /// Lines of a complete text held by the caller (borrowed, not copied).
    explicit LineReader(std::string_view text);
    /// Lines of a streamed source, read through an internal buffer.
    explicit LineReader(std::unique_ptr<ByteSource> source);
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;
    ~LineReader();

    /// The next line; false at the end of the input or when the read failed
    /// (then error() is set and every later call returns false).
    bool next(Line& line);
    const std::optional<util::GnssError>& error() const noexcept { return error_; }

private:
    bool refill();

    std::unique_ptr<ByteSource> source_;
    std::unique_ptr<char[]> buf_;
    std::size_t cap_ = 0;
    const char* pos_ = nullptr;
    const char* end_ = nullptr;
    bool eof_ = false;
    std::uint64_t index_ = 0;
    std::optional<util::GnssError> error_;
};

}  // namespace skarvo::io

// Producers of raw bytes: an open file, memory held by the caller, and the
// decoders that stack on another source (gzip, Unix compress, compact
// RINEX). Each read fills the caller's buffer; nothing holds a whole input.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

#include "utils/error.hpp"

namespace skarvo::io {

/// A producer of raw bytes (plain file, memory, decompressor, ...).
class ByteSource {
public:
    virtual ~ByteSource() = default;
    /// Writes up to `cap` (> 0) bytes to `dst`. Returns the count written,
    /// 0 only at the end of the input, or the error that stopped the read.
    virtual util::Result<std::size_t> read(char* dst, std::size_t cap) = 0;
};

/// Plain bytes of an open file descriptor (owned: closed on destruction).
std::unique_ptr<ByteSource> make_fd_source(int fd);
/// Bytes held by the caller (borrowed: they must outlive the source).
std::unique_ptr<ByteSource> make_memory_source(std::string_view data);
/// Decompressed bytes of a gzip stream (RFC 1952). Every member of a
/// multi-member stream is read; zero padding after a member is skipped; the
/// CRC-32 and length of each member are checked.
std::unique_ptr<ByteSource> make_gzip_source(std::unique_ptr<ByteSource> compressed);

/// Decompressed bytes of a Unix compress stream (.Z: LZW with 9 to 16 bit
/// codes, block mode or not). A truncated or corrupt stream is an Io error.
std::unique_ptr<ByteSource> make_lzw_source(std::unique_ptr<ByteSource> compressed);
/// RINEX observation text decoded from compact RINEX (versions 1.0 and 3.0)
/// text, byte for byte what the format's reference decoder writes. Errors
/// name the compact line where decoding failed.
std::unique_ptr<ByteSource> make_compact_rinex_source(std::unique_ptr<ByteSource> compact);

/// Reads from `fd`, retrying interrupted reads.
util::Result<std::size_t> read_fd(int fd, char* dst, std::size_t cap);

}  // namespace skarvo::io

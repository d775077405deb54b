#include "io/byte_source.hpp"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <unistd.h>

namespace skarvo::io {
namespace {

using util::GnssError;
using util::Result;

constexpr std::size_t gzip_input_size = 128 * 1024;

class FdSource final : public ByteSource {
public:
    explicit FdSource(int fd) : fd_(fd) {}
    ~FdSource() override { ::close(fd_); }
    Result<std::size_t> read(char* dst, std::size_t cap) override { return read_fd(fd_, dst, cap); }

private:
    int fd_;
};

class MemorySource final : public ByteSource {
public:
    explicit MemorySource(std::string_view data) : data_(data) {}
    Result<std::size_t> read(char* dst, std::size_t cap) override {
        const std::size_t n = std::min(cap, data_.size());
        std::memcpy(dst, data_.data(), n);
        data_.remove_prefix(n);
        return n;
    }

private:
    std::string_view data_;
};

// gzip (RFC 1952) decoder over the compressed bytes of another source.
// Members follow one another until the input ends.
class GzipSource final : public ByteSource {
public:
    explicit GzipSource(std::unique_ptr<ByteSource> in) : in_source_(std::move(in)), in_(new char[gzip_input_size]) {
        // 16 + MAX_WBITS: gzip wrapper only (no raw deflate, no zlib wrapper).
        init_ok_ = inflateInit2(&zs_, 16 + MAX_WBITS) == Z_OK;
    }
    ~GzipSource() override {
        if (init_ok_) inflateEnd(&zs_);
    }

    Result<std::size_t> read(char* dst, std::size_t cap) override {
        if (!init_ok_) return GnssError::io("gzip decoder could not be initialised (out of memory)");
        const uInt want = static_cast<uInt>(std::min<std::size_t>(cap, UINT_MAX));
        zs_.next_out = reinterpret_cast<Bytef*>(dst);
        zs_.avail_out = want;
        while (zs_.avail_out == want) {
            if (zs_.avail_in == 0) {
                if (auto st = fill_input(); !st) return std::move(st).error();
                if (zs_.avail_in == 0) {
                    if (in_member_ || !seen_member_)
                        return GnssError::io("unexpected end of gzip stream (truncated file)");
                    return std::size_t{0};
                }
            }
            if (!in_member_) {
                // Between members: zero padding is skipped; anything else
                // must be the start of the next member.
                if (seen_member_) {
                    while (zs_.avail_in > 0 && *zs_.next_in == 0) {
                        ++zs_.next_in;
                        --zs_.avail_in;
                    }
                    if (zs_.avail_in == 0) continue;
                    if (inflateReset(&zs_) != Z_OK) return GnssError::io("gzip decoder could not be reset");
                }
                in_member_ = true;
                seen_member_ = true;
            }
            const int rc = inflate(&zs_, Z_NO_FLUSH);
            if (rc == Z_STREAM_END) {
                in_member_ = false;
            } else if (rc == Z_BUF_ERROR) {
                // No progress without more input; the loop fetches it.
                if (zs_.avail_in != 0) return GnssError::io("corrupt gzip stream");
            } else if (rc != Z_OK) {
                std::string text = "corrupt gzip stream";
                if (rc == Z_MEM_ERROR) text = "gzip decoder ran out of memory";
                else if (zs_.msg) text += std::string(": ") + zs_.msg;
                return GnssError::io(std::move(text));
            }
        }
        return static_cast<std::size_t>(want - zs_.avail_out);
    }

private:
    util::Status fill_input() {
        if (input_done_) return util::ok_status();
        auto n = in_source_->read(in_.get(), gzip_input_size);
        if (!n) return std::move(n).error();
        if (*n == 0) input_done_ = true;
        zs_.next_in = reinterpret_cast<Bytef*>(in_.get());
        zs_.avail_in = static_cast<uInt>(*n);
        return util::ok_status();
    }

    std::unique_ptr<ByteSource> in_source_;
    std::unique_ptr<char[]> in_;
    z_stream zs_{};
    bool init_ok_ = false;
    bool input_done_ = false;
    bool in_member_ = false;
    bool seen_member_ = false;
};

}  // namespace

Result<std::size_t> read_fd(int fd, char* dst, std::size_t cap) {
    for (;;) {
        const ssize_t n = ::read(fd, dst, std::min<std::size_t>(cap, INT_MAX));
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno != EINTR) return GnssError::from_errno(errno);
    }
}

std::unique_ptr<ByteSource> make_fd_source(int fd) { return std::make_unique<FdSource>(fd); }
std::unique_ptr<ByteSource> make_memory_source(std::string_view data) { return std::make_unique<MemorySource>(data); }
std::unique_ptr<ByteSource> make_gzip_source(std::unique_ptr<ByteSource> compressed) {
    return std::make_unique<GzipSource>(std::move(compressed));
}

}  // namespace skarvo::io

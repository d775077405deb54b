#include "rinex/line_reader.hpp"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <unistd.h>

#include "utils/text.hpp"

namespace skarvo::rinex {
namespace {

using util::GnssError;
using util::Result;

// Large enough that a refill (and, for gzip, an inflate call) is amortised
// over many lines, small enough to stay in the L2 cache while being parsed.
constexpr std::size_t line_buffer_size = 256 * 1024;
constexpr std::size_t gzip_input_size = 128 * 1024;

Result<std::size_t> read_fd(int fd, char* dst, std::size_t cap) {
    for (;;) {
        const ssize_t n = ::read(fd, dst, std::min<std::size_t>(cap, INT_MAX));
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno != EINTR) return GnssError::from_errno(errno);
    }
}

class FdSource final : public ByteSource {
public:
    explicit FdSource(int fd) : fd_(fd) {}
    ~FdSource() override { ::close(fd_); }
    Result<std::size_t> read(char* dst, std::size_t cap) override { return read_fd(fd_, dst, cap); }

private:
    int fd_;
};

// gzip (RFC 1952) decoder over compressed bytes that come either from a file
// descriptor or from memory. Members follow one another until the input ends.
class GzipSource final : public ByteSource {
public:
    GzipSource(int fd, std::string_view memory) : fd_(fd) {
        if (fd_ < 0) {
            zs_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(memory.data()));
            memory_left_ = memory.size();
            feed_memory();
            input_done_ = memory_left_ == 0 && zs_.avail_in == 0;
        } else {
            in_.reset(new char[gzip_input_size]);
        }
        // 16 + MAX_WBITS: gzip wrapper only (no raw deflate, no zlib wrapper).
        init_ok_ = inflateInit2(&zs_, 16 + MAX_WBITS) == Z_OK;
    }
    ~GzipSource() override {
        if (init_ok_) inflateEnd(&zs_);
        if (fd_ >= 0) ::close(fd_);
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
    void feed_memory() {
        const std::size_t n = std::min<std::size_t>(memory_left_, UINT_MAX);
        zs_.avail_in = static_cast<uInt>(n);
        memory_left_ -= n;
    }

    util::Status fill_input() {
        if (input_done_) return util::ok_status();
        if (fd_ < 0) {
            // zs_.next_in already points just past the consumed bytes.
            if (memory_left_ == 0) {
                input_done_ = true;
                return util::ok_status();
            }
            feed_memory();
            return util::ok_status();
        }
        auto n = read_fd(fd_, in_.get(), gzip_input_size);
        if (!n) return std::move(n).error();
        if (*n == 0) input_done_ = true;
        zs_.next_in = reinterpret_cast<Bytef*>(in_.get());
        zs_.avail_in = static_cast<uInt>(*n);
        return util::ok_status();
    }

    int fd_;
    z_stream zs_{};
    std::unique_ptr<char[]> in_;
    std::size_t memory_left_ = 0;
    bool init_ok_ = false;
    bool input_done_ = false;
    bool in_member_ = false;
    bool seen_member_ = false;
};

// True when no byte of [p, p + n) has its high bit set. Written as a plain
// reduction so that the compiler vectorises it.
bool all_ascii(const char* p, std::size_t n) noexcept {
    unsigned char acc = 0;
    for (std::size_t i = 0; i < n; ++i) acc |= static_cast<unsigned char>(p[i]);
    return acc < 0x80;
}

}  // namespace

std::unique_ptr<ByteSource> make_fd_source(int fd) { return std::make_unique<FdSource>(fd); }
std::unique_ptr<ByteSource> make_gzip_fd_source(int fd) { return std::make_unique<GzipSource>(fd, std::string_view{}); }
std::unique_ptr<ByteSource> make_gzip_memory_source(std::string_view data) {
    return std::make_unique<GzipSource>(-1, data);
}

LineReader::LineReader(std::string_view text) : pos_(text.data()), end_(text.data() + text.size()), eof_(true) {}

LineReader::LineReader(std::unique_ptr<ByteSource> source)
    : source_(std::move(source)), buf_(new char[line_buffer_size]), cap_(line_buffer_size) {
    pos_ = end_ = buf_.get();
}

LineReader::~LineReader() = default;

bool LineReader::refill() {
    // Keep the unfinished line, move it to the front, grow when it fills the buffer.
    const std::size_t keep = static_cast<std::size_t>(end_ - pos_);
    if (keep > 0 && pos_ != buf_.get()) std::memmove(buf_.get(), pos_, keep);
    if (keep == cap_) {
        const std::size_t cap = cap_ * 2;
        std::unique_ptr<char[]> bigger(new char[cap]);
        std::memcpy(bigger.get(), buf_.get(), keep);
        buf_ = std::move(bigger);
        cap_ = cap;
    }
    pos_ = buf_.get();
    end_ = pos_ + keep;
    auto n = source_->read(buf_.get() + keep, cap_ - keep);
    if (!n) {
        error_ = std::move(n).error();
        return false;
    }
    if (*n == 0) eof_ = true;
    end_ += *n;
    return true;
}

bool LineReader::next(Line& line) {
    if (error_) return false;
    const char* start;
    const char* stop;
    std::size_t scanned = 0;  // bytes of the unfinished line already searched
    for (;;) {
        const std::size_t avail = static_cast<std::size_t>(end_ - pos_);
        const void* nl = avail > scanned ? std::memchr(pos_ + scanned, '\n', avail - scanned) : nullptr;
        if (nl) {
            start = pos_;
            stop = static_cast<const char*>(nl);
            pos_ = stop + 1;
            break;
        }
        if (eof_) {
            if (pos_ == end_) return false;
            start = pos_;
            stop = end_;
            pos_ = end_;
            break;
        }
        scanned = avail;
        if (!refill()) return false;
    }
    while (stop > start && stop[-1] == '\r') --stop;
    const std::size_t len = static_cast<std::size_t>(stop - start);
    line.text = std::string_view(start, len);
    line.index = index_++;
    line.ascii = all_ascii(start, len);
    if (!line.ascii && !util::valid_utf8(line.text)) {
        error_ = GnssError::io("stream did not contain valid UTF-8");
        return false;
    }
    return true;
}

}  // namespace skarvo::rinex

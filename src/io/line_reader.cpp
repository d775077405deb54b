#include "io/line_reader.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <unistd.h>

#include "utils/text.hpp"

namespace skarvo::io {
namespace {

using util::GnssError;
using util::Result;

// Large enough that a refill (and, for gzip, an inflate call) is amortised
// over many lines, small enough to stay in the L2 cache while being parsed.
constexpr std::size_t line_buffer_size = 256 * 1024;
// No observation line comes near this; the limit keeps a stream without line
// feeds (a corrupt or hostile gzip file that inflates to gigabytes) from
// growing the buffer without bound.
constexpr std::size_t max_line_bytes = 4 * 1024 * 1024;

// True when no byte of [p, p + n) has its high bit set. Written as a plain
// reduction so that the compiler vectorises it.
bool all_ascii(const char* p, std::size_t n) noexcept {
    unsigned char acc = 0;
    for (std::size_t i = 0; i < n; ++i) acc |= static_cast<unsigned char>(p[i]);
    return acc < 0x80;
}

}  // namespace

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
        if (cap_ >= max_line_bytes) {
            error_ = GnssError::io("line " + std::to_string(index_) + " is longer than " +
                                   std::to_string(max_line_bytes) + " bytes");
            return false;
        }
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

}  // namespace skarvo::io

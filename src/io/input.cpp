#include "io/input.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace skarvo::io {
namespace {

using util::GnssError;
using util::Result;

// Enough to see the magic numbers.
constexpr std::size_t sniff_bytes = 512;

// Expected size of the text of a gzip stream: the uncompressed size that the
// trailer gives for the last member, trusted only up to a ratio that RINEX
// text does not exceed, so that a damaged trailer cannot make us reserve
// gigabytes.
constexpr std::uint64_t max_gzip_ratio = 16;

std::uint64_t gzip_size_hint(const unsigned char* trailer, std::uint64_t compressed) {
    if (compressed < 18 || !trailer) return compressed * 4;
    const std::uint64_t isize = trailer[0] | (std::uint64_t{trailer[1]} << 8) | (std::uint64_t{trailer[2]} << 16) |
                                (std::uint64_t{trailer[3]} << 24);
    return std::clamp(isize, compressed, compressed * max_gzip_ratio);
}

// A source whose first bytes were read ahead to look at them, and are
// handed out again before the rest.
class PeekSource final : public ByteSource {
public:
    explicit PeekSource(std::unique_ptr<ByteSource> in) : in_(std::move(in)) {}

    /// Reads ahead until `want` bytes are held or the input ends.
    util::Status fill(std::size_t want) {
        head_.resize(want);
        std::size_t have = 0;
        while (have < want) {
            auto n = in_->read(head_.data() + have, want - have);
            if (!n) return std::move(n).error();
            if (*n == 0) break;
            have += *n;
        }
        head_.resize(have);
        return util::ok_status();
    }
    std::string_view head() const noexcept { return head_; }

    Result<std::size_t> read(char* dst, std::size_t cap) override {
        if (served_ < head_.size()) {
            const std::size_t n = std::min(cap, head_.size() - served_);
            std::memcpy(dst, head_.data() + served_, n);
            served_ += n;
            return n;
        }
        return in_->read(dst, cap);
    }

private:
    std::unique_ptr<ByteSource> in_;
    std::string head_;
    std::size_t served_ = 0;
};

struct FileInfo {
    std::uint64_t size = 0;      // bytes on disk (0 when not a regular file)
    const unsigned char* gzip_trailer = nullptr;
};

const char* name_of(Packing p) {
    switch (p) {
        case Packing::Gzip: return "gzip";
        case Packing::Compress: return "compress (.Z)";
        case Packing::Compact: return "compact RINEX";
        case Packing::Plain: break;
    }
    return "plain text";
}

// The text of a compact file is about three times its size.
constexpr std::uint64_t compact_ratio = 3;
// Unix compress packs RINEX text about three to one.
constexpr std::uint64_t compress_ratio = 3;

// Builds the decoders for the bytes of `raw`.
Result<TextInput> decode(std::unique_ptr<ByteSource> raw, const FileInfo& info) {
    auto peek = std::make_unique<PeekSource>(std::move(raw));
    if (auto st = peek->fill(sniff_bytes); !st) return std::move(st).error();
    const Packing outer = packing_of(peek->head());
    std::unique_ptr<ByteSource> source = std::move(peek);
    std::uint64_t hint = info.size;
    if (outer == Packing::Gzip || outer == Packing::Compress) {
        hint = outer == Packing::Gzip ? gzip_size_hint(info.gzip_trailer, info.size) : info.size * compress_ratio;
        auto inner = std::make_unique<PeekSource>(outer == Packing::Gzip ? make_gzip_source(std::move(source))
                                                                         : make_lzw_source(std::move(source)));
        if (auto st = inner->fill(sniff_bytes); !st) return std::move(st).error();
        const Packing p = packing_of(inner->head());
        if (p == Packing::Gzip || p == Packing::Compress)
            return GnssError::io(std::string("line 1: ") + name_of(outer) + " data holding " + name_of(p) +
                                 " data; nested compression is not read, unpack the outer layer first");
        source = std::move(inner);
        if (p == Packing::Compact) {
            source = make_compact_rinex_source(std::move(source));
            hint *= compact_ratio;
        }
    } else if (outer == Packing::Compact) {
        source = make_compact_rinex_source(std::move(source));
        hint *= compact_ratio;
    }
    TextInput input;
    input.size_hint = hint;
    input.lines = std::make_unique<LineReader>(std::move(source));
    return input;
}

}  // namespace

Packing packing_of(std::string_view head) noexcept {
    if (head.size() >= 2 && static_cast<unsigned char>(head[0]) == 0x1f) {
        if (static_cast<unsigned char>(head[1]) == 0x8b) return Packing::Gzip;
        if (static_cast<unsigned char>(head[1]) == 0x9d) return Packing::Compress;
    }
    const std::size_t nl = head.find('\n');
    std::string_view first = head.substr(0, nl);
    if (first.size() >= 80 && first.substr(60, 20) == "CRINEX VERS   / TYPE") return Packing::Compact;
    return Packing::Plain;
}

Result<TextInput> open_fd(int fd) {
    auto source = make_fd_source(fd);  // owns fd from here on
    FileInfo info;
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) info.size = static_cast<std::uint64_t>(st.st_size);
    unsigned char trailer[4];
    if (info.size >= 18 && ::pread(fd, trailer, 4, static_cast<off_t>(info.size - 4)) == 4) info.gzip_trailer = trailer;
    return decode(std::move(source), info);
}

Result<TextInput> open_file(const std::string& path) {
    if (path.find('\0') != std::string::npos) return GnssError::from_errno(ENOENT);
    int fd;
    do fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return GnssError::from_errno(errno);
    return open_fd(fd);
}

Result<std::string> decode_file(const std::string& path) {
    auto input = open_file(path);
    if (!input) return std::move(input).error();
    std::string text;
    text.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(input->size_hint, std::uint64_t{1} << 30)));
    Line line;
    LineReader& lines = *input->lines;
    while (lines.next(line)) {
        text.append(line.text);
        text += '\n';
    }
    if (lines.error()) return *lines.error();
    return text;
}

Result<TextInput> open_memory(std::string_view bytes) {
    if (packing_of(bytes.substr(0, sniff_bytes)) == Packing::Plain) {
        TextInput input;
        input.lines = std::make_unique<LineReader>(bytes);
        input.size_hint = bytes.size();
        return input;
    }
    FileInfo info;
    info.size = bytes.size();
    if (bytes.size() >= 18) info.gzip_trailer = reinterpret_cast<const unsigned char*>(bytes.data() + bytes.size() - 4);
    return decode(make_memory_source(bytes), info);
}

}  // namespace skarvo::io

#include "rinex/obs_reader.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "io/input.hpp"
#include "rinex/obs_header.hpp"
#include "rinex/obs_records.hpp"

namespace skarvo::rinex {
namespace {

using util::GnssError;
using util::Result;

// The extension of a file name: the text after its last ".", when the name is
// not ".." and that dot is not its first character.
std::string_view extension_of(std::string_view name) noexcept {
    if (name == "..") return {};
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return {};
    return name.substr(dot + 1);
}

Result<RinexObsData> read_path(const std::string& path) {
    struct stat st;
    if (path.find('\0') != std::string::npos || ::stat(path.c_str(), &st) != 0)
        return GnssError(util::ErrorKind::FileNotFound, path);
    int fd;
    do fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return GnssError::from_errno(errno);
    auto input = io::open_fd(fd);
    if (!input) return std::move(input).error();
    return parse_obs(*input->lines, input->size_hint);
}

// Removes the file when it goes out of scope.
struct TempFile {
    std::string path;
    ~TempFile() {
        if (!path.empty()) ::unlink(path.c_str());
    }
};

util::Status write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), std::min<std::size_t>(data.size(), INT_MAX));
        if (n < 0) {
            if (errno == EINTR) continue;
            return GnssError::from_errno(errno);
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return util::ok_status();
}

std::string quoted(std::string_view s) {
    std::string out;
    out.reserve(s.size() + 2);
    out += '\'';
    out += s;
    out += '\'';
    return out;
}

}  // namespace

Result<RinexObsData> parse_obs(LineReader& reader, std::uint64_t size_hint) {
    RinexObsData data;
    if (auto st = parse_header(reader, data.header); !st) return std::move(st).error();
    auto st = data.header.version.major == 2 ? parse_records_v2(reader, data, size_hint)
                                             : parse_records_v3(reader, data, size_hint);
    if (!st) return std::move(st).error();
    return data;
}

Result<RinexObsData> read_obs_file(const std::string& path) { return read_path(path); }

Result<RinexObsData> read_obs_buffer(std::string_view bytes) {
    auto input = io::open_memory(bytes);
    if (!input) return std::move(input).error();
    return parse_obs(*input->lines, input->size_hint);
}

std::string temp_directory() {
    const char* dir = std::getenv("TMPDIR");
    return dir && *dir ? std::string(dir) : std::string("/tmp");
}

Result<RinexObsData> read_obs_bytes(std::string_view data, std::string_view filename, const std::string& temp_dir,
                                    BytesStep& failed) {
    failed = BytesStep::CreateTemp;
    if (filename.empty()) return GnssError::io("the file name is empty");
    if (filename == "." || filename == "..") {
        std::string text = quoted(filename);
        text += " is not a file name";
        return GnssError::io(std::move(text));
    }
    if (filename.find('/') != std::string_view::npos) {
        std::string text = "the file name ";
        text += quoted(filename);
        text += " contains a path separator";
        return GnssError::io(std::move(text));
    }
    if (filename.find('\0') != std::string_view::npos)
        return GnssError::io("the file name contains a NUL character");
    if (temp_dir.find('\0') != std::string::npos)
        return GnssError::io("the temporary directory name contains a NUL character");

    // A unique name of our own, created exclusively, with the caller's
    // extension kept: concurrent calls never share a file and nothing
    // outside the temporary directory is touched.
    const std::string_view ext = extension_of(filename);
    std::string suffix;
    if (!ext.empty()) {
        suffix += '.';
        suffix += ext;
    }
    std::string path = temp_dir;
    if (path.empty() || path.back() != '/') path += '/';
    path += "skarvo-XXXXXX";
    path += suffix;
    const int fd = ::mkostemps(path.data(), static_cast<int>(suffix.size()), O_CLOEXEC);
    if (fd < 0) return GnssError::from_errno(errno);
    TempFile temp{path};

    failed = BytesStep::WriteTemp;
    auto written = write_all(fd, data);
    if (::close(fd) != 0 && written) written = GnssError::from_errno(errno);
    if (!written) return std::move(written).error();

    failed = BytesStep::Parse;
    return read_path(temp.path);
}

}  // namespace skarvo::rinex

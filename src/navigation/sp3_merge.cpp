// Several SP3 files read as one orbit: their epoch blocks in time order, each
// epoch once, under the header of the first file.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "io/input.hpp"
#include "navigation/sp3.hpp"
#include "utils/text.hpp"
#include "utils/time.hpp"

namespace skarvo::nav {

namespace {

constexpr std::int64_t us_per_day = 86'400'000'000;

// Microseconds of `second` in [0, 61): whole seconds exactly, the fraction
// scaled and its remainder rounded half to even on the total.
std::int64_t microseconds_of(double second) noexcept {
    double whole_s;
    const double frac_s = std::modf(second, &whole_s);
    std::int64_t us = static_cast<std::int64_t>(whole_s) * 1'000'000;
    if (frac_s == 0.0) return us;
    double whole_us;
    const double rest = std::modf(frac_s * 1e6, &whole_us);
    us += static_cast<std::int64_t>(whole_us);
    if (rest != 0.0) {
        double add = std::round(rest);
        if (std::fabs(add - rest) == 0.5) {
            const double odd = static_cast<double>(us & 1);
            add = 2.0 * std::round((rest + odd) * 0.5) - odd;
        }
        us += static_cast<std::int64_t>(add);
    }
    return us;
}

// The instant of an epoch line ("*  2021  1  1  0 15  0.00000000") in
// microseconds since 1970, or false: six numbers after the '*', a valid date
// in years 1-9999, hour 0-23, minute 0-59, the second in [0, 61), the sum
// before year 10000.
bool epoch_key(std::string_view line, std::int64_t& key) noexcept {
    std::string_view words[6];
    std::size_t count = 0;
    util::for_each_word(line.substr(1), [&](std::string_view w) {
        words[count++] = w;
        return count < 6;
    });
    if (count < 6) return false;
    std::int64_t year, month, day, hour, minute;
    double second;
    if (!util::parse_int(words[0], year) || !util::parse_int(words[1], month) || !util::parse_int(words[2], day) ||
        !util::parse_int(words[3], hour) || !util::parse_int(words[4], minute) || !util::parse_f64(words[5], second))
        return false;
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > 31 ||
        !util::is_valid_date(year, static_cast<std::uint32_t>(month), static_cast<std::uint32_t>(day)))
        return false;
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || !(second >= 0.0 && second < 61.0)) return false;
    key = util::days_from_civil(year, month, day) * us_per_day + (hour * 3600 + minute * 60) * 1'000'000 +
          microseconds_of(second);
    return key < util::days_from_civil(10000, 1, 1) * us_per_day;
}

// One epoch line and the lines after it: [begin, end) of the kept lines.
struct Block {
    std::int64_t key;
    std::size_t begin, end;
};

// The lines of all files, copied once; views are made when all are read.
struct Kept {
    std::string text;
    std::vector<std::size_t> ends;  // end of each line in `text`

    void add(std::string_view line) {
        text.append(line);
        ends.push_back(text.size());
    }
    std::string_view line(std::size_t k) const {
        const std::size_t b = k == 0 ? 0 : ends[k - 1];
        return std::string_view(text).substr(b, ends[k] - b);
    }
};

// The error of one of several files, naming it.
util::GnssError naming(const std::string& path, const util::GnssError& e) {
    return util::GnssError::io(path + ": " + (e.kind() == util::ErrorKind::Io ? e.text() : e.message()));
}

// Splits one file into its header (kept for the first file only) and its
// epoch blocks.
util::Result<bool> split(const std::string& path, bool keep_header, Kept& kept, std::vector<std::size_t>& header,
                         std::vector<Block>& blocks) {
    auto input = io::open_file(path);
    if (!input) return naming(path, input.error());
    io::LineReader& lines = *input->lines;
    const std::size_t first_block = blocks.size();
    bool in_block = false;
    io::Line line;
    while (lines.next(line)) {
        const std::string_view s = line.text;
        if (s.starts_with("EOF")) {
            in_block = false;
        } else if (s.starts_with('*')) {
            std::int64_t key;
            in_block = epoch_key(s, key);
            if (in_block) {
                blocks.push_back({key, kept.ends.size(), kept.ends.size() + 1});
                kept.add(s);
            }
        } else if (in_block) {
            kept.add(s);
            blocks.back().end = kept.ends.size();
        } else if (keep_header && blocks.size() == first_block) {
            header.push_back(kept.ends.size());
            kept.add(s);
        }
    }
    if (lines.error()) return naming(path, *lines.error());
    return true;
}

}  // namespace

util::Result<Sp3Data> read_sp3_files(std::span<const std::string> paths) {
    if (paths.empty()) return util::GnssError::io("no SP3 file given");
    if (paths.size() == 1) return read_sp3_file(paths.front());
    Kept kept;
    std::vector<std::size_t> header;
    std::vector<Block> blocks;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        auto r = split(paths[i], i == 0, kept, header, blocks);
        if (!r) return std::move(r).error();
    }
    // Stable: among blocks of one epoch the one read first stays first.
    std::stable_sort(blocks.begin(), blocks.end(), [](const Block& a, const Block& b) { return a.key < b.key; });
    std::vector<std::string_view> lines;
    lines.reserve(kept.ends.size());
    for (const std::size_t k : header) lines.push_back(kept.line(k));
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        if (b > 0 && blocks[b].key == blocks[b - 1].key) continue;
        for (std::size_t k = blocks[b].begin; k < blocks[b].end; ++k) lines.push_back(kept.line(k));
    }
    return read_sp3_lines(lines);
}

}  // namespace skarvo::nav

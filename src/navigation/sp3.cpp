// SP3 reader: line classification by the first byte, fixed byte columns,
// lenient field conversion.
#include "navigation/sp3.hpp"

#include <cmath>

#include "io/input.hpp"
#include "utils/text.hpp"

namespace skarvo::nav {

namespace {

using util::Satellite;
using util::Epoch;

// Missing numbers take these values.
constexpr double default_interval_s = 900.0;
constexpr double bad_clock_us = 999999.999999;
// Clocks beyond this mark the record as unusable (the format writes
// 999999.999999 for an unknown clock).
constexpr double max_clock_us = 900000.0;

class Sp3Parser {
public:
    void line(std::string_view s) {
        if (s.empty()) return;
        switch (s[0]) {
            case '#':
                if (s.size() >= 2 && s[1] == '#') header2(s);
                else if (s.size() >= 2 && s[1] >= 'a' && s[1] <= 'd') header1(s);
                break;
            case '*': epoch_line(s); break;
            case 'P': position_line(s); break;
            default: break;  // comments, satellite lists, velocities, EOF...
        }
    }

    Sp3Data finish() {
        data_.build_index();
        return std::move(data_);
    }

private:
    void header1(std::string_view s) {
        if (s.size() < 60) return;
        std::uint64_t n = 0;
        if (!util::parse_int_field(util::field(s, 32, 7), n)) n = 0;
        data_.num_epochs = n;
    }

    void header2(std::string_view s) {
        if (s.size() < 60) return;
        double v;
        data_.interval = util::parse_f64_field(util::field(s, 24, 14), v) ? v : default_interval_s;
    }

    void epoch_line(std::string_view s) {
        if (s.size() < 31) return;
        std::string_view words[6];
        std::size_t count = 0;
        util::for_each_word(util::field(s, 3, 28), [&](std::string_view w) {
            words[count++] = w;
            return count < 6;
        });
        if (count < 6) return;
        Epoch e;
        if (!util::parse_int(words[0], e.year) || !util::parse_int(words[1], e.month) ||
            !util::parse_int(words[2], e.day) || !util::parse_int(words[3], e.hour) ||
            !util::parse_int(words[4], e.minute) || !util::parse_f64(words[5], e.second))
            return;
        epoch_ = e;
        data_.epochs.push_back(e);
    }

    void position_line(std::string_view s) {
        if (!epoch_ || s.size() < 60) return;
        const auto sat = satellite(util::field(s, 1, 3));
        if (!sat) return;
        Sp3Record r;
        r.epoch = *epoch_;
        r.x = coordinate_m(util::field(s, 4, 14));
        r.y = coordinate_m(util::field(s, 18, 14));
        r.z = coordinate_m(util::field(s, 32, 14));
        if (!util::parse_f64_field(util::field(s, 46, 14), r.clock_us)) r.clock_us = bad_clock_us;
        if (std::fabs(r.clock_us) > max_clock_us) return;

        const std::uint64_t key = util::sort_key(*sat);
        auto [it, added] = slot_.try_emplace(key, static_cast<std::uint32_t>(data_.satellites.size()));
        if (added) {
            data_.satellites.push_back(*sat);
            data_.positions.emplace_back();
        }
        data_.positions[it->second].push_back(r);
    }

    // Identifiers of older writers leave the system letter blank ("  1"),
    // which the format defines as GPS.
    static std::optional<Satellite> satellite(std::string_view f) {
        if (auto sat = util::parse_satellite(f)) return sat;
        if (f.size() == 3 && f[0] == ' ') {
            const char buf[3] = {'G', f[1], f[2]};
            return util::parse_satellite(std::string_view(buf, 3));
        }
        return std::nullopt;
    }

    static double coordinate_m(std::string_view f) {
        double km;
        return util::parse_f64_field(f, km) ? km * 1000.0 : 0.0;
    }

    Sp3Data data_;
    std::optional<Epoch> epoch_;
    std::unordered_map<std::uint64_t, std::uint32_t> slot_;
};

// Every line goes to the parser; the line reader has already dropped the
// line feed and trailing carriage returns and checked the UTF-8.
util::Result<Sp3Data> read_lines(io::LineReader& lines) {
    Sp3Parser parser;
    io::Line line;
    while (lines.next(line)) parser.line(line.text);
    if (lines.error()) return *lines.error();
    return parser.finish();
}

}  // namespace

Sp3Data read_sp3_lines(std::span<const std::string_view> lines) {
    Sp3Parser parser;
    for (const std::string_view line : lines) parser.line(line);
    return parser.finish();
}

util::Result<Sp3Data> read_sp3_buffer(std::string_view bytes) {
    auto input = io::open_memory(bytes);
    if (!input) return std::move(input).error();
    return read_lines(*input->lines);
}

util::Result<Sp3Data> read_sp3_file(const std::string& path) {
    auto input = io::open_file(path);
    if (!input) return std::move(input).error();
    return read_lines(*input->lines);
}

}  // namespace skarvo::nav

// RINEX navigation reader: header checks, record boundaries of versions 2,
// 3 and 4, fixed 19-column number fields with Fortran or C exponents.
//
// The reader is strict where leniency would hide damage: every non-blank
// number field must read as a number, every record must have the lines its
// message needs, and the file must say it holds navigation data. Blank
// fields, short lines (missing trailing fields) and blank lines are normal.
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>

#include "io/input.hpp"
#include "navigation/nav_data.hpp"
#include "utils/text.hpp"

namespace skarvo::nav {

namespace {

using util::GnssSystem;
using util::Satellite;
using util::ErrorKind;
using util::GnssError;
using util::Result;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double week_s = 604800.0;
constexpr double hour_s = 3600.0;
constexpr std::size_t max_record_lines = 12;

// Seconds between BeiDou time and GPS time (BDT = GPST - 14 s).
constexpr double bdt_to_gpst_s = 14.0;

GnssError nav_error(std::uint64_t index, const std::string& text) {
    return GnssError(ErrorKind::NavigationFile, "line " + std::to_string(index + 1) + ": " + text);
}

// A piece of a damaged line for an error message: ASCII only (a cut can
// fall inside a multi-byte character), control characters as '?'.
std::string printable(std::string_view s) {
    std::string out;
    for (char c : s.substr(0, 40)) {
        const auto u = static_cast<unsigned char>(c);
        out += (u < 0x20 || u >= 0x7f) ? '?' : c;
    }
    return out;
}

// Exact powers of ten: a product or quotient of an integer below 2^53 and
// one of these is correctly rounded (the classic fast path of decimal
// conversion), so the result equals the general parser's.
constexpr double exact_pow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                  1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The common form "-1.234567890123e-05" (D or E exponent, at most 15
// significant digits); false hands the text to the general parser.
bool fast_number(std::string_view s, double& out) noexcept {
    std::size_t i = 0;
    const bool neg = s[0] == '-';
    if (neg || s[0] == '+') ++i;
    std::uint64_t m = 0;
    int digits = 0, frac = 0;
    bool point = false, any_digit = false;
    for (; i < s.size(); ++i) {
        const char c = s[i];
        if (c >= '0' && c <= '9') {
            if (digits == 15) return false;
            m = m * 10 + static_cast<unsigned>(c - '0');
            any_digit = true;
            if (m != 0 || point) ++digits;
            if (point) ++frac;
        } else if (c == '.' && !point) {
            point = true;
        } else {
            break;
        }
    }
    if (!any_digit) return false;
    int exp = 0;
    if (i < s.size()) {
        const char c = s[i];
        if (c != 'E' && c != 'e' && c != 'D' && c != 'd') return false;
        ++i;
        bool eneg = false;
        if (i < s.size() && (s[i] == '-' || s[i] == '+')) eneg = s[i++] == '-';
        if (i == s.size() || s.size() - i > 3) return false;
        for (; i < s.size(); ++i) {
            if (s[i] < '0' || s[i] > '9') return false;
            exp = exp * 10 + (s[i] - '0');
        }
        if (eneg) exp = -exp;
    }
    const int e10 = exp - frac;
    if (e10 < -22 || e10 > 22) return false;
    const double v = static_cast<double>(m);
    out = e10 < 0 ? v / exact_pow10[-e10] : v * exact_pow10[e10];
    if (neg) out = -out;
    return true;
}

// One number field: blank is missing (NaN); anything else must be a number,
// with D, d, E or e before the exponent.
bool number(std::string_view f, double& out) {
    f = util::trim_fast(f);
    if (f.empty()) {
        out = nan;
        return true;
    }
    if (fast_number(f, out)) return true;
    if (f.size() > 40) return false;
    char buf[40];
    std::size_t n = 0;
    for (char c : f) buf[n++] = (c == 'D' || c == 'd') ? 'E' : c;
    std::string_view s(buf, n);
    if (s[0] == '+') s.remove_prefix(1);
    if (s.empty() || !(std::isdigit(static_cast<unsigned char>(s[0])) || s[0] == '-' || s[0] == '.')) return false;
    return util::parse_f64(s, out) && std::isfinite(out);
}

// Which message a record carries and how it is laid out.
enum class Message : std::uint8_t { Legacy, Glonass, Sbas, Modern, Unknown };

struct Layout {
    Message message = Message::Legacy;
    std::size_t min_lines = 8;  // lines of the record, its first line included
    std::size_t max_lines = 8;
};

Layout legacy_layout(GnssSystem s) {
    switch (s) {
        case GnssSystem::GLONASS: return {Message::Glonass, 4, 5};  // 5 from version 3.05 on
        case GnssSystem::SBAS: return {Message::Sbas, 4, 4};
        // The last line holds only the transmission time (and fit interval):
        // writers that drop a blank last line lose nothing the orbit needs.
        default: return {Message::Legacy, 7, 8};
    }
}

// Version 4 message types: the legacy ones use the layout of version 3.
Layout v4_layout(GnssSystem s, std::string_view msg) {
    if (msg == "LNAV" || msg == "INAV" || msg == "FNAV" || msg == "D1" || msg == "D2") {
        if (s == GnssSystem::GLONASS || s == GnssSystem::SBAS) return {Message::Unknown, 1, max_record_lines};
        return {Message::Legacy, 7, 8};
    }
    if (msg == "FDMA" && s == GnssSystem::GLONASS) return {Message::Glonass, 5, 5};
    if (msg == "SBAS" && s == GnssSystem::SBAS) return {Message::Sbas, 4, 4};
    if (msg == "CNAV" || msg == "CNV3") return {Message::Modern, 9, 9};
    if (msg == "CNV1" || msg == "CNV2") return {Message::Modern, 10, 10};
    return {Message::Unknown, 1, max_record_lines};
}

class NavParser {
public:
    // Returns an error to stop the read.
    std::optional<GnssError> line(std::string_view s, std::uint64_t index) {
        switch (state_) {
            case State::Start: return first_line(s, index);
            case State::Header: return header_line(s, index);
            case State::Body: return body_line(s, index);
        }
        return std::nullopt;
    }

    Result<NavData> finish(std::uint64_t lines_read) {
        if (state_ == State::Start) return GnssError(ErrorKind::NavigationFile, "the file is empty");
        if (state_ == State::Header)
            return nav_error(lines_read == 0 ? 0 : lines_read - 1, "the header has no END OF HEADER line");
        if (auto err = flush()) return std::move(*err);
        data_.build_index();
        return std::move(data_);
    }

private:
    enum class State : std::uint8_t { Start, Header, Body };

    static std::string_view label(std::string_view s) { return util::trim_fast(util::tail(s, 60)); }

    std::optional<GnssError> first_line(std::string_view s, std::uint64_t index) {
        if (util::trim_fast(s).empty()) return std::nullopt;
        if (label(s) != "RINEX VERSION / TYPE")
            return nav_error(index, "not a RINEX file: the first line is not RINEX VERSION / TYPE");
        double v;
        if (!util::parse_f64_field(util::field(s, 0, 9), v) || !std::isfinite(v))
            return nav_error(index, "unreadable RINEX version '" + printable(util::trim_fast(util::field(s, 0, 9))) + "'");
        major_ = static_cast<int>(std::floor(v));
        if (major_ < 2 || major_ > 4)
            return GnssError(ErrorKind::UnsupportedVersion, util::shortest_decimal(v));
        data_.version = v;
        const char type = s.size() > 20 ? util::ascii_upper(s[20]) : ' ';
        if (major_ == 2) {
            switch (type) {
                case 'N': v2_system_ = GnssSystem::GPS; break;
                case 'G': v2_system_ = GnssSystem::GLONASS; break;
                case 'H': v2_system_ = GnssSystem::SBAS; break;
                case 'E':
                case 'L': v2_system_ = GnssSystem::Galileo; break;
                default: return wrong_type(type, index);
            }
        } else if (type != 'N') {
            return wrong_type(type, index);
        }
        state_ = State::Header;
        return std::nullopt;
    }

    static GnssError wrong_type(char type, std::uint64_t index) {
        if (type == 'O') return nav_error(index, "an observation file, not a navigation file");
        if (type == 'M') return nav_error(index, "a meteorological file, not a navigation file");
        return nav_error(index, std::string("file type '") + (type >= 0x20 && type < 0x7f ? type : '?') +
                                    "' is not navigation data");
    }

    std::optional<GnssError> header_line(std::string_view s, std::uint64_t index) {
        const std::string_view l = label(s);
        if (l == "END OF HEADER") {
            state_ = State::Body;
        } else if (l == "LEAP SECONDS") {
            int n;
            if (util::parse_int_field(util::field(s, 0, 6), n)) data_.leap_seconds = n;
        } else if (l == "RINEX VERSION / TYPE") {
            return nav_error(index, "a second RINEX VERSION / TYPE line inside the header");
        }
        return std::nullopt;
    }

    std::optional<GnssError> body_line(std::string_view s, std::uint64_t index) {
        if (util::trim_fast(s).empty()) return std::nullopt;
        if (major_ == 4) {
            if (s[0] == '>') {
                if (auto err = flush()) return err;
                return v4_record_start(s, index);
            }
            if (skipping_) return std::nullopt;
            if (count_ == 0 && !open_) return nav_error(index, "data line outside any record");
            return append(s, index);
        }
        // Version 2: the first line of a record has its PRN in columns 1-2;
        // continuation lines leave the first three columns blank. Version 3:
        // the first line starts with the satellite, continuations with four
        // blanks.
        const bool start = major_ == 2 ? (s.size() > 1 && s[1] != ' ') || s[0] != ' ' : s[0] != ' ';
        if (start) {
            if (auto err = flush()) return err;
            open_ = true;
            layout_ = {};
            return append(s, index);
        }
        if (!open_) return nav_error(index, "continuation line without a record");
        return append(s, index);
    }

    std::optional<GnssError> v4_record_start(std::string_view s, std::uint64_t index) {
        std::array<std::string_view, 4> w{};
        std::size_t n = 0;
        util::for_each_word(s.substr(1), [&](std::string_view x) {
            w[n++] = x;
            return n < w.size();
        });
        skipping_ = true;
        open_ = false;
        if (n == 0) return nav_error(index, "record line '>' without a record type");
        if (w[0] != "EPH") {
            if (w[0] == "STO" || w[0] == "EOP" || w[0] == "ION") return std::nullopt;
            return nav_error(index, "unknown record type '" + printable(w[0]) + "'");
        }
        if (n < 3) return nav_error(index, "EPH record line without satellite and message type");
        const auto sat = util::parse_satellite(w[1]);
        if (!sat || w[1].size() != 3) return nav_error(index, "invalid satellite '" + printable(w[1]) + "'");
        skipping_ = false;
        open_ = true;
        v4_sat_ = *sat;
        layout_ = v4_layout(sat->system, w[2]);
        record_start_ = index;
        count_ = 0;
        has_layout_ = true;
        return std::nullopt;
    }

    std::optional<GnssError> append(std::string_view s, std::uint64_t index) {
        if (count_ == 0 && !has_layout_) record_start_ = index;
        if (count_ >= max_record_lines) return nav_error(index, "record with too many lines");
        lines_[count_].assign(s);
        indices_[count_] = index;
        ++count_;
        return std::nullopt;
    }

    // Parses the collected record, if any.
    std::optional<GnssError> flush() {
        if (!open_) return std::nullopt;
        auto err = parse_record();
        open_ = false;
        has_layout_ = false;
        count_ = 0;
        return err;
    }

    // Number `slot` (0-3) of record line `k`: the first line has three numbers
    // after the epoch, the others four.
    std::optional<GnssError> value(std::size_t k, std::size_t slot, double& out) const {
        if (k >= count_) {
            out = nan;
            return std::nullopt;
        }
        const std::string& s = lines_[k];
        const std::size_t first = major_ == 2 ? (k == 0 ? 22 : 3) : (k == 0 ? 23 : 4);
        const std::size_t pos = k == 0 ? first + 19 * (slot - 1) : first + 19 * slot;
        if (!number(util::field(s, pos, 19), out))
            return nav_error(indices_[k], "unreadable number '" + printable(util::trim_fast(util::field(s, pos, 19))) +
                                              "' in column " + std::to_string(pos + 1));
        return std::nullopt;
    }

    // Every number of the record, as v[line][slot]; slot 0 of the first line
    // is unused.
    std::optional<GnssError> all_values(std::array<std::array<double, 4>, max_record_lines>& v) const {
        for (std::size_t k = 0; k < count_; ++k) {
            const std::size_t width = major_ == 2 ? (k == 0 ? 22 : 3) : (k == 0 ? 23 : 4);
            if (k > 0 && !util::trim_fast(util::field(lines_[k], 0, width)).empty())
                return nav_error(indices_[k], "unexpected text before the first number");
            for (std::size_t j = k == 0 ? 1 : 0; j < 4; ++j)
                if (auto err = value(k, j, v[k][j])) return err;
            if (lines_[k].size() > width + 19 * (k == 0 ? 3 : 4) &&
                !util::trim_fast(util::tail(lines_[k], width + 19 * (k == 0 ? 3 : 4))).empty())
                return nav_error(indices_[k], "unexpected text after the last number");
        }
        return std::nullopt;
    }

    std::optional<GnssError> parse_record() {
        if (count_ == 0) return nav_error(record_start_, "EPH record without data lines");
        const std::string& first = lines_[0];
        Satellite sat;
        if (major_ == 2) {
            std::uint32_t prn = 0;
            if (!util::parse_int_field(util::field(first, 0, 2), prn) || prn == 0)
                return nav_error(indices_[0], "invalid satellite number '" + printable(util::field(first, 0, 2)) + "'");
            sat = {v2_system_, prn};
        } else {
            const auto parsed = util::parse_satellite(util::field(first, 0, 3));
            if (!parsed || first.size() < 3 || first[0] == ' ' || parsed->prn == 0)
                return nav_error(indices_[0], "invalid satellite '" + printable(util::field(first, 0, 3)) + "'");
            sat = *parsed;
            if (major_ == 4 && !(sat == v4_sat_))
                return nav_error(indices_[0], "satellite " + sat.id() + " under an EPH line of " + v4_sat_.id());
        }
        if (!has_layout_) layout_ = legacy_layout(sat.system);

        // Epoch of the clock parameters (toc), in the system's own time.
        util::Epoch toc;
        {
            std::array<std::string_view, 7> w{};
            std::size_t n = 0;
            util::for_each_word(major_ == 2 ? util::field(first, 2, 20) : util::field(first, 3, 20),
                                [&](std::string_view x) {
                                    w[n++] = x;
                                    return n < w.size();
                                });
            std::int32_t year = 0;
            const bool ok = n == 6 && util::parse_int(w[0], year) && util::parse_int(w[1], toc.month) &&
                            util::parse_int(w[2], toc.day) && util::parse_int(w[3], toc.hour) &&
                            util::parse_int(w[4], toc.minute) && util::parse_f64(w[5], toc.second);
            if (!ok || toc.month < 1 || toc.month > 12 || toc.day < 1 || toc.day > 31 || toc.hour > 23 ||
                toc.minute > 59 || !(toc.second >= 0.0 && toc.second < 61.0))
                return nav_error(indices_[0], "unreadable epoch of " + sat.id());
            if (major_ == 2 && w[0].size() <= 2) year += year < 80 ? 2000 : 1900;
            toc.year = year;
        }

        if (count_ < layout_.min_lines)
            return nav_error(indices_[count_ - 1], "record of " + sat.id() + " ends after " + std::to_string(count_) +
                                                       " of " + std::to_string(layout_.min_lines) + " lines");
        if (count_ > layout_.max_lines)
            return nav_error(indices_[layout_.max_lines], "record of " + sat.id() + " has more than " +
                                                               std::to_string(layout_.max_lines) + " lines");

        std::array<std::array<double, 4>, max_record_lines> v;
        for (auto& row : v) row.fill(nan);  // lines the record lacks are missing values
        if (auto err = all_values(v)) return err;

        ++data_.num_records;
        if (seen_.insert(util::sort_key(sat)).second) data_.satellites.push_back(sat);
        switch (layout_.message) {
            case Message::Legacy: add_kepler(sat, toc, v); break;
            case Message::Glonass: add_glonass(sat, toc, v); break;
            default: ++data_.num_unused; break;
        }
        return std::nullopt;
    }

    void add_kepler(const Satellite& sat, const util::Epoch& toc, const std::array<std::array<double, 4>, max_record_lines>& v) {
        KeplerEphemeris k;
        k.sat = sat;
        k.crs = v[1][1], k.delta_n = v[1][2], k.m0 = v[1][3];
        k.cuc = v[2][0], k.e = v[2][1], k.cus = v[2][2], k.sqrt_a = v[2][3];
        k.toe_sow = v[3][0], k.cic = v[3][1], k.omega0 = v[3][2], k.cis = v[3][3];
        k.i0 = v[4][0], k.crc = v[4][1], k.omega = v[4][2], k.omega_dot = v[4][3];
        k.idot = v[5][0];
        const double health = v[6][1];
        const double fit = v[7][1];

        // Orbit fields are required; blank correction terms count as zero.
        for (double* p : {&k.crs, &k.delta_n, &k.cuc, &k.cus, &k.cic, &k.cis, &k.crc, &k.omega_dot, &k.idot})
            if (std::isnan(*p)) *p = 0.0;
        const bool usable = std::isfinite(k.sqrt_a) && k.sqrt_a > 1000.0 && std::isfinite(k.e) && k.e >= 0.0 &&
                            k.e < 0.5 && std::isfinite(k.m0) && std::isfinite(k.omega0) && std::isfinite(k.omega) &&
                            std::isfinite(k.i0) && std::isfinite(k.toe_sow) && k.toe_sow >= 0.0 &&
                            k.toe_sow < week_s + 1.0;
        if (!usable) {
            ++data_.num_unused;
            return;
        }
        k.healthy = std::isnan(health) || health == 0.0;

        // The full reference time: the week of toc, then the toe of that week
        // or a neighbouring one nearest to toc (toe and toc may straddle a
        // week boundary; the week field follows different conventions).
        const double sys_toc = gps_seconds(toc);
        double toe = std::floor(sys_toc / week_s) * week_s + k.toe_sow;
        if (toe - sys_toc > week_s / 2) toe -= week_s;
        if (toe - sys_toc < -week_s / 2) toe += week_s;
        k.toe = toe + (sat.system == GnssSystem::BeiDou ? bdt_to_gpst_s : 0.0);

        // Validity: GPS and QZSS from the fit interval, centred on toe;
        // BeiDou updates hourly. Galileo ephemerides serve the time after
        // their toe (a receiver decodes them after it): they extrapolate
        // well forwards but degrade fast backwards (tens of metres half an
        // hour before toe for the eccentric orbits).
        double half = 2.0 * hour_s;
        switch (sat.system) {
            case GnssSystem::GPS: half = (std::isfinite(fit) && fit >= 2.0 ? fit : 4.0) * hour_s / 2; break;
            case GnssSystem::QZSS:
                half = (std::isfinite(fit) && fit >= 2.0 ? fit : (fit == 1.0 ? 4.0 : 2.0)) * hour_s / 2;
                break;
            default: break;
        }
        k.max_before = half;
        k.max_after = half;
        if (sat.system == GnssSystem::Galileo) {
            k.max_before = 600.0;
            k.max_after = 3.0 * hour_s;
        }
        k.beidou_geo = sat.system == GnssSystem::BeiDou && (sat.prn <= 5 || (sat.prn >= 59 && sat.prn <= 63));
        data_.kepler.push_back(k);
    }

    void add_glonass(const Satellite& sat, const util::Epoch& toc, const std::array<std::array<double, 4>, max_record_lines>& v) {
        GlonassEphemeris g;
        g.sat = sat;
        for (std::size_t i = 0; i < 3; ++i) {
            g.pos[i] = v[i + 1][0] * 1000.0;
            g.vel[i] = v[i + 1][1] * 1000.0;
            g.acc[i] = std::isnan(v[i + 1][2]) ? 0.0 : v[i + 1][2] * 1000.0;
        }
        const double r = std::sqrt(g.pos[0] * g.pos[0] + g.pos[1] * g.pos[1] + g.pos[2] * g.pos[2]);
        const bool usable = std::isfinite(r) && r > 2.0e7 && r < 3.0e7 && std::isfinite(g.vel[0]) &&
                            std::isfinite(g.vel[1]) && std::isfinite(g.vel[2]);
        if (!usable) {
            ++data_.num_unused;
            return;
        }
        g.healthy = std::isnan(v[1][3]) || v[1][3] == 0.0;
        g.frequency = std::isfinite(v[2][3]) ? static_cast<std::int32_t>(std::lround(std::clamp(v[2][3], -100.0, 100.0))) : 0;
        // The reference time is UTC(SU); GPS time runs ahead by the leap seconds.
        const double utc = gps_seconds(toc);
        g.toe = utc + gps_minus_utc(utc);
        data_.glonass.push_back(g);
    }

    State state_ = State::Start;
    int major_ = 0;
    GnssSystem v2_system_ = GnssSystem::GPS;
    NavData data_;
    std::unordered_set<std::uint64_t> seen_;

    // The record being collected.
    bool open_ = false;
    bool skipping_ = false;  // inside a version 4 record that is not an ephemeris
    bool has_layout_ = false;
    Layout layout_;
    Satellite v4_sat_;
    std::uint64_t record_start_ = 0;
    std::size_t count_ = 0;
    std::array<std::string, max_record_lines> lines_;
    std::array<std::uint64_t, max_record_lines> indices_{};
};

Result<NavData> parse(io::LineReader& reader) {
    NavParser parser;
    io::Line line;
    std::uint64_t lines = 0;
    while (reader.next(line)) {
        ++lines;
        if (auto err = parser.line(line.text, line.index)) return std::move(*err);
    }
    if (const auto& err = reader.error()) {
        if (err->kind() == ErrorKind::Io && lines > 0)
            return GnssError::io(err->text().empty() ? err->message() : err->text() + " (after line " +
                                                                            std::to_string(lines) + ")");
        return *err;
    }
    return parser.finish(lines);
}

}  // namespace

util::Result<NavData> read_nav_buffer(std::string_view text) {
    auto input = io::open_memory(text);
    if (!input) return std::move(input).error();
    return parse(*input->lines);
}

util::Result<NavData> read_nav_file(const std::string& path) {
    auto input = io::open_file(path);
    if (!input) return std::move(input).error();
    return parse(*input->lines);
}

}  // namespace skarvo::nav

#include "rinex/obs_header.hpp"

#include <initializer_list>
#include <string>
#include <vector>

#include "rinex/obs_fields.hpp"
#include "utils/text.hpp"

namespace skarvo::rinex {
namespace {

using util::field;
using util::trim;

std::string trimmed(std::string_view line, std::size_t pos, std::size_t len) {
    return std::string(trim(field(line, pos, len)));
}

// Up to `max` floats from the white-space separated words of `s`; words that
// do not parse are dropped.
std::vector<double> floats_of(std::string_view s) {
    std::vector<double> out;
    util::for_each_word(s, [&](std::string_view w) {
        double v;
        if (util::parse_f64(w, v)) out.push_back(v);
        return true;
    });
    return out;
}

std::optional<Xyz> xyz_of(std::string_view s) {
    const auto v = floats_of(s);
    if (v.size() < 3) return std::nullopt;
    return Xyz{v[0], v[1], v[2]};
}

// "2021 12 21 0 0 0.0000000" (six words at least) or absent.
std::optional<Epoch> header_epoch(std::string_view s) {
    std::string_view w[6];
    std::size_t n = 0;
    util::for_each_word(s, [&](std::string_view word) {
        w[n++] = word;
        return n < 6;
    });
    if (n < 6) return std::nullopt;
    Epoch e;
    if (!util::parse_int(w[0], e.year) || !util::parse_int(w[1], e.month) || !util::parse_int(w[2], e.day) ||
        !util::parse_int(w[3], e.hour) || !util::parse_int(w[4], e.minute) || !util::parse_f64(w[5], e.second))
        return std::nullopt;
    return e;
}

class HeaderParser {
public:
    explicit HeaderParser(RinexHeader& h) : h_(h) {}

    // Handles one line; sets `done` at END OF HEADER.
    util::Status line(const Line& ln, bool& done) {
        const std::string_view s = ln.text;
        if (s.size() < 60) return util::ok_status();
        if (!ln.ascii && !util::is_char_boundary(s, 60)) return detail::cut_error(ln.index, 60);
        const std::string_view label = trim(s.substr(60));
        const bool was_labelled = labelled_;
        const auto cuts = [&](std::initializer_list<std::size_t> cols) -> util::Status {
            if (ln.ascii) return util::ok_status();
            if (auto c = detail::bad_cut(s, cols)) return detail::cut_error(ln.index, *c);
            return util::ok_status();
        };
#define SKARVO_CUTS(...)                                           \
    do {                                                           \
        if (auto st = cuts({__VA_ARGS__}); !st) return st;         \
    } while (0)

        labelled_ = true;
        if (label == "RINEX VERSION / TYPE") {
            SKARVO_CUTS(9, 20, 40);
            // The file type first: a navigation file written as version "2"
            // is named as what it is, not as an unsupported version.
            if (auto st = observation_type(s); !st) return st;
            const std::string_view text = trim(field(s, 0, 9));
            const auto v = parse_version(text);
            if (!v) return util::GnssError(util::ErrorKind::UnsupportedVersion, std::string(text));
            h_.version = *v;
            h_.file_type = util::first_char(util::tail(s, 20));
            h_.satellite_system = s.size() > 40 ? system_from_letter(util::first_char(s.substr(40)))
                                                : std::optional<GnssSystem>(GnssSystem::Mixed);
        } else if (label == "PGM / RUN BY / DATE") {
            SKARVO_CUTS(20, 40);
            h_.program = trimmed(s, 0, 20);
            h_.run_by = trimmed(s, 20, 20);
            h_.date = trimmed(s, 40, 20);
        } else if (label == "COMMENT") {
            h_.comments.push_back(trimmed(s, 0, 60));
        } else if (label == "MARKER NAME") {
            h_.marker_name = trimmed(s, 0, 60);
        } else if (label == "MARKER NUMBER") {
            SKARVO_CUTS(20);
            h_.marker_number = trimmed(s, 0, 20);
        } else if (label == "MARKER TYPE") {
            SKARVO_CUTS(20);
            h_.marker_type = trimmed(s, 0, 20);
        } else if (label == "OBSERVER / AGENCY") {
            SKARVO_CUTS(20);
            h_.observer = trimmed(s, 0, 20);
            h_.agency = trimmed(s, 20, 40);
        } else if (label == "REC # / TYPE / VERS") {
            SKARVO_CUTS(20, 40);
            h_.receiver_number = trimmed(s, 0, 20);
            h_.receiver_type = trimmed(s, 20, 20);
            h_.receiver_version = trimmed(s, 40, 20);
        } else if (label == "ANT # / TYPE") {
            SKARVO_CUTS(20, 40);
            h_.antenna_number = trimmed(s, 0, 20);
            h_.antenna_type = trimmed(s, 20, 20);
        } else if (label == "APPROX POSITION XYZ") {
            if (auto p = xyz_of(s.substr(0, 60))) h_.approx_position = p;
        } else if (label == "ANTENNA: DELTA H/E/N") {
            if (auto p = xyz_of(s.substr(0, 60))) h_.antenna_delta = p;
        } else if (label == "SYS / # / OBS TYPES") {
            return sys_obs_types(ln);
        } else if (label == "# / TYPES OF OBSERV") {
            return v2_obs_types(ln);
        } else if (label == "INTERVAL") {
            SKARVO_CUTS(10);
            double v;
            if (util::parse_f64(trim(field(s, 0, 10)), v)) h_.interval = v;
        } else if (label == "TIME OF FIRST OBS") {
            SKARVO_CUTS(43, 48, 51);
            if (auto e = header_epoch(field(s, 0, 43))) h_.time_of_first_obs = e;
            h_.time_system = trimmed(s, 48, 3);
        } else if (label == "TIME OF LAST OBS") {
            SKARVO_CUTS(43);
            if (auto e = header_epoch(field(s, 0, 43))) h_.time_of_last_obs = e;
        } else if (label == "LEAP SECONDS") {
            SKARVO_CUTS(6);
            std::int32_t v;
            if (util::parse_int(trim(field(s, 0, 6)), v)) h_.leap_seconds = v;
        } else if (label == "# OF SATELLITES") {
            SKARVO_CUTS(6);
            std::uint32_t v;
            if (util::parse_int(trim(field(s, 0, 6)), v)) h_.num_satellites_header = v;
        } else if (label == "GLONASS SLOT / FRQ #") {
            glonass_slots(s.substr(0, 60));
        } else if (label == "GLONASS COD/PHS/BIS") {
            glonass_biases(s.substr(0, 60));
        } else if (label == "END OF HEADER") {
            done = true;
        } else {
            labelled_ = was_labelled;
        }
#undef SKARVO_CUTS
        return util::ok_status();
    }

private:
    util::Status sys_obs_types(const Line& ln) {
        const std::string_view s = ln.text;
        std::optional<GnssSystem> sys;
        if (s[0] == ' ') {
            sys = last_sys_;
        } else {
            sys = system_from_letter(util::first_char(s));
            last_sys_ = sys;
        }
        if (!sys) return util::ok_status();
        if (!ln.ascii) {
            // Cells start at 7, 11, ..., 55 and 59; the label check covered 60.
            for (std::size_t c = 7; c <= 59; c += 4)
                if (!util::is_char_boundary(s, c)) return detail::cut_error(ln.index, c);
        }
        auto& list = h_.obs_types[system_index(*sys)];
        if (!list) list.emplace();
        const auto add = [&](std::string_view cell) {
            cell = trim(cell);
            if (cell.size() < 3) return;
            if (auto code = parse_obs_code(cell)) list->push_back(*code);
        };
        for (std::size_t c = 7; c < 59; c += 4) add(field(s, c, 4));
        add(field(s, 59, 1));
        return util::ok_status();
    }

    util::Status v2_obs_types(const Line& ln) {
        const std::string_view s = ln.text;
        if (!ln.ascii && !util::is_char_boundary(s, 6)) return detail::cut_error(ln.index, 6);
        const std::string_view count = trim(field(s, 0, 6));
        std::uint32_t n;
        const std::size_t start = !count.empty() && util::parse_int(count, n) ? 6 : 0;
        if (!ln.ascii)
            for (std::size_t c = start; c < 60; c += 6)
                if (!util::is_char_boundary(s, c)) return detail::cut_error(ln.index, c);
        for (std::size_t c = start; c < 60; c += 6) {
            const std::string_view cell = trim(s.substr(c, std::min<std::size_t>(6, 60 - c)));
            if (!cell.empty()) h_.obs_types_v2.emplace_back(cell);
        }
        return util::ok_status();
    }

    void glonass_slots(std::string_view s) {
        std::vector<std::string_view> w;
        util::for_each_word(s, [&](std::string_view word) {
            w.push_back(word);
            return true;
        });
        std::size_t i = !w.empty() && w[0][0] == 'R' ? 0 : 1;
        for (; i + 1 < w.size(); i += 2) {
            std::string_view slot = w[i];
            while (!slot.empty() && slot[0] == 'R') slot.remove_prefix(1);
            std::uint32_t n;
            std::int8_t fcn;
            if (util::parse_int(slot, n) && util::parse_int(w[i + 1], fcn)) h_.glonass_slots[n] = fcn;
        }
    }

    void glonass_biases(std::string_view s) {
        if (!h_.glonass_biases) h_.glonass_biases.emplace();
        std::vector<std::string_view> w;
        util::for_each_word(s, [&](std::string_view word) {
            w.push_back(word);
            return true;
        });
        for (std::size_t i = 0; i + 1 < w.size(); i += 2) {
            double v;
            if (util::parse_f64(w[i + 1], v)) (*h_.glonass_biases)[std::string(w[i])] = v;
        }
    }

    // Refuses a RINEX file of another type (navigation, meteorological,
    // clock, ...): read as observations it would give an empty result that
    // looks like a valid one. A blank type is let through.
    static util::Status observation_type(std::string_view s) {
        const char32_t c = util::first_char(util::tail(s, 20));
        if (c == U'O' || c == U'o' || c == U' ' || c == 0) return util::ok_status();
        const char type = c < 0x80 ? static_cast<char>(c) : '?';
        const std::string said(trim(field(s, 20, 20)));
        std::string what;
        switch (util::ascii_upper(type)) {
            case 'N': what = "a RINEX navigation file"; break;
            case 'G': what = "a RINEX GLONASS navigation file"; break;
            case 'H': what = "a RINEX SBAS navigation file"; break;
            case 'M': what = "a RINEX meteorological file"; break;
            case 'C': what = "a RINEX clock file"; break;
            default: what = "a RINEX file of type '" + std::string(1, type) + "'"; break;
        }
        return util::GnssError::invalid_file_format("RINEX observation data", what + " (\"" + said + "\")");
    }

public:
    /// True once a line with a known header label has been read.
    bool labelled() const noexcept { return labelled_; }

private:
    RinexHeader& h_;
    std::optional<GnssSystem> last_sys_;
    bool labelled_ = false;
};

// SP3 line 1: '#', the version letter (a to d, or blank in the oldest
// files), the position/velocity flag and a four-digit year.
bool is_sp3_first_line(std::string_view s) noexcept {
    if (s.size() < 7 || s[0] != '#') return false;
    const char v = s[1];
    if (!(v == ' ' || (v >= 'a' && v <= 'd'))) return false;
    if (!(s[2] == 'P' || s[2] == 'V' || s[2] == ' ')) return false;
    for (std::size_t i = 3; i < 7; ++i)
        if (s[i] < '0' || s[i] > '9') return false;
    return true;
}

bool blank(std::string_view s) noexcept { return trim(s).empty(); }

}  // namespace

std::optional<RinexVersion> parse_version(std::string_view text) noexcept {
    const std::size_t dot = text.find('.');
    if (dot == std::string_view::npos) return std::nullopt;
    std::string_view minor = text.substr(dot + 1);
    minor = minor.substr(0, std::min(minor.find('.'), minor.size()));
    minor = minor.substr(0, 2);
    RinexVersion v;
    if (!util::parse_int(text.substr(0, dot), v.major) || !util::parse_int(minor, v.minor)) return std::nullopt;
    if (v.major < 2 || v.major > 4) return std::nullopt;
    return v;
}

util::Status parse_header(LineReader& reader, RinexHeader& header) {
    HeaderParser parser(header);
    Line line;
    bool done = false;
    bool seen_text = false;
    while (!done && reader.next(line)) {
        if (!seen_text && !blank(line.text)) {
            seen_text = true;
            if (is_sp3_first_line(line.text))
                return util::GnssError::invalid_file_format("RINEX observation data", "an SP3 orbit file");
        }
        if (auto st = parser.line(line, done); !st) return st;
    }
    if (reader.error()) return *reader.error();
    // Text that ran to its end without a single header label is not RINEX
    // (an empty input stays an empty result).
    if (!done && seen_text && !parser.labelled())
        return util::GnssError::invalid_file_format("RINEX observation data",
                                                    "text without any RINEX header line");
    return util::ok_status();
}

std::optional<ObsCode> translate_v2_type(std::string_view type) noexcept {
    if (type.size() != 2) return std::nullopt;
    const char kind = util::ascii_upper(type[0]);
    const char band = type[1];
    if (band != '1' && band != '2' && band != '5' && band != '6' && band != '7' && band != '8') return std::nullopt;
    const std::uint8_t b = static_cast<std::uint8_t>(band - '0');
    // Bands 1 and 2 map to the C/A (C) or P-code (P) attribute; bands 5 to 8
    // (version 2.11 Galileo E5a, E6, E5b, E5a+b, and the other systems of
    // 2.12-style files) to the combined signal (X), which has no P-code.
    const bool combined = b >= 5;
    const char attr = combined ? 'X' : 'C';
    switch (kind) {
        case 'C': return ObsCode{ObsKind::Code, b, attr};
        case 'P': return combined ? std::nullopt : std::optional<ObsCode>(ObsCode{ObsKind::Code, b, 'P'});
        case 'L': return ObsCode{ObsKind::Phase, b, attr};
        case 'D': return ObsCode{ObsKind::Doppler, b, attr};
        case 'S': return ObsCode{ObsKind::Snr, b, attr};
        default: return std::nullopt;
    }
}

}  // namespace skarvo::rinex

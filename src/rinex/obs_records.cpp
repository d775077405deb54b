#include "rinex/obs_records.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <string>
#include <vector>

#include "rinex/obs_fields.hpp"
#include "rinex/obs_header.hpp"
#include "utils/text.hpp"

namespace skarvo::rinex {
namespace {

using util::field;
using util::GnssError;
using util::Status;

// System of an upper-case ASCII letter, or -1 (a table for the hot path).
constexpr std::array<std::int8_t, 256> make_letter_table() {
    std::array<std::int8_t, 256> t{};
    for (auto& v : t) v = -1;
    const char* letters = "GRECJSIM";
    for (int i = 0; i < 8; ++i) t[static_cast<unsigned char>(letters[i])] = static_cast<std::int8_t>(i);
    return t;
}
constexpr auto letter_table = make_letter_table();

constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

template <class T>
T int_or(std::string_view s, T fallback) noexcept {
    T v;
    return util::parse_int_field(s, v) ? v : fallback;
}

bool has_duplicates(const std::vector<ObsCode>& codes) {
    for (std::size_t i = 0; i < codes.size(); ++i)
        for (std::size_t j = i + 1; j < codes.size(); ++j)
            if (codes[i] == codes[j]) return true;
    return false;
}

// Appends epochs, satellites and observations to the contiguous arrays and
// keeps each satellite at most once per epoch: an entry for a satellite that
// is already in the current epoch replaces the earlier one.
class RecordBuilder {
public:
    RecordBuilder(RinexObsData& d, std::uint64_t size_hint) : d_(d) {
        // Every stored observation takes at least 14 bytes of text and most
        // take 16; a satellite line at least 19. Reserving from the size
        // costs address space only: pages never written stay unmapped.
        const std::uint64_t cap = std::uint64_t{1} << 31;
        const auto hint = std::min<std::uint64_t>(size_hint, cap);
        d_.obs.reserve(static_cast<std::size_t>(hint / 14 + 64));
        d_.sat_obs.reserve(static_cast<std::size_t>(hint / 20 + 16));
        d_.epochs.reserve(static_cast<std::size_t>(hint / 2048 + 16));
        seen_.fill(Seen{});
    }

    void begin_epoch(const Epoch& e, std::optional<double> clock, std::uint8_t flag) {
        if (++stamp_ == 0) {  // wrapped: forget all stamps
            seen_.fill(Seen{});
            stamp_ = 1;
        }
        EpochRecord r;
        r.epoch = e;
        r.clock_offset = clock;
        r.flag = flag;
        r.sat_begin = r.sat_end = static_cast<std::uint32_t>(d_.sat_obs.size());
        d_.epochs.push_back(r);
    }
    void end_epoch() { d_.epochs.back().sat_end = static_cast<std::uint32_t>(d_.sat_obs.size()); }

    /// Index in sat_obs of `sat` in the current epoch, or -1.
    std::ptrdiff_t find(const Satellite& sat) const noexcept {
        if (sat.prn < prn_slots) {
            const Seen& s = seen_[slot(sat)];
            return s.stamp == stamp_ ? static_cast<std::ptrdiff_t>(s.index) : -1;
        }
        for (std::size_t i = d_.epochs.back().sat_begin; i < d_.sat_obs.size(); ++i)
            if (d_.sat_obs[i].sat == sat) return static_cast<std::ptrdiff_t>(i);
        return -1;
    }

    /// Removes entry `j` of the current epoch with its observations.
    void erase(std::size_t j) {
        const SatObs old = d_.sat_obs[j];
        const std::uint32_t n = old.end - old.begin;
        d_.obs.erase(d_.obs.begin() + old.begin, d_.obs.begin() + old.end);
        d_.sat_obs.erase(d_.sat_obs.begin() + static_cast<std::ptrdiff_t>(j));
        for (std::size_t i = j; i < d_.sat_obs.size(); ++i) {
            d_.sat_obs[i].begin -= n;
            d_.sat_obs[i].end -= n;
            if (d_.sat_obs[i].sat.prn < prn_slots) seen_[slot(d_.sat_obs[i].sat)].index = static_cast<std::uint32_t>(i);
        }
    }

    /// Records the observations from `begin` to the end of `obs` as the entry
    /// of `sat` (which must not be in the current epoch any more).
    Status add(const Satellite& sat, std::size_t begin, std::uint64_t line_index) {
        if (d_.obs.size() > std::numeric_limits<std::uint32_t>::max() ||
            d_.sat_obs.size() >= std::numeric_limits<std::uint32_t>::max())
            return GnssError::rinex_parse(line_index, "too many observations in one file (more than 4294967295)");
        if (sat.prn < prn_slots) seen_[slot(sat)] = Seen{stamp_, static_cast<std::uint32_t>(d_.sat_obs.size())};
        d_.sat_obs.push_back(SatObs{sat, static_cast<std::uint32_t>(begin), static_cast<std::uint32_t>(d_.obs.size())});
        return util::ok_status();
    }

    /// Stores `e` for the satellite being filled since `begin`; with
    /// `unique`, an observation of the same code is overwritten instead.
    void store(const ObsEntry& e, std::size_t begin, bool unique) {
        if (unique) {
            for (std::size_t i = begin; i < d_.obs.size(); ++i)
                if (d_.obs[i].code == e.code) {
                    d_.obs[i] = e;
                    return;
                }
        }
        d_.obs.push_back(e);
    }

    RinexObsData& data() noexcept { return d_; }

private:
    static constexpr std::uint32_t prn_slots = 256;
    struct Seen {
        std::uint32_t stamp = 0;
        std::uint32_t index = 0;
    };
    static std::size_t slot(const Satellite& s) noexcept { return system_index(s.system) * prn_slots + s.prn; }

    RinexObsData& d_;
    std::uint32_t stamp_ = 0;
    std::array<Seen, system_count * prn_slots> seen_;
};

// ---- version 3 and 4 --------------------------------------------------------

struct CodeList {
    const ObsCode* codes = nullptr;
    std::size_t count = 0;
    bool present = false;
    bool duplicates = false;
};

class V3Parser {
public:
    V3Parser(LineReader& reader, RinexObsData& data, std::uint64_t size_hint)
        : reader_(reader), b_(data, size_hint) {
        const RinexHeader& h = data.header;
        for (std::size_t i = 0; i < system_count; ++i) {
            if (!h.obs_types[i]) continue;
            lists_[i] = CodeList{h.obs_types[i]->data(), h.obs_types[i]->size(), true, has_duplicates(*h.obs_types[i])};
        }
    }

    Status run() {
        Line line;
        while (reader_.next(line)) {
            const std::string_view s = line.text;
            if (s.empty() || s[0] != '>') continue;
            std::uint32_t n = 0;
            if (auto st = epoch_line(line, n); !st) return st;
            for (std::uint32_t i = 0; i < n; ++i) {
                if (!reader_.next(line)) break;
                if (auto st = satellite_line(line); !st) return st;
            }
            b_.end_epoch();
            if (reader_.error()) break;
        }
        if (reader_.error()) return *reader_.error();
        return util::ok_status();
    }

private:
    Status epoch_line(const Line& line, std::uint32_t& n) {
        const std::string_view s = line.text;
        if (s.size() < 32) return GnssError::rinex_parse(line.index, "Epoch line too short");
        if (!line.ascii) {
            if (auto c = detail::bad_cut(s, {2, 6, 7, 9, 10, 12, 13, 15, 16, 18, 19, 30, 31, 32, 35, 41, 56}))
                return detail::cut_error(line.index, *c);
        }
        Epoch e;
        e.year = int_or<std::int32_t>(field(s, 2, 4), 2000);
        e.month = int_or<std::uint32_t>(field(s, 7, 2), 1);
        e.day = int_or<std::uint32_t>(field(s, 10, 2), 1);
        e.hour = int_or<std::uint32_t>(field(s, 13, 2), 0);
        e.minute = int_or<std::uint32_t>(field(s, 16, 2), 0);
        if (!detail::parse_number(field(s, 19, 11), e.second)) e.second = 0.0;
        const auto flag = int_or<std::uint8_t>(field(s, 31, 1), 0);
        n = int_or<std::uint32_t>(field(s, 32, 3), 0);
        std::optional<double> clock;
        double c;
        if (s.size() >= 56 && detail::parse_number(field(s, 41, 15), c)) clock = c;
        b_.begin_epoch(e, clock, flag);
        return util::ok_status();
    }

    Status satellite_line(const Line& line) {
        const std::string_view s = line.text;
        if (s.size() < 3) return util::ok_status();
        if (!line.ascii && !util::is_char_boundary(s, 3)) return detail::cut_error(line.index, 3);
        Satellite sat;
        const std::int8_t sys = letter_table[static_cast<unsigned char>(s[0])];
        if (sys >= 0 && is_digit(s[1]) && is_digit(s[2])) {
            sat = Satellite{static_cast<GnssSystem>(sys), static_cast<std::uint32_t>((s[1] - '0') * 10 + (s[2] - '0'))};
        } else if (auto parsed = parse_satellite(s.substr(0, 3))) {
            sat = *parsed;
        } else {
            return util::ok_status();
        }
        const CodeList& list = lists_[system_index(sat.system)];
        if (!list.present) return util::ok_status();

        const std::size_t len = s.size();
        if (!line.ascii) {
            for (std::size_t k = 0; k < list.count && 3 + 16 * k < len; ++k) {
                const std::size_t start = 3 + 16 * k;
                if (auto c = detail::bad_cut(s, {start, start + 14, start + 15, start + 16}))
                    return detail::cut_error(line.index, *c);
            }
        }
        if (const auto j = b_.find(sat); j >= 0) b_.erase(static_cast<std::size_t>(j));

        auto& obs = b_.data().obs;
        const std::size_t begin = obs.size();
        const char* p = s.data();
        const bool ascii = line.ascii;
        for (std::size_t k = 0; k < list.count; ++k) {
            const std::size_t start = 3 + 16 * k;
            if (start >= len) break;
            const std::size_t flen = std::min<std::size_t>(16, len - start);
            const char* f = p + start;
            ObsEntry e;
            if (ascii && flen >= 14) {
                const auto r = detail::parse_f14_3(f, e.value);
                if (r == detail::F14::Blank) continue;
                if (r == detail::F14::Other && !detail::parse_number(f, 14, e.value)) continue;
            } else if (!detail::parse_number(f, std::min<std::size_t>(14, flen), e.value)) {
                continue;
            }
            // Exactly zero is how many receivers write a signal they list but
            // do not track: not observed, like a blank field (LLI and SSI too).
            if (e.value == 0.0) continue;
            e.code = list.codes[k];
            if (flen >= 15 && is_digit(f[14])) e.lli = static_cast<std::uint8_t>(f[14] - '0');
            if (flen >= 16 && is_digit(f[15])) e.ssi = static_cast<std::uint8_t>(f[15] - '0');
            b_.store(e, begin, list.duplicates);
        }
        return b_.add(sat, begin, line.index);
    }

    LineReader& reader_;
    RecordBuilder b_;
    std::array<CodeList, system_count> lists_{};
};

// ---- version 2 ----------------------------------------------------------------

// A line starts a version 2 record when it has the shape of an epoch line:
// " yy mm dd hh mm ss.sssssss  f nnn...".
bool is_v2_epoch_line(std::string_view s) noexcept {
    return s.size() >= 29 && s[0] == ' ' && s[3] == ' ' && s[6] == ' ' && s[9] == ' ' && s[12] == ' ' &&
           is_digit(s[2]) && (s[1] == ' ' || is_digit(s[1])) && s[18] == '.';
}

// An event record whose time fields are blank (allowed for flags 2 to 5):
// blank up to the flag, the flag in column 29, a count after it.
bool is_v2_blank_event_line(std::string_view s) noexcept {
    if (s.size() < 29 || s[28] < '2' || s[28] > '5') return false;
    for (std::size_t i = 0; i < 28; ++i)
        if (s[i] != ' ') return false;
    return true;
}

// The satellite of a list cell. A blank system letter means GPS, so "  5",
// " 12" and "G05" are G05, G12 and G05.
std::optional<Satellite> v2_cell_satellite(std::string_view cell) noexcept {
    const std::string_view t = util::trim(cell);
    if (t.empty()) return std::nullopt;
    std::uint32_t prn;
    if (is_digit(t[0])) {
        if (!util::parse_int(t, prn)) return std::nullopt;
        return Satellite{GnssSystem::GPS, prn};
    }
    const auto sys = system_from_letter(static_cast<unsigned char>(t[0]));
    if (!sys) return std::nullopt;
    if (!util::parse_int(util::trim(t.substr(1)), prn)) return std::nullopt;
    return Satellite{*sys, prn};
}

class V2Parser {
public:
    V2Parser(LineReader& reader, RinexObsData& data, std::uint64_t size_hint) : reader_(reader), b_(data, size_hint) {
        const auto& types = data.header.obs_types_v2;
        codes_.reserve(types.size());
        std::vector<ObsCode> present;
        for (const auto& t : types) {
            codes_.push_back(translate_v2_type(t));
            if (codes_.back()) present.push_back(*codes_.back());
        }
        duplicates_ = has_duplicates(present);
    }

    Status run() {
        Line line;
        while (reader_.next(line)) {
            if (is_v2_epoch_line(line.text) || is_v2_blank_event_line(line.text)) {
                if (!lines_.empty())
                    if (auto st = block(); !st) return st;
                lines_.clear();
                arena_.clear();
                block_limit_ = lines_needed(line.text);
            } else if (lines_.empty() || lines_.size() >= block_limit_) {
                // Outside a record, or beyond the lines its satellites use
                // (comment lines of an event, stray text): not kept.
                continue;
            }
            lines_.push_back(Stored{arena_.size(), line.text.size(), line.index, line.ascii});
            arena_.append(line.text);
        }
        if (reader_.error()) return *reader_.error();
        if (!lines_.empty()) return block();
        return util::ok_status();
    }

private:
    struct Stored {
        std::size_t offset, size;
        std::uint64_t index;
        bool ascii;
    };

    // Lines of the record opened by `epoch_line` that parsing can reach: the
    // epoch line, the rest of the satellite list and the observation lines.
    std::size_t lines_needed(std::string_view epoch_line) const noexcept {
        const auto flag = int_or<std::uint8_t>(field(epoch_line, 26, 3), 0);
        if (flag >= 2 && flag <= 5) return 1;
        const std::size_t n = int_or<std::uint32_t>(field(epoch_line, 29, 3), 0);
        const std::size_t list_lines = n <= 12 ? 1 : (n + 11) / 12;
        return list_lines + n * ((codes_.size() + 4) / 5);
    }

    std::string_view text(std::size_t i) const noexcept { return {arena_.data() + lines_[i].offset, lines_[i].size}; }

    Status cuts(std::size_t i, std::initializer_list<std::size_t> cols) const {
        if (lines_[i].ascii) return util::ok_status();
        if (auto c = detail::bad_cut(text(i), cols)) return detail::cut_error(lines_[i].index, *c);
        return util::ok_status();
    }

    Status block() {
        const std::string_view s = text(0);
        if (auto st = cuts(0, {1, 3, 4, 6, 7, 9, 10, 12, 13, 15, 26, 29, 32}); !st) return st;
        const auto flag = int_or<std::uint8_t>(field(s, 26, 3), 0);
        if (flag >= 2 && flag <= 5) {  // event record: remembered, not an epoch
            EventMark mark;
            mark.flag = flag;
            if (util::trim(field(s, 1, 2)).size() > 0) {
                Epoch t;
                const auto y = int_or<std::int32_t>(field(s, 1, 2), 0);
                t.year = y > 79 ? y + 1900 : y + 2000;
                t.month = int_or<std::uint32_t>(field(s, 4, 2), 1);
                t.day = int_or<std::uint32_t>(field(s, 7, 2), 1);
                t.hour = int_or<std::uint32_t>(field(s, 10, 2), 0);
                t.minute = int_or<std::uint32_t>(field(s, 13, 2), 0);
                if (!detail::parse_number(field(s, 15, 11), t.second)) t.second = 0.0;
                mark.epoch_ms = util::unix_millis(t);
            }
            b_.data().events.push_back(mark);
            return util::ok_status();
        }

        Epoch e;
        const auto yy = int_or<std::int32_t>(field(s, 1, 2), 0);
        e.year = yy > 79 ? yy + 1900 : yy + 2000;
        e.month = int_or<std::uint32_t>(field(s, 4, 2), 1);
        e.day = int_or<std::uint32_t>(field(s, 7, 2), 1);
        e.hour = int_or<std::uint32_t>(field(s, 10, 2), 0);
        e.minute = int_or<std::uint32_t>(field(s, 13, 2), 0);
        if (!detail::parse_number(field(s, 15, 11), e.second)) e.second = 0.0;
        const auto n = int_or<std::uint32_t>(field(s, 29, 3), 0);
        b_.begin_epoch(e, std::nullopt, flag);

        // Satellite i stands on list line i / 12 at byte 32 + 3 (i % 12):
        // twelve cells per line, whatever follows them on the line (some
        // writers put the clock offset after the twelfth cell).
        const std::size_t list_lines = n <= 12 ? 1 : (n + 11) / 12;
        const std::size_t per_sat = (codes_.size() + 4) / 5;
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t li = i / 12;
            if (li >= lines_.size()) break;
            const std::size_t col = 32 + 3 * (i % 12);
            if (auto st = cuts(li, {col, col + 3}); !st) return st;
            const std::string_view cell = field(text(li), col, 3);
            if (cell.size() < 3) continue;
            // Cell i owns its observation lines even when it does not parse,
            // so the satellites after it keep theirs.
            const auto sat = v2_cell_satellite(cell);
            if (!sat) continue;
            if (auto st = satellite(*sat, list_lines + i * per_sat); !st) return st;
        }
        b_.end_epoch();
        return util::ok_status();
    }

    Status satellite(const Satellite& sat, std::size_t first_line) {
        auto& obs = b_.data().obs;
        const std::size_t begin = obs.size();
        std::uint64_t last_index = lines_[0].index;
        for (std::size_t k = 0; k < codes_.size(); ++k) {
            const std::size_t li = first_line + k / 5;
            if (li >= lines_.size()) break;
            const std::size_t off = 16 * (k % 5);
            const std::string_view s = text(li);
            if (s.size() < off + 14 || !codes_[k]) continue;
            if (auto st = cuts(li, {off, off + 14, off + 15, off + 16}); !st) return st;
            ObsEntry e;
            const auto r = lines_[li].ascii ? detail::parse_f14_3(s.data() + off, e.value) : detail::F14::Other;
            if (r == detail::F14::Blank) continue;
            if (r == detail::F14::Other && !detail::parse_number(s.data() + off, 14, e.value)) continue;
            if (e.value == 0.0) continue;  // not observed, as in version 3
            e.code = *codes_[k];
            e.lli = detail::digit_at(s, off + 14);
            e.ssi = detail::digit_at(s, off + 15);
            b_.store(e, begin, duplicates_);
            last_index = lines_[li].index;
        }
        if (obs.size() == begin) return util::ok_status();
        std::size_t start = begin;
        if (const auto j = b_.find(sat); j >= 0) {
            const SatObs& old = b_.data().sat_obs[static_cast<std::size_t>(j)];
            start -= old.end - old.begin;
            b_.erase(static_cast<std::size_t>(j));
        }
        return b_.add(sat, start, last_index);
    }

    LineReader& reader_;
    RecordBuilder b_;
    std::vector<std::optional<ObsCode>> codes_;
    bool duplicates_ = false;
    std::vector<Stored> lines_;
    std::size_t block_limit_ = 0;
    std::string arena_;
};

}  // namespace

Status parse_records_v3(LineReader& reader, RinexObsData& data, std::uint64_t size_hint) {
    return V3Parser(reader, data, size_hint).run();
}

Status parse_records_v2(LineReader& reader, RinexObsData& data, std::uint64_t size_hint) {
    return V2Parser(reader, data, size_hint).run();
}

}  // namespace skarvo::rinex

// Compact RINEX (versions 1.0 for RINEX 2, 3.0 for RINEX 3 and 4) turned
// back into RINEX observation text, one epoch at a time.
//
// The compact form keeps the header as it is and writes each epoch as
//   - the epoch line, as a text difference to the previous epoch line (a
//     line starting with '&' in version 1.0, '>' in version 3.0 starts
//     afresh: every satellite's state is forgotten),
//   - the receiver clock offset line (empty when there is none),
//   - one line per satellite of the epoch line's list: the observation
//     values as integers of their last digit, each either "n&value" (a new
//     arc differenced to order n from here on) or the n-th difference to the
//     values before, an empty field for a missing value, then after one more
//     blank the LLI/SSI characters as a text difference to that satellite's
//     previous ones.
// Text differences: a blank keeps the old character, '&' writes a blank,
// anything else replaces it; a longer line extends the old one.
// Event records (epoch flag 2 to 5) and cycle slip records (flag 6) are the
// epoch line followed by their lines unchanged.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "io/byte_source.hpp"
#include "io/line_reader.hpp"
#include "utils/text.hpp"

namespace skarvo::io {
namespace {

using util::GnssError;
using util::Result;

constexpr std::size_t max_order = 5;
// No observation type list comes near this; it bounds the state per satellite.
constexpr std::size_t max_types = 999;

// A value of one observable (or of the clock) along its arc.
struct Arc {
    std::array<std::int64_t, max_order + 1> y{};  // y[k]: k-th difference at the last epoch
    std::uint8_t order = 0;                      // the arc's differencing order
    std::uint8_t have = 0;                       // differences known so far (<= order)
    bool live = false;                           // an arc is running
};

struct SatState {
    std::uint64_t epoch = 0;  // serial of the epoch that last held the satellite
    std::vector<Arc> arcs;
    std::string flags;
};

// Applies a text difference to `old` in place.
void apply_text_diff(std::string& old, std::string_view diff) {
    if (old.size() < diff.size()) old.resize(diff.size(), ' ');
    for (std::size_t i = 0; i < diff.size(); ++i) {
        const char c = diff[i];
        if (c == ' ') continue;
        old[i] = c == '&' ? ' ' : c;
    }
}

// Writes `v` scaled by 10^-decimals the way the format's reference decoder
// does: no leading zero before the point ("-.920", ".000"), right-aligned in
// `width` columns. False (nothing written) when the number needs more columns
// than the RINEX field has.
[[nodiscard]] bool put_scaled(std::string& out, std::int64_t v, int decimals, std::size_t width) {
    char buf[48];
    char* end = buf + sizeof buf;
    char* p = end;
    const bool neg = v < 0;
    std::uint64_t u = neg ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
    for (int i = 0; i < decimals; ++i) {
        *--p = static_cast<char>('0' + u % 10);
        u /= 10;
    }
    *--p = '.';
    while (u > 0) {
        *--p = static_cast<char>('0' + u % 10);
        u /= 10;
    }
    if (neg) *--p = '-';
    const std::size_t len = static_cast<std::size_t>(end - p);
    if (len > width) return false;
    out.append(width - len, ' ');
    out.append(p, len);
    return true;
}

void trim_right(std::string& s, std::size_t from) {
    std::size_t n = s.size();
    while (n > from && s[n - 1] == ' ') --n;
    s.resize(n);
}

class CompactSource final : public ByteSource {
public:
    explicit CompactSource(std::unique_ptr<ByteSource> in) : lines_(std::move(in)) {}

    Result<std::size_t> read(char* dst, std::size_t cap) override {
        std::size_t out = 0;
        while (out < cap) {
            if (pos_ == out_.size()) {
                if (failed_) return *failed_;
                if (done_) break;
                out_.clear();
                pos_ = 0;
                if (auto st = produce(); !st) {
                    failed_ = std::move(st).error();
                    if (out > 0) return out;  // hand out what came before the failure first
                    return *failed_;
                }
                continue;
            }
            const std::size_t n = std::min(cap - out, out_.size() - pos_);
            std::memcpy(dst + out, out_.data() + pos_, n);
            pos_ += n;
            out += n;
        }
        return out;
    }

private:
    GnssError bad(const std::string& what) const {
        return GnssError::io("compact RINEX line " + std::to_string(line_no_) + ": " + what);
    }

    // The next compact line; false at the end of the input (or on a read
    // error, which `lines_.error()` then holds). Any text ends a run of blank
    // lines.
    bool next(std::string_view& text) {
        Line line;
        if (!lines_.next(line)) return false;
        line_no_ = line.index + 1;
        text = line.text;
        if (!text.empty()) blank_run_ = false;
        return true;
    }

    // The error of the compact text's own source (gzip, compress, UTF-8),
    // placed at the compact line where it struck.
    GnssError inner_error() const {
        const GnssError& e = *lines_.error();
        if (e.kind() != util::ErrorKind::Io) return e;
        return GnssError::io("compact RINEX line " + std::to_string(line_no_ + 1) + ": " + e.text());
    }

    util::Status read_error() const {
        if (lines_.error()) return inner_error();
        return util::ok_status();
    }

    GnssError out_of_range() const { return bad("a value too large for its RINEX field"); }

    util::Status truncated() {
        if (lines_.error()) return inner_error();
        if (blank_run_) {
            done_ = true;
            out_.clear();
            return util::ok_status();
        }
        return GnssError::io("compact RINEX line " + std::to_string(line_no_ + 1) +
                             ": the file ends inside an epoch (truncated)");
    }

    // Decodes the next piece (the header, or one epoch) into out_.
    util::Status produce() {
        if (!header_done_) return header();
        return epoch();
    }

    util::Status header() {
        std::string_view text;
        if (!next(text)) {
            if (auto st = read_error(); !st) return st;
            return GnssError::io("compact RINEX line 1: empty input");
        }
        if (text.size() < 80 || text.substr(60, 20) != "CRINEX VERS   / TYPE")
            return bad("not a compact RINEX header (CRINEX VERS   / TYPE)");
        const std::string_view vers = util::trim(text.substr(0, 20));
        if (vers == "1.0") v3_ = false;
        else if (vers == "3.0") v3_ = true;
        else return bad("compact RINEX version '" + std::string(vers) + "' is not read (1.0 and 3.0 are)");
        if (!next(text)) return truncated_header();
        if (text.size() < 78 || util::trim(text.substr(60)) != "CRINEX PROG / DATE")
            return bad("the second line is not CRINEX PROG / DATE");

        bool v2_types_pending = false;
        std::size_t v2_types_left = 0;
        std::size_t sys_left = 0;
        for (;;) {
            if (!next(text)) return truncated_header();
            out_.append(text);
            out_ += '\n';
            const std::string_view label = text.size() > 60 ? util::trim(text.substr(60)) : std::string_view{};
            if (label == "END OF HEADER") break;
            if (label == "# / TYPES OF OBSERV") {
                std::size_t n;
                if (!v2_types_pending && util::parse_int_field(text.substr(0, 6), n)) {
                    if (n > max_types) return bad("more observation types than can be read");
                    v2_types_ = n;
                    v2_types_left = n;
                }
                v2_types_left -= std::min<std::size_t>(v2_types_left, 9);
                v2_types_pending = v2_types_left > 0;
            } else if (label == "SYS / # / OBS TYPES") {
                if (sys_left == 0 || text[0] != ' ') {
                    std::size_t n;
                    const char sys = text[0];
                    if (sys == ' ' || !util::parse_int_field(text.substr(3, 3), n))
                        return bad("an unreadable SYS / # / OBS TYPES line");
                    if (n > max_types) return bad("more observation types than can be read");
                    sys_types_[static_cast<unsigned char>(sys)] = n;
                    sys_left = n;
                }
                sys_left -= std::min<std::size_t>(sys_left, 13);
            }
        }
        header_done_ = true;
        return util::ok_status();
    }

    util::Status truncated_header() const {
        if (lines_.error()) return inner_error();
        return GnssError::io("compact RINEX line " + std::to_string(line_no_ + 1) +
                             ": the file ends inside the header (truncated)");
    }

    // Where the epoch line holds the flag, the count and the satellite list.
    std::size_t flag_at() const { return v3_ ? 31 : 28; }
    std::size_t count_at() const { return v3_ ? 32 : 29; }
    std::size_t list_at() const { return v3_ ? 41 : 32; }

    util::Status epoch() {
        std::string_view text;
        do {
            if (!next(text)) {
                if (auto st = read_error(); !st) return st;
                done_ = true;
                return util::ok_status();
            }
        } while (text.empty() && epoch_line_.empty());  // blank lines before the first epoch
        // An empty epoch line repeats the previous one; blank lines up to the
        // end of the file, though, are padding and no epoch.
        blank_run_ = text.empty();
        if (sats_.size() > 4096) forget_absent();
        const bool fresh = !text.empty() && text[0] == (v3_ ? '>' : '&');
        if (fresh) {
            epoch_line_.clear();
            ++serial_;  // every satellite of the previous epoch is forgotten
            ++serial_;
        } else if (epoch_line_.empty()) {
            return bad("an epoch line that differs from no previous one (the first must start with " +
                       std::string(v3_ ? "'>'" : "'&'") + ")");
        }
        apply_text_diff(epoch_line_, text);
        if (v3_ && epoch_line_[0] != '>') return bad("an epoch line that does not start with '>'");
        const std::string_view e = epoch_line_;
        if (e.size() < count_at() + 3) return bad("an epoch line too short for its flag and count");
        const char flag = e[flag_at()];
        std::size_t count;
        if (!util::parse_int_field(e.substr(count_at(), 3), count)) return bad("an unreadable satellite count");
        // Events, and cycle slip records (flag 6), come as the writer wrote them.
        if (flag >= '2' && flag <= '6') return event(e.substr(0, count_at() + 3), count);
        if (flag != '0' && flag != '1' && flag != ' ') return bad("an unknown epoch flag");

        if (e.size() < list_at() + 3 * count) return bad("an epoch line with fewer satellites than its count");
        // Receiver clock offset.
        if (!next(text)) return truncated();
        bool have_clock = false;
        if (text.empty()) {
            clock_.live = false;
        } else {
            if (auto st = decode_value(util::trim(text), clock_); !st) return st;
            have_clock = true;
        }

        const std::uint64_t serial = ++serial_;
        const std::string_view list = e.substr(list_at(), 3 * count);
        // Epoch line of the text.
        if (v3_) {
            std::size_t n = std::min<std::size_t>(e.size(), 41);
            out_.append(e.substr(0, n));
            if (have_clock) {
                out_.append(41 - n, ' ');
                if (!put_scaled(out_, clock_.y[0], 12, 15)) return out_of_range();
            } else {
                trim_right(out_, out_.size() - n);
            }
            out_ += '\n';
        } else {
            const std::size_t start = out_.size();
            out_.append(e.substr(0, 32));
            const std::size_t first = std::min<std::size_t>(count, 12);
            out_.append(list.substr(0, 3 * first));
            if (have_clock) {
                const std::size_t len = out_.size() - start;
                if (len < 68) out_.append(68 - len, ' ');
                if (!put_scaled(out_, clock_.y[0], 9, 12)) return out_of_range();
            }
            out_ += '\n';
            for (std::size_t i = 12; i < count; i += 12) {
                out_.append(32, ' ');
                out_.append(list.substr(3 * i, 3 * std::min<std::size_t>(12, count - i)));
                out_ += '\n';
            }
        }
        for (std::size_t i = 0; i < count; ++i) {
            const std::string_view sat = list.substr(3 * i, 3);
            if (!next(text)) return truncated();
            if (auto st = satellite(sat, text, serial); !st) return st;
        }
        return util::ok_status();
    }

    util::Status event(std::string_view e, std::size_t count) {
        // The epoch line as it stands, then its lines unchanged; the next
        // epoch starts afresh.
        std::size_t n = e.size();
        while (n > 0 && e[n - 1] == ' ') --n;
        out_.append(e.substr(0, n));
        out_ += '\n';
        std::string_view text;
        for (std::size_t i = 0; i < count; ++i) {
            if (!next(text)) return truncated();
            out_.append(text);
            out_ += '\n';
        }
        return util::ok_status();
    }

    // Drops the states of satellites that were not in the previous epoch:
    // a stream of ever new identifiers cannot grow the table without bound.
    void forget_absent() {
        for (auto it = sats_.begin(); it != sats_.end();) {
            if (it->second.epoch + 1 < serial_) it = sats_.erase(it);
            else ++it;
        }
    }

    std::size_t types_of(std::string_view sat) const {
        if (!v3_) return v2_types_;
        return sys_types_[static_cast<unsigned char>(sat[0])];
    }

    SatState& state_of(std::string_view sat, std::uint64_t serial) {
        const std::uint32_t key = static_cast<std::uint32_t>(static_cast<unsigned char>(sat[0])) << 16 |
                                  static_cast<std::uint32_t>(static_cast<unsigned char>(sat[1])) << 8 |
                                  static_cast<unsigned char>(sat[2]);
        SatState& s = sats_[key];
        if (s.epoch + 1 != serial) {
            // Not in the previous epoch: a satellite new to the stream.
            for (Arc& a : s.arcs) a.live = false;
            s.flags.clear();
        }
        s.epoch = serial;
        return s;
    }

    util::Status satellite(std::string_view sat, std::string_view text, std::uint64_t serial) {
        const std::size_t ntypes = types_of(sat);
        SatState& s = state_of(sat, serial);
        if (s.arcs.size() < ntypes) s.arcs.resize(ntypes);
        values_.assign(ntypes, 0);
        present_.assign(ntypes, 0);
        std::size_t at = 0;
        bool ended = false;
        for (std::size_t i = 0; i < ntypes; ++i) {
            std::string_view field;
            if (!ended) {
                const std::size_t sp = text.find(' ', at);
                if (sp == std::string_view::npos) {
                    field = text.substr(at);
                    at = text.size();
                    ended = true;
                } else {
                    field = text.substr(at, sp - at);
                    at = sp + 1;
                }
            }
            Arc& arc = s.arcs[i];
            if (field.empty()) {
                arc.live = false;
                continue;
            }
            if (auto st = decode_value(field, arc); !st) return st;
            values_[i] = arc.y[0];
            present_[i] = 1;
        }
        if (!ended) apply_text_diff(s.flags, text.substr(at));

        const std::size_t start = out_.size();
        if (v3_) out_.append(sat);
        for (std::size_t i = 0; i < ntypes; ++i) {
            if (!v3_ && i > 0 && i % 5 == 0) {
                trim_right(out_, start);
                out_ += '\n';
            }
            if (!present_[i]) {
                // A missing value has no flags: they are blank here and start
                // blank when the value comes back.
                out_.append(16, ' ');
                if (2 * i < s.flags.size()) s.flags[2 * i] = ' ';
                if (2 * i + 1 < s.flags.size()) s.flags[2 * i + 1] = ' ';
                continue;
            }
            if (!put_scaled(out_, values_[i], 3, 14)) return out_of_range();
            out_ += 2 * i < s.flags.size() ? s.flags[2 * i] : ' ';
            out_ += 2 * i + 1 < s.flags.size() ? s.flags[2 * i + 1] : ' ';
        }
        trim_right(out_, start);
        out_ += '\n';
        return util::ok_status();
    }

    // One field: "n&value" starts an arc of order n, anything else is the
    // next difference of the running arc.
    util::Status decode_value(std::string_view field, Arc& arc) {
        std::size_t amp = field.find('&');
        std::int64_t v;
        if (amp != std::string_view::npos) {
            if (amp != 1 || field[0] < '0' || field[0] > '0' + static_cast<int>(max_order))
                return bad("an arc start '" + std::string(field) + "' whose order is not 0 to 5");
            if (!parse_integer(field.substr(2), v)) return bad("an unreadable value '" + std::string(field) + "'");
            arc.order = static_cast<std::uint8_t>(field[0] - '0');
            arc.have = 0;
            arc.y[0] = v;
            arc.live = true;
            return util::ok_status();
        }
        if (!parse_integer(field, v)) return bad("an unreadable difference '" + std::string(field) + "'");
        if (!arc.live) return bad("a difference '" + std::string(field) + "' without a value to add it to");
        if (arc.have < arc.order) ++arc.have;
        std::size_t k = arc.have;
        arc.y[k] = v;
        while (k-- > 0) {
            if (__builtin_add_overflow(arc.y[k], arc.y[k + 1], &arc.y[k]))
                return bad("a value beyond the range of 18 digits");
        }
        return util::ok_status();
    }

    // A signed decimal integer of at most 18 digits.
    static bool parse_integer(std::string_view s, std::int64_t& v) {
        bool neg = false;
        if (!s.empty() && s[0] == '-') {
            neg = true;
            s.remove_prefix(1);
        }
        if (s.empty() || s.size() > 18) return false;
        std::int64_t r = 0;
        for (char c : s) {
            if (c < '0' || c > '9') return false;
            r = r * 10 + (c - '0');
        }
        v = neg ? -r : r;
        return true;
    }

    LineReader lines_;
    std::uint64_t line_no_ = 0;
    std::string out_;
    std::size_t pos_ = 0;
    bool header_done_ = false, done_ = false, v3_ = false;
    std::optional<GnssError> failed_;

    std::size_t v2_types_ = 0;
    std::array<std::size_t, 256> sys_types_{};
    std::string epoch_line_;
    Arc clock_;
    std::uint64_t serial_ = 1;
    bool blank_run_ = false;
    std::unordered_map<std::uint32_t, SatState> sats_;
    std::vector<std::int64_t> values_;
    std::vector<unsigned char> present_;
};

}  // namespace

std::unique_ptr<ByteSource> make_compact_rinex_source(std::unique_ptr<ByteSource> compact) {
    return std::make_unique<CompactSource>(std::move(compact));
}

}  // namespace skarvo::io

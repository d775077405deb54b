#include "rinex/obs_columns.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <unordered_map>

#include "rinex/obs_header.hpp"
#include "rinex/obs_queries.hpp"
#include "utils/pool.hpp"

namespace skarvo::rinex {
namespace {

// Every possible code has a slot: 5 kinds x 10 bands x 256 attribute bytes.
constexpr std::size_t code_slots = 5 * 10 * 256;

constexpr std::size_t code_slot(const ObsCode& c) noexcept {
    return (static_cast<std::size_t>(c.kind) * 10 + c.band % 10) * 256 + static_cast<unsigned char>(c.attribute);
}

ObsCode code_of_slot(std::size_t slot) noexcept {
    return ObsCode{static_cast<ObsKind>(slot / 2560), static_cast<std::uint8_t>(slot / 256 % 10),
                   static_cast<char>(static_cast<unsigned char>(slot % 256))};
}

/// Marks every code stored in the data.
std::vector<std::uint8_t> stored_code_slots(const RinexObsData& data) {
    std::vector<std::uint8_t> seen(code_slots, 0);
    for (const ObsEntry& o : data.obs) seen[code_slot(o.code)] = 1;
    return seen;
}

std::vector<ObsCode> sorted_codes(const std::vector<std::uint8_t>& seen) {
    std::vector<ObsCode> codes;
    for (std::size_t s = 0; s < code_slots; ++s)
        if (seen[s]) codes.push_back(code_of_slot(s));
    std::sort(codes.begin(), codes.end(), code_text_less);
    return codes;
}

/// Slot -> index into `codes` (-1 for codes not listed).
std::vector<std::int32_t> code_index_table(const std::vector<ObsCode>& codes) {
    std::vector<std::int32_t> index(code_slots, -1);
    for (std::size_t i = 0; i < codes.size(); ++i) index[code_slot(codes[i])] = static_cast<std::int32_t>(i);
    return index;
}

/// Satellite -> index into `sats` (sorted in satellite order).
class SatelliteIndex {
public:
    explicit SatelliteIndex(const std::vector<Satellite>& sats) : sats_(sats) {}
    std::int32_t operator()(const Satellite& s) {
        // Records list satellites in much the same order epoch after epoch:
        // remember the last answer per key before searching.
        const std::uint64_t key = sort_key(s);
        if (const auto it = cache_.find(key); it != cache_.end()) return it->second;
        const auto pos = std::lower_bound(sats_.begin(), sats_.end(), s, satellite_less);
        const auto i = static_cast<std::int32_t>(pos - sats_.begin());
        cache_.emplace(key, i);
        return i;
    }

private:
    const std::vector<Satellite>& sats_;
    std::unordered_map<std::uint64_t, std::int32_t> cache_;
};

// The stored "no digit" byte 0xFF reads as -1 in a signed byte.
static_assert(static_cast<std::int8_t>(ObsEntry::no_digit) == -1);

std::int8_t digit_or_minus_one(std::uint8_t d) noexcept { return static_cast<std::int8_t>(d); }

}  // namespace

ObsTableLayout obs_table_layout(const RinexObsData& data) {
    ObsTableLayout layout;
    layout.satellites = distinct_satellites(data);
    layout.codes = sorted_codes(stored_code_slots(data));
    for (const EpochRecord& e : data.epochs)
        for (const SatObs& s : data.satellites_at(e)) layout.rows += s.end - s.begin;
    return layout;
}

void fill_obs_table(const RinexObsData& data, const ObsTableLayout& layout, const ObsTableColumns& out) {
    const std::vector<std::int32_t> code_index = code_index_table(layout.codes);
    // First row of every epoch record, so that ranges of records fill in parallel.
    const std::size_t nepochs = data.epochs.size();
    std::vector<std::size_t> first_row(nepochs + 1, 0);
    for (std::size_t i = 0; i < nepochs; ++i) {
        std::size_t rows = 0;
        for (const SatObs& s : data.satellites_at(data.epochs[i])) rows += s.end - s.begin;
        first_row[i + 1] = first_row[i] + rows;
    }
    if (first_row[nepochs] != layout.rows) return;  // not the layout of this data
    const std::size_t chunks = std::min<std::size_t>(nepochs, 64);
    util::parallel_for(chunks, [&](std::size_t c) {
        const std::size_t lo = c * nepochs / chunks, hi = (c + 1) * nepochs / chunks;
        SatelliteIndex sat_index(layout.satellites);
        std::size_t row = first_row[lo];
        for (std::size_t i = lo; i < hi; ++i) {
            const std::int64_t t = util::unix_millis(data.epochs[i].epoch);
            for (const SatObs& s : data.satellites_at(data.epochs[i])) {
                const std::span<const ObsEntry> obs = data.observations(s);
                const std::size_t n = obs.size();
                std::fill_n(out.time_ms + row, n, t);
                std::fill_n(out.satellite + row, n, sat_index(s.sat));
                for (std::size_t k = 0; k < n; ++k) {
                    const ObsEntry& o = obs[k];
                    out.code[row + k] = static_cast<std::int16_t>(code_index[code_slot(o.code)]);
                    out.value[row + k] = o.value;
                    out.lli[row + k] = digit_or_minus_one(o.lli);
                    out.ssi[row + k] = digit_or_minus_one(o.ssi);
                }
                row += n;
            }
        }
    });
}

ObsGridLayout obs_grid_layout(const RinexObsData& data) {
    ObsGridLayout layout;
    for (const EpochRecord& e : data.epochs) {
        bool has_data = false;
        for (const SatObs& s : data.satellites_at(e)) has_data = has_data || s.end > s.begin;
        if (has_data) layout.times_ms.push_back(util::unix_millis(e.epoch));
    }
    std::sort(layout.times_ms.begin(), layout.times_ms.end());
    layout.times_ms.erase(std::unique(layout.times_ms.begin(), layout.times_ms.end()), layout.times_ms.end());
    layout.satellites = distinct_satellites(data);

    std::vector<std::uint8_t> seen = stored_code_slots(data);
    const RinexHeader& h = data.header;
    const bool v2 = h.version.major == 2;
    if (v2) {
        for (const std::string& type : h.obs_types_v2)
            if (const auto c = translate_v2_type(type)) seen[code_slot(*c)] = 1;
    } else {
        for (const auto& list : h.obs_types)
            if (list)
                for (const ObsCode& c : *list) seen[code_slot(c)] = 1;
    }
    layout.codes = sorted_codes(seen);
    layout.names.reserve(layout.codes.size());
    for (const ObsCode& c : layout.codes) {
        std::string name = c.text();
        if (v2) {
            // The header's own spelling, as version 2 users know their types.
            for (const std::string& type : h.obs_types_v2) {
                const auto t = translate_v2_type(type);
                if (t && *t == c) {
                    name = type;
                    break;
                }
            }
        }
        layout.names.push_back(std::move(name));
    }
    return layout;
}

void fill_obs_grid(const RinexObsData& data, const ObsGridLayout& layout, std::span<double> out, GridField field) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const auto cell_value = [field, nan](const ObsEntry& o) {
        const std::uint8_t digit = field == GridField::Lli ? o.lli : o.ssi;
        if (field == GridField::Value) return o.value;
        return digit == ObsEntry::no_digit ? nan : static_cast<double>(digit);
    };
    const std::size_t nsat = layout.satellites.size();
    const std::size_t block = layout.times_ms.size() * nsat;
    if (out.size() != layout.codes.size() * block) return;  // not a buffer of this layout
    // Days of 30-s data make grids of a hundred megabytes: blank them in parallel.
    const std::size_t pieces = std::min<std::size_t>(out.size() / 65536 + 1, 16);
    util::parallel_for(pieces, [&](std::size_t p) {
        std::fill(out.begin() + static_cast<std::ptrdiff_t>(p * out.size() / pieces),
                  out.begin() + static_cast<std::ptrdiff_t>((p + 1) * out.size() / pieces),
                  nan);
    });
    const std::vector<std::int32_t> code_index = code_index_table(layout.codes);
    SatelliteIndex sat_index(layout.satellites);
    for (const EpochRecord& e : data.epochs) {
        const std::int64_t t = util::unix_millis(e.epoch);
        const auto pos = std::lower_bound(layout.times_ms.begin(), layout.times_ms.end(), t);
        if (pos == layout.times_ms.end() || *pos != t) continue;  // a record without observations
        const std::size_t row = static_cast<std::size_t>(pos - layout.times_ms.begin());
        for (const SatObs& s : data.satellites_at(e)) {
            const std::size_t cell = row * nsat + static_cast<std::size_t>(sat_index(s.sat));
            for (const ObsEntry& o : data.observations(s)) {
                const std::int32_t k = code_index[code_slot(o.code)];
                out[static_cast<std::size_t>(k) * block + cell] = cell_value(o);
            }
        }
    }
}

}  // namespace skarvo::rinex

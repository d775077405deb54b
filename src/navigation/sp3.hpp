// SP3 precise orbits: the reader (line layout of versions a to d) and the
// interpolation of a satellite's position between tabulated epochs.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "navigation/coordinates.hpp"
#include "utils/error.hpp"
#include "utils/identifiers.hpp"
#include "utils/time.hpp"

namespace skarvo::nav {

/// One tabulated position of one satellite.
struct Sp3Record {
    util::Epoch epoch;      // as written on the preceding epoch line
    double x = 0.0;         // ECEF, metres
    double y = 0.0;
    double z = 0.0;
    double clock_us = 0.0;  // satellite clock correction, microseconds
};

/// The nodes of one satellite prepared for interpolation: the usable records
/// (finite epoch, a position that is neither the 0,0,0 "missing" marker nor
/// non-finite, first record of each repeated epoch), in file order, as
/// seconds from the first of them.
struct Sp3Track {
    util::Epoch reference;
    std::vector<double> t_s;  // seconds from `reference`
    std::vector<double> x, y, z;
    /// t_s strictly increasing: the nearest nodes can be found by bisection.
    bool time_ordered = true;
    /// Earliest and latest node, and the median step between nodes in time
    /// order (seconds from `reference`): the span interpolation may reach.
    double first_s = 0.0, last_s = 0.0, step_s = 0.0;

    std::size_t size() const noexcept { return t_s.size(); }
};

/// A read SP3 file. Built once, then only read (safe to share between threads).
struct Sp3Data {
    /// Satellites with at least one stored record, in order of first
    /// appearance in the file.
    std::vector<util::Satellite> satellites;
    /// Per satellite (parallel to `satellites`): its records in file order,
    /// neither sorted nor de-duplicated.
    std::vector<std::vector<Sp3Record>> positions;
    /// Number of epochs declared in header line 1 (0 when absent).
    std::uint64_t num_epochs = 0;
    /// Epoch interval from header line 2, seconds (0 when the line is absent).
    double interval = 0.0;
    /// Every epoch line that reads, in file order (also those without a
    /// usable record): the span the file covers.
    std::vector<util::Epoch> epochs;

    /// Builds the satellite lookup and the interpolation tracks from
    /// `satellites` and `positions`. The reader calls it; call it again after
    /// changing either by hand.
    void build_index();

    /// Records of `sat` in file order, or null when it has none.
    const std::vector<Sp3Record>* find(const util::Satellite& sat) const noexcept;
    /// Interpolation nodes of `sat`, or null (also when build_index is stale).
    const Sp3Track* track(const util::Satellite& sat) const noexcept;

private:
    std::unordered_map<std::uint64_t, std::uint32_t> index_;  // sort_key -> position
    std::vector<Sp3Track> tracks_;
};

/// Reads an SP3 file, decoded by its content (plain text or gzip; see
/// io/input.hpp). Malformed lines and fields are skipped or defaulted; only
/// a file that cannot be read or decoded, or whose text is not valid UTF-8,
/// fails (kind Io).
util::Result<Sp3Data> read_sp3_file(const std::string& path);

/// Same as read_sp3_file, on bytes already in memory (borrowed).
util::Result<Sp3Data> read_sp3_buffer(std::string_view bytes);

/// Same as read_sp3_file, on text already split into lines (without their
/// line feeds, valid UTF-8).
Sp3Data read_sp3_lines(std::span<const std::string_view> lines);

/// Reads several SP3 files (for example the day before, the day and the day
/// after an observation span) as one orbit. One path reads exactly as
/// read_sp3_file. Several are merged by their epoch blocks (an epoch line
/// and the lines after it up to the next epoch line or EOF line):
/// - the header (the lines before the first epoch line) comes from the first
///   file only, so the declared epoch count and interval are the first
///   file's; the headers of the others are dropped;
/// - the blocks of every file are put in time order; an epoch found in
///   several files, or twice in one, keeps the block read first (earlier in
///   `paths`, then earlier in its file) whole, even where a later block
///   holds satellites it lacks;
/// - gaps between the files stay gaps, satellites and intervals may differ;
/// - lines after an EOF line or after an epoch line that does not read (six
///   numbers: a valid date and time, the second in [0, 61)) are dropped up
///   to the next epoch line; epochs are the same when they agree to the
///   microsecond.
/// Fails (kind Io, naming the file) when any file cannot be read or decoded
/// or is not UTF-8 text, and when `paths` is empty.
util::Result<Sp3Data> read_sp3_files(std::span<const std::string> paths);

/// Number of interpolation nodes (a polynomial of degree 8).
inline constexpr std::size_t sp3_interpolation_nodes = 9;

/// ECEF position (metres) of `sat` at `epoch` from a Lagrange polynomial
/// through the nine usable records nearest in time (ties go to the record
/// earlier in the file), evaluated by Neville's scheme on exact time
/// offsets. Absent when the satellite has fewer than nine usable records or
/// the epoch's second is not finite, and when the target lies more than one
/// record interval (the median step of the satellite's records) before its
/// first or after its last record: a degree-8 polynomial is worthless hours
/// away from its nodes. Thread-safe, read-only, allocation-free.
std::optional<Ecef> interpolate_position(const Sp3Data& sp3, const util::Satellite& sat,
                                         const util::Epoch& epoch) noexcept;

/// The same result by the straightforward selection (every node's distance
/// to the target, the nine smallest), without the bisection of time-ordered
/// tracks. For tests and benchmarks of the fast path.
std::optional<Ecef> interpolate_position_by_full_scan(const Sp3Data& sp3, const util::Satellite& sat,
                                                      const util::Epoch& epoch) noexcept;

}  // namespace skarvo::nav

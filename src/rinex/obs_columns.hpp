// Columnar views of a parsed observation file: one row per stored
// observation (the long table), or one time x satellite grid per observation
// code (the wide layout). The caller owns the output buffers; these
// functions only size and fill them, so that the buffers can be handed to
// array libraries without a copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "rinex/types.hpp"

namespace skarvo::rinex {

/// Lookup tables and size of the long table.
struct ObsTableLayout {
    std::vector<Satellite> satellites;  ///< distinct satellites, satellite order
    std::vector<ObsCode> codes;         ///< distinct codes stored, sorted by text
    std::size_t rows = 0;               ///< number of stored observations
};

/// Output buffers of the long table, each `rows` long.
struct ObsTableColumns {
    std::int64_t* time_ms;     ///< unix_millis of the epoch
    std::int32_t* satellite;   ///< index into ObsTableLayout::satellites
    std::int16_t* code;        ///< index into ObsTableLayout::codes
    double* value;             ///< as written in the file
    std::int8_t* lli;          ///< digit 0-9, or -1 when absent
    std::int8_t* ssi;          ///< digit 0-9, or -1 when absent
};

ObsTableLayout obs_table_layout(const RinexObsData& data);

/// Fills the long table: rows in file order (epoch records, then the
/// satellites of each record as read, then the observations as stored).
/// Does not allocate beyond a small code lookup table.
void fill_obs_table(const RinexObsData& data, const ObsTableLayout& layout, const ObsTableColumns& out);

/// Rows, columns and variables of the wide layout.
struct ObsGridLayout {
    /// Distinct epoch times (unix_millis) of the records that hold at least
    /// one observation, ascending.
    std::vector<std::int64_t> times_ms;
    std::vector<Satellite> satellites;  ///< distinct satellites, satellite order
    /// The codes stored in the data together with those the header declares
    /// (version 3/4 lists; translated version 2 types), sorted by text.
    std::vector<ObsCode> codes;
    /// Variable name per code: the code text, or for version 2 files the
    /// header's two-character type that translates to it.
    std::vector<std::string> names;
};

ObsGridLayout obs_grid_layout(const RinexObsData& data);

/// What a grid holds: the values, or the loss-of-lock or signal-strength
/// digits (as numbers, NaN where the digit is absent).
enum class GridField : std::uint8_t { Value, Lli, Ssi };

/// Fills `out`, codes.size() blocks of times_ms.size() x satellites.size()
/// values (row-major per block), with NaN where nothing was stored. When two
/// records share a time tag, the later record's value wins.
void fill_obs_grid(const RinexObsData& data, const ObsGridLayout& layout, std::span<double> out,
                   GridField field = GridField::Value);

}  // namespace skarvo::rinex

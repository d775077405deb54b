// station_quality: the epoch grid, receiver clock jumps, completeness and
// SNR by elevation of one observation file.
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "analysis/quality.hpp"
#include "navigation/nav_data.hpp"
#include "navigation/orbit_source.hpp"
#include "navigation/sp3.hpp"
#include "python/bindings.hpp"

namespace skarvo::python {
namespace {

py::object iso_or_none(std::optional<std::int64_t> ms) {
    if (!ms) return py::none();
    const auto e = util::epoch_from_millis(*ms);
    if (!e) return py::none();
    return py::str(util::iso_text(*e));
}

py::object count_or_none(bool known, std::uint64_t n) { return known ? py::object(py::int_(n)) : py::none(); }

}  // namespace

void bind_station_quality(py::module_& m) {
    m.def(
        "station_quality",
        [](const PyRinexObsData& obs, py::object sp3, std::optional<nav::Ecef> receiver,
           std::optional<std::vector<std::string>> systems, double elevation_mask, double bin_width) {
            if (!std::isfinite(elevation_mask) || elevation_mask < -90.0 || elevation_mask > 90.0)
                raise_value_error("elevation_mask must be a number of degrees in [-90, 90]");
            if (!(bin_width > 0.0 && bin_width <= 90.0))
                raise_value_error("bin_width must be a number of degrees in (0, 90]");
            if (!sp3.is_none() && !receiver) raise_value_error("an orbit needs the receiver position (receiver=Ecef(...))");
            if (receiver && !(std::isfinite(receiver->x) && std::isfinite(receiver->y) && std::isfinite(receiver->z)))
                raise_value_error("receiver position must be finite");
            analysis::QualitySettings settings;
            settings.elevation_mask_deg = elevation_mask;
            settings.bin_width_deg = bin_width;
            if (systems) {
                for (const std::string& s : *systems) {
                    std::optional<util::GnssSystem> sys;
                    if (s.size() == 1) sys = util::system_from_letter(static_cast<unsigned char>(s[0]));
                    if (!sys) raise_value_error("unknown system '" + s + "' (use letters among G R E C J S I)");
                    settings.systems[util::system_index(*sys)] = true;
                }
            }
            const std::shared_ptr<const rinex::RinexObsData> data = obs.data;
            // The orbit's table, kept alive by the argument for the whole call.
            std::shared_ptr<const nav::Sp3Data> sp3_table;
            std::shared_ptr<const nav::NavData> nav_table;
            if (!sp3.is_none()) {
                if (py::isinstance<PySp3Data>(sp3)) {
                    sp3_table = sp3.cast<const PySp3Data&>().data;
                } else if (py::isinstance<PyNavData>(sp3)) {
                    nav_table = sp3.cast<const PyNavData&>().data;
                } else {
                    (void)orbit_argument(sp3, "station_quality", "sp3");  // raises TypeError
                }
            }
            analysis::TimeScan time;
            analysis::ClockScan clock;
            analysis::Completeness comp;
            {
                py::gil_scoped_release release;
                time = analysis::scan_epochs(*data);
                clock = analysis::scan_clock(*data, time);
                analysis::OrbitFactory factory;
                std::vector<util::Satellite> sats;
                if (sp3_table) {
                    sats = sp3_table->satellites;
                    factory = [&]() -> std::unique_ptr<nav::OrbitSource> {
                        return std::make_unique<nav::Sp3Orbit>(*sp3_table);
                    };
                } else if (nav_table) {
                    sats = nav_table->satellites;
                    factory = [&]() -> std::unique_ptr<nav::OrbitSource> {
                        return std::make_unique<nav::BroadcastOrbit>(*nav_table);
                    };
                }
                comp = analysis::count_completeness(*data, time, factory ? receiver : std::nullopt, sats, factory,
                                                    settings);
            }

            py::dict t;
            t["interval"] = time.interval_s > 0.0 ? py::object(py::float_(time.interval_s)) : py::none();
            t["first"] = iso_or_none(time.first_ms);
            t["last"] = iso_or_none(time.last_ms);
            t["data_epochs"] = time.data_epochs;
            t["distinct_epochs"] = time.distinct_epochs;
            t["duplicates"] = time.duplicates;
            t["out_of_order"] = time.out_of_order;
            t["grid_epochs"] = time.grid_epochs;
            t["missing_epochs"] = time.missing_epochs;
            t["off_grid"] = time.off_grid;
            py::list gaps;
            for (const auto& g : time.gaps)
                gaps.append(py::make_tuple(iso_or_none(g.after_ms), iso_or_none(g.before_ms), g.missing));
            t["gaps"] = gaps;
            py::list events;
            for (const auto& e : time.events) events.append(py::make_tuple(iso_or_none(e.epoch_ms), e.flag));
            t["events"] = events;

            py::dict c;
            py::list jumps;
            for (const auto& j : clock.jumps)
                jumps.append(py::make_tuple(iso_or_none(j.epoch_ms), j.milliseconds, j.size_m, j.ranges, j.agreeing));
            c["jumps"] = jumps;
            c["steps_checked"] = clock.steps_checked;
            c["offset_epochs"] = clock.offset_epochs;
            if (clock.offset_epochs) {
                c["offset_first"] = clock.offset_first_s;
                c["offset_last"] = clock.offset_last_s;
                c["offset_min"] = clock.offset_min_s;
                c["offset_max"] = clock.offset_max_s;
            } else {
                for (const char* k : {"offset_first", "offset_last", "offset_min", "offset_max"}) c[k] = py::none();
            }
            c["offset_drift"] = std::isfinite(clock.offset_drift) ? py::object(py::float_(clock.offset_drift))
                                                                   : py::none();

            const bool orbit_used = comp.with_orbit && !comp.grid_too_long;
            py::dict q;
            q["elevation_mask"] = elevation_mask;
            q["bin_width"] = bin_width;
            q["with_orbit"] = comp.with_orbit;
            q["grid_too_long"] = comp.grid_too_long;
            py::dict expected;
            for (util::GnssSystem s : util::all_systems) {
                const std::size_t si = util::system_index(s);
                if (orbit_used && comp.orbit_has_system[si])
                    expected[py::str(std::string(1, util::system_letter(s)))] = comp.expected_sat_epochs[si];
            }
            q["expected_satellite_epochs"] = expected;
            py::list rows;
            for (const auto& r : comp.rows) {
                const bool known = orbit_used && comp.orbit_has_system[util::system_index(r.system)];
                rows.append(py::make_tuple(std::string(1, util::system_letter(r.system)), r.code.text(),
                                           count_or_none(known, r.expected), count_or_none(known, r.observed),
                                           r.stored));
            }
            q["signals"] = rows;
            py::list snr;
            for (const auto& b : comp.snr)
                snr.append(py::make_tuple(std::string(1, util::system_letter(b.system)), b.code.text(),
                                          py::cast(b.count), py::cast(b.value)));
            q["snr_by_elevation"] = snr;

            py::dict out;
            out["time"] = t;
            out["clock"] = c;
            out["completeness"] = q;
            return out;
        },
        py::arg("obs_data"), py::arg("sp3") = py::none(), py::arg("receiver") = py::none(),
        py::arg("systems") = py::none(), py::arg("elevation_mask") = 10.0, py::arg("bin_width") = 10.0,
        "station_quality(obs_data, sp3=None, receiver=None, systems=None, elevation_mask=10.0, bin_width=10.0)"
        "\n--\n\n"
        "Epoch grid, receiver clock jumps, completeness and SNR by elevation of one file\n\n"
        "Returns a dict with three parts.\n\n"
        "'time': the nominal interval (header INTERVAL, else the most common step), first and last epoch, "
        "data epochs (flag 0 or 1), distinct epochs, duplicated and out-of-order records, slots of the "
        "interval grid from first to last epoch, missing slots, epochs off the grid, every gap as "
        "(last epoch before, first epoch after, missing slots), and every event record as (epoch or None, "
        "flag).\n\n"
        "'clock': millisecond jumps of the receiver clock seen in the code ranges, as (first epoch after, "
        "k in ms, median step in metres, ranges, ranges agreeing), the steps checked, and the epoch-line "
        "clock offsets (count, first, last, min, max in seconds, drift in s/s) when the file carries them.\n\n"
        "'completeness': with an orbit (sp3: an Sp3Data or a NavData, and receiver), per code and phase observation of the header "
        "lists: (system, code, expected, observed, stored). Expected counts the satellite-epochs of the "
        "interval grid at or above elevation_mask for the orbit's satellites of that system; observed counts "
        "the stored values at satellite-epochs at or above the mask; stored counts every value. Expected and "
        "observed are None without an orbit or for a system the orbit does not place. "
        "'snr_by_elevation': (system, code, counts, means) per S observation, bins of bin_width degrees "
        "from 0 to 90 (needs an orbit). Runs without the GIL.");
}

}  // namespace skarvo::python

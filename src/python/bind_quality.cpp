// station_quality: the epoch grid, receiver clock jumps, completeness and
// SNR by elevation of one observation file.
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "analysis/quality.hpp"
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
            analysis::StationQualityRequest request;
            request.orbit_given = !sp3.is_none();
            if (py::isinstance<PySp3Data>(sp3))
                request.sp3 = sp3.cast<const PySp3Data&>().data;
            else if (py::isinstance<PyNavData>(sp3))
                request.broadcast = sp3.cast<const PyNavData&>().data;
            request.receiver = receiver;
            request.systems = std::move(systems);
            request.elevation_mask_deg = elevation_mask;
            request.bin_width_deg = bin_width;
            const std::shared_ptr<const rinex::RinexObsData> data = obs.data;
            util::Result<analysis::StationQuality> done = util::GnssError(util::ErrorKind::Other);
            {
                // The observation data and the orbit tables are immutable and
                // shared; the request is a C++ copy.
                py::gil_scoped_release release;
                done = analysis::station_quality(*data, request);
            }
            if (!done) {
                if (done.error().kind() == util::ErrorKind::Configuration)
                    (void)orbit_argument(sp3, "station_quality", "sp3");  // raises TypeError
                raise_value_error(done.error().message());
            }
            const analysis::TimeScan& time = done->time;
            const analysis::ClockScan& clock = done->clock;
            const analysis::Completeness& comp = done->completeness;

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

            py::dict q;
            q["elevation_mask"] = elevation_mask;
            q["bin_width"] = bin_width;
            q["with_orbit"] = comp.with_orbit;
            q["grid_too_long"] = comp.grid_too_long;
            py::dict expected;
            for (util::GnssSystem s : util::all_systems) {
                if (comp.counts_known(s))
                    expected[py::str(std::string(1, util::system_letter(s)))] =
                        comp.expected_sat_epochs[util::system_index(s)];
            }
            q["expected_satellite_epochs"] = expected;
            py::list rows;
            for (const auto& r : comp.rows) {
                const bool known = comp.counts_known(r.system);
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

// NavData and read_rinex_nav (broadcast orbits), and the orbit argument that
// the elevation operations accept as either an Sp3Data or a NavData.
#include <pybind11/stl/filesystem.h>

#include <filesystem>
#include <memory>
#include <string>

#include "navigation/nav_data.hpp"
#include "navigation/orbit_source.hpp"
#include "navigation/sp3.hpp"
#include "python/bindings.hpp"
#include "utils/text.hpp"

namespace skarvo::python {

OrbitArg orbit_argument(py::handle obj, const char* function, const char* parameter) {
    OrbitArg out;
    if (py::isinstance<PySp3Data>(obj)) {
        auto table = obj.cast<const PySp3Data&>().data;
        out.source = std::make_unique<nav::Sp3Orbit>(*table);
        out.table = std::move(table);
    } else if (py::isinstance<PyNavData>(obj)) {
        auto table = obj.cast<const PyNavData&>().data;
        out.source = std::make_unique<nav::BroadcastOrbit>(*table);
        out.table = std::move(table);
    } else {
        raise(PyExc_TypeError, std::string(function) + "(): " + parameter + " must be an Sp3Data or a NavData, not " +
                                   std::string(py::str(py::type::handle_of(obj).attr("__name__"))));
    }
    return out;
}

void bind_nav_data(py::module_& m) {
    py::class_<PyNavData> cls(m, "NavData");
    cls.def_property_readonly(
        "version", [](const PyNavData& d) { return d.data->version; }, "RINEX version of the file (e.g. 3.05)");
    cls.def_property_readonly(
        "num_records", [](const PyNavData& d) { return d.data->num_records; },
        "Number of ephemeris records read, of every message type, repeats included");
    cls.def_property_readonly(
        "num_satellites", [](const PyNavData& d) { return d.data->satellites.size(); },
        "Number of satellites with at least one ephemeris record");
    cls.def(
        "satellites",
        [](const PyNavData& d) {
            py::list out;
            for (const util::Satellite& s : d.data->satellites) out.append(s.id());
            return out;
        },
        "satellites($self)\n--\n\nIdentifiers of the satellites with ephemeris records, in satellite order "
        "(system letter, then number)");
    cls.def(
        "get_position",
        [](const PyNavData& d, const std::string& satellite, const util::Epoch& epoch) -> std::optional<nav::Ecef> {
            const auto sat = util::parse_satellite(satellite);
            if (!sat) return std::nullopt;
            return d.data->position(*sat, epoch);
        },
        py::arg("satellite"), py::arg("epoch"),
        "get_position($self, satellite, epoch)\n--\n\n"
        "ECEF position (m) of a satellite (e.g. 'G05') at an Epoch in GPS time, from its broadcast orbit:\n"
        "the Keplerian elements of the record whose reference time is nearest (healthy records first,\n"
        "within the record's fit interval) for GPS, QZSS, Galileo, BeiDou and NavIC, and the numerical\n"
        "integration of the nearest state vector (at most 15 minutes away) for GLONASS. None when no\n"
        "record is valid at the epoch, and for SBAS, whose records are read but not propagated.\n\n"
        "The positions are meant for elevations and azimuths (metre-level agreement with precise\n"
        "orbits; broadcast positions refer to the antenna phase centre), not for positioning: no clock,\n"
        "relativistic or group-delay terms are applied.");
    cls.def(
        "merged",
        [](const PyNavData& d, const PyNavData& other) {
            nav::NavData out = *d.data;
            out.merge(*other.data);
            return PyNavData{std::make_shared<const nav::NavData>(std::move(out))};
        },
        py::arg("other"),
        "merged($self, other)\n--\n\nA new NavData holding the records of both (e.g. the GPS, Galileo and "
        "BeiDou files of one station-day); repeated records are kept once");
    cls.def("__repr__", [](const PyNavData& d) {
        return "NavData(version=" + util::shortest_decimal(d.data->version) +
               ", satellites=" + std::to_string(d.data->satellites.size()) +
               ", records=" + std::to_string(d.data->num_records) + ")";
    });
    finish_class(cls, "NavData", "Python-exposed broadcast navigation data", nullptr);
}

void bind_read_rinex_nav(py::module_& m) {
    m.def(
        "read_rinex_nav",
        [](const std::filesystem::path& path) {
            const std::string native = path.string();
            util::Result<nav::NavData> r = [&] {
                // The reader touches no Python object and the path is a copy.
                py::gil_scoped_release release;
                return nav::read_nav_file(native);
            }();
            if (!r) raise_io_error("Failed to read navigation file " + native + ": " + r.error().message());
            return PyNavData{std::make_shared<const nav::NavData>(std::move(r).value())};
        },
        py::arg("path"),
        "read_rinex_nav(path)\n--\n\nRead a RINEX navigation file (versions 2, 3 and 4; plain or gzip) into a "
        "NavData.\nRaises OSError for files that cannot be read or are not valid navigation data (the message "
        "names the line).");
}

}  // namespace skarvo::python

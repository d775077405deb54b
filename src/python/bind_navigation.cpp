// Ecef, Geodetic, Sp3Data, read_sp3, read_sp3_files and calculate_azel.
#include <charconv>
#include <cmath>
#include <string>

#include <pybind11/stl/filesystem.h>

#include <filesystem>
#include <memory>
#include <vector>

#include "navigation/coordinates.hpp"
#include "navigation/sp3.hpp"
#include "python/bindings.hpp"
#include "utils/text.hpp"

namespace skarvo::python {

using nav::Ecef;
using nav::Geodetic;

namespace {

// Fixed notation with `decimals` digits after the point, locale-free and
// correctly rounded; non-finite values as NaN, inf and -inf.
std::string fixed(double v, int decimals) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    char buf[400];
    const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals);
    return std::string(buf, r.ptr);
}

std::string ecef_repr(const Ecef& p) {
    return "Ecef(" + fixed(p.x, 3) + ", " + fixed(p.y, 3) + ", " + fixed(p.z, 3) + ")";
}

std::string geodetic_repr(const Geodetic& g) {
    static const std::string degree = "\xC2\xB0";
    return "Geodetic(" + fixed(g.lat, 6) + degree + ", " + fixed(g.lon, 6) + degree + ", " + fixed(g.height, 1) +
           "m)";
}

}  // namespace

void bind_ecef(py::module_& m) {
    py::class_<Ecef> cls(m, "Ecef");
    cls.def(py::init([](double x, double y, double z) { return Ecef{x, y, z}; }), py::arg("x"), py::arg("y"),
            py::arg("z"));
    cls.def_property_readonly("x", [](const Ecef& p) { return p.x; }, "X coordinate (m)");
    cls.def_property_readonly("y", [](const Ecef& p) { return p.y; }, "Y coordinate (m)");
    cls.def_property_readonly("z", [](const Ecef& p) { return p.z; }, "Z coordinate (m)");
    cls.def(
        "to_geodetic", [](const Ecef& p) { return nav::ecef_to_geodetic(p); },
        "to_geodetic($self)\n--\n\nWGS84 latitude, longitude (degrees) and ellipsoidal height (m)");
    cls.def(
        "magnitude", [](const Ecef& p) { return nav::magnitude(p); },
        "magnitude($self)\n--\n\nDistance from the geocentre (m)");
    cls.def(
        "distance", [](const Ecef& p, const Ecef& other) { return nav::distance(p, other); }, py::arg("other"),
        "distance($self, other)\n--\n\nEuclidean distance to another Ecef position (m)");
    cls.def("__repr__", &ecef_repr);
    cls.def("__str__", &ecef_repr);
    finish_class(cls, "Ecef", "Python-exposed ECEF coordinates", "(x, y, z)");
}

void bind_geodetic(py::module_& m) {
    py::class_<Geodetic> cls(m, "Geodetic");
    cls.def(py::init([](double lat, double lon, double height) { return Geodetic{lat, lon, height}; }),
            py::arg("lat"), py::arg("lon"), py::arg("height"));
    cls.def_property_readonly("lat", [](const Geodetic& g) { return g.lat; }, "Latitude (degrees)");
    cls.def_property_readonly("lon", [](const Geodetic& g) { return g.lon; }, "Longitude (degrees)");
    cls.def_property_readonly("height", [](const Geodetic& g) { return g.height; },
                              "Height above the WGS84 ellipsoid (m)");
    cls.def(
        "to_ecef", [](const Geodetic& g) { return nav::geodetic_to_ecef(g); },
        "to_ecef($self)\n--\n\nECEF position (m) on WGS84");
    cls.def("__repr__", &geodetic_repr);
    cls.def("__str__", &geodetic_repr);
    finish_class(cls, "Geodetic", "Python-exposed Geodetic coordinates", "(lat, lon, height)");
}

void bind_sp3_data(py::module_& m) {
    py::class_<PySp3Data> cls(m, "Sp3Data");
    cls.def_property_readonly(
        "num_satellites", [](const PySp3Data& d) { return d.data->satellites.size(); },
        "Number of satellites with at least one position");
    cls.def_property_readonly(
        "num_epochs", [](const PySp3Data& d) { return d.data->num_epochs; },
        "Number of epochs declared in the header (0 when absent)");
    cls.def_property_readonly(
        "interval", [](const PySp3Data& d) { return d.data->interval; },
        "Epoch interval from the header (s; 0.0 when absent)");
    cls.def(
        "satellites",
        [](const PySp3Data& d) {
            py::list out;
            for (const util::Satellite& s : d.data->satellites) out.append(s.id());
            return out;
        },
        "satellites($self)\n--\n\nIdentifiers of the satellites with positions, in order of first appearance");
    cls.def(
        "get_position",
        [](const PySp3Data& d, const SatelliteText& satellite, const util::Epoch& epoch) -> std::optional<Ecef> {
            const auto sat = util::parse_satellite(satellite.text);
            if (!sat) return std::nullopt;
            return nav::interpolate_position(*d.data, *sat, epoch);
        },
        py::arg("satellite"), py::arg("epoch"),
        "get_position($self, satellite, epoch)\n--\n\n"
        "ECEF position (m) of a satellite (e.g. 'G05') at an Epoch, interpolated from the nine nearest\n"
        "records; None when the satellite is unknown or has fewer than nine usable records, and\n"
        "when the epoch lies more than one record interval outside the satellite's records\n"
        "(no extrapolation). `satellite` may also be a Satellite object.");
    cls.def(
        "epochs", [](const PySp3Data& d) { return d.data->epochs; },
        "epochs($self)\n--\n\nEpochs of the file's epoch lines, in file order (also those without a usable\n"
        "record); for files read together by read_sp3_files, in time order, each once");
    cls.def("__repr__", [](const PySp3Data& d) {
        return "Sp3Data(satellites=" + std::to_string(d.data->satellites.size()) +
               ", epochs=" + std::to_string(d.data->num_epochs) +
               ", interval=" + util::shortest_decimal(d.data->interval) + "s)";
    });
    finish_class(cls, "Sp3Data", "Python-exposed SP3 data", nullptr);
}

void bind_read_sp3(py::module_& m) {
    m.def(
        "read_sp3",
        [](const std::filesystem::path& path) {
            const std::string native = path.string();
            util::Result<nav::Sp3Data> r = [&] {
                // The reader touches no Python object and the path is a copy.
                py::gil_scoped_release release;
                return nav::read_sp3_file(native);
            }();
            if (!r) raise_io_error("Failed to read SP3: " + r.error().message());
            return PySp3Data{std::make_shared<const nav::Sp3Data>(std::move(r).value())};
        },
        py::arg("path"),
        "read_sp3(path)\n--\n\nRead SP3 file\n\n"
        "Reads a precise orbit file of SP3 versions a to d (plain text; decompress\n"
        "a .gz or .Z file first) and returns an Sp3Data with the satellites' ECEF\n"
        "positions, interpolated by get_position. Malformed records are skipped.\n"
        "Raises OSError (IOError) 'Failed to read SP3: ...' when the file cannot be\n"
        "read or is not UTF-8 text.");
}

void bind_read_sp3_files(py::module_& m) {
    m.def(
        "read_sp3_files",
        [](const std::vector<std::filesystem::path>& paths) {
            if (paths.empty()) raise_value_error("read_sp3_files needs at least one path");
            std::vector<std::string> native;
            native.reserve(paths.size());
            for (const auto& p : paths) native.push_back(p.string());
            util::Result<nav::Sp3Data> r = [&] {
                py::gil_scoped_release release;
                return nav::read_sp3_files(native);
            }();
            if (!r) raise_io_error("Failed to read SP3: " + r.error().message());
            return PySp3Data{std::make_shared<const nav::Sp3Data>(std::move(r).value())};
        },
        py::arg("paths"),
        "read_sp3_files(paths)\n--\n\nRead several SP3 files as one orbit\n\n"
        "`paths` is a sequence of paths (plain, gzip or compress, decided by content),\n"
        "for example the day before, the day and the day after an observation span.\n"
        "One path reads exactly as read_sp3. Several are merged by epoch: the header\n"
        "(declared epoch count and interval) is the first file's; the epoch blocks of\n"
        "all files are put in time order, and an epoch found in several files (or\n"
        "twice in one) keeps the whole block read first (earlier in `paths`, then\n"
        "earlier in its file). Gaps stay gaps; satellites and intervals may differ\n"
        "between files. Lines after an EOF line or an unreadable epoch line are\n"
        "dropped up to the next epoch line. Runs without the GIL.\n"
        "Raises ValueError for an empty sequence and OSError 'Failed to read SP3: ...'\n"
        "naming the file that cannot be read or is not UTF-8 text.");
}

void bind_calculate_azel(py::module_& m) {
    m.def(
        "calculate_azel",
        [](const Ecef& receiver, const Ecef& satellite) { return nav::azimuth_elevation(receiver, satellite); },
        py::arg("receiver"), py::arg("satellite"), "calculate_azel(receiver, satellite)\n--\n\nCalculate azimuth and elevation");
}

}  // namespace skarvo::python

// GnssSystem, Satellite, Epoch, the frequency functions and version().
#include <optional>
#include <string>

#include "analysis/partner_bands.hpp"
#include "python/bindings.hpp"
#include "utils/frequencies.hpp"
#include "utils/text.hpp"
#include "utils/time.hpp"

#ifndef SKARVO_VERSION
#define SKARVO_VERSION "1.0.1"
#endif

namespace skarvo::python {

using util::GnssSystem;
using util::Satellite;
using util::Epoch;

void bind_gnss_system(py::module_& m) {
    py::class_<PyGnssSystem> cls(m, "GnssSystem");
    cls.def(py::init([](const std::string& code) {
                if (code.empty()) raise_value_error("Empty system code");
                const auto sys = util::system_from_letter(util::first_char(code));
                if (!sys) raise_value_error("Unknown system: " + code);
                return PyGnssSystem{*sys};
            }),
            py::arg("code"));
    cls.def_property_readonly("name", [](const PyGnssSystem& s) { return std::string(util::system_name(s.value)); });
    cls.def_property_readonly("code", [](const PyGnssSystem& s) { return std::string(1, util::system_letter(s.value)); });
    cls.def("__str__", [](const PyGnssSystem& s) { return std::string(util::system_name(s.value)); });
    cls.def("__repr__", [](const PyGnssSystem& s) {
        return "GnssSystem('" + std::string(1, util::system_letter(s.value)) + "')";
    });
    finish_class(cls, "GnssSystem", "Python-exposed GNSS System enum", "(code)");
}

void bind_satellite(py::module_& m) {
    py::class_<Satellite> cls(m, "Satellite");
    cls.def(py::init([](const std::string& id) {
                const auto sat = util::parse_satellite(id);
                if (!sat) raise_value_error("Invalid satellite ID: " + id);
                return *sat;
            }),
            py::arg("id"));
    cls.def_property_readonly("system", [](const Satellite& s) { return PyGnssSystem{s.system}; });
    cls.def_property_readonly("prn", [](const Satellite& s) { return s.prn; });
    cls.def_property_readonly("id", [](const Satellite& s) { return s.id(); });
    cls.def("__str__", [](const Satellite& s) { return s.id(); });
    cls.def("__repr__", [](const Satellite& s) { return "Satellite('" + s.id() + "')"; });
    finish_class(cls, "Satellite", "Python-exposed Satellite", "(id)");
}

void bind_epoch(py::module_& m) {
    py::class_<Epoch> cls(m, "Epoch");
    cls.def(py::init([](std::int32_t year, std::uint32_t month, std::uint32_t day, std::uint32_t hour,
                        std::uint32_t minute, double second) {
                return Epoch{year, month, day, hour, minute, second};
            }),
            py::arg("year"), py::arg("month"), py::arg("day"), py::arg("hour") = 0, py::arg("minute") = 0,
            py::arg("second") = 0.0);
    cls.def_static(
        "parse",
        [](const std::string& s) {
            auto r = util::parse_epoch(s);
            if (!r) raise_value_error(r.error().message());
            return *r;
        },
        py::arg("s"),
        "parse(s)\n--\n\nParse an epoch from six numbers (\"2024 3 1 6 30 15.25\") or ISO 8601 text");
    cls.def_property_readonly("year", [](const Epoch& e) { return e.year; });
    cls.def_property_readonly("month", [](const Epoch& e) { return e.month; });
    cls.def_property_readonly("day", [](const Epoch& e) { return e.day; });
    cls.def_property_readonly("hour", [](const Epoch& e) { return e.hour; });
    cls.def_property_readonly("minute", [](const Epoch& e) { return e.minute; });
    cls.def_property_readonly("second", [](const Epoch& e) { return e.second; });
    const auto iso = [](const Epoch& e) { return util::iso_text(e); };
    cls.def("to_iso", iso, "to_iso($self)\n--\n\nISO 8601 text, e.g. 2024-03-01T06:30:15.250Z");
    cls.def("to_iso_string", iso, "to_iso_string($self)\n--\n\nISO 8601 text, e.g. 2024-03-01T06:30:15.250Z");
    cls.def("__str__", iso);
    cls.def("__repr__", [](const Epoch& e) { return "Epoch(" + util::iso_text(e) + ")"; });
    cls.def(
        "to_gps_time", [](const Epoch& e) { return util::gps_time(e); },
        "to_gps_time($self)\n--\n\nGPS week and seconds of week (no leap seconds applied)");
    cls.def(
        "julian_date", [](const Epoch& e) { return util::julian_date(e); },
        "julian_date($self)\n--\n\nJulian date");
    cls.def(
        "day_of_year", [](const Epoch& e) { return util::day_of_year(e); },
        "day_of_year($self)\n--\n\nDay of year (1-366)");
    finish_class(cls, "Epoch", "Python-exposed Epoch (time)", "(year, month, day, hour=0, minute=0, second=0.0)");
}

namespace {

std::optional<double> frequency_of(const std::string& system, std::uint8_t band, std::optional<std::int8_t> fcn) {
    if (system.empty()) return std::nullopt;
    return util::carrier_frequency(util::first_char(system), band, fcn);
}

}  // namespace

void bind_get_frequency(py::module_& m) {
    m.def("get_frequency", &frequency_of, py::arg("system"), py::arg("band"), py::arg("fcn") = py::none(),
          "get_frequency(system, band, fcn=None)\n--\n\nGet frequency for a GNSS signal");
}

void bind_get_wavelength(py::module_& m) {
    m.def(
        "get_wavelength",
        [](const std::string& system, std::uint8_t band, std::optional<std::int8_t> fcn) -> std::optional<double> {
            const auto f = frequency_of(system, band, fcn);
            if (!f) return std::nullopt;
            return util::wavelength(*f);
        },
        py::arg("system"), py::arg("band"), py::arg("fcn") = py::none(),
        "get_wavelength(system, band, fcn=None)\n--\n\nGet wavelength for a GNSS signal");
}

void bind_partner_bands(py::module_& m) {
    m.def(
        "partner_bands",
        [](const std::string& system) {
            const std::optional<util::GnssSystem> sys =
                system.size() == 1 ? util::system_from_letter(util::first_char(system)) : std::nullopt;
            if (!sys || *sys == util::GnssSystem::Mixed)
                raise_value_error("Unknown system: '" + system + "' (expected one of G, R, E, C, J, S, I)");
            const auto bands = analysis::partner_bands(*sys);
            py::tuple out(bands.size());
            for (std::size_t i = 0; i < bands.size(); ++i) out[i] = py::int_(bands[i]);
            return out;
        },
        py::arg("system"),
        "partner_bands(system)\n--\n\nSecond-frequency bands of a system, in order of preference\n\n"
        "The bands the multipath combination and the geometry-free slip test pair a\n"
        "signal with, tried in this order (a signal never pairs with its own band).\n"
        "`system` is a one-letter code (G, R, E, C, J, S, I); raises ValueError for\n"
        "any other text.");
}

void bind_version(py::module_& m) {
    m.def(
        "version", [] { return std::string(SKARVO_VERSION); }, "version()\n--\n\nGet library version");
}

}  // namespace skarvo::python

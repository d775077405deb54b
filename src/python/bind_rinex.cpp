// RinexObsData and the observation readers.
#include <memory>
#include <string>

#include <pybind11/stl/filesystem.h>

#include <filesystem>

#include "io/input.hpp"
#include "python/bindings.hpp"
#include "rinex/obs_queries.hpp"
#include "rinex/obs_reader.hpp"

namespace skarvo::python {

using rinex::RinexObsData;

namespace {

const RinexObsData& d(const PyRinexObsData& self) { return *self.data; }

std::string repr_of(const PyRinexObsData& self) {
    const RinexObsData& data = d(self);
    return "RinexObsData(version=" + data.header.version.text() + ", marker='" + data.header.marker_name +
           "', epochs=" + std::to_string(data.epochs.size()) +
           ", sats=" + std::to_string(rinex::distinct_satellites(data).size()) + ")";
}

PyRinexObsData wrap(RinexObsData&& data) {
    return PyRinexObsData{std::make_shared<const RinexObsData>(std::move(data))};
}

}  // namespace

void bind_rinex_obs_data(py::module_& m) {
    py::class_<PyRinexObsData> cls(m, "RinexObsData");
    cls.def_property_readonly(
        "version", [](const PyRinexObsData& s) { return d(s).header.version.text(); },
        "RINEX version text, e.g. '3.04' ('3.05' for a file without version line)");
    cls.def_property_readonly(
        "marker_name", [](const PyRinexObsData& s) { return d(s).header.marker_name; }, "Marker name (may be empty)");
    cls.def_property_readonly(
        "receiver_type", [](const PyRinexObsData& s) { return d(s).header.receiver_type; }, "Receiver type");
    cls.def_property_readonly(
        "antenna_type", [](const PyRinexObsData& s) { return d(s).header.antenna_type; }, "Antenna type");
    cls.def_property_readonly(
        "approx_position",
        [](const PyRinexObsData& s) -> py::object {
            const auto& p = d(s).header.approx_position;
            if (!p) return py::none();
            return py::cast(nav::Ecef{p->x, p->y, p->z});
        },
        "Approximate marker position (Ecef, metres) from the header, or None");
    cls.def_property_readonly(
        "interval", [](const PyRinexObsData& s) { return rinex::sampling_interval(d(s)); },
        "Seconds between the first two epochs (exact), else the header INTERVAL, else None");
    cls.def_property_readonly(
        "num_epochs", [](const PyRinexObsData& s) { return d(s).epochs.size(); }, "Number of epoch records");
    cls.def_property_readonly(
        "num_satellites", [](const PyRinexObsData& s) { return rinex::distinct_satellites(d(s)).size(); },
        "Number of distinct satellites observed in any epoch");

    cls.def(
        "satellites",
        [](const PyRinexObsData& s) {
            const auto sats = rinex::distinct_satellites(d(s));
            py::list out(sats.size());
            for (std::size_t i = 0; i < sats.size(); ++i) out[i] = py::cast(sats[i]);
            return out;
        },
        "satellites($self)\n--\n\nSatellites observed in any epoch, each once, sorted by system letter "
        "(C, E, G, I, J, M, R, S) then PRN");
    cls.def(
        "epochs",
        [](const PyRinexObsData& s) {
            const auto& epochs = d(s).epochs;
            py::list out(epochs.size());
            for (std::size_t i = 0; i < epochs.size(); ++i) out[i] = py::cast(epochs[i].epoch);
            return out;
        },
        "epochs($self)\n--\n\nTime tags of all epoch records, in file order (duplicates kept)");
    cls.def(
        "first_epoch",
        [](const PyRinexObsData& s) -> py::object {
            const auto& epochs = d(s).epochs;
            return epochs.empty() ? py::none() : py::cast(epochs.front().epoch);
        },
        "first_epoch($self)\n--\n\nTime tag of the first epoch record, or None");
    cls.def(
        "last_epoch",
        [](const PyRinexObsData& s) -> py::object {
            const auto& epochs = d(s).epochs;
            return epochs.empty() ? py::none() : py::cast(epochs.back().epoch);
        },
        "last_epoch($self)\n--\n\nTime tag of the last epoch record, or None");
    cls.def(
        "observation_types",
        [](const PyRinexObsData& s, const std::string& system) {
            const auto codes = rinex::observation_types(d(s), rinex::system_or_gps(system));
            py::list out(codes.size());
            for (std::size_t i = 0; i < codes.size(); ++i) out[i] = py::str(codes[i].text());
            return out;
        },
        py::arg("system"),
        "observation_types($self, system)\n--\n\nObservation codes present in the data for a system (named by its "
        "letter, e.g. 'G'; GPS when empty or unknown), sorted by text");
    cls.def(
        "glonass_fcn",
        [](const PyRinexObsData& s) {
            py::dict out;
            for (const auto& [slot, fcn] : d(s).header.glonass_slots) out[py::int_(slot)] = py::int_(fcn);
            return out;
        },
        "glonass_fcn($self)\n--\n\nGLONASS slot -> frequency channel from the header");
    cls.def(
        "satellites_by_system",
        [](const PyRinexObsData& s) {
            py::dict out;
            for (const auto& [sys, count] : rinex::satellites_by_system(d(s)))
                out[py::str(std::string(1, util::system_letter(sys)))] = py::int_(count);
            return out;
        },
        "satellites_by_system($self)\n--\n\nNumber of distinct satellites per system letter");
    cls.def(
        "epoch_flags",
        [](const PyRinexObsData& s) {
            const auto& epochs = d(s).epochs;
            py::list out(epochs.size());
            for (std::size_t i = 0; i < epochs.size(); ++i) out[i] = py::int_(epochs[i].flag);
            return out;
        },
        "epoch_flags($self)\n--\n\nEpoch flag of every epoch record, parallel to epochs(): 0 OK, 1 power "
        "failure,\n2-5 events (kept by version 3 and 4 files), 6 cycle-slip records");
    cls.def("__repr__", &repr_of);
    cls.def("__str__", &repr_of);
    add_rinex_snr_methods(cls);
    add_rinex_array_methods(cls);
    finish_class(cls, "RinexObsData", "Python-exposed RINEX observation data", nullptr);
}

void bind_read_rinex_obs(py::module_& m) {
    m.def(
        "read_rinex_obs",
        [](const std::filesystem::path& path) {
            const std::string p = path.string();
            auto result = [&] {
                // The parse touches only the copied path and its own data.
                py::gil_scoped_release nogil;
                return rinex::read_obs_file(p);
            }();
            if (!result) raise_io_error("Failed to read RINEX: " + result.error().message());
            return wrap(std::move(result).value());
        },
        py::arg("path"),
        "read_rinex_obs(path)\n--\n\nRead RINEX observation file\n\n"
        "Reads a RINEX observation file of version 2, 3 or 4, plain or gzip-compressed\n"
        "(by the .gz extension), in one streamed pass, and returns a RinexObsData.\n"
        "Raises OSError (IOError) 'Failed to read RINEX: ...' when the file is missing or\n"
        "unreadable, is not UTF-8 text, has an unsupported version or a malformed\n"
        "record, or is not observation data (a navigation, meteorological or clock\n"
        "RINEX file, an SP3 orbit file, or text without a RINEX header).");
}

void bind_read_rinex_obs_bytes(py::module_& m) {
    m.def(
        "read_rinex_obs_bytes",
        [](const py::bytes& data, const py::str& filename) {
            char* buf = nullptr;
            Py_ssize_t len = 0;
            if (PyBytes_AsStringAndSize(data.ptr(), &buf, &len) != 0) throw py::error_already_set();
            const std::string_view bytes(buf, static_cast<std::size_t>(len));
            const std::string name = filename;
            // Read with the GIL held: os.environ changes hold it too.
            const std::string dir = rinex::temp_directory();
            rinex::BytesStep step = rinex::BytesStep::CreateTemp;
            auto result = [&] {
                // `bytes` views an immutable bytes object that the call keeps alive.
                py::gil_scoped_release nogil;
                return rinex::read_obs_bytes(bytes, name, dir, step);
            }();
            if (!result) {
                const auto& e = result.error();
                switch (step) {
                    case rinex::BytesStep::CreateTemp: raise_io_error("Failed to create temp file: " + e.text());
                    case rinex::BytesStep::WriteTemp: raise_io_error("Failed to write temp file: " + e.text());
                    case rinex::BytesStep::Parse: raise_io_error("Failed to parse RINEX: " + e.message());
                }
            }
            return wrap(std::move(result).value());
        },
        py::arg("data"), py::arg("filename"),
        "read_rinex_obs_bytes(data, filename)\n--\n\nRead RINEX observation from bytes\n\n"
        "`data` (bytes) is the content of an observation file as read_rinex_obs takes\n"
        "it; `filename` names it, and its extension decides the decoding (.gz is\n"
        "gunzipped). The bytes pass through a temporary file of that name in the\n"
        "temporary directory, removed afterwards. Returns a RinexObsData. Raises\n"
        "OSError (IOError) 'Failed to create temp file: ...', 'Failed to write temp\n"
        "file: ...' or 'Failed to parse RINEX: ...' (same causes as read_rinex_obs).");
}

void bind_decode_file(py::module_& m) {
    m.def(
        "decode_file",
        [](const std::filesystem::path& path) {
            const std::string p = path.string();
            auto result = [&] {
                // The decoder touches only the copied path and its own buffers.
                py::gil_scoped_release nogil;
                return io::decode_file(p);
            }();
            if (!result) raise_io_error("Failed to decode: " + result.error().message());
            const std::string& text = *result;
            return py::bytes(text.data(), text.size());
        },
        py::arg("path"),
        "decode_file(path)\n--\n\nThe text of a file as the readers see it: gzip, Unix compress (.Z) and compact "
        "RINEX\n(Hatanaka) decoded by content, line ends written as LF; bytes");
}

}  // namespace skarvo::python
